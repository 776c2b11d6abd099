// The desktop program.

#include "platform/connection.h"
#include "platform/instancelock.h"
#include "platform/signalwatch.h"
#include "shell/desktopapp.h"
#include "widgets/messagebox.h"
#include "widgets/uifonts.h"
#include "windows/webengineview.h"

#include "settings/settingskeys.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {
const char Usage[] =
    "usage: tarnwick [--help] [--version] [Qt options such as -platform NAME]\n"
    "  The desktop proxy: lives in the system tray (or shows its monitor window when\n"
    "  there is no tray) and listens on the stored Local_Port when AutoStart is set.\n"
    "  Settings: tarnwick-settings; without a display: tarnwick-headless.";
} // namespace

int main(int argc, char* argv[]) {
    // Answered before any window system is needed.
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            std::puts(Usage);
            return 0;
        }
        if (std::strcmp(argv[k], "--version") == 0) {
            std::puts(Tarnwick::ProgramVersion.toUtf8().constData());
            return 0;
        }
    }
    // Must come before the application object (the web engine's sandbox and GL).
    Tarnwick::prepareWebEngine();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    // A second start while one runs ends at once, silently.
    Tarnwick::InstanceLock instance;
    if (!instance.acquire())
        return 0;
    // From here on, logout, a service stop, a closed terminal or Ctrl+C wait for the
    // event loop and end the program as its Exit does; returning from main then
    // releases the instance lock.
    Tarnwick::SignalWatch endSignals;
    std::signal(SIGPIPE, SIG_IGN);
    Tarnwick::raiseDescriptorLimit();
    QApplication::setQuitOnLastWindowClosed(false);
    Tarnwick::installWebEngineBrowser();
    Tarnwick::applyJapaneseUiFont(app);
    Tarnwick::installJapaneseTranslations(app);
    Tarnwick::DesktopApp program;
    QObject::connect(&endSignals, &Tarnwick::SignalWatch::endRequested,
                     [&program] { program.end(); });
    program.start(&QSystemTrayIcon::isSystemTrayAvailable, {});
    return app.exec();
}
