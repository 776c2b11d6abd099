#include "widgets/messagebox.h"

#include <QMessageBox>

namespace Tarnwick {

namespace {
MessageBoxHook& hook() {
    static MessageBoxHook h;
    return h;
}
} // namespace

QString applicationTitle() {
    return QStringLiteral("Tarnwick");
}

void setMessageBoxHook(MessageBoxHook h) {
    hook() = std::move(h);
}

MessageAnswer showMessage(QWidget* parent, const MessageRequest& request) {
    if (hook())
        return hook()(request);
    QMessageBox box(parent);
    box.setWindowTitle(request.title);
    box.setText(request.text);
    if (request.withIcon)
        box.setIcon(request.buttons == MessageButtons::YesNo ? QMessageBox::Question
                                                             : QMessageBox::Information);
    if (request.buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MessageAnswer::Ok;
}

MessageAnswer showMessage(QWidget* parent, const QString& text, MessageButtons buttons) {
    return showMessage(parent, MessageRequest{applicationTitle(), text, buttons, true});
}

} // namespace Tarnwick
