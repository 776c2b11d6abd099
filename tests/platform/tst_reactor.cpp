// The reactor's readiness set: a descriptor closed and its number taken by a new owner
// within one wake-up leaves the new owner nothing meant for the old one.

#include "platform/reactor.h"

#include <QTest>

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
} // namespace

class TestReactor : public QObject {
    Q_OBJECT
private slots:
    void reusedNumberGetsNothingOfTheOldOwner_data();
    void reusedNumberGetsNothingOfTheOldOwner();
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

QTEST_GUILESS_MAIN(TestReactor)
#include "tst_reactor.moc"
