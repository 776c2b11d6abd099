// The desktop program.

#include "shell/desktopapp.h"
#include "shell/uifonts.h"

#include <QApplication>
#include <csignal>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setQuitOnLastWindowClosed(false);
    Tarnwick::applyJapaneseUiFont(app);
    Tarnwick::DesktopApp program;
    program.start();
    return app.exec();
}
