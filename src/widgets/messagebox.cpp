#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTranslator>

namespace Tarnwick {

namespace {
MessageBoxHook& hook() {
    static MessageBoxHook h;
    return h;
}

// Qt's Japanese translation, while one is installed.
QPointer<QTranslator>& qtJapanese() {
    static QPointer<QTranslator> translator;
    return translator;
}
} // namespace

bool installJapaneseTranslations(QCoreApplication& app, const QString& directory) {
    if (QTranslator* previous = qtJapanese()) {
        app.removeTranslator(previous);
        delete previous;
    }
    auto* translator = new QTranslator(&app);
    const QString from =
        directory.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : directory;
    if (!translator->load(QStringLiteral("qtbase_ja"), from) ||
        !app.installTranslator(translator)) {
        delete translator;
        return false;
    }
    qtJapanese() = translator;
    return true;
}

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
    box.setWindowModality(Qt::WindowModal);
    box.setWindowTitle(request.title);
    box.setText(request.text);
    if (request.withIcon)
        box.setIcon(request.buttons == MessageButtons::YesNo ? QMessageBox::Question
                                                             : QMessageBox::Information);
    if (request.buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        if (!qtJapanese()) {
            // The texts Qt's translation gives them.
            box.button(QMessageBox::Yes)->setText(QStringLiteral("はい(&Y)"));
            box.button(QMessageBox::No)->setText(QStringLiteral("いいえ(&N)"));
        }
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
