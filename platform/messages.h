#pragma once
// The message-box seam: every user-visible outcome of the core is one modal
// message box with a fixed text and caption. The Qt layer shows a QMessageBox;
// tests record the boxes and answer them from a script.
#include <deque>
#include <string>
#include <vector>

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MessageResult { Ok, Cancel, Yes, No, Retry };

// The window a box belongs to. The core only passes the handle on; the user
// interface makes it from one of its windows and turns it back in its sink.
struct MessageOwner;
template <typename Window> MessageOwner* messageOwner(Window* window) {
    return reinterpret_cast<MessageOwner*>(window);
}
template <typename Window> Window* ownerWindow(MessageOwner* owner) {
    return reinterpret_cast<Window*>(owner);
}

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // `owner` is the window the box belongs to (may be null).
    virtual MessageResult show(MessageOwner* owner, const std::string& text,
                               const std::string& caption, MessageIcon icon,
                               MessageButtons buttons) = 0;
};

// One shown box, as a test sees it.
struct RecordedMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
    MessageButtons buttons;
    MessageResult answer;
};

// Records every box and answers from a script; with the script empty it
// answers Ok, Yes or Retry (the affirmative button of the box).
class RecordingMessages : public MessageSink {
  public:
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;
    void answerNext(MessageResult r) { script.push_back(r); }
    std::vector<RecordedMessage> shown;
    std::deque<MessageResult> script;
};

// Prints the box to standard error and answers affirmatively; the default
// until the user interface installs its own sink.
class ConsoleMessages : public MessageSink {
  public:
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;
};

MessageSink& messageSink();
void setMessageSink(MessageSink* sink); // not owned; nullptr restores the console sink

// Shows one box through the installed sink.
MessageResult showMessage(const std::string& text, const std::string& caption,
                          MessageIcon icon = MessageIcon::None,
                          MessageButtons buttons = MessageButtons::Ok,
                          MessageOwner* owner = nullptr);
