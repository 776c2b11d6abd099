#include "windows/usageviewer.h"

#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QtTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestUsageViewer : public QObject {
    Q_OBJECT

private slots:
    void opensOnFirstPage();
    void scrollBarChoosesPage_data();
    void scrollBarChoosesPage();
    void wheelAndKeysTurnPages_data();
    void wheelAndKeysTurnPages();
    void valueOutsidePagesChangesNothing_data();
    void valueOutsidePagesChangesNothing();
    void reopeningKeepsPageUntilClosed();

private:
    static void checkOnlyVisible(const UsageViewer& viewer, int page) {
        for (int p = 1; p <= 3; ++p)
            QCOMPARE(viewer.picture(p)->isVisible(), p == page);
        QCOMPARE(viewer.currentPage(), page);
    }
};

void TestUsageViewer::opensOnFirstPage() {
    UsageViewerOpener usage;
    UsageViewer* viewer = usage.open();
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), u"Tarnwick(Lite)【使用方法】"_s);
    QCOMPARE(viewer->pageScrollBar()->minimum(), 0);
    QCOMPARE(viewer->pageScrollBar()->maximum(), 2);
    QCOMPARE(viewer->pageScrollBar()->value(), 0);
    checkOnlyVisible(*viewer, 1);
    // The three pages lie at the same place, left of the scroll bar.
    QCOMPARE(viewer->picture(2)->pos(), viewer->picture(1)->pos());
    QCOMPARE(viewer->picture(3)->pos(), viewer->picture(1)->pos());
    for (int p = 1; p <= 3; ++p) {
        QVERIFY(viewer->picture(p)->geometry().right() < viewer->pageScrollBar()->x());
        QVERIFY(viewer->rect().contains(viewer->picture(p)->geometry()));
        // Each picture is there and shown whole.
        const QSize picture = viewer->picture(p)->pixmap().size();
        const QSize room = viewer->picture(p)->contentsRect().size();
        QVERIFY(!picture.isEmpty() && room.expandedTo(picture) == room);
    }
    QVERIFY(viewer->rect().contains(viewer->pageScrollBar()->geometry()));
}

void TestUsageViewer::scrollBarChoosesPage_data() {
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("page");

    QTest::newRow("1 shows page 2") << QList<int>{1} << 2;
    QTest::newRow("2 shows page 3") << QList<int>{2} << 3;
    QTest::newRow("back to 0 shows page 1") << QList<int>{1, 2, 0} << 1;
    QTest::newRow("2 then 1") << QList<int>{2, 1} << 2;
}

void TestUsageViewer::scrollBarChoosesPage() {
    QFETCH(QList<int>, values);
    QFETCH(int, page);
    UsageViewer viewer;
    viewer.show();
    for (int value : values)
        viewer.pageScrollBar()->setValue(value);
    checkOnlyVisible(viewer, page);

    // The arrows step one page at a time and stop at the last.
    viewer.pageScrollBar()->setValue(0);
    for (int expected : {2, 3, 3}) {
        viewer.pageScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        checkOnlyVisible(viewer, expected);
    }
}

void TestUsageViewer::wheelAndKeysTurnPages_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<QList<int>>("wheel"); // turns over the picture, in eighths of a degree
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("shown");

    QTest::newRow("wheel down") << 1 << QList<int>{-120} << 0 << 2;
    QTest::newRow("wheel up") << 3 << QList<int>{120} << 0 << 2;
    QTest::newRow("touch pad steps add up") << 1 << QList<int>{-60, -30, -30} << 0 << 2;
    QTest::newRow("half a notch stays") << 1 << QList<int>{-60} << 0 << 1;
    QTest::newRow("wheel past the last page") << 2 << QList<int>{-120, -120} << 0 << 3;
    QTest::newRow("Down") << 1 << QList<int>{} << int(Qt::Key_Down) << 2;
    QTest::newRow("Right") << 2 << QList<int>{} << int(Qt::Key_Right) << 3;
    QTest::newRow("Page Down") << 1 << QList<int>{} << int(Qt::Key_PageDown) << 2;
    QTest::newRow("Up") << 2 << QList<int>{} << int(Qt::Key_Up) << 1;
    QTest::newRow("Left") << 3 << QList<int>{} << int(Qt::Key_Left) << 2;
    QTest::newRow("Page Up on the first page") << 1 << QList<int>{} << int(Qt::Key_PageUp) << 1;
}

void TestUsageViewer::wheelAndKeysTurnPages() {
    QFETCH(int, page);
    QFETCH(QList<int>, wheel);
    QFETCH(int, key);
    QFETCH(int, shown);
    UsageViewer viewer;
    viewer.show();
    viewer.pageScrollBar()->setValue(page - 1);
    const QPointF over = viewer.picture(page)->geometry().center();
    for (int delta : wheel) {
        QWheelEvent event(over, viewer.mapToGlobal(over), {}, {0, delta}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&viewer, &event);
    }
    if (key)
        QTest::keyClick(&viewer, Qt::Key(key));
    checkOnlyVisible(viewer, shown);
    QCOMPARE(viewer.pageScrollBar()->value(), shown - 1);
}

void TestUsageViewer::valueOutsidePagesChangesNothing_data() {
    QTest::addColumn<int>("value");

    QTest::newRow("-1") << -1;
    QTest::newRow("3") << 3;
    QTest::newRow("large") << 32767;
}

void TestUsageViewer::valueOutsidePagesChangesNothing() {
    QFETCH(int, value);
    UsageViewer viewer;
    viewer.show();
    viewer.pageScrollBar()->setValue(1);
    // The scroll bar's range keeps such values from it, so the handler is given
    // them directly.
    viewer.showPageForScrollValue(value);
    checkOnlyVisible(viewer, 2);
}

void TestUsageViewer::reopeningKeepsPageUntilClosed() {
    UsageViewerOpener usage;
    QPointer<UsageViewer> first = usage.open();
    first->pageScrollBar()->setValue(2);

    // Still loaded: shown again as it was.
    first->hide();
    QCOMPARE(usage.open(), first.data());
    QVERIFY(first->isVisible());
    checkOnlyVisible(*first, 3);

    // Closed by the user: the next opening starts again at page 1.
    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    UsageViewer* again = usage.open();
    QCOMPARE(again->pageScrollBar()->value(), 0);
    checkOnlyVisible(*again, 1);
    usage.unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!usage.window());
}

QTEST_MAIN(TestUsageViewer)
#include "tst_usageviewer.moc"
