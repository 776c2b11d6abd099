#include "windows/form4.h"

#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QtTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestForm4 : public QObject {
    Q_OBJECT

private slots:
    void opensOnFirstPage();
    void scrollBarChoosesPage_data();
    void scrollBarChoosesPage();
    void valueOutsidePagesChangesNothing_data();
    void valueOutsidePagesChangesNothing();
    void picturesHaveTheirSizes_data();
    void picturesHaveTheirSizes();
    void reopeningKeepsPageUntilClosed();

private:
    static void checkOnlyVisible(const Form4& form, int page) {
        for (int p = 1; p <= 3; ++p)
            QCOMPARE(form.picture(p)->isVisible(), p == page);
        QCOMPARE(form.currentPage(), page);
    }
};

void TestForm4::opensOnFirstPage() {
    UsageWindow usage;
    Form4* form = usage.open();
    QVERIFY(form->isVisible());
    QCOMPARE(form->windowTitle(), u"Tarnwick(Lite)【使用方法】"_s);
    QCOMPARE(form->vScroll1()->minimum(), 0);
    QCOMPARE(form->vScroll1()->maximum(), 2);
    QCOMPARE(form->vScroll1()->value(), 0);
    checkOnlyVisible(*form, 1);
    // The three pages lie at the same place, left of the scroll bar.
    QCOMPARE(form->picture(2)->pos(), form->picture(1)->pos());
    QCOMPARE(form->picture(3)->pos(), form->picture(1)->pos());
    for (int p = 1; p <= 3; ++p) {
        QVERIFY(form->picture(p)->geometry().right() < form->vScroll1()->x());
        QVERIFY(form->rect().contains(form->picture(p)->geometry()));
    }
    QVERIFY(form->rect().contains(form->vScroll1()->geometry()));
}

void TestForm4::scrollBarChoosesPage_data() {
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("page");

    QTest::newRow("1 shows page 2") << QList<int>{1} << 2;
    QTest::newRow("2 shows page 3") << QList<int>{2} << 3;
    QTest::newRow("back to 0 shows page 1") << QList<int>{1, 2, 0} << 1;
    QTest::newRow("2 then 1") << QList<int>{2, 1} << 2;
}

void TestForm4::scrollBarChoosesPage() {
    QFETCH(QList<int>, values);
    QFETCH(int, page);
    Form4 form;
    form.show();
    for (int value : values)
        form.vScroll1()->setValue(value);
    checkOnlyVisible(form, page);

    // The arrows step one page at a time and stop at the last.
    form.vScroll1()->setValue(0);
    for (int expected : {2, 3, 3}) {
        form.vScroll1()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        checkOnlyVisible(form, expected);
    }
}

void TestForm4::valueOutsidePagesChangesNothing_data() {
    QTest::addColumn<int>("value");

    QTest::newRow("-1") << -1;
    QTest::newRow("3") << 3;
    QTest::newRow("large") << 32767;
}

void TestForm4::valueOutsidePagesChangesNothing() {
    QFETCH(int, value);
    Form4 form;
    form.show();
    form.vScroll1()->setValue(1);
    // The scroll bar's range keeps such values from it, so the handler is given
    // them directly.
    form.vScroll1Change(value);
    checkOnlyVisible(form, 2);
}

void TestForm4::picturesHaveTheirSizes_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<QSize>("size");

    QTest::newRow("page 1") << 1 << QSize(471, 419);
    QTest::newRow("page 2") << 2 << QSize(447, 308);
    QTest::newRow("page 3") << 3 << QSize(437, 360);
}

void TestForm4::picturesHaveTheirSizes() {
    QFETCH(int, page);
    QFETCH(QSize, size);
    Form4 form;
    const QPixmap picture = form.picture(page)->pixmap();
    QCOMPARE(picture.size(), size);
    // The whole picture fits in its box.
    QVERIFY(form.picture(page)->contentsRect().width() >= size.width());
    QVERIFY(form.picture(page)->contentsRect().height() >= size.height());
    // Stored as JPEG.
    QFile file(u":/tarnwick/usage%1.jpg"_s.arg(page));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.read(3) == QByteArrayLiteral("\xFF\xD8\xFF"));
}

void TestForm4::reopeningKeepsPageUntilClosed() {
    UsageWindow usage;
    QPointer<Form4> first = usage.open();
    first->vScroll1()->setValue(2);

    // Still loaded: shown again as it was.
    first->hide();
    QCOMPARE(usage.open(), first.data());
    QVERIFY(first->isVisible());
    checkOnlyVisible(*first, 3);

    // Closed by the user: the next opening starts again at page 1.
    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    Form4* again = usage.open();
    QCOMPARE(again->vScroll1()->value(), 0);
    checkOnlyVisible(*again, 1);
    usage.unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!usage.window());
}

QTEST_MAIN(TestForm4)
#include "tst_form4.moc"
