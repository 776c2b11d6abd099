// HTTPS tunnels: a CONNECT request opens a connection that carries bytes both ways
// unchanged, to a scripted echo server standing in for a TLS server, directly or
// through an upstream proxy.

#include "relayharness.h"

#include "settings/settingskeys.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Tarnwick;
using namespace Qt::StringLiterals;
using namespace Tarnwick::Testing;

namespace {
const QByteArray Refusal = QByteArrayLiteral("HTTP/1.0 999");
const QByteArray Established = QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n");

// Sends back whatever it receives; closes when told to or when its peer does.
class EchoServer : public QObject {
public:
    EchoServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            peer = socket;
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray bytes = socket->readAll();
                received += bytes;
                socket->write(bytes);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QByteArray received;
    QPointer<QTcpSocket> peer;

private:
    QTcpServer m_server;
};

QByteArray connectHead(quint16 port, const QByteArray& host = "127.0.0.1") {
    return "CONNECT " + host + ':' + QByteArray::number(port) + " HTTP/1.1\r\nHost: " + host +
           ':' + QByteArray::number(port) + "\r\nUser-Agent: UA\r\n\r\n";
}

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Debian's tinyproxy as the upstream proxy, allowed to CONNECT to one port.
struct Tinyproxy {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    bool start(quint16 connectPort) {
        const QString program =
            QStandardPaths::findExecutable(u"tinyproxy"_s, {u"/usr/bin"_s, u"/usr/sbin"_s});
        if (program.isEmpty())
            return false;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        QFile config(dir.filePath(u"tinyproxy.conf"_s));
        config.open(QIODevice::WriteOnly);
        config.write("Port " + QByteArray::number(port) + "\nListen 127.0.0.1\nTimeout 30\n"
                     "Allow 127.0.0.1\nConnectPort " + QByteArray::number(connectPort) +
                     "\nLogLevel Warning\nMaxClients 10\n");
        config.close();
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, {u"-d"_s, u"-c"_s, config.fileName()});
        if (!process.waitForStarted())
            return false;
        QTcpSocket ready;
        return QTest::qWaitFor([&] {
            ready.abort();
            ready.connectToHost(QHostAddress::LocalHost, port);
            return ready.waitForConnected(200);
        }, 10000);
    }
    ~Tinyproxy() {
        process.terminate();
        process.waitForFinished(5000);
    }
};

// Blocking sockets for peers that run in threads of their own, so that they can
// half-close and go on reading while the proxy runs on the test's event loop.
// A small receive buffer keeps what a slow reader has not taken in the proxy.
void readSlowly(int fd) {
    const int small = 8192;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

int dialLoopback(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval patience{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    readSlowly(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

void writeAll(int fd, QByteArrayView bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += n;
    }
}

// Reads until the peer's end (or `head` bytes up to a blank line when asked).
QByteArray readFrom(int fd, bool head = false) {
    QByteArray got;
    char buffer[65536];
    while (!(head && got.contains("\r\n\r\n"))) {
        const ssize_t n = ::recv(fd, buffer, head ? 1 : sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}
} // namespace

class TestTunnel : public QObject {
    Q_OBJECT
private slots:
    void carriesBytesBothWays_data();
    void carriesBytesBothWays();
    void refusals_data();
    void refusals();
    void directionsEndSeparately_data();
    void directionsEndSeparately();
    void slowBrowserHoldsTheServerBack();
    void throughAnUpstreamProxy();
};

void TestTunnel::carriesBytesBothWays_data() {
    QTest::addColumn<int>("pieces");
    QTest::addColumn<bool>("serverCloses");
    QTest::newRow("at once, browser closes") << 1 << false;
    QTest::newRow("in pieces, browser closes") << 7 << false;
    QTest::newRow("in pieces, server closes") << 7 << true;
}

void TestTunnel::carriesBytesBothWays() {
    QFETCH(int, pieces);
    QFETCH(bool, serverCloses);
    TestProxy relay;
    relay.store->save(Setting::ConnectTunnel, Choice::Third.toString()); // any port
    relay.monitor->setAllChecked(true);
    EchoServer server;
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(connectHead(server.port()));
    QTRY_COMPARE(browser.received, Established);
    // The head is logged like any request; what the tunnel carries never is.
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);

    const QByteArray payload = noise(300 * 1024, 11) + "\r\n\r\nGET / HTTP/1.1\r\n\r\n";
    browser.received.clear();
    const qsizetype step = payload.size() / pieces + 1;
    for (qsizetype at = 0; at < payload.size(); at += step) {
        browser.send(payload.mid(at, step));
        QTest::qWait(5);
    }
    QTRY_COMPARE_WITH_TIMEOUT(browser.received.size(), payload.size(), 20000);
    QCOMPARE(browser.received, payload);
    QCOMPARE(server.received, payload);
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
    QVERIFY(relay.tempFiles().isEmpty());

    if (serverCloses) {
        server.peer->write("last words");
        server.peer->disconnectFromHost();
        QTRY_VERIFY(browser.closedByPeer);
        QVERIFY(browser.received.endsWith("last words"));
    } else {
        browser.socket.disconnectFromHost();
        QTRY_VERIFY(server.peer.isNull());
    }
    QTRY_COMPARE(relay.entries(Side::Wan, u"【Tunnel : Close】").size(), 1);
    const QString entry = relay.entries(Side::Wan, u"【Tunnel : Close】").first();
    QVERIFY2(entry.contains(u"Host : 127.0.0.1:%1"_s.arg(server.port())), qPrintable(entry));
    QVERIFY2(entry.contains(u"Up : %1"_s.arg(payload.size())), qPrintable(entry));
}

void TestTunnel::refusals_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<bool>("otherMachine");
    QTest::newRow("× refuses every tunnel") << u"×"_s << true << false;
    QTest::newRow("○ refuses other ports") << u"○"_s << true << false;
    QTest::newRow("nothing stored is ○") << QString() << true << false;
    QTest::newRow("unreachable server") << u"△"_s << false << false;
    QTest::newRow("client not admitted") << u"△"_s << true << true;
}

void TestTunnel::refusals() {
    QFETCH(QString, mode);
    QFETCH(bool, reachable);
    QFETCH(bool, otherMachine);
    TestProxy relay;
    if (!mode.isNull())
        relay.store->save(Setting::ConnectTunnel, mode);
    EchoServer server;
    quint16 port = server.port();
    if (!reachable) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    Browser browser(relay.port(), otherMachine ? QHostAddress(u"127.0.0.2"_s)
                                               : QHostAddress(QHostAddress::LocalHost));
    QVERIFY(browser.waitConnected());
    browser.send(connectHead(port));
    // Every refusal ends with the browser's connection closed.
    QTRY_VERIFY_WITH_TIMEOUT(browser.closedByPeer, 15000);
    QCOMPARE(browser.received, otherMachine ? QByteArray() : Refusal);
    QVERIFY(server.received.isEmpty());
    QVERIFY(server.peer.isNull());
}

void TestTunnel::directionsEndSeparately_data() {
    QTest::addColumn<QString>("upstream"); // none, scripted, tinyproxy
    QTest::addColumn<bool>("browserFirst"); // whose sending ends first
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("answerAfterEnd"); // a half-close, answered after the end
    // A scripted upstream proxy carries half-closes; tinyproxy closes both directions
    // at the first end, so through it only whole closes can be carried.
    for (const QString& upstream : {u"none"_s, u"scripted"_s}) {
        const QByteArray via = upstream == u"none" ? "direct" : "through an upstream proxy";
        QTest::addRow("browser half-closes, server answers after, %s", via.constData())
            << upstream << true << qsizetype(300 * 1024) << true;
        QTest::addRow("server half-closes, browser answers after, %s", via.constData())
            << upstream << false << qsizetype(300 * 1024) << true;
    }
    for (const QString& upstream : {u"none"_s, u"tinyproxy"_s}) {
        const QByteArray via = upstream == u"none" ? "direct" : "through tinyproxy";
        QTest::addRow("server sends 3 MiB and closes at once, %s", via.constData())
            << upstream << false << qsizetype(3 << 20) << false;
        QTest::addRow("browser sends 3 MiB and closes at once, %s", via.constData())
            << upstream << true << qsizetype(3 << 20) << false;
    }
}

void TestTunnel::directionsEndSeparately() {
    QFETCH(QString, upstream);
    QFETCH(bool, browserFirst);
    QFETCH(qsizetype, size);
    QFETCH(bool, answerAfterEnd);
    const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
    readSlowly(listening);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listening, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(listening, 4) == 0 &&
            ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const quint16 serverPort = ntohs(address.sin_port);
    TestProxy relay;
    relay.store->save(Setting::ConnectTunnel, Choice::Third.toString());
    Tinyproxy tinyproxy;
    if (upstream != u"none") {
        quint16 proxyPort = serverPort; // the scripted one is the server itself
        if (upstream == u"tinyproxy") {
            if (!tinyproxy.start(serverPort))
                QSKIP("tinyproxy not installed");
            proxyPort = tinyproxy.port;
        }
        relay.store->save(Setting::Proxy, Choice::Allow.toString());
        relay.store->save(Setting::ProxyServer, u"127.0.0.1"_s);
        relay.store->save(Setting::ProxyPort, QString::number(proxyPort));
    }
    const QByteArray payload = noise(size, 7);
    const QByteArray answer = answerAfterEnd ? "got " + QByteArray::number(size) : QByteArray();
    // The side that ends first sends the payload and ends (a half-close, or a close);
    // the other reads to the end, answers, and ends too.
    auto first = [&](int fd) {
        writeAll(fd, payload);
        answerAfterEnd ? void(::shutdown(fd, SHUT_WR)) : void(::close(fd));
        return answerAfterEnd ? readFrom(fd) : QByteArray();
    };
    auto second = [&](int fd) {
        // A slow reader: the proxy still holds bytes for it when the first side ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const QByteArray got = readFrom(fd);
        writeAll(fd, answer);
        return got;
    };
    QByteArray atServer, atBrowser;
    std::atomic<int> done = 0;
    std::thread server([&] {
        const int fd = ::accept(listening, nullptr, nullptr);
        const timeval patience{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        if (upstream == u"scripted") {
            readFrom(fd, true);
            writeAll(fd, Established);
        }
        atServer = browserFirst ? second(fd) : first(fd);
        if (browserFirst || answerAfterEnd) // not closed by first() yet
            ::close(fd);
        ++done;
    });
    std::thread browser([&] {
        const int fd = dialLoopback(relay.port());
        writeAll(fd, connectHead(serverPort));
        readFrom(fd, true); // the tunnel's "200" head
        atBrowser = browserFirst ? first(fd) : second(fd);
        if (!browserFirst || answerAfterEnd)
            ::close(fd);
        ++done;
    });
    const bool finished = QTest::qWaitFor([&] { return done.load() == 2; }, 30000);
    server.join();
    browser.join();
    ::close(listening);
    QVERIFY(finished);
    QCOMPARE(browserFirst ? atServer : atBrowser, payload);
    QCOMPARE(browserFirst ? atBrowser : atServer, answer);
    QTRY_COMPARE(relay.entries(Side::Wan, u"【Tunnel : Close】").size(), 1);
}

void TestTunnel::slowBrowserHoldsTheServerBack() {
    TestProxy relay;
    relay.store->save(Setting::ConnectTunnel, Choice::Third.toString());
    QTcpServer origin;
    QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
    QPointer<QTcpSocket> server;
    connect(&origin, &QTcpServer::newConnection, &origin,
            [&] { server = origin.nextPendingConnection(); });
    QTcpSocket browser;
    browser.setReadBufferSize(64 * 1024); // a browser that hardly reads
    browser.connectToHost(QHostAddress::LocalHost, relay.port());
    QVERIFY(browser.waitForConnected(5000));
    browser.write(connectHead(origin.serverPort()));
    QTRY_VERIFY(server);
    // The server pours out far more than the browser takes.
    const QByteArray chunk = noise(1024 * 1024, 5);
    qint64 sent = 0;
    for (int k = 0; k < 64; ++k) {
        server->write(chunk);
        sent += chunk.size();
        QTest::qWait(2);
    }
    QTest::qWait(300);
    // Held back, not taken into the proxy: what left the server fits in the sockets'
    // buffers on the way and the proxy's own megabyte or two.
    QVERIFY(server->bytesToWrite() > 0);
    QVERIFY2(sent - server->bytesToWrite() < 32 * 1024 * 1024,
             qPrintable(QString::number(sent - server->bytesToWrite())));

    // Once the browser reads, everything arrives.
    browser.setReadBufferSize(0);
    qint64 received = 0;
    connect(&browser, &QTcpSocket::readyRead, &browser,
            [&] { received += browser.readAll().size(); });
    received += browser.readAll().size();
    QTRY_COMPARE_WITH_TIMEOUT(received, Established.size() + sent, 30000);
}

void TestTunnel::throughAnUpstreamProxy() {
    EchoServer server;
    Tinyproxy upstream;
    if (!upstream.start(server.port()))
        QSKIP("tinyproxy not installed");
    TestProxy relay;
    relay.store->save(Setting::Proxy, Choice::Allow.toString());
    relay.store->save(Setting::ProxyServer, u"127.0.0.1"_s);
    relay.store->save(Setting::ProxyPort, QString::number(upstream.port));
    relay.store->save(Setting::ConnectTunnel, Choice::Third.toString());
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(connectHead(server.port()));
    // The upstream proxy's own answer reaches the browser as it sent it.
    QTRY_VERIFY_WITH_TIMEOUT(browser.received.contains("\r\n\r\n"), 10000);
    QVERIFY2(browser.received.startsWith("HTTP/1.") && browser.received.contains(" 200 "),
             browser.received.constData());
    browser.received.clear();
    const QByteArray payload = noise(100 * 1024, 3);
    browser.send(payload);
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, payload, 10000);
}

QTEST_GUILESS_MAIN(TestTunnel)
#include "tst_tunnel.moc"
