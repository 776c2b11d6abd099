#include "widgets/uifonts.h"
#include "windows/headerwindow.h"

#include <QPlainTextEdit>
#include <QScrollBar>
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
    window.showInFront(u"【Send】             \r\nNo. : 4\r\nSize : 120 , Number : 2"_s);
    QVERIFY(window.isVisible());
    QCOMPARE(window.text()->toPlainText(),
             u"【Send】             \nNo. : 4\nSize : 120 , Number : 2"_s);
    QCOMPARE(window.text()->document()->blockCount(), 3);
    // On screen the text fills the window, every line in view.
    QCOMPARE(window.text()->geometry(), window.rect());
    QVERIFY(window.text()->isVisible() && window.text()->verticalScrollBar()->maximum() == 0);

    // Shown again, it shows the entry it is given then.
    window.showInFront(u"second"_s);
    QCOMPARE(window.text()->toPlainText(), u"second"_s);
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
    const QSize margins = window.size() - window.text()->size();
    window.show();
    window.resize(size);
    QCOMPARE(window.size(), size);
    QCOMPARE(window.text()->size(), (size - margins).expandedTo(QSize(0, 0)));
    QCOMPARE(window.text()->pos(), QPoint(0, 0));
}

QTEST_MAIN(TestHeaderWindow)
#include "tst_headerwindow.moc"
