// The relays' deadlines on one timer: each fires once, never before its time, in the
// order of its time, and never once cancelled or set anew.

#include "platform/deadlines.h"
#include "platform/reactor.h"

#include <QElapsedTimer>
#include <QTest>
#include <map>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {
struct Owner final : Deadlines::Client {
    Owner(QString name, QStringList& fired, QList<qint64>& at, QElapsedTimer& clock)
        : name(std::move(name)), fired(fired), at(at), clock(clock), node(*this) {}
    void deadlineReached() override {
        fired << name;
        at << clock.elapsed();
        if (onFire)
            onFire();
    }
    QString name;
    QStringList& fired;
    QList<qint64>& at;
    QElapsedTimer& clock;
    std::function<void()> onFire;
    Deadlines::Node node;
};
} // namespace

class TestDeadlines : public QObject {
    Q_OBJECT
private slots:
    void fireInTheirOrder_data();
    void fireInTheirOrder();
};

// Each step: "name interval" arms, "name -" cancels, "wait ms" lets time pass;
// "name!other" makes name's handler cancel other.
void TestDeadlines::fireInTheirOrder_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("fired");
    QTest::addColumn<int>("notBefore"); // ms from the start for the first to fire
    QTest::newRow("once, not before its time") << QStringList{u"a 60"_s} << QStringList{u"a"_s} << 60;
    QTest::newRow("set anew: only the new time")
        << QStringList{u"a 30"_s, u"wait 10"_s, u"a 60"_s} << QStringList{u"a"_s} << 70;
    QTest::newRow("cancelled never fires") << QStringList{u"a 30"_s, u"b 40"_s, u"a -"_s}
                                           << QStringList{u"b"_s} << 40;
    QTest::newRow("intervals interleave by time")
        << QStringList{u"a 80"_s, u"b 20"_s, u"c 50"_s, u"d 20"_s} << QStringList{u"b"_s, u"d"_s, u"c"_s, u"a"_s} << 20;
    QTest::newRow("cancelled by a handler of the same moment")
        << QStringList{u"a 20"_s, u"b 20"_s, u"a!b"_s} << QStringList{u"a"_s} << 20;
}

void TestDeadlines::fireInTheirOrder() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, fired);
    QFETCH(int, notBefore);
    Reactor reactor;
    Deadlines deadlines(reactor);
    QElapsedTimer clock;
    clock.start();
    QStringList order;
    QList<qint64> at;
    std::map<QString, std::unique_ptr<Owner>> owners;
    auto owner = [&](const QString& name) -> Owner& {
        auto& slot = owners[name];
        if (!slot)
            slot = std::make_unique<Owner>(name, order, at, clock);
        return *slot;
    };
    for (const QString& step : steps) {
        const QStringList parts = step.split(u' ');
        if (parts[0] == u"wait") {
            QTest::qWait(parts[1].toInt());
        } else if (step.contains(u'!')) {
            const QStringList pair = step.split(u'!');
            Owner& victim = owner(pair[1]);
            owner(pair[0]).onFire = [&] { deadlines.cancel(victim.node); };
        } else if (parts[1] == u"-") {
            deadlines.cancel(owner(parts[0]).node);
        } else {
            deadlines.arm(owner(parts[0]).node, parts[1].toInt());
        }
    }
    QTest::qWait(200);
    QCOMPARE(order, fired);
    QVERIFY2(at.value(0) >= notBefore, qPrintable(QString::number(at.value(0))));
}

QTEST_GUILESS_MAIN(TestDeadlines)
#include "tst_deadlines.moc"
