// The proxy without a window: listens on "Local_Port" at once and prints every
// monitor entry and status line as it happens. Ends cleanly on SIGTERM, SIGHUP or
// SIGINT.

#include "monitor/eventmonitor.h"
#include "platform/connection.h"
#include "platform/signalwatch.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <csignal>
#include <cstdio>

using namespace Tarnwick;

namespace {
// Lines are collected and written out a quarter second after the first of them, not
// one write each: a busy proxy prints several lines per connection, and an idle one
// has nothing to wake up for.
QTimer* g_flush = nullptr;

void print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    if (g_flush && !g_flush->isActive())
        g_flush->start();
}

void printNow(const QString& text) {
    print(text);
    std::fflush(stdout);
}

QString sideName(Side side) {
    return side == Side::Lan ? QStringLiteral("LAN") : QStringLiteral("WAN");
}

const char Usage[] = "usage: tarnwick-headless [--port N] [--all-events]\n"
                     "  Listens on the stored Local_Port (8080 when none) and prints the monitor.\n"
                     "  --port N       listen on port N instead of the stored one\n"
                     "  --all-events   list every socket event, not only the default ones\n"
                     "  --help, --version";

int usage() {
    std::fputs(Usage, stderr);
    std::fputc('\n', stderr);
    return 2;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    bool allEvents = false;
    QString portOption;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype k = 0; k < args.size(); ++k) {
        if (args[k] == u"--all-events") {
            allEvents = true;
        } else if (args[k] == u"--port" && k + 1 < args.size()) {
            portOption = args[++k];
        } else if (args[k] == u"--help" || args[k] == u"-h") {
            std::puts(Usage);
            return 0;
        } else if (args[k] == u"--version") {
            print(ProgramVersion.toString());
            return 0;
        } else {
            return usage();
        }
    }
    const QString startDirectory = QDir::currentPath();

    // A signal from now on waits for the event loop.
    SignalWatch endSignals;
    if (!endSignals.isWatching())
        return 1;
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    static char outputBuffer[64 * 1024];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

    SettingsStore store;
    EventMonitor monitor(store);
    if (allEvents)
        monitor.setAllChecked(true);
    QObject::connect(&monitor, &EventMonitor::statusChanged, [](Side side, const QString& text) {
        print(sideName(side) + QStringLiteral(" status: ") + text);
    });
    QObject::connect(&monitor, &EventMonitor::entryAppended, [](Side side, const QString& entry) {
        const QString prefix = sideName(side) + QStringLiteral(" | ");
        QString text = entry;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n") + prefix);
        print(prefix + text);
    });

    ProxyEngine engine(store, monitor);
    // A desktop box would ask; with nobody to ask, a cabinet download is refused.
    engine.setCabinetQuestion(
        [](const QString&, const ProxyEngine::CabinetAnswer& answer) { answer(false); });
    ProxySwitch proxy(engine, store, monitor);
    proxy.initialise();
    const QString port = portOption.isNull() ? store.get(Setting::LocalPort) : portOption;
    if (proxy.start(port) != ProxySwitch::StartResult::Started) {
        printNow(QStringLiteral("tarnwick-headless: cannot listen on port ") + port.trimmed());
        return 1;
    }
    printNow(QStringLiteral("tarnwick-headless: listening on port ") + port.trimmed() +
             QStringLiteral(", settings in ") + store.fileName());
    QTimer flushing;
    flushing.setSingleShot(true);
    flushing.setInterval(250);
    QObject::connect(&flushing, &QTimer::timeout, [] { std::fflush(stdout); });
    g_flush = &flushing;

    QObject::connect(&endSignals, &SignalWatch::endRequested, [&] {
        engine.shutdown();
        ProxyEngine::removeAnswerFiles(startDirectory);
        app.quit();
    });
    const int result = app.exec();
    g_flush = nullptr;
    printNow(QStringLiteral("tarnwick-headless: stopped"));
    return result;
}
