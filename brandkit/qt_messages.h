#pragma once
// The message-box seam shown as QMessageBox.
#include "platform/messages.h"

class QtMessages : public MessageSink {
  public:
    // `owner` is the QWidget the box belongs to, or null.
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;
};
