// The event socket as the relay uses it: a listener that offers each connection to
// its handler, accepted or refused; the events of an accepted or connecting socket;
// and large sends that report completion once.

#include "platform/eventsocket.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <memory>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {
// A plain client that keeps everything it receives.
struct Client {
    QTcpSocket socket;
    QByteArray received;
    bool disconnected = false;

    Client() {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { disconnected = true; });
    }
    bool connectTo(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
};

// A listener on a free port, and slot 1 that accepts what it offers.
struct Listening {
    EventSocket listener{0};
    EventSocket slot{1};
    QString offeredIP;
    int offeredPort = -1;
    int requests = 0;
    bool acceptRequests = true;
    int accepted = -1; // the accepted connection's descriptor

    Listening() {
        QObject::connect(&listener, &EventSocket::connectionRequest, [this](int, qintptr id) {
            ++requests;
            offeredIP = listener.remoteHostIP();
            offeredPort = listener.remotePort();
            if (acceptRequests && slot.accept(id))
                accepted = int(id);
        });
    }
    quint16 port() const { return quint16(listener.localPort()); }
};

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20240607);
    for (qsizetype k = 0; k < size; ++k)
        bytes[k] = char(generator.bounded(256));
    // Make sure the awkward bytes are there whatever the generator gives.
    bytes[0] = '\0';
    bytes[1] = char(0xff);
    bytes[2] = char(0x80);
    bytes[size - 1] = '\0';
    return bytes;
}

quint16 closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
} // namespace

class TestEventSocket : public QObject {
    Q_OBJECT

private slots:
    void listenerOffersLocalClient();
    void requestNobodyAcceptsIsClosed();
    void acceptOnlyTheOfferedRequestOnce();
    void peerCloseIsCloseEvent_data();
    void peerCloseIsCloseEvent();
    void sendCompleteAfterEverythingWritten();
    void connectToClosedPortIsError();
    void ourCloseRaisesNoEvent();
    void connectWithoutDescriptorsIsErrorLater();
};

void TestEventSocket::listenerOffersLocalClient() {
    Listening l;
    l.listener.setLocalPort(0);
    QVERIFY(l.listener.listen());
    QVERIFY(l.port() != 0);
    QVERIFY(!l.listener.listen()); // already listening

    QSignalSpy arrival(&l.slot, &EventSocket::dataArrival);
    Client client;
    QVERIFY(client.connectTo(l.port()));
    QTRY_COMPARE(l.requests, 1);
    QCOMPARE(l.offeredIP, u"127.0.0.1"_s);
    QCOMPARE(l.offeredPort, int(client.socket.localPort()));
    QCOMPARE(l.slot.state(), EventSocket::State::Connected);
    QCOMPARE(l.slot.remoteHostIP(), u"127.0.0.1"_s);
    QCOMPARE(l.slot.remotePort(), int(client.socket.localPort()));
    QCOMPARE(l.slot.localPort(), int(l.port()));

    client.socket.write("GET http://a.test/ HTTP/1.0\r\n\r\n");
    QTRY_VERIFY(!arrival.isEmpty());
    QCOMPARE(arrival.first().at(0).toInt(), 1);
    QVERIFY(arrival.first().at(1).toLongLong() > 0);
    QByteArray got;
    QTRY_VERIFY((got += l.slot.getData()).size() == 31);
    QCOMPARE(got, QByteArrayLiteral("GET http://a.test/ HTTP/1.0\r\n\r\n"));
    QCOMPARE(l.slot.getData(), QByteArray());
    QCOMPARE(l.slot.bytesAvailable(), 0);

    QVERIFY(l.slot.sendData(QByteArrayLiteral("HTTP/1.0 999")));
    QTRY_COMPARE(client.received, QByteArrayLiteral("HTTP/1.0 999"));
}

void TestEventSocket::requestNobodyAcceptsIsClosed() {
    Listening l;
    l.acceptRequests = false;
    QVERIFY(l.listener.listen());
    Client client;
    QVERIFY(client.connectTo(l.port()));
    QTRY_VERIFY(client.disconnected);
    QCOMPARE(l.requests, 1);
    QCOMPARE(client.received.size(), 0);
    QCOMPARE(l.slot.state(), EventSocket::State::Closed);
    // The listener goes on offering the next one.
    l.acceptRequests = true;
    Client next;
    QVERIFY(next.connectTo(l.port()));
    QTRY_COMPARE(l.slot.state(), EventSocket::State::Connected);
    QCOMPARE(l.requests, 2);
}

void TestEventSocket::acceptOnlyTheOfferedRequestOnce() {
    EventSocket listener(0);
    EventSocket first(1);
    EventSocket second(2);
    EventSocket late(3);
    QVERIFY(listener.listen());
    qintptr offered = -1;
    bool firstOk = false;
    bool secondOk = true;
    QObject::connect(&listener, &EventSocket::connectionRequest, [&](int, qintptr id) {
        offered = id;
        firstOk = first.accept(id);
        // One connection cannot belong to two slots.
        secondOk = second.accept(id);
    });
    Client client;
    QVERIFY(client.connectTo(quint16(listener.localPort())));
    QTRY_VERIFY(offered >= 0);
    QVERIFY(firstOk);
    QVERIFY(!secondOk);
    QCOMPARE(second.state(), EventSocket::State::Closed);
    // Outside the event the id means nothing any more.
    QVERIFY(!late.accept(offered));
    QVERIFY(!late.accept(0));
    QCOMPARE(late.state(), EventSocket::State::Closed);

    QVERIFY(first.sendData(QByteArrayLiteral("ok")));
    QTRY_COMPARE(client.received, QByteArrayLiteral("ok"));
}

void TestEventSocket::peerCloseIsCloseEvent_data() {
    QTest::addColumn<bool>("connecting");
    QTest::addColumn<QByteArray>("lastWords");
    QTest::newRow("accepted, silent peer") << false << QByteArray();
    QTest::newRow("accepted, data then close") << false << QByteArrayLiteral("bye\0\xff");
    QTest::newRow("connecting, silent server") << true << QByteArray();
    QTest::newRow("connecting, answer then close")
        << true << QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nbody");
}

void TestEventSocket::peerCloseIsCloseEvent() {
    QFETCH(bool, connecting);
    QFETCH(QByteArray, lastWords);

    // The peer is a plain socket on the other end, either our client or our server.
    QTcpServer server;
    Listening l;
    std::unique_ptr<Client> client;
    std::unique_ptr<QTcpSocket> serverSide;
    EventSocket connector(7);
    EventSocket* ours = nullptr;
    QTcpSocket* peer = nullptr;
    if (connecting) {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QSignalSpy connected(&connector, &EventSocket::connected);
        connector.setRemoteHost(u"127.0.0.1"_s);
        connector.setRemotePort(server.serverPort());
        QVERIFY(connector.connectToRemote());
        QTRY_COMPARE(connected.size(), 1);
        QCOMPARE(connected.first().at(0).toInt(), 7);
        QTRY_VERIFY(server.hasPendingConnections());
        serverSide.reset(server.nextPendingConnection());
        ours = &connector;
        peer = serverSide.get();
    } else {
        QVERIFY(l.listener.listen());
        client = std::make_unique<Client>();
        QVERIFY(client->connectTo(l.port()));
        QTRY_COMPARE(l.slot.state(), EventSocket::State::Connected);
        ours = &l.slot;
        peer = &client->socket;
    }

    QByteArray received;
    QStringList order;
    QObject::connect(ours, &EventSocket::dataArrival, [&](int, qint64) {
        order << u"data"_s;
        received += ours->getData();
    });
    QObject::connect(ours, &EventSocket::closed, [&](int) { order << u"closed"_s; });
    QSignalSpy closed(ours, &EventSocket::closed);
    QSignalSpy error(ours, &EventSocket::error);
    if (!lastWords.isEmpty())
        peer->write(lastWords);
    peer->disconnectFromHost();
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(closed.first().at(0).toInt(), connecting ? 7 : 1);
    // The data the peer sent before closing come before the close, and whole.
    received += ours->getData();
    QCOMPARE(received, lastWords);
    if (!lastWords.isEmpty())
        QCOMPARE(order.first(), u"data"_s);
    QTest::qWait(100);
    QCOMPARE(closed.size(), 1);
    QCOMPARE(error.size(), 0);
}

void TestEventSocket::sendCompleteAfterEverythingWritten() {
    Listening l;
    QVERIFY(l.listener.listen());
    Client client;
    QVERIFY(client.connectTo(l.port()));
    QTRY_COMPARE(l.slot.state(), EventSocket::State::Connected);
    QSignalSpy complete(&l.slot, &EventSocket::sendComplete);

    // Bytes handed over whole.
    const QByteArray big = randomBytes(6 * 1024 * 1024 + 123);
    // Everything must have left the socket by then: read by the client, or waiting in
    // the kernel on either side.
    qsizetype handedOverWhenComplete = -1;
    auto watch = QObject::connect(&l.slot, &EventSocket::sendComplete, [&] {
        int unread = 0;
        int unsent = 0;
        ::ioctl(int(client.socket.socketDescriptor()), FIONREAD, &unread);
        ::ioctl(l.accepted, SIOCOUTQ, &unsent);
        handedOverWhenComplete =
            client.received.size() + client.socket.bytesAvailable() + unread + unsent;
    });
    QVERIFY(l.slot.sendData(big));
    QCOMPARE(complete.size(), 0); // never before the bytes went out
    QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), big.size(), 20000);
    QTRY_COMPARE(complete.size(), 1);
    QCOMPARE(complete.first().at(0).toInt(), 1);
    QVERIFY2(handedOverWhenComplete >= big.size(), qPrintable(QString::number(handedOverWhenComplete)));
    QVERIFY(client.received == big);
    QObject::disconnect(watch);

    // A file streamed from disk.
    QTemporaryDir dir;
    QFile file(dir.filePath(u"answer"_s));
    const QByteArray content = randomBytes(3 * 1024 * 1024 + 7);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();
    auto reader = std::make_unique<QFile>(file.fileName());
    QVERIFY(reader->open(QIODevice::ReadOnly));
    client.received.clear();
    QVERIFY(l.slot.sendDevice(std::move(reader)));
    QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), content.size(), 20000);
    QTRY_COMPARE(complete.size(), 2);
    QVERIFY(client.received == content);

    QTest::qWait(100);
    QCOMPARE(complete.size(), 2);
    // Nothing to send: no completion to report.
    QVERIFY(l.slot.sendData(QByteArray()));
    QTest::qWait(50);
    QCOMPARE(complete.size(), 2);
}

void TestEventSocket::connectToClosedPortIsError() {
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    EventSocket wan(5);
    QSignalSpy error(&wan, &EventSocket::error);
    QSignalSpy connected(&wan, &EventSocket::connected);
    QSignalSpy closed(&wan, &EventSocket::closed);
    wan.setRemoteHost(u"127.0.0.1"_s);
    wan.setRemotePort(port);
    QVERIFY(wan.connectToRemote());
    QTRY_COMPARE(error.size(), 1);
    QCOMPARE(error.first().at(0).toInt(), 5);
    QCOMPARE(error.first().at(1).toInt(), 10061);
    QVERIFY(!error.first().at(2).toString().isEmpty());
    QTest::qWait(50);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(closed.size(), 0);
    QCOMPARE(error.size(), 1);

    // Nowhere to connect to is refused before anything starts.
    EventSocket nowhere(6);
    QVERIFY(!nowhere.connectToRemote());
    nowhere.setRemoteHost(u"127.0.0.1"_s);
    QVERIFY(!nowhere.connectToRemote()); // port 0
}

void TestEventSocket::ourCloseRaisesNoEvent() {
    Listening l;
    QVERIFY(l.listener.listen());
    const quint16 port = l.port();
    Client client;
    QVERIFY(client.connectTo(port));
    QTRY_COMPARE(l.slot.state(), EventSocket::State::Connected);
    QSignalSpy closed(&l.slot, &EventSocket::closed);
    QSignalSpy error(&l.slot, &EventSocket::error);
    QVERIFY(l.slot.sendData(QByteArrayLiteral("last")));
    l.slot.close();
    QCOMPARE(l.slot.state(), EventSocket::State::Closed);
    QTRY_VERIFY(client.disconnected);
    QCOMPARE(client.received, QByteArrayLiteral("last"));
    QTest::qWait(100);
    QCOMPARE(closed.size(), 0);
    QCOMPARE(error.size(), 0);
    QVERIFY(!l.slot.sendData(QByteArrayLiteral("x")));
    QCOMPARE(l.slot.getData(), QByteArray());

    // Closing the listener refuses new clients; listening again works on the same port.
    QSignalSpy listenerClosed(&l.listener, &EventSocket::closed);
    l.listener.close();
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!refused.waitForConnected(5000));
    QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(listenerClosed.size(), 0);
    l.listener.setLocalPort(port);
    QVERIFY(l.listener.listen());
    QCOMPARE(l.port(), port);
    // A slot that was closed takes the next connection.
    Client again;
    QVERIFY(again.connectTo(port));
    QTRY_COMPARE(l.slot.state(), EventSocket::State::Connected);
    QCOMPARE(l.requests, 2);
}

QTEST_GUILESS_MAIN(TestEventSocket)
#include "tst_eventsocket.moc"

void TestEventSocket::connectWithoutDescriptorsIsErrorLater() {
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost, 0));
    EventSocket wan(7);
    wan.setRemoteHost(u"127.0.0.1"_s);
    wan.setRemotePort(target.serverPort());
    // The handler closes the socket whose connect just failed, as the relay does.
    int errors = 0;
    connect(&wan, &EventSocket::error, &wan, [&](int, int number) {
        ++errors;
        QCOMPARE(number, 10055);
        wan.close();
    });
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    // Descriptors are handed out lowest first: below the lowest free one, none is left.
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = rlim_t(lowestFree);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &none) == 0);
    const bool started = wan.connectToRemote();
    QCOMPARE(errors, 0); // never inside the call that started it
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
    QVERIFY(started);
    QTRY_COMPARE(errors, 1);
    QCOMPARE(wan.state(), EventSocket::State::Closed);
}
