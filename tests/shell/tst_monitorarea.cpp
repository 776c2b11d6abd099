#include "monitor/eventmonitor.h"
#include "settings/settingsstore.h"
#include "shell/monitorarea.h"
#include "widgets/uifonts.h"
#include "windows/headerwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestMonitorArea : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void controlsStartFromModel();
    void checkBoxesFollowModelBothWays();
    void listsFollowModel();
    void burstIsBatched();
    void capacityDropsOldestRows();
    void openingShowsEntry_data();
    void openingShowsEntry();
    void doubleClickWithoutSelectionDoesNothing();
    void longEntryScrollsIntoView_data();
    void longEntryScrollsIntoView();

private:
    QStringList rows(Side side) const;
    int selectedRow(Side side) const;
    void settle() { QCoreApplication::processEvents(); }
    static QString entry(int n) {
        return eventEntry(u"【DataArrival】", n, {u"Size : "_s + QString::number(n * 10)});
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<EventMonitor> m_monitor;
    std::unique_ptr<QWidget> m_form;
    MonitorArea* m_area = nullptr;
};

void TestMonitorArea::initTestCase() {
    applyJapaneseUiFont(*qApp);
}

void TestMonitorArea::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<SettingsStore>(m_dir->filePath(u"store.ini"_s));
    m_monitor = std::make_unique<EventMonitor>(*m_store);
    m_form = std::make_unique<QWidget>();
    m_form->resize(640, 420);
    m_area = new MonitorArea(m_form.get(), *m_monitor);
    m_form->show();
}

void TestMonitorArea::cleanup() {
    m_form.reset();
    m_monitor.reset();
}

QStringList TestMonitorArea::rows(Side side) const {
    QStringList result;
    const EntryListModel* model = m_area->listModel(side);
    for (int r = 0; r < model->rowCount(); ++r)
        result.append(model->index(r).data(EntryListModel::EntryRole).toString());
    return result;
}

int TestMonitorArea::selectedRow(Side side) const {
    const QModelIndexList selected = m_area->list(side)->selectionModel()->selectedRows();
    return selected.size() == 1 ? selected.first().row() : -1;
}

void TestMonitorArea::controlsStartFromModel() {
    QCOMPARE(m_form->findChild<QLabel*>(u"Label2"_s)->text(), u"ＬＡＮ"_s);
    QCOMPARE(m_form->findChild<QLabel*>(u"Label3"_s)->text(), u"ＷＡＮ"_s);
    for (int b = 0; b < MonitorBoxCount; ++b) {
        const auto which = MonitorBox(b);
        const QString name =
            (sideOf(which) == Side::Lan ? u"Check_Lan_"_s : u"Check_Wan_"_s) + boxCaption(which);
        auto* box = m_form->findChild<QCheckBox*>(name);
        QVERIFY2(box == m_area->checkBox(which), qPrintable(name));
        QCOMPARE(box->text(), boxCaption(which));
        QCOMPARE(box->isChecked(), initiallyChecked(which));
        // The caption is not cut off, and the list beside it leaves it room.
        QVERIFY(box->width() >= box->sizeHint().width());
        QVERIFY(box->geometry().right() < m_area->list(Side::Lan)->x());
    }
    QCOMPARE(m_form->findChild<QListView*>(u"lstWan"_s), m_area->list(Side::Wan));
    QVERIFY(m_form->findChild<QLineEdit*>(u"wanMessage"_s)->isReadOnly());
}

void TestMonitorArea::checkBoxesFollowModelBothWays() {
    QCheckBox* box = m_area->checkBox(MonitorBox::WanClose);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    QVERIFY(m_monitor->isChecked(MonitorBox::WanClose));
    m_monitor->setChecked(MonitorBox::WanClose, false);
    QVERIFY(!box->isChecked());
    m_monitor->setAllChecked(true);
    for (int b = 0; b < MonitorBoxCount; ++b)
        QVERIFY(m_area->checkBox(MonitorBox(b))->isChecked());
}

void TestMonitorArea::listsFollowModel() {
    m_monitor->post(MonitorBox::LanDataArrival, entry(1));
    m_monitor->post(MonitorBox::LanConnect, entry(99)); // unchecked: not listed
    m_monitor->postAlways(Side::Wan, entry(2));
    m_monitor->post(MonitorBox::LanSendComplete, entry(3));
    m_monitor->setStatus(Side::Lan, u"切断完了 : 3"_s);
    // Status lines show at once; the lists after the event loop has run.
    QCOMPARE(m_area->message(Side::Lan)->text(), u"切断完了 : 3"_s);
    settle();
    QCOMPARE(rows(Side::Lan), (QStringList{entry(1), entry(3)}));
    QCOMPARE(rows(Side::Wan), QStringList{entry(2)});
    QCOMPARE(selectedRow(Side::Lan), 1);
    QCOMPARE(selectedRow(Side::Wan), 0);
    // A row the user selected gives way to the next new entry.
    m_area->list(Side::Lan)->setCurrentIndex(m_area->listModel(Side::Lan)->index(0));
    m_monitor->postDataArrival(MonitorBox::LanDataArrival, entry(4));
    settle();
    QCOMPARE(selectedRow(Side::Lan), 2);
    // One line per row.
    const QString shown = m_area->listModel(Side::Lan)->index(0).data().toString();
    QVERIFY(!shown.contains(u'\n') && !shown.contains(u'\r'));
    QVERIFY(shown.startsWith(u"【DataArrival】      "_s));
    QVERIFY(shown.contains(u"Size : 10"_s));
}

void TestMonitorArea::burstIsBatched() {
    m_store->saveByName(u"ｲﾍﾞﾝﾄ表示件数Lan", u"300"_s);
    m_store->saveByName(u"ｲﾍﾞﾝﾄ表示件数Wan", u"5000"_s);
    settle();
    QSignalSpy lanInserts(m_area->listModel(Side::Lan), &QAbstractItemModel::rowsInserted);
    QSignalSpy wanInserts(m_area->listModel(Side::Wan), &QAbstractItemModel::rowsInserted);
    for (int n = 0; n < 5000; ++n) {
        if (n % 2)
            m_monitor->postDataArrival(MonitorBox::LanDataArrival, entry(n));
        else
            m_monitor->postDataArrival(MonitorBox::WanDataArrival, entry(n));
        m_monitor->postAlways(Side::Wan, entry(-n));
    }
    settle();
    QCOMPARE(rows(Side::Lan), QStringList(m_monitor->entries(Side::Lan)));
    QCOMPARE(rows(Side::Wan), QStringList(m_monitor->entries(Side::Wan)));
    QCOMPARE(rows(Side::Lan).size(), 301);
    QCOMPARE(selectedRow(Side::Lan), 300);
    QCOMPARE(selectedRow(Side::Wan), m_monitor->count(Side::Wan) - 1);
    // The whole burst reached each view as one insertion.
    QCOMPARE(lanInserts.size(), 1);
    QCOMPARE(wanInserts.size(), 1);

    // Entries dropped before they were ever shown never reach the view.
    m_store->saveByName(u"ｲﾍﾞﾝﾄ表示件数Lan", u"0"_s);
    for (int n = 0; n < 50; ++n)
        m_monitor->postAlways(Side::Lan, entry(n));
    m_monitor->postDataArrival(MonitorBox::LanDataArrival, entry(7777));
    settle();
    QCOMPARE(rows(Side::Lan), QStringList{entry(7777)});
}

void TestMonitorArea::capacityDropsOldestRows() {
    constexpr int cap = EventMonitor::Capacity;
    for (int n = 0; n < cap - 5; ++n)
        m_monitor->postAlways(Side::Wan, entry(n));
    settle();
    int most = 0;
    connect(m_area->listModel(Side::Wan), &QAbstractItemModel::rowsInserted, this,
            [&] { most = qMax(most, m_area->listModel(Side::Wan)->rowCount()); });
    for (int n = cap - 5; n < cap + 20; ++n)
        m_monitor->postAlways(Side::Wan, entry(n));
    settle();
    QCOMPARE(m_area->listModel(Side::Wan)->rowCount(), cap);
    QCOMPARE(most, cap);
    QCOMPARE(rows(Side::Wan).first(), entry(20));
    QCOMPARE(rows(Side::Wan).last(), entry(cap + 19));
    QCOMPARE(selectedRow(Side::Wan), cap - 1);
}

void TestMonitorArea::openingShowsEntry_data() {
    QTest::addColumn<int>("key"); // 0: a double-click
    QTest::newRow("double-click") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
}

void TestMonitorArea::openingShowsEntry() {
    QFETCH(int, key);
    const QString padded = eventEntry(u"【Close】", 12, {u"Data : GET / HTTP/1.0"_s}) + u"  "_s;
    m_monitor->postAlways(Side::Wan, padded);
    m_monitor->postAlways(Side::Wan, entry(2));
    settle();
    QListView* view = m_area->list(Side::Wan);
    // Opens a row and tells what the header window shows.
    auto open = [&](int row) {
        const QModelIndex index = m_area->listModel(Side::Wan)->index(row);
        if (key == 0) {
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                               view->visualRect(index).center());
        } else {
            view->setCurrentIndex(index);
            QTest::keyClick(view, Qt::Key(key),
                            key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        }
        HeaderWindow* window = m_area->headerWindow();
        return window && window->isVisible() ? window->text()->toPlainText() : QString();
    };

    QCOMPARE(open(0), u"【Close】            \nNo. : 12\nData : GET / HTTP/1.0"_s);
    // The window is made once and shows the entry of each opening; the monitor goes
    // on answering meanwhile.
    HeaderWindow* window = m_area->headerWindow();
    QCOMPARE(open(1), u"【DataArrival】      \nNo. : 2\nSize : 20"_s);
    QCOMPARE(m_area->headerWindow(), window);
}

void TestMonitorArea::doubleClickWithoutSelectionDoesNothing() {
    m_monitor->postAlways(Side::Lan, entry(1));
    settle();
    QListView* view = m_area->list(Side::Lan);
    view->clearSelection();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                       QPoint(10, view->viewport()->height() - 5));
    QVERIFY(!m_area->headerWindow());
}

void TestMonitorArea::longEntryScrollsIntoView_data() {
    QTest::addColumn<bool>("longFirst");
    QTest::newRow("long after short") << false;
    QTest::newRow("long before short") << true;
}

void TestMonitorArea::longEntryScrollsIntoView() {
    QFETCH(bool, longFirst);
    const QString shortEntry = entry(1);
    const QString longEntry = eventEntry(u"【DataArrival】", 2,
                                         {u"Data : GET /"_s + QString(600, u'x') + u" HTTP/1.0"_s});
    for (const QString& e :
         longFirst ? QStringList{longEntry, shortEntry} : QStringList{shortEntry, longEntry})
        m_monitor->postAlways(Side::Lan, e);
    settle();
    QListView* view = m_area->list(Side::Lan);
    const int longRow = longFirst ? 0 : 1;
    const QModelIndex index = m_area->listModel(Side::Lan)->index(longRow);
    const int needed = view->fontMetrics().horizontalAdvance(index.data().toString());
    // Scrolled to the far right, the long entry's end is in view and painted whole.
    QScrollBar* bar = view->horizontalScrollBar();
    bar->setValue(bar->maximum());
    const QRect row = view->visualRect(index);
    QVERIFY2(row.width() >= needed, qPrintable(QString::number(row.width())));
    QVERIFY(row.left() + needed <= view->viewport()->width());
}

QTEST_MAIN(TestMonitorArea)
#include "tst_monitorarea.moc"
