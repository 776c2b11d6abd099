// HTTPS tunnels: a CONNECT request opens a connection that carries bytes both ways
// unchanged, to a scripted echo server standing in for a TLS server, directly or
// through an upstream proxy.

#include "relayharness.h"

#include "settings/settingskeys.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

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
} // namespace

class TestTunnel : public QObject {
    Q_OBJECT
private slots:
    void carriesBytesBothWays_data();
    void carriesBytesBothWays();
    void refusals_data();
    void refusals();
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
    if (otherMachine) {
        QTRY_VERIFY(browser.closedByPeer);
        QVERIFY(browser.received.isEmpty());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(browser.received, Refusal, 10000);
    }
    QVERIFY(server.received.isEmpty());
    QVERIFY(server.peer.isNull());
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
    const QString tinyproxy = QStandardPaths::findExecutable(u"tinyproxy"_s, {u"/usr/bin"_s, u"/usr/sbin"_s});
    if (tinyproxy.isEmpty())
        QSKIP("tinyproxy not installed");
    EchoServer server;
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 upstreamPort = probe.serverPort();
    probe.close();
    QTemporaryDir dir;
    QFile config(dir.filePath(u"tinyproxy.conf"_s));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("Port " + QByteArray::number(upstreamPort) + "\nListen 127.0.0.1\nTimeout 30\n"
                 "Allow 127.0.0.1\nConnectPort " + QByteArray::number(server.port()) +
                 "\nLogLevel Warning\nMaxClients 10\n");
    config.close();
    QProcess upstream;
    upstream.setProcessChannelMode(QProcess::ForwardedChannels);
    upstream.start(tinyproxy, {u"-d"_s, u"-c"_s, config.fileName()});
    QVERIFY(upstream.waitForStarted());
    auto stop = qScopeGuard([&] {
        upstream.terminate();
        upstream.waitForFinished(5000);
    });
    QTcpSocket ready;
    QVERIFY(QTest::qWaitFor([&] {
        ready.abort();
        ready.connectToHost(QHostAddress::LocalHost, upstreamPort);
        return ready.waitForConnected(200);
    }, 10000));
    ready.abort();

    TestProxy relay;
    relay.store->save(Setting::Proxy, Choice::Allow.toString());
    relay.store->save(Setting::ProxyServer, u"127.0.0.1"_s);
    relay.store->save(Setting::ProxyPort, QString::number(upstreamPort));
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
