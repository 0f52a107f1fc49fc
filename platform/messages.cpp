#include "platform/messages.h"

#include <cstdio>

namespace {
MessageResult affirmative(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::YesNo:
    case MessageButtons::YesNoCancel:
        return MessageResult::Yes;
    case MessageButtons::RetryCancel:
        return MessageResult::Retry;
    default:
        return MessageResult::Ok;
    }
}

ConsoleMessages consoleSink;
MessageSink* installed = nullptr;
} // namespace

MessageResult RecordingMessages::show(MessageOwner*, const std::string& text,
                                      const std::string& caption, MessageIcon icon,
                                      MessageButtons buttons) {
    MessageResult r = affirmative(buttons);
    if (!script.empty()) {
        r = script.front();
        script.pop_front();
    }
    shown.push_back({text, caption, icon, buttons, r});
    return r;
}

MessageResult ConsoleMessages::show(MessageOwner*, const std::string& text,
                                    const std::string& caption, MessageIcon,
                                    MessageButtons buttons) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return affirmative(buttons);
}

MessageSink& messageSink() {
    return installed ? *installed : consoleSink;
}
void setMessageSink(MessageSink* sink) {
    installed = sink;
}

MessageResult showMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                          MessageButtons buttons, MessageOwner* owner) {
    return messageSink().show(owner, text, caption, icon, buttons);
}
