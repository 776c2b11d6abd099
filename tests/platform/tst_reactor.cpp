// The reactor's readiness set: a descriptor closed and its number taken by a new owner
// within one wake-up leaves the new owner nothing meant for the old one. A connection
// closed and opened anew inside one of its own callbacks hears nothing more of the
// closed socket, and reading paused for several reasons waits until none holds.

#include "platform/connection.h"
#include "platform/reactor.h"

#include <QTest>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Tarnwick;

namespace {
struct Handler final : Watched {
    void ready(quint32) override {
        ++calls;
        if (onReady)
            onReady();
    }
    int calls = 0;
    std::function<void()> onReady;
};

struct Pair {
    Pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }
    ~Pair() {
        for (const int f : fd)
            if (f >= 0)
                ::close(f);
    }
    int fd[2] = {-1, -1};
};

// A blocking loopback listener whose clients are taken with accept().
struct Server {
    Server() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd, 4);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Server() { ::close(fd); }
    int accept() const { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
    int fd = -1;
    quint16 port = 0;
};

struct Recorder final : Connection::Events {
    void connected(Connection&) override {
        ++connects;
        if (onConnected)
            onConnected();
    }
    void secured(Connection&) override {}
    void arrived(Connection&, QByteArrayView bytes) override {
        received += bytes;
        if (onArrived)
            onArrived();
    }
    void sent(Connection&) override {}
    void ended(Connection&) override { ++ends; }
    void failed(Connection&, int error) override { failure = error; }
    int connects = 0;
    int ends = 0;
    int failure = 0;
    QByteArray received;
    std::function<void()> onConnected;
    std::function<void()> onArrived;
};
} // namespace

class TestReactor : public QObject {
    Q_OBJECT
private slots:
    void reusedNumberGetsNothingOfTheOldOwner_data();
    void reusedNumberGetsNothingOfTheOldOwner();
    void reopenedConnectionGetsNothingOfTheClosed_data();
    void reopenedConnectionGetsNothingOfTheClosed();
    void readingWaitsUntilNoReasonHolds_data();
    void readingWaitsUntilNoReasonHolds();
};

void TestReactor::reusedNumberGetsNothingOfTheOldOwner_data() {
    QTest::addColumn<bool>("oldReadable");
    QTest::addColumn<bool>("oldAskedAgain");
    QTest::newRow("event collected in the same wake-up") << true << false;
    QTest::newRow("visit asked for with again()") << false << true;
}

void TestReactor::reusedNumberGetsNothingOfTheOldOwner() {
    QFETCH(bool, oldReadable);
    QFETCH(bool, oldAskedAgain);
    Reactor reactor;
    Pair closer, old, fresh;
    Handler first, oldOwner, newOwner;
    const int number = old.fd[0];
    // Handled first, it closes the old descriptor and gives its number to a new one.
    first.onReady = [&] {
        char byte;
        QCOMPARE(::read(closer.fd[0], &byte, 1), 1);
        if (oldAskedAgain)
            reactor.again(number);
        reactor.remove(number);
        QCOMPARE(::dup2(fresh.fd[0], number), number);
        ::close(fresh.fd[0]);
        fresh.fd[0] = -1;
        QVERIFY(reactor.add(number, EPOLLIN, &newOwner));
    };
    QVERIFY(reactor.add(closer.fd[0], EPOLLIN, &first, true));
    QVERIFY(reactor.add(number, EPOLLIN, &oldOwner));
    QCOMPARE(::write(closer.fd[1], "x", 1), 1);
    if (oldReadable)
        QCOMPARE(::write(old.fd[1], "x", 1), 1);
    reactor.dispatch();
    QCOMPARE(first.calls, 1);
    QCOMPARE(oldOwner.calls, 0);
    QCOMPARE(newOwner.calls, 0);
    // The new owner's own data does reach it.
    QCOMPARE(::write(fresh.fd[1], "y", 1), 1);
    reactor.dispatch();
    QCOMPARE(newOwner.calls, 1);
}

void TestReactor::reopenedConnectionGetsNothingOfTheClosed_data() {
    QTest::addColumn<bool>("inConnected");
    // The first visit finds the peer's bytes and its close together.
    QTest::newRow("reopened inside connected()") << true;
    // The closed socket's end was read with the bytes handed over.
    QTest::newRow("reopened inside arrived()") << false;
}

void TestReactor::reopenedConnectionGetsNothingOfTheClosed() {
    QFETCH(bool, inConnected);
    Reactor reactor;
    Server first, second;
    Recorder events;
    Connection connection(reactor, events);
    bool reopened = false;
    (inConnected ? events.onConnected : events.onArrived) = [&] {
        if (reopened)
            return;
        reopened = true;
        connection.close();
        QCOMPARE(connection.connectTo(QHostAddress::LocalHost, second.port), 0);
    };
    QCOMPARE(connection.connectTo(QHostAddress::LocalHost, first.port), 0);
    if (!inConnected)
        QTRY_COMPARE(events.connects, 1);
    const int peer = first.accept();
    QCOMPARE(::write(peer, "bye", 3), 3);
    ::close(peer);
    QTRY_COMPARE(events.connects, 2);
    QCOMPARE(events.ends, 0);
    QVERIFY(!connection.readEnded());
    QCOMPARE(connection.state(), Connection::State::Connected);
    // The new socket's own bytes and end still arrive.
    const int next = second.accept();
    QCOMPARE(::write(next, "hello", 5), 5);
    ::close(next);
    QTRY_COMPARE(events.ends, 1);
    QCOMPARE(events.received, QByteArray(inConnected ? "hello" : "byehello"));
    QCOMPARE(events.failure, 0);
}

void TestReactor::readingWaitsUntilNoReasonHolds_data() {
    using H = Connection::Hold;
    QTest::addColumn<QList<H>>("paused");
    QTest::addColumn<QList<H>>("resumed");
    QTest::addColumn<bool>("reads");
    QTest::newRow("one reason, resumed") << QList{H::PeerBehind} << QList{H::PeerBehind} << true;
    QTest::newRow("two reasons, one resumed")
        << QList{H::PeerBehind, H::Question} << QList{H::PeerBehind} << false;
    QTest::newRow("two reasons, both resumed")
        << QList{H::PeerBehind, H::Question} << QList{H::Question, H::PeerBehind} << true;
    // A reason that was never given changes nothing.
    QTest::newRow("resumed also for a reason not given")
        << QList{H::Pipelined} << QList{H::Descriptors, H::Pipelined} << true;
}

void TestReactor::readingWaitsUntilNoReasonHolds() {
    QFETCH(QList<Connection::Hold>, paused);
    QFETCH(QList<Connection::Hold>, resumed);
    QFETCH(bool, reads);
    Reactor reactor;
    Server server;
    Recorder events;
    Connection connection(reactor, events);
    QCOMPARE(connection.connectTo(QHostAddress::LocalHost, server.port), 0);
    QTRY_COMPARE(events.connects, 1);
    const int peer = server.accept();
    for (const Connection::Hold why : paused)
        connection.pauseReading(why);
    QCOMPARE(::write(peer, "waiting", 7), 7);
    QTest::qWait(50);
    QVERIFY(events.received.isEmpty());
    for (const Connection::Hold why : resumed)
        connection.resumeReading(why);
    if (reads) {
        QTRY_COMPARE(events.received, QByteArray("waiting"));
    } else {
        QTest::qWait(50);
        QVERIFY(events.received.isEmpty());
        QVERIFY(connection.readingPaused());
    }
    ::close(peer);
}

QTEST_GUILESS_MAIN(TestReactor)
#include "tst_reactor.moc"
