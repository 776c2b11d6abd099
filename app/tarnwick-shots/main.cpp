// Captures the auxiliary windows as PNG files: the home-page browser on the page
// that ships with the program, the usage viewer on each page and the version box.
//   tarnwick-shots OUTDIR
// Meant for a virtual X server (scripts/screenshots.sh); not installed.

#include "shell/mainwindow.h"
#include "widgets/messagebox.h"
#include "widgets/programicon.h"
#include "widgets/uifonts.h"
#include "windows/homepagewindow.h"
#include "windows/usageviewer.h"
#include "windows/webengineview.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <cstdio>
#include <functional>

using namespace Tarnwick;

namespace {

void pause(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool save(QWidget* window, const QDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    const bool ok = window->grab().save(path);
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "cannot write",
                 qPrintable(QDir::toNativeSeparators(path)));
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    prepareWebEngine();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setWindowIcon(programIcon());
    applyJapaneseUiFont(app);
    installJapaneseTranslations(app);
    installWebEngineBrowser();

    if (argc != 2) {
        std::fprintf(stderr, "usage: tarnwick-shots OUTDIR\n");
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "tarnwick-shots: cannot make %s\n", argv[1]);
        return 1;
    }
    bool ok = true;

    // Home-page browser. Without a window manager nothing maximises the window, so
    // it is given a screenshot-friendly size instead.
    HomePageOpener home;
    HomePageWindow* browser = home.open();
    browser->resize(1000, 760);
    const QString homeUrl = HomePageUrl.toString();
    if (!waitFor([&] { return browser->addressBox()->text() == homeUrl; }, 30000)) {
        std::fprintf(stderr, "tarnwick-shots: the home page did not load\n");
        ok = false;
    }
    pause(1500);
    ok = save(browser, dir, QStringLiteral("home-page-window.png")) && ok;

    // Usage viewer, page by page.
    UsageViewerOpener usage;
    UsageViewer* viewer = usage.open();
    for (int value = 0; value <= 2; ++value) {
        viewer->pageScrollBar()->setValue(value);
        pause(300);
        ok = save(viewer, dir, QStringLiteral("usage-viewer-page%1.png").arg(value + 1)) && ok;
    }

    // Version box: captured while it waits for OK, then closed with OK.
    QTimer::singleShot(800, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ok = save(box, dir, QStringLiteral("version.png")) && ok;
            box->accept();
        } else {
            std::fprintf(stderr, "tarnwick-shots: no version box\n");
            ok = false;
            QApplication::closeAllWindows();
        }
    });
    showMessage(nullptr, MessageRequest{versionTitle(), versionText(), MessageButtons::Ok, false});

    home.unload();
    usage.unload();
    return ok ? 0 : 1;
}
