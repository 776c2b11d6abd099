// Captures the auxiliary windows as PNG files: the home-page browser on the page
// that ships with the program, the usage viewer on each page and the version box.
//   tarnwick-shots OUTDIR
// Meant for a virtual X server (scripts/screenshots.sh); not installed.

#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/uifonts.h"
#include "windows/form3.h"
#include "windows/form4.h"
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
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnwick/icon.png")));
    applyJapaneseUiFont(app);
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
    HomePageWindow home;
    Form3* form3 = home.open();
    form3->resize(1000, 760);
    const QString homeUrl = HomePageUrl.toString();
    if (!waitFor([&] { return form3->text1()->text() == homeUrl; }, 30000)) {
        std::fprintf(stderr, "tarnwick-shots: the home page did not load\n");
        ok = false;
    }
    pause(1500);
    ok = save(form3, dir, QStringLiteral("form3-home.png")) && ok;

    // Usage viewer, page by page.
    UsageWindow usage;
    Form4* form4 = usage.open();
    for (int value = 0; value <= 2; ++value) {
        form4->vScroll1()->setValue(value);
        pause(300);
        ok = save(form4, dir, QStringLiteral("form4-page%1.png").arg(value + 1)) && ok;
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
