#include "widgets/twips.h"
#include "widgets/uifonts.h"
#include "windows/headerwindow.h"

#include <QPlainTextEdit>
#include <QTimer>
#include <QtTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestHeaderWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { applyJapaneseUiFont(*qApp); }
    void showsEntryLineByLine();
    void resizeKeepsMargins_data();
    void resizeKeepsMargins();
};

void TestHeaderWindow::showsEntryLineByLine() {
    HeaderWindow window;
    QString shown;
    bool modal = false;
    QTimer::singleShot(0, &window, [&] {
        modal = window.isModal() && window.isVisible();
        shown = window.text()->toPlainText();
        window.close();
    });
    window.showModal(u"【Send】             \r\nNo. : 4\r\nSize : 120 , Number : 2"_s);
    QVERIFY(modal);
    QVERIFY(!window.isVisible());
    QCOMPARE(shown, u"【Send】             \nNo. : 4\nSize : 120 , Number : 2"_s);
    QCOMPARE(window.text()->document()->blockCount(), 3);

    // Shown again, it shows the entry it is given then.
    QTimer::singleShot(0, &window, [&] {
        shown = window.text()->toPlainText();
        window.close();
    });
    window.showModal(u"second"_s);
    QCOMPARE(shown, u"second"_s);
}

void TestHeaderWindow::resizeKeepsMargins_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger") << QSize(900, 700);
    QTest::newRow("smaller") << QSize(300, 120);
    QTest::newRow("narrow") << QSize(120, 400);
}

void TestHeaderWindow::resizeKeepsMargins() {
    QFETCH(QSize, size);
    HeaderWindow window;
    QCOMPARE(window.text()->size(), QSize(twipsToPixels(6735), twipsToPixels(3495)));
    const QSize margins = window.size() - window.text()->size();
    window.show();
    window.resize(size);
    QCOMPARE(window.size(), size);
    QCOMPARE(window.text()->size(), (size - margins).expandedTo(QSize(0, 0)));
    QCOMPARE(window.text()->pos(), QPoint(0, 0));
}

QTEST_MAIN(TestHeaderWindow)
#include "tst_headerwindow.moc"
