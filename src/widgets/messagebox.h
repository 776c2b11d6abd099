#pragma once

#include <QString>
#include <functional>

class QCoreApplication;
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

// Qt's own texts (the message boxes' buttons, the text boxes' menus) in Japanese, from
// Qt's translation in `directory` (by default where Qt keeps its translations).
// Returns false when the translation is missing; the message boxes then give their
// buttons Japanese texts themselves. A second call replaces what the first installed.
bool installJapaneseTranslations(QCoreApplication& app, const QString& directory = {});

// A box blocks only the window it belongs to (none without a parent), so the tray and
// the program's other windows still answer while it waits.
MessageAnswer showMessage(QWidget* parent, const MessageRequest& request);
// A box with the program's title.
MessageAnswer showMessage(QWidget* parent, const QString& text,
                          MessageButtons buttons = MessageButtons::Ok);

// The same box without waiting for it: it blocks nothing, several may be open at once,
// and `answered` runs once it is answered or closed (No when a Yes/No box is closed
// without a choice; never when it is destroyed unanswered). The hook, when installed,
// answers at once.
void askMessage(QWidget* parent, const MessageRequest& request,
                std::function<void(MessageAnswer)> answered);

} // namespace Tarnwick
