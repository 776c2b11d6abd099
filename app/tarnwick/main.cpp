// The desktop program.

#include "platform/instancelock.h"
#include "shell/desktopapp.h"
#include "shell/uifonts.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <csignal>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    // A second start while one runs ends at once, silently.
    Tarnwick::InstanceLock instance;
    if (!instance.acquire())
        return 0;
    std::signal(SIGPIPE, SIG_IGN);
    QApplication::setQuitOnLastWindowClosed(false);
    Tarnwick::applyJapaneseUiFont(app);
    Tarnwick::DesktopApp program;
    program.start(QSystemTrayIcon::isSystemTrayAvailable());
    return app.exec();
}
