#include "brandkit/qt_messages.h"

#include <QMessageBox>
#include <QWidget>

#include "ui/qt/message_box_mapping.h"

MessageResult QtMessages::show(MessageOwner* owner, const std::string& text,
                               const std::string& caption, MessageIcon icon,
                               MessageButtons buttons) {
    QMessageBox box(qtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    qtButtons(buttons), ownerWindow<QWidget>(owner));
    return fromQt(box.exec());
}
