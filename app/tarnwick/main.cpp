// The desktop program.

#include "platform/eventsocket.h"
#include "platform/instancelock.h"
#include "shell/desktopapp.h"
#include "widgets/uifonts.h"
#include "windows/webengineview.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <csignal>

int main(int argc, char* argv[]) {
    // Must come before the application object (the web engine's sandbox and GL).
    Tarnwick::prepareWebEngine();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    // A second start while one runs ends at once, silently.
    Tarnwick::InstanceLock instance;
    if (!instance.acquire())
        return 0;
    std::signal(SIGPIPE, SIG_IGN);
    Tarnwick::raiseDescriptorLimit();
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnwick/icon.png")));
    Tarnwick::installWebEngineBrowser();
    Tarnwick::applyJapaneseUiFont(app);
    Tarnwick::DesktopApp program;
    program.start(QSystemTrayIcon::isSystemTrayAvailable());
    return app.exec();
}
