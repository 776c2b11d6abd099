// The monitor's model: the shape of an entry, what a relay lists with the boxes as they
// start, the posting rule, the trimming of both lists to their stored limits, and the
// list capacity.

#include "monitor/eventmonitor.h"
#include "proxy/relayharness.h"
#include "settings/settingsstore.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestEventMonitor : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void entryShape_data();
    void entryShape();
    void relayWithBoxesAsTheyStart();
    void postingRule();
    void dataArrivalTrimsBothLists_data();
    void dataArrivalTrimsBothLists();
    void storedLimitTexts_data();
    void storedLimitTexts();
    void capacityDropsOldest();
    void statusLines();

private:
    void fill(Side side, int n, const QString& prefix = u"old"_s);

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<EventMonitor> m_monitor;
};

void TestEventMonitor::init() {
    QVERIFY(m_dir.isValid());
    m_store = std::make_unique<SettingsStore>(m_dir.filePath(u"store.ini"_s));
    m_store->removeAll();
    m_monitor = std::make_unique<EventMonitor>(*m_store);
}

void TestEventMonitor::cleanup() {
    m_monitor.reset();
    m_store.reset();
}

void TestEventMonitor::fill(Side side, int n, const QString& prefix) {
    for (int k = 0; k < n; ++k)
        m_monitor->postAlways(side, prefix + QString::number(k));
}

void TestEventMonitor::entryShape_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("index");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("expected");
    QTest::newRow("close") << u"【Close】"_s << 12 << QStringList{}
                           << u"【Close】            \r\nNo. : 12"_s;
    QTest::newRow("connection request, listener")
        << u"【ConnectionRequest】"_s << 0 << QStringList{u"RemoteHostIP : 127.0.0.1"_s}
        << u"【ConnectionRequest】\r\nNo. : 0\r\nRemoteHostIP : 127.0.0.1"_s;
    QTest::newRow("error with two labels")
        << u"【Error : Close】"_s << 999
        << QStringList{u"Description : refused , Number : 10061"_s, u"Scode : 0"_s}
        << u"【Error : Close】    \r\nNo. : 999\r\nDescription : refused , Number : 10061\r\nScode : 0"_s;
    QTest::newRow("data arrival") << u"【DataArrival】"_s << 1 << QStringList{u"Size : 4096"_s}
                                  << u"【DataArrival】      \r\nNo. : 1\r\nSize : 4096"_s;
}

void TestEventMonitor::entryShape() {
    QFETCH(QString, title);
    QFETCH(int, index);
    QFETCH(QStringList, lines);
    QFETCH(QString, expected);
    QString entry;
    switch (lines.size()) {
    case 0:
        entry = eventEntry(title, index);
        break;
    case 1:
        entry = eventEntry(title, index, {lines[0]});
        break;
    default:
        entry = eventEntry(title, index, {lines[0], lines[1]});
        break;
    }
    QCOMPARE(entry, expected);
    QCOMPARE(entry.section(u"\r\n"_s, 0, 0).size(), 19);
}

// A plain relay lists, on the LAN side, the request and the end of the answer's
// sending; on the WAN side, the server exchange but its close.
void TestEventMonitor::relayWithBoxesAsTheyStart() {
    using namespace Testing;
    TestProxy relay;
    OriginStub origin;
    origin.answer = [](int) {
        return answerBytes("HTTP/1.1 200 OK", "Content-Type: text/plain\r\nContent-Length: 2\r\n",
                           "ok");
    };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/a"));
    QTRY_VERIFY(browser.closedByPeer);
    const auto titles = [&](Side side) {
        QStringList listed;
        for (const QString& entry : relay.monitor->entries(side))
            listed << entry.left(entry.indexOf(u'】') + 1);
        listed.removeDuplicates();
        listed.sort();
        return listed;
    };
    QCOMPARE(titles(Side::Lan), (QStringList{u"【DataArrival】"_s, u"【SendComplete】"_s}));
    QCOMPARE(titles(Side::Wan), (QStringList{u"【Connect】"_s, u"【DataArrival】"_s,
                                             u"【SendComplete】"_s, u"【Send】"_s}));
}

void TestEventMonitor::postingRule() {
    QSignalSpy appended(m_monitor.get(), &EventMonitor::entryAppended);
    QSignalSpy checks(m_monitor.get(), &EventMonitor::checkChanged);

    // Unchecked at start: nothing listed, nothing signalled.
    m_monitor->post(MonitorBox::LanConnect, u"connect"_s);
    m_monitor->post(MonitorBox::WanClose, u"close"_s);
    QCOMPARE(m_monitor->count(Side::Lan), 0);
    QCOMPARE(m_monitor->count(Side::Wan), 0);
    QCOMPARE(appended.size(), 0);

    m_monitor->post(MonitorBox::WanSend, u"send"_s);
    QCOMPARE(m_monitor->entries(Side::Wan), QList<QString>{u"send"_s});
    QCOMPARE(appended.size(), 1);
    QCOMPARE(appended.first().at(0).value<Side>(), Side::Wan);
    QCOMPARE(appended.first().at(1).toString(), u"send"_s);

    // Unchecking stops new entries and leaves the listed ones.
    m_monitor->setChecked(MonitorBox::WanSend, false);
    QCOMPARE(checks.size(), 1);
    m_monitor->setChecked(MonitorBox::WanSend, false);
    QCOMPARE(checks.size(), 1); // no change, no signal
    m_monitor->post(MonitorBox::WanSend, u"send 2"_s);
    QCOMPARE(m_monitor->entries(Side::Wan), QList<QString>{u"send"_s});

    // The ungated entries ignore every box.
    m_monitor->setAllChecked(false);
    m_monitor->postAlways(Side::Wan, u"retry"_s);
    m_monitor->postAlways(Side::Lan, u"lan"_s);
    QCOMPARE(m_monitor->entries(Side::Wan), (QList<QString>{u"send"_s, u"retry"_s}));
    QCOMPARE(m_monitor->entries(Side::Lan), QList<QString>{u"lan"_s});

    // An unchecked data-arrival box neither lists nor trims.
    QVERIFY(m_store->save(Setting::EventCountLan, u"0"_s));
    QVERIFY(m_store->save(Setting::EventCountWan, u"0"_s));
    m_monitor->postDataArrival(MonitorBox::LanDataArrival, u"data"_s);
    m_monitor->postDataArrival(MonitorBox::WanDataArrival, u"data"_s);
    QCOMPARE(m_monitor->count(Side::Lan), 1);
    QCOMPARE(m_monitor->count(Side::Wan), 2);
}

void TestEventMonitor::dataArrivalTrimsBothLists_data() {
    QTest::addColumn<MonitorBox>("box");
    QTest::addColumn<QString>("lanLimit"); // empty: nothing stored
    QTest::addColumn<QString>("wanLimit");
    QTest::addColumn<int>("lanBefore");
    QTest::addColumn<int>("wanBefore");
    QTest::addColumn<int>("lanAfter");
    QTest::addColumn<int>("wanAfter");
    QTest::newRow("lan arrival, lan over the limit")
        << MonitorBox::LanDataArrival << u"100"_s << u"100"_s << 150 << 20 << 101 << 20;
    QTest::newRow("wan arrival trims lan too")
        << MonitorBox::WanDataArrival << u"100"_s << u"100"_s << 150 << 120 << 100 << 101;
    QTest::newRow("lan arrival trims wan too")
        << MonitorBox::LanDataArrival << u"10"_s << u"5"_s << 10 << 30 << 11 << 5;
    QTest::newRow("default limits when nothing stored")
        << MonitorBox::LanDataArrival << QString() << QString() << 150 << 150 << 101 << 100;
    QTest::newRow("limit 0 leaves only the new entry")
        << MonitorBox::WanDataArrival << u"0"_s << u"0"_s << 40 << 40 << 0 << 1;
    QTest::newRow("under the limit left alone")
        << MonitorBox::LanDataArrival << u"100"_s << u"100"_s << 99 << 100 << 100 << 100;
}

void TestEventMonitor::dataArrivalTrimsBothLists() {
    QFETCH(MonitorBox, box);
    QFETCH(QString, lanLimit);
    QFETCH(QString, wanLimit);
    QFETCH(int, lanBefore);
    QFETCH(int, wanBefore);
    QFETCH(int, lanAfter);
    QFETCH(int, wanAfter);
    if (!lanLimit.isNull())
        QVERIFY(m_store->save(Setting::EventCountLan, lanLimit));
    if (!wanLimit.isNull())
        QVERIFY(m_store->save(Setting::EventCountWan, wanLimit));
    fill(Side::Lan, lanBefore);
    fill(Side::Wan, wanBefore);

    QSignalSpy dropped(m_monitor.get(), &EventMonitor::entriesDropped);
    QSignalSpy appended(m_monitor.get(), &EventMonitor::entryAppended);
    const Side side = sideOf(box);
    m_monitor->postDataArrival(box, u"new"_s);

    QCOMPARE(m_monitor->count(Side::Lan), lanAfter);
    QCOMPARE(m_monitor->count(Side::Wan), wanAfter);
    QCOMPARE(m_monitor->entries(side).last(), u"new"_s);
    QCOMPARE(appended.size(), 1);
    // The oldest went, in order; the survivors keep their order.
    for (Side s : {Side::Lan, Side::Wan}) {
        const int before = s == Side::Lan ? lanBefore : wanBefore;
        const int kept = m_monitor->count(s) - (s == side ? 1 : 0);
        const int gone = before - kept;
        if (kept > 0)
            QCOMPARE(m_monitor->entries(s).first(), u"old"_s + QString::number(gone));
        int signalled = 0;
        for (const QList<QVariant>& args : dropped)
            if (args.at(0).value<Side>() == s)
                signalled += args.at(1).toInt();
        QCOMPARE(signalled, gone);
    }
}

void TestEventMonitor::storedLimitTexts_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("kept"); // of 150 entries, after one trim
    QTest::newRow("whole number") << u"120"_s << 120;
    QTest::newRow("zero") << u"0"_s << 0;
    QTest::newRow("plus sign") << u"+30"_s << 30;
    QTest::newRow("blanks around") << u" 40 "_s << 40;
    QTest::newRow("negative counts as 0") << u"-5"_s << 0;
    QTest::newRow("huge negative") << u"-99999999999999999999"_s << 0;
    QTest::newRow("above the list capacity") << u"99999999999999999999"_s << 150;
    QTest::newRow("empty text") << u""_s << 100;
    QTest::newRow("word") << u"abc"_s << 100;
    QTest::newRow("trailing letters") << u"12abc"_s << 100;
    QTest::newRow("fraction") << u"1.5"_s << 100;
    QTest::newRow("exponent") << u"1e3"_s << 100;
    QTest::newRow("hex") << u"0x10"_s << 100;
    QTest::newRow("full-width digits") << u"５０"_s << 100;
    QTest::newRow("sign only") << u"-"_s << 100;
}

void TestEventMonitor::storedLimitTexts() {
    QFETCH(QString, stored);
    QFETCH(int, kept);
    QVERIFY(m_store->save(Setting::EventCountLan, stored));
    QVERIFY(m_store->save(Setting::EventCountWan, stored));
    fill(Side::Lan, 150);
    fill(Side::Wan, 150);
    m_monitor->limitEventLists();
    QCOMPARE(m_monitor->count(Side::Lan), kept);
    QCOMPARE(m_monitor->count(Side::Wan), kept);
    if (kept > 0)
        QCOMPARE(m_monitor->entries(Side::Lan).last(), u"old149"_s);
}

void TestEventMonitor::capacityDropsOldest() {
    fill(Side::Lan, EventMonitor::Capacity);
    QCOMPARE(m_monitor->count(Side::Lan), EventMonitor::Capacity);
    QSignalSpy dropped(m_monitor.get(), &EventMonitor::entriesDropped);
    QSignalSpy appended(m_monitor.get(), &EventMonitor::entryAppended);
    QStringList order;
    connect(m_monitor.get(), &EventMonitor::entriesDropped, this, [&] { order << u"dropped"_s; });
    connect(m_monitor.get(), &EventMonitor::entryAppended, this, [&] { order << u"appended"_s; });

    m_monitor->postAlways(Side::Lan, u"newest"_s);
    QCOMPARE(m_monitor->count(Side::Lan), EventMonitor::Capacity);
    QCOMPARE(m_monitor->entries(Side::Lan).first(), u"old1"_s);
    QCOMPARE(m_monitor->entries(Side::Lan).last(), u"newest"_s);
    QCOMPARE(dropped.size(), 1);
    QCOMPARE(dropped.first().at(1).toInt(), 1);
    QCOMPARE(order, (QStringList{u"dropped"_s, u"appended"_s}));

    // A limit above the capacity still leaves room for the new entry.
    QVERIFY(m_store->save(Setting::EventCountLan, u"40000"_s));
    m_monitor->postDataArrival(MonitorBox::LanDataArrival, u"data"_s);
    QCOMPARE(m_monitor->count(Side::Lan), EventMonitor::Capacity);
    QCOMPARE(m_monitor->entries(Side::Lan).last(), u"data"_s);
    QCOMPARE(m_monitor->entries(Side::Lan).first(), u"old2"_s);
    QCOMPARE(m_monitor->count(Side::Wan), 0);
}

void TestEventMonitor::statusLines() {
    QSignalSpy status(m_monitor.get(), &EventMonitor::statusChanged);
    m_monitor->setStatus(Side::Lan, u"接続要求待ち"_s);
    m_monitor->setStatus(Side::Wan, u"切断中"_s);
    m_monitor->setStatus(Side::Lan, u"切断完了 : 3"_s);
    QCOMPARE(m_monitor->status(Side::Lan), u"切断完了 : 3"_s);
    QCOMPARE(m_monitor->status(Side::Wan), u"切断中"_s);
    QCOMPARE(status.size(), 3);
    QCOMPARE(status.at(1).at(0).value<Side>(), Side::Wan);
    // Status lines never become entries, whatever the boxes say.
    m_monitor->setAllChecked(true);
    m_monitor->setStatus(Side::Lan, u"x"_s);
    QCOMPARE(m_monitor->count(Side::Lan), 0);
}

QTEST_GUILESS_MAIN(TestEventMonitor)
#include "tst_eventmonitor.moc"
