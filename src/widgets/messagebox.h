#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace Tarnwick {

// Every message box of the program goes through here, so a test can answer it
// instead of a person and nothing ever blocks on a modal box under test.
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
    QString title;
    QString text;
    MessageButtons buttons = MessageButtons::Ok;
    bool withIcon = true;
};

using MessageBoxHook = std::function<MessageAnswer(const MessageRequest&)>;

// The program's title on its message boxes.
QString applicationTitle();

// Installs a hook that answers every box instead of showing it; an empty hook
// restores the real boxes.
void setMessageBoxHook(MessageBoxHook hook);

MessageAnswer showMessage(QWidget* parent, const MessageRequest& request);
// A box with the program's title.
MessageAnswer showMessage(QWidget* parent, const QString& text,
                          MessageButtons buttons = MessageButtons::Ok);

} // namespace Tarnwick
