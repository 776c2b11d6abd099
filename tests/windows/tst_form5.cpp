#include "shell/monitorarea.h"
#include "shell/twips.h"
#include "shell/uifonts.h"
#include "windows/form5.h"

#include <QPlainTextEdit>
#include <QTimer>
#include <QtTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestForm5 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { applyJapaneseUiFont(*qApp); }
    void showsEntryLineByLine();
    void resizeKeepsMargins_data();
    void resizeKeepsMargins();
};

void TestForm5::showsEntryLineByLine() {
    Form5 window;
    selectedEntryText() = u"【Send】             \r\nNo. : 4\r\nSize : 120 , Number : 2"_s;
    QString shown;
    bool modal = false;
    QTimer::singleShot(0, &window, [&] {
        modal = window.isModal() && window.isVisible();
        shown = window.text()->toPlainText();
        window.close();
    });
    window.showModal();
    QVERIFY(modal);
    QVERIFY(!window.isVisible());
    QCOMPARE(shown, u"【Send】             \nNo. : 4\nSize : 120 , Number : 2"_s);
    QCOMPARE(window.text()->document()->blockCount(), 3);

    // Shown again, it loads the entry of that moment.
    selectedEntryText() = u"second"_s;
    QTimer::singleShot(0, &window, [&] {
        shown = window.text()->toPlainText();
        window.close();
    });
    window.showModal();
    QCOMPARE(shown, u"second"_s);
}

void TestForm5::resizeKeepsMargins_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger") << QSize(900, 700);
    QTest::newRow("smaller") << QSize(300, 120);
    QTest::newRow("narrow") << QSize(120, 400);
}

void TestForm5::resizeKeepsMargins() {
    QFETCH(QSize, size);
    Form5 window;
    QCOMPARE(window.text()->size(), QSize(twipsToPixels(6735), twipsToPixels(3495)));
    const QSize margins = window.size() - window.text()->size();
    window.show();
    window.resize(size);
    QCOMPARE(window.size(), size);
    QCOMPARE(window.text()->size(), (size - margins).expandedTo(QSize(0, 0)));
    QCOMPARE(window.text()->pos(), QPoint(0, 0));
}

QTEST_MAIN(TestForm5)
#include "tst_form5.moc"
