// The relay under sustained use and under faults: thousands of requests through the
// slot cycle, a browser that sends again too early, servers and browsers that fail,
// a full disk and a process out of descriptors. Every relay must end cleanly: its
// browser answered with its own answer or closed, its file gone, its slot reusable.

#include "relayharness.h"

#include "platform/connection.h"
#include "proxy/responsefilters.h"
#include "settings/settingskeys.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Tarnwick;
using namespace Qt::StringLiterals;
using namespace Tarnwick::Testing;

namespace {
const QByteArray Refusal = QByteArrayLiteral("HTTP/1.0 999");

int openDescriptors() {
    return int(QDir(u"/proc/self/fd"_s).entryList(QDir::Files | QDir::System).size());
}

// The body of answer `id`: its number up front, then bytes of its own, so that an
// answer that reaches the wrong browser or is cut can never pass for the right one.
QByteArray bodyFor(int id, int size) {
    QByteArray body = "<p>" + QByteArray::number(id) + "</p>";
    QRandomGenerator gen{quint32(id)};
    while (body.size() < size)
        body += char('a' + gen.bounded(26));
    return body.left(std::max<qsizetype>(size, body.size()));
}

// What the origin answers to /a/ID/KIND/SIZE:
//   whole    the answer in one write;
//   pieces   in three writes 20 ms apart;
//   html     an HTML page with a cookie and a script, which the rules rewrite;
//   recheck  the first time cut short of its Content-Length, whole the second time.
class CycleOrigin : public QObject {
public:
    CycleOrigin() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }
    quint16 port() const { return m_server.serverPort(); }

    static QByteArray answerFor(const QByteArray& kind, int id, int size) {
        const QByteArray body = bodyFor(id, size);
        const QByteArray type = kind == "html" ? "text/html" : "application/octet-stream";
        QByteArray headers = "Content-Type: " + type + "\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n";
        if (kind == "html")
            headers += "Set-Cookie: id=" + QByteArray::number(id) + "\r\n";
        const QByteArray page = kind == "html" ? body + "<script>var x=1;</script>" : body;
        if (kind == "html")
            headers.replace("Content-Length: " + QByteArray::number(body.size()),
                            "Content-Length: " + QByteArray::number(page.size()));
        return answerBytes("HTTP/1.1 200 OK", headers, page);
    }

private:
    void serve(QTcpSocket* socket) {
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
            if (request->contains("\r\n\r\n"))
                return;
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n"))
                return;
            // GET http://127.0.0.1:PORT/a/ID/KIND/SIZE HTTP/1.1
            const QList<QByteArray> parts =
                request->left(request->indexOf(' ', 4)).split('/');
            const int id = parts.value(4).toInt();
            const QByteArray kind = parts.value(5);
            const QByteArray answer = answerFor(kind, id, parts.value(6).toInt());
            if (kind == "pieces") {
                const qsizetype third = answer.size() / 3;
                socket->write(answer.left(third));
                QTimer::singleShot(20, socket, [socket, answer, third] {
                    socket->write(answer.mid(third, third));
                });
                QTimer::singleShot(40, socket, [socket, answer, third] {
                    socket->write(answer.mid(2 * third));
                    socket->disconnectFromHost();
                });
                return;
            }
            if (kind == "recheck" && m_rechecked[id]++ == 0) {
                const qsizetype body = answer.indexOf("\r\n\r\n") + 4;
                socket->write(answer.left(body + (answer.size() - body) / 2));
            } else {
                socket->write(answer);
            }
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    QHash<int, int> m_rechecked;
};

// One request as a browser makes it: a connection closed without a byte is retried
// on a new one, as browsers do; anything received must be exactly the expected answer.
struct Fetch {
    int id = 0;
    QByteArray request;
    QByteArray expected;
    QByteArray received;
    int tries = 0;
};

class CycleDriver : public QObject {
public:
    CycleDriver(quint16 originPort, std::function<quint16()> proxyPort, int total, int inFlight)
        : m_originPort(originPort), m_proxyPort(std::move(proxyPort)), m_total(total),
          m_inFlight(inFlight) {}

    std::function<void(int done)> onDone;
    // The answer's size and kind for request `id`; by default mostly small answers,
    // every 97th one a whole mebibyte, of every kind.
    std::function<int(int id)> sizeOf = [](int id) {
        return id % 97 == 0 ? 1 << 20 : 5 + (id * 7919) % 20000;
    };
    std::function<QByteArray(int id)> kindOf = [](int id) {
        static const QByteArray kinds[] = {"whole", "whole", "pieces", "html", "recheck"};
        return kinds[id % 5];
    };
    int done = 0;
    QStringList failures;

    void start() {
        for (int k = 0; k < m_inFlight; ++k)
            next();
    }

private:
    void next() {
        if (m_started >= m_total)
            return;
        const int id = ++m_started;
        const QByteArray kind = kindOf(id);
        const int size = sizeOf(id);
        auto fetch = std::make_shared<Fetch>();
        fetch->id = id;
        fetch->request = getRequest(m_originPort, "/a/" + QByteArray::number(id) + '/' + kind +
                                                      '/' + QByteArray::number(size),
                                    "Connection: keep-alive\r\n");
        fetch->expected = CycleOrigin::answerFor(kind, id, size);
        if (kind == "html") {
            neutraliseSetCookie(fetch->expected.data(), fetch->expected.size());
            rewriteScripts(fetch->expected.data(), fetch->expected.size());
            fetch->expected = withPolicy(fetch->expected);
        }
        attempt(fetch);
    }

    void attempt(const std::shared_ptr<Fetch>& fetch) {
        fetch->tries += 1;
        fetch->received.clear();
        auto* socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::connected, socket,
                [socket, fetch] { socket->write(fetch->request); });
        connect(socket, &QTcpSocket::readyRead, socket,
                [socket, fetch] { fetch->received += socket->readAll(); });
        auto finished = [this, socket, fetch] {
            if (socket->property("finished").toBool())
                return;
            socket->setProperty("finished", true);
            fetch->received += socket->readAll();
            socket->deleteLater();
            if (fetch->received.isEmpty() && fetch->tries < 20) {
                QTimer::singleShot(10, this, [this, fetch] { attempt(fetch); });
                return;
            }
            if (fetch->received != fetch->expected)
                failures << u"id %1 after %2 tries: got %3 bytes, starting %4"_s.arg(fetch->id)
                                .arg(fetch->tries)
                                .arg(fetch->received.size())
                                .arg(QString::fromLatin1(fetch->received.left(40)));
            ++done;
            if (onDone)
                onDone(done);
            next();
        };
        connect(socket, &QTcpSocket::disconnected, socket, finished);
        connect(socket, &QTcpSocket::errorOccurred, socket, finished);
        socket->connectToHost(QHostAddress::LocalHost, m_proxyPort());
    }

    quint16 m_originPort;
    std::function<quint16()> m_proxyPort;
    int m_total;
    int m_inFlight;
    int m_started = 0;
};

QByteArray okAnswer(const QByteArray& body) {
    return answerBytes("HTTP/1.1 200 OK",
                       "Content-Type: text/plain\r\nContent-Length: " +
                           QByteArray::number(body.size()) + "\r\n",
                       body);
}

// Fetches one small answer through the relay, proving its slots serve again.
bool servesAgain(quint16 proxyPort, const QByteArray& body = "again") {
    OriginStub origin;
    origin.answer = [body](int) { return okAnswer(body); };
    Browser browser(proxyPort);
    if (!browser.waitConnected())
        return false;
    browser.send(getRequest(origin.port(), "/again"));
    return QTest::qWaitFor([&] { return browser.closedByPeer; }, 10000) &&
           browser.received == okAnswer(body);
}
} // namespace

// tarnwick-headless on a free port with at most `descriptors` open files.
struct LimitedHeadless {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    bool start(rlim_t descriptors) {
        const QString program = qEnvironmentVariable("TARNWICK_BIN_DIR") + u"/tarnwick-headless"_s;
        if (!QFile::exists(program))
            return false;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        SettingsStore(dir.filePath(u"Tarnwick/Tarnwick.ini"_s)).save(Setting::LocalPort,
                                                                       QString::number(port));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, dir.path());
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([descriptors] {
            const rlimit few{descriptors, descriptors};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        process.start(program, {});
        QByteArray started;
        return QTest::qWaitFor(
            [&] { return (started += process.readAllStandardOutput()).contains("listening"); },
            20000);
    }
    ~LimitedHeadless() {
        process.terminate();
        process.waitForFinished(10000);
    }
};

class TestRelayCycle : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { raiseDescriptorLimit(); }
    void everyAnswerReachesItsOwnBrowserAcrossTheCycle();
    void secondRequestLeavesTheRunningRelayAlone();
    void faultsEndTheRelayCleanly_data();
    void faultsEndTheRelayCleanly();
    void fullDiskRefusesTheAnswer();
    void idleConnectionsDoNotBlockNewOnes();
    void runningOutOfDescriptorsPausesAccepting();
    void fewDescriptorsFailNoRelay();
    void clientBeyondTheBudgetWaitsForARelayToEnd_data();
    void clientBeyondTheBudgetWaitsForARelayToEnd();
    void descriptorsFreedAnyHowResumeAccepting();
};

void TestRelayCycle::everyAnswerReachesItsOwnBrowserAcrossTheCycle() {
    TestProxy relay;
    CycleOrigin origin;
    quint16 port = relay.port();
    const int baseline = openDescriptors();
    constexpr int Total = 3000;
    CycleDriver driver(origin.port(), [&port] { return port; }, Total, 40);
    driver.onDone = [&](int done) {
        // Halfway, a Stop and a Start cut whatever is under way.
        if (done == Total / 2)
            QTimer::singleShot(0, relay.engine.get(), [&] {
                relay.engine->stop();
                QVERIFY(relay.engine->listen(port));
            });
    };
    driver.start();
    QTRY_COMPARE_WITH_TIMEOUT(driver.done, Total, 240000);
    QVERIFY2(driver.failures.isEmpty(), qPrintable(driver.failures.mid(0, 5).join(u'\n')));
    QVERIFY(relay.engine->connectionCounter() > 0);
    QTRY_VERIFY(relay.tempFiles().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), baseline, 15000);
}

void TestRelayCycle::secondRequestLeavesTheRunningRelayAlone() {
    TestProxy relay;
    relay.monitor->setChecked(MonitorBox::LanDataArrival, true);
    QTcpServer origin;
    QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket*> connections;
    QByteArray seen;
    connect(&origin, &QTcpServer::newConnection, &origin, [&] {
        QTcpSocket* socket = origin.nextPendingConnection();
        connections << socket;
        connect(socket, &QTcpSocket::readyRead, socket, [&seen, socket] { seen += socket->readAll(); });
    });
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.serverPort(), "/first", "Connection: keep-alive\r\n"));
    QTRY_VERIFY(seen.contains("\r\n\r\n"));
    // The next request on the kept-alive connection, before the first is answered.
    browser.send(getRequest(origin.serverPort(), "/second", "Connection: keep-alive\r\n"));
    QTRY_COMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 2);
    QTest::qWait(50);
    QCOMPARE(connections.size(), 1);
    QVERIFY(!seen.contains("/second"));
    // The first relay completes untouched and the connection closes.
    const QByteArray answer = okAnswer(QByteArray(8000, 'b'));
    connections.first()->write(answer);
    connections.first()->disconnectFromHost();
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, answer);
    QCOMPARE(connections.size(), 1);
}

void TestRelayCycle::faultsEndTheRelayCleanly_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("server resets mid-body") << u"reset"_s << Refusal;
    QTest::newRow("server never answers, browser gives up") << u"hold"_s << QByteArray();
    QTest::newRow("browser sends nothing and closes") << u"silent"_s << QByteArray();
}

void TestRelayCycle::faultsEndTheRelayCleanly() {
    QFETCH(QString, fault);
    QFETCH(QByteArray, expected);
    TestProxy relay;
    relay.monitor->setChecked(MonitorBox::LanClose, true);
    QTcpServer origin;
    QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
    const int baseline = openDescriptors();
    QList<QTcpSocket*> held;
    connect(&origin, &QTcpServer::newConnection, &origin, [&] {
        QTcpSocket* socket = origin.nextPendingConnection();
        held << socket;
        connect(socket, &QTcpSocket::readyRead, socket, [socket, fault] {
            socket->readAll();
            if (fault != u"reset")
                return;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                          "Content-Length: 100000\r\n\r\n" +
                          QByteArray(1000, 'x'));
            socket->flush();
            const linger hard{1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                         sizeof hard);
            socket->abort();
        });
    });
    {
        Browser browser(relay.port());
        QVERIFY(browser.waitConnected());
        if (fault != u"silent")
            browser.send(getRequest(origin.serverPort(), "/f"));
        if (fault == u"reset") {
            QTRY_VERIFY(browser.closedByPeer);
        } else {
            if (fault == u"hold")
                QTRY_COMPARE(held.size(), 1);
            browser.socket.disconnectFromHost();
            QTRY_COMPARE(relay.entries(Side::Lan, u"【Close】").size(), 1);
        }
        QCOMPARE(browser.received, expected);
    }
    QTRY_VERIFY(relay.tempFiles().isEmpty());
    if (fault == u"hold") // the server's connection is given up too
        QTRY_COMPARE(held.first()->state(), QAbstractSocket::UnconnectedState);
    qDeleteAll(held);
    QVERIFY(servesAgain(relay.port()));
    QTRY_COMPARE(openDescriptors(), baseline);
}

void TestRelayCycle::fullDiskRefusesTheAnswer() {
    if (::geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    TestProxy relay;
    const QString small = relay.dir() + u"/small"_s;
    QVERIFY(QDir().mkpath(small));
    if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a tmpfs here");
    auto unmount = qScopeGuard([&] {
        QDir::setCurrent(relay.dir());
        ::umount2(QFile::encodeName(small).constData(), MNT_DETACH);
    });
    QDir::setCurrent(small);
    OriginStub origin;
    origin.answer = [](int n) { return okAnswer(n == 0 ? QByteArray(1 << 20, 'x') : "fits"); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/big"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, Refusal);
    QVERIFY(QDir(small).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(servesAgain(relay.port(), "fits"));
}

void TestRelayCycle::idleConnectionsDoNotBlockNewOnes() {
    TestProxy relay;
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int k = 0; k < 1000; ++k) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, relay.port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(relay.engine->connectionCounter(), 1, 20000);
    // The cycle takes the oldest slot over for the newcomer.
    QVERIFY(servesAgain(relay.port()));
    QCOMPARE(relay.engine->connectionCounter(), 2);
}

void TestRelayCycle::runningOutOfDescriptorsPausesAccepting() {
    const QString headless = qEnvironmentVariable("TARNWICK_BIN_DIR") + u"/tarnwick-headless"_s;
    if (!QFile::exists(headless))
        QSKIP("tarnwick-headless not built");
    QTemporaryDir dir;
    OriginStub holding;
    holding.behaviour = OriginStub::Behaviour::Hold;
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    {
        SettingsStore store(dir.filePath(u"Tarnwick/Tarnwick.ini"_s));
        QVERIFY(store.save(Setting::LocalPort, QString::number(port)));
    }
    QProcess proxy;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_CONFIG_HOME"_s, dir.path());
    proxy.setProcessEnvironment(env);
    proxy.setWorkingDirectory(dir.path());
    proxy.setProcessChannelMode(QProcess::MergedChannels);
    proxy.setChildProcessModifier([] {
        const rlimit few{96, 96};
        ::setrlimit(RLIMIT_NOFILE, &few);
    });
    proxy.start(headless, {});
    QByteArray started;
    QVERIFY2(QTest::qWaitFor([&] { return (started += proxy.readAllStandardOutput()).contains("listening"); }, 20000),
             started.constData());
    auto cpuSeconds = [&] {
        QFile stat(u"/proc/%1/stat"_s.arg(proxy.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0.0;
        const QList<QByteArray> f = stat.readAll().split(')').value(1).split(' ');
        return (f.value(12).toDouble() + f.value(13).toDouble()) / double(::sysconf(_SC_CLK_TCK));
    };

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    const QByteArray request = getRequest(holding.port(), "/held");
    for (int k = 0; k < 1000; ++k) {
        auto* client = clients.emplace_back(std::make_unique<QTcpSocket>()).get();
        connect(client, &QTcpSocket::connected, client, [client, request] { client->write(request); });
        client->connectToHost(QHostAddress::LocalHost, port);
    }
    QTRY_VERIFY_WITH_TIMEOUT(holding.connections() > 5, 20000);
    QTest::qWait(500);
    const double before = cpuSeconds();
    QTest::qWait(2000);
    const double spent = cpuSeconds() - before;
    QVERIFY2(spent < 0.5, qPrintable(u"%1 s of CPU in 2 s while out of descriptors"_s.arg(spent)));
    const QByteArray output = proxy.readAllStandardOutput();
    QCOMPARE(output.count("LAN status: \xe3\x82\xa8\xe3\x83\xa9\xe3\x83\xbc\xe7\x99\xba\xe7\x94\x9f : 0"), 1);

    clients.clear(); // the browsers give up
    QVERIFY(QTest::qWaitFor([&] { return servesAgain(port); }, 30000));
    proxy.terminate();
    QVERIFY(proxy.waitForFinished(10000));
}

// With few descriptors, the relays admitted at once each find their server connection
// and answer file: the clients beyond that wait in the listener's queue, and none is
// refused for lack of a descriptor.
void TestRelayCycle::fewDescriptorsFailNoRelay() {
    LimitedHeadless proxy;
    if (!proxy.start(64))
        QSKIP("tarnwick-headless not built");
    CycleOrigin origin;
    CycleDriver driver(origin.port(), [&] { return proxy.port; }, 120, 40);
    // Answers in pieces and large enough to wait in their files.
    driver.kindOf = [](int) { return QByteArray("pieces"); };
    driver.sizeOf = [](int id) { return (1 << 20) + 4096 + id; };
    driver.start();
    QTRY_COMPARE_WITH_TIMEOUT(driver.done, 120, 120000);
    QVERIFY2(driver.failures.isEmpty(), qPrintable(driver.failures.mid(0, 5).join(u'\n')));
}

void TestRelayCycle::clientBeyondTheBudgetWaitsForARelayToEnd_data() {
    QTest::addColumn<int>("over");
    QTest::newRow("room for exactly two relays") << 0;
    QTest::newRow("room for two relays and three descriptors") << 3;
}

// With room for exactly two relays, the third client waits in the listener's queue
// until a relay ends, and is then served.
void TestRelayCycle::clientBeyondTheBudgetWaitsForARelayToEnd() {
    QFETCH(int, over);
    constexpr int Relays = 2;
    TestProxy relay;
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::Hold;
    origin.answer = [](int) { return okAnswer("served"); };
    rlimit before{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &before) == 0);
    auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &before); });
    // The listener takes the lowest free number and budgets what lies above it, less
    // the 16 it leaves for everything else.
    relay.engine->shutdown();
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest);
    const rlimit room{rlim_t(lowest + 16 + Relays * Listener::DescriptorsPerRelay + over),
                      before.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &room) == 0);
    QVERIFY(relay.engine->listen(0));
    std::vector<std::unique_ptr<Browser>> browsers;
    for (int k = 0; k <= Relays; ++k) {
        browsers.push_back(std::make_unique<Browser>(relay.port()));
        QVERIFY(browsers.back()->waitConnected());
        browsers.back()->send(getRequest(origin.port(), "/" + QByteArray::number(k)));
        QTRY_COMPARE(origin.connections(), std::min(k + 1, Relays));
    }
    QTest::qWait(500);
    QCOMPARE(origin.connections(), Relays);
    origin.behaviour = OriginStub::Behaviour::Answer;
    browsers.front()->socket.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(browsers.back()->closedByPeer, 10000);
    QCOMPARE(browsers.back()->received, okAnswer("served"));
}

// Descriptors freed by anything, not only by a relay that ends, let accepting resume.
void TestRelayCycle::descriptorsFreedAnyHowResumeAccepting() {
    TestProxy relay;
    rlimit before{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &before) == 0);
    const rlimit few{rlim_t(openDescriptors() + 64), before.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &few) == 0);
    // The browser's own socket is made before the table fills up.
    Browser browser(relay.port());
    std::vector<int> hogs;
    for (int fd; (fd = ::dup(0)) >= 0;)
        hogs.push_back(fd);
    auto release = qScopeGuard([&] {
        for (int fd : hogs)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &before);
    });
    QTRY_COMPARE(relay.monitor->status(Side::Lan), u"エラー発生 : 0"_s);
    QTest::qWait(300);
    QCOMPARE(relay.engine->connectionCounter(), 0);
    release.dismiss();
    for (int fd : hogs)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &before);
    QTRY_COMPARE_WITH_TIMEOUT(relay.engine->connectionCounter(), 1, 500);
}

QTEST_GUILESS_MAIN(TestRelayCycle)
#include "tst_relaycycle.moc"
