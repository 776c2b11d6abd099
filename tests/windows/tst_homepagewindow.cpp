#include "windows/browserview.h"
#include "windows/homepagewindow.h"

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

class TestHomePageWindow : public QObject {
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
    FakeBrowser* fake(HomePageWindow& window) {
        return static_cast<FakeBrowser*>(window.browser());
    }

    QList<QPointer<FakeBrowser>> m_made;
};

void TestHomePageWindow::init() {
    m_made.clear();
}

void TestHomePageWindow::cleanup() {
    closeAllHomePageWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY2(!qobject_cast<HomePageWindow*>(widget) ||
                     !widget->testAttribute(Qt::WA_DeleteOnClose),
                 "a browser window outlived its close");
}

void TestHomePageWindow::enterNavigatesToTrimmedAddress_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("target");

    QTest::newRow("blanks around") << u"  http://www.example.org/  "_s << u"http://www.example.org/"_s;
    QTest::newRow("no blanks") << u"example.org"_s << u"example.org"_s;
    QTest::newRow("blank inside kept") << u" a b "_s << u"a b"_s;
}

void TestHomePageWindow::enterNavigatesToTrimmedAddress() {
    QFETCH(QString, typed);
    QFETCH(QString, target);
    HomePageWindow window(fakeFactory());
    FakeBrowser* browser = fake(window);
    browser->load(u"qrc:/start.html"_s);
    window.addressBox()->clear();

    QTest::keyClicks(window.addressBox(), typed);
    QVERIFY(browser->calls.isEmpty());
    QTest::keyClick(window.addressBox(), Qt::Key_Return);

    QCOMPARE(browser->calls, QStringList{u"navigate "_s + target});
    // The Enter became a blank in the box; the box keeps it until the page's
    // address replaces the text.
    QCOMPARE(window.addressBox()->text(), typed + u' ');
    QCOMPARE(window.rememberedLocation(), u"qrc:/start.html"_s);
    browser->load(u"http://www.example.org/"_s);
    QCOMPARE(window.addressBox()->text(), u"http://www.example.org/"_s);

    // The keypad's Enter navigates as well.
    QTest::keyClick(window.addressBox(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(browser->calls.last(), u"navigate http://www.example.org/"_s);
}

void TestHomePageWindow::buttonsDriveTheBrowser_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("call");

    QTest::newRow("Back") << u"Command_Back"_s << u"back"_s;
    QTest::newRow("Forward") << u"Command_Forward"_s << u"forward"_s;
    QTest::newRow("Stop") << u"Command_Stop"_s << u"stop"_s;
    QTest::newRow("Refresh") << u"Command_Refresh"_s << u"refresh"_s;
}

void TestHomePageWindow::buttonsDriveTheBrowser() {
    QFETCH(QString, button);
    QFETCH(QString, call);
    HomePageWindow window(fakeFactory());
    auto* b = window.findChild<QPushButton*>(button);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(fake(window)->calls, QStringList{call});
}

void TestHomePageWindow::backAndForwardOnFreshWindowDoNothing() {
    // The page area the program falls back on when no web engine is installed,
    // driven through the window: no history yet, so nothing happens at all.
    HomePageWindow window;
    const QString caption = window.windowTitle();
    QTest::mouseClick(window.backButton(), Qt::LeftButton);
    QTest::mouseClick(window.forwardButton(), Qt::LeftButton);
    QTest::mouseClick(window.stopButton(), Qt::LeftButton);
    QTest::mouseClick(window.refreshButton(), Qt::LeftButton);
    QCOMPARE(window.browser()->locationUrl(), QString());
    QCOMPARE(window.addressBox()->text(), QString());
    QCOMPARE(window.windowTitle(), caption);
    QVERIFY(window.isHidden());
}

void TestHomePageWindow::browserEventsShowInWindow() {
    HomePageWindow window(fakeFactory());
    QCOMPARE(window.windowTitle(), u"Tarnwick(Lite)【作者ﾎｰﾑﾍﾟｰｼﾞ】"_s);
    emit fake(window)->statusTextChange(u"<b>http://x/</b>"_s);
    QCOMPARE(window.statusLine()->text(), u"<b>http://x/</b>"_s);
    QCOMPARE(window.statusLine()->textFormat(), Qt::PlainText);
    emit fake(window)->titleChange(u"ページの題"_s);
    QCOMPARE(window.windowTitle(), u"ページの題"_s);
}

void TestHomePageWindow::reloadKeepsAddressNewLocationReplacesIt() {
    HomePageWindow window(fakeFactory());
    FakeBrowser* browser = fake(window);
    browser->load(u"http://a.example/"_s);
    QCOMPARE(window.addressBox()->text(), u"http://a.example/"_s);

    // The user edits the box, then the page is loaded again: same location, so
    // the box keeps what was typed.
    window.addressBox()->selectAll();
    QTest::keyClicks(window.addressBox(), u"half typed"_s);
    browser->load(u"http://a.example/"_s);
    QCOMPARE(window.addressBox()->text(), u"half typed"_s);

    // Following a link puts the new address in.
    browser->load(u"http://a.example/next.html"_s);
    QCOMPARE(window.addressBox()->text(), u"http://a.example/next.html"_s);
    QCOMPARE(window.rememberedLocation(), u"http://a.example/"_s);
}

void TestHomePageWindow::newWindowShowsWhenItsNavigationStarts() {
    auto* first = new HomePageWindow(fakeFactory());
    first->setAttribute(Qt::WA_DeleteOnClose);
    first->show();
    FakeBrowser* opener = fake(*first);

    auto* view = dynamic_cast<FakeBrowser*>(opener->pageOpensNewWindow());
    QVERIFY(view);
    QVERIFY(view != opener);
    QPointer<HomePageWindow> second = qobject_cast<HomePageWindow*>(view->window());
    QVERIFY(second);
    QVERIFY(second != first);
    QVERIFY(second->isHidden());
    QCOMPARE(second->size(), first->size());

    view->load(u"http://b.example/"_s, u"B"_s);
    QVERIFY(second->isVisible());
    QCOMPARE(second->addressBox()->text(), u"http://b.example/"_s);
    QCOMPARE(second->windowTitle(), u"B"_s);
    QCOMPARE(first->addressBox()->text(), QString());

    // The new window can open further windows of its own, and it goes away when
    // the user closes it.
    QVERIFY(view->pageOpensNewWindow());
    QCOMPARE(m_made.size(), 3);
    second->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!second);
    QVERIFY(first->isVisible());
}

void TestHomePageWindow::resizeStretchesPageAreaAndMovesStatusLine_data() {
    QTest::addColumn<int>("dw");
    QTest::addColumn<int>("dh");

    QTest::newRow("larger") << 300 << 200;
    QTest::newRow("taller only") << 0 << 150;
    QTest::newRow("smaller") << -120 << -80;
}

void TestHomePageWindow::resizeStretchesPageAreaAndMovesStatusLine() {
    QFETCH(int, dw);
    QFETCH(int, dh);
    HomePageWindow window(fakeFactory());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize before = window.size();
    const QRect browser = window.browser()->geometry();
    const QRect label = window.statusLine()->geometry();
    const QRect text = window.addressBox()->geometry();
    const QRect back = window.backButton()->geometry();

    window.resize(before + QSize(dw, dh));
    QTRY_COMPARE(window.size(), before + QSize(dw, dh));

    QCOMPARE(window.browser()->geometry(), browser.adjusted(0, 0, dw, dh));
    QCOMPARE(window.statusLine()->geometry(), label.translated(0, dh).adjusted(0, 0, dw, 0));
    QCOMPARE(window.addressBox()->geometry(), text.adjusted(0, 0, dw, 0));
    QCOMPARE(window.backButton()->geometry(), back);
    // Still in step, so the next navigation keeps the window shown.
    fake(window)->load(u"http://a.example/"_s);
    QVERIFY(window.isVisible());
}

void TestHomePageWindow::sizeCheckHidesWindowWhoseBrowserDidNotFollow_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    // Smaller than the margins: the page area cannot take a negative size and
    // stays as it was.
    QTest::newRow("lower than the margins") << 400 << 40;
    QTest::newRow("narrower than the margins") << 8 << 300;
}

void TestHomePageWindow::sizeCheckHidesWindowWhoseBrowserDidNotFollow() {
    QFETCH(int, width);
    QFETCH(int, height);
    HomePageWindow window(fakeFactory());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize design = window.size();
    QVERIFY(width < window.widthMargin() || height < window.heightMargin());

    window.resize(width, height);
    QTRY_COMPARE(window.size(), QSize(width, height));
    fake(window)->load(u"http://a.example/"_s);
    QVERIFY(window.isHidden());

    // Shown again at a size the page area follows (as the opening does), the next
    // navigation keeps it shown.
    window.resize(design);
    window.show();
    fake(window)->load(u"http://b.example/"_s);
    QVERIFY(window.isVisible());
    QCOMPARE(window.browser()->size() + QSize(window.widthMargin(), window.heightMargin()),
             window.size());
}

void TestHomePageWindow::openingReusesWindowUntilClosed() {
    HomePageOpener home(fakeFactory());
    QPointer<HomePageWindow> first = home.open();
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
    HomePageWindow* again = home.open();
    QVERIFY(again);
    QCOMPARE(fake(*again)->calls, QStringList{u"navigate "_s + HomePageUrl.toString()});
}

void TestHomePageWindow::homePageShipsWithProgram() {
    // Opened with the page area used when no web engine is installed: the page
    // comes from inside the program, offline.
    HomePageOpener home(browserViewFactory());
    HomePageWindow* window = home.open();
    QCOMPARE(window->browser()->locationUrl(), HomePageUrl.toString());
    QCOMPARE(window->addressBox()->text(), HomePageUrl.toString());
    QCOMPARE(window->windowTitle(), u"Tarnwick(Lite) ホームページ"_s);

    QFile page(QUrl(HomePageUrl.toString()).path().prepend(u':'));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    for (const auto& needed : {u"127.0.0.1"_s, u"8080"_s, u"~/.config/Tarnwick/Tarnwick.ini"_s,
                               u"tarnwick-settings"_s})
        QVERIFY2(html.contains(needed), qPrintable(needed));
    QVERIFY(!html.contains(u"<script"_s, Qt::CaseInsensitive));
}

QTEST_MAIN(TestHomePageWindow)
#include "tst_homepagewindow.moc"
