#include "windows/browserview.h"
#include "windows/form3.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {

// A page area that records what the window asks of it; the test plays the
// engine's part by loading pages itself.
class FakeBrowser : public BrowserView {
public:
    using BrowserView::BrowserView;

    void navigate(const QString& url) override { calls << u"navigate "_s + url; }
    void goBack() override { calls << u"back"_s; }
    void goForward() override { calls << u"forward"_s; }
    void refresh() override { calls << u"refresh"_s; }
    void stop() override { calls << u"stop"_s; }
    QString locationUrl() const override { return location; }

    // A navigation as an engine reports it: announced while the old page is still
    // shown, then the new address, then the finished document.
    void load(const QString& url, const QString& title = {}) {
        emit beforeNavigate();
        location = url;
        emit navigateComplete();
        if (!title.isEmpty())
            emit titleChange(title);
        emit documentComplete();
    }
    // A page asks for a new window.
    BrowserView* pageOpensNewWindow() const { return requestNewWindow(); }

    QStringList calls;
    QString location;
};

} // namespace

class TestForm3 : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void enterNavigatesToTrimmedAddress_data();
    void enterNavigatesToTrimmedAddress();
    void buttonsDriveTheBrowser_data();
    void buttonsDriveTheBrowser();
    void backAndForwardOnFreshWindowDoNothing();
    void browserEventsShowInWindow();
    void reloadKeepsAddressNewLocationReplacesIt();
    void newWindowShowsWhenItsNavigationStarts();
    void resizeStretchesPageAreaAndMovesStatusLine_data();
    void resizeStretchesPageAreaAndMovesStatusLine();
    void sizeCheckHidesWindowWhoseBrowserDidNotFollow_data();
    void sizeCheckHidesWindowWhoseBrowserDidNotFollow();
    void openingReusesWindowUntilClosed();
    void homePageShipsWithProgram();

private:
    BrowserViewFactory fakeFactory() {
        return [this](QWidget* parent) -> BrowserView* {
            auto* view = new FakeBrowser(parent);
            m_made << view;
            return view;
        };
    }
    FakeBrowser* fake(Form3& form) { return static_cast<FakeBrowser*>(form.webBrowser1()); }

    QList<QPointer<FakeBrowser>> m_made;
};

void TestForm3::init() {
    m_made.clear();
}

void TestForm3::cleanup() {
    closeAllForm3();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY2(!qobject_cast<Form3*>(widget) || !widget->testAttribute(Qt::WA_DeleteOnClose),
                 "a browser window outlived its close");
}

void TestForm3::enterNavigatesToTrimmedAddress_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("target");

    QTest::newRow("blanks around") << u"  http://www.example.org/  "_s << u"http://www.example.org/"_s;
    QTest::newRow("no blanks") << u"example.org"_s << u"example.org"_s;
    QTest::newRow("blank inside kept") << u" a b "_s << u"a b"_s;
}

void TestForm3::enterNavigatesToTrimmedAddress() {
    QFETCH(QString, typed);
    QFETCH(QString, target);
    Form3 form(fakeFactory());
    FakeBrowser* browser = fake(form);
    browser->load(u"qrc:/start.html"_s);
    form.text1()->clear();

    QTest::keyClicks(form.text1(), typed);
    QVERIFY(browser->calls.isEmpty());
    QTest::keyClick(form.text1(), Qt::Key_Return);

    QCOMPARE(browser->calls, QStringList{u"navigate "_s + target});
    // The Enter became a blank in the box; the box keeps it until the page's
    // address replaces the text.
    QCOMPARE(form.text1()->text(), typed + u' ');
    QCOMPARE(form.rememberedLocation(), u"qrc:/start.html"_s);
    browser->load(u"http://www.example.org/"_s);
    QCOMPARE(form.text1()->text(), u"http://www.example.org/"_s);

    // The keypad's Enter navigates as well.
    QTest::keyClick(form.text1(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(browser->calls.last(), u"navigate http://www.example.org/"_s);
}

void TestForm3::buttonsDriveTheBrowser_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("call");

    QTest::newRow("Back") << u"Command_Back"_s << u"back"_s;
    QTest::newRow("Forward") << u"Command_Forward"_s << u"forward"_s;
    QTest::newRow("Stop") << u"Command_Stop"_s << u"stop"_s;
    QTest::newRow("Refresh") << u"Command_Refresh"_s << u"refresh"_s;
}

void TestForm3::buttonsDriveTheBrowser() {
    QFETCH(QString, button);
    QFETCH(QString, call);
    Form3 form(fakeFactory());
    auto* b = form.findChild<QPushButton*>(button);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(fake(form)->calls, QStringList{call});
}

void TestForm3::backAndForwardOnFreshWindowDoNothing() {
    // The page area the program falls back on when no web engine is installed,
    // driven through the window: no history yet, so nothing happens at all.
    Form3 form;
    const QString caption = form.windowTitle();
    QTest::mouseClick(form.commandBack(), Qt::LeftButton);
    QTest::mouseClick(form.commandForward(), Qt::LeftButton);
    QTest::mouseClick(form.commandStop(), Qt::LeftButton);
    QTest::mouseClick(form.commandRefresh(), Qt::LeftButton);
    QCOMPARE(form.webBrowser1()->locationUrl(), QString());
    QCOMPARE(form.text1()->text(), QString());
    QCOMPARE(form.windowTitle(), caption);
    QVERIFY(form.isHidden());
}

void TestForm3::browserEventsShowInWindow() {
    Form3 form(fakeFactory());
    QCOMPARE(form.windowTitle(), u"Tarnwick(Lite)【作者ﾎｰﾑﾍﾟｰｼﾞ】"_s);
    emit fake(form)->statusTextChange(u"<b>http://x/</b>"_s);
    QCOMPARE(form.label1()->text(), u"<b>http://x/</b>"_s);
    QCOMPARE(form.label1()->textFormat(), Qt::PlainText);
    emit fake(form)->titleChange(u"ページの題"_s);
    QCOMPARE(form.windowTitle(), u"ページの題"_s);
}

void TestForm3::reloadKeepsAddressNewLocationReplacesIt() {
    Form3 form(fakeFactory());
    FakeBrowser* browser = fake(form);
    browser->load(u"http://a.example/"_s);
    QCOMPARE(form.text1()->text(), u"http://a.example/"_s);

    // The user edits the box, then the page is loaded again: same location, so
    // the box keeps what was typed.
    form.text1()->selectAll();
    QTest::keyClicks(form.text1(), u"half typed"_s);
    browser->load(u"http://a.example/"_s);
    QCOMPARE(form.text1()->text(), u"half typed"_s);

    // Following a link puts the new address in.
    browser->load(u"http://a.example/next.html"_s);
    QCOMPARE(form.text1()->text(), u"http://a.example/next.html"_s);
    QCOMPARE(form.rememberedLocation(), u"http://a.example/"_s);
}

void TestForm3::newWindowShowsWhenItsNavigationStarts() {
    auto* first = new Form3(fakeFactory());
    first->setAttribute(Qt::WA_DeleteOnClose);
    first->show();
    FakeBrowser* opener = fake(*first);

    auto* view = dynamic_cast<FakeBrowser*>(opener->pageOpensNewWindow());
    QVERIFY(view);
    QVERIFY(view != opener);
    QPointer<Form3> second = qobject_cast<Form3*>(view->window());
    QVERIFY(second);
    QVERIFY(second != first);
    QVERIFY(second->isHidden());
    QCOMPARE(second->size(), first->size());

    view->load(u"http://b.example/"_s, u"B"_s);
    QVERIFY(second->isVisible());
    QCOMPARE(second->text1()->text(), u"http://b.example/"_s);
    QCOMPARE(second->windowTitle(), u"B"_s);
    QCOMPARE(first->text1()->text(), QString());

    // The new window can open further windows of its own, and it goes away when
    // the user closes it.
    QVERIFY(view->pageOpensNewWindow());
    QCOMPARE(m_made.size(), 3);
    second->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!second);
    QVERIFY(first->isVisible());
}

void TestForm3::resizeStretchesPageAreaAndMovesStatusLine_data() {
    QTest::addColumn<int>("dw");
    QTest::addColumn<int>("dh");

    QTest::newRow("larger") << 300 << 200;
    QTest::newRow("taller only") << 0 << 150;
    QTest::newRow("smaller") << -120 << -80;
}

void TestForm3::resizeStretchesPageAreaAndMovesStatusLine() {
    QFETCH(int, dw);
    QFETCH(int, dh);
    Form3 form(fakeFactory());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QSize before = form.size();
    const QRect browser = form.webBrowser1()->geometry();
    const QRect label = form.label1()->geometry();
    const QRect text = form.text1()->geometry();
    const QRect back = form.commandBack()->geometry();

    form.resize(before + QSize(dw, dh));
    QTRY_COMPARE(form.size(), before + QSize(dw, dh));

    QCOMPARE(form.webBrowser1()->geometry(), browser.adjusted(0, 0, dw, dh));
    QCOMPARE(form.label1()->geometry(), label.translated(0, dh).adjusted(0, 0, dw, 0));
    QCOMPARE(form.text1()->geometry(), text.adjusted(0, 0, dw, 0));
    QCOMPARE(form.commandBack()->geometry(), back);
    // Still in step, so the next navigation keeps the window shown.
    fake(form)->load(u"http://a.example/"_s);
    QVERIFY(form.isVisible());
}

void TestForm3::sizeCheckHidesWindowWhoseBrowserDidNotFollow_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    // Smaller than the margins: the page area cannot take a negative size and
    // stays as it was.
    QTest::newRow("lower than the margins") << 400 << 40;
    QTest::newRow("narrower than the margins") << 8 << 300;
}

void TestForm3::sizeCheckHidesWindowWhoseBrowserDidNotFollow() {
    QFETCH(int, width);
    QFETCH(int, height);
    Form3 form(fakeFactory());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QSize design = form.size();
    QVERIFY(width < form.widthMargin() || height < form.heightMargin());

    form.resize(width, height);
    QTRY_COMPARE(form.size(), QSize(width, height));
    fake(form)->load(u"http://a.example/"_s);
    QVERIFY(form.isHidden());

    // Shown again at a size the page area follows (as the opening does), the next
    // navigation keeps it shown.
    form.resize(design);
    form.show();
    fake(form)->load(u"http://b.example/"_s);
    QVERIFY(form.isVisible());
    QCOMPARE(form.webBrowser1()->size() + QSize(form.widthMargin(), form.heightMargin()),
             form.size());
}

void TestForm3::openingReusesWindowUntilClosed() {
    HomePageWindow home(fakeFactory());
    QPointer<Form3> first = home.open();
    QVERIFY(first);
    QVERIFY(first->isVisible());
    QVERIFY(first->windowState() & Qt::WindowMaximized);
    QCOMPARE(fake(*first)->calls, QStringList{u"navigate "_s + HomePageUrl.toString()});

    // A minimised window is brought back maximised and sent home again.
    first->setWindowState(Qt::WindowMinimized);
    QCOMPARE(home.open(), first.data());
    QCOMPARE(first->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized),
             Qt::WindowMaximized);
    QCOMPARE(fake(*first)->calls.size(), 2);

    home.unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    Form3* again = home.open();
    QVERIFY(again);
    QCOMPARE(fake(*again)->calls, QStringList{u"navigate "_s + HomePageUrl.toString()});
}

void TestForm3::homePageShipsWithProgram() {
    // Opened with the page area used when no web engine is installed: the page
    // comes from inside the program, offline.
    HomePageWindow home(browserViewFactory());
    Form3* form = home.open();
    QCOMPARE(form->webBrowser1()->locationUrl(), HomePageUrl.toString());
    QCOMPARE(form->text1()->text(), HomePageUrl.toString());
    QCOMPARE(form->windowTitle(), u"Tarnwick(Lite) ホームページ"_s);

    QFile page(QUrl(HomePageUrl.toString()).path().prepend(u':'));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    for (const auto& needed : {u"127.0.0.1"_s, u"8080"_s, u"~/.config/Tarnwick/Tarnwick.ini"_s,
                               u"tarnwick-settings"_s})
        QVERIFY2(html.contains(needed), qPrintable(needed));
    QVERIFY(!html.contains(u"<script"_s, Qt::CaseInsensitive));
}

QTEST_MAIN(TestForm3)
#include "tst_form3.moc"
