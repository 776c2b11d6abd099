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

// Title, text, icon and buttons of a box, the same whether it waits or not.
void dress(QMessageBox& box, const MessageRequest& request) {
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
        return;
    }
    box.setStandardButtons(QMessageBox::Ok);
}

MessageAnswer answerOf(const MessageRequest& request, int result) {
    if (request.buttons != MessageButtons::YesNo)
        return MessageAnswer::Ok;
    return result == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
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
    dress(box, request);
    return answerOf(request, box.exec());
}

void askMessage(QWidget* parent, const MessageRequest& request,
                std::function<void(MessageAnswer)> answered) {
    if (hook())
        return answered(hook()(request));
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    dress(*box, request);
    // Closing the box, with its close box or at program end, finishes it too.
    QObject::connect(box, &QDialog::finished, box,
                     [request, answered = std::move(answered)](int result) {
                         answered(answerOf(request, result));
                     });
    box->show();
}

MessageAnswer showMessage(QWidget* parent, const QString& text, MessageButtons buttons) {
    return showMessage(parent, MessageRequest{applicationTitle(), text, buttons, true});
}

} // namespace Tarnwick
