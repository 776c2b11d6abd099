// The main window's proxy switch: automatic start at initialisation, Start with an
// empty, taken or bad port, Stop and Start again, the close box, and the version box.

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"
#include "shell/desktopapp.h"
#include "shell/mainwindow.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {
quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        return 0;
    return probe.serverPort();
}

bool portIsFree(quint16 port) {
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, port);
}

bool canConnect(quint16 port) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = client.waitForConnected(3000);
    client.abort();
    return ok;
}

bool touch(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("answer") == 6;
}
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initialisation_data();
    void initialisation();
    void autoStartDefaultPort();
    void startWithBlankPort();
    void startFails_data();
    void startFails();
    void stopAndStartAgain();
    void closeBoxEndsProgram();
    void closeBoxHidesWithTray();
    void versionBox();

private:
    std::unique_ptr<DesktopApp> makeApp();
    // A main window built on the app's objects, not yet initialised nor shown.
    std::unique_ptr<MainWindow> makeWindow(DesktopApp& app);
    static QString message(const MainWindow& window, const char* name);

    QTemporaryDir m_dir;
    QString m_storePath;
    QString m_previousCurrent;
    QList<MessageRequest> m_boxes;
};

void TestMainWindow::init() {
    QVERIFY(m_dir.isValid());
    m_storePath = m_dir.filePath(u"Tarnwick.ini"_s);
    QFile::remove(m_storePath);
    m_previousCurrent = QDir::currentPath();
    m_boxes.clear();
    setMessageBoxHook([this](const MessageRequest& request) {
        m_boxes << request;
        return MessageAnswer::Ok;
    });
}

void TestMainWindow::cleanup() {
    setMessageBoxHook({});
    QDir::setCurrent(m_previousCurrent);
}

std::unique_ptr<DesktopApp> TestMainWindow::makeApp() {
    return std::make_unique<DesktopApp>(std::make_unique<SettingsStore>(m_storePath));
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(DesktopApp& app) {
    return std::make_unique<MainWindow>(app.store(), app.monitor(), app.proxy(), app.actions());
}

QString TestMainWindow::message(const MainWindow& window, const char* name) {
    const auto* box = window.findChild<QLineEdit*>(QString::fromLatin1(name));
    return box ? box->text() : u"(no box)"_s;
}

void TestMainWindow::initialisation_data() {
    QTest::addColumn<QString>("autoStart"); // null: absent
    QTest::addColumn<bool>("started");
    QTest::newRow("○ with blanks around") << u" ○ "_s << true;
    QTest::newRow("○") << u"○"_s << true;
    QTest::newRow("absent") << QString() << false;
    QTest::newRow("×") << u"×"_s << false;
    QTest::newRow("△") << u"△"_s << false;
    QTest::newRow("○○") << u"○○"_s << false;
    QTest::newRow("empty") << u""_s << false;
}

void TestMainWindow::initialisation() {
    QFETCH(QString, autoStart);
    QFETCH(bool, started);
    QTemporaryDir current;
    QVERIFY(QDir::setCurrent(current.path()));
    // Leftovers of an earlier run go; other files stay.
    QVERIFY(touch(current.filePath(u"~tarnwick-temp-1"_s)));
    QVERIFY(touch(current.filePath(u"~tarnwick-temp-999"_s)));
    QVERIFY(touch(current.filePath(u"tarnwick-temp-2"_s)));

    const quint16 port = freePort();
    QVERIFY(port != 0);
    {
        SettingsStore store(m_storePath);
        if (!autoStart.isNull())
            QVERIFY(store.saveByName(u"AutoStart", autoStart));
        QVERIFY(store.saveByName(u"Local_Port", QString::number(port)));
    }
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->initialise();

    // All of it happens before the window is ever shown.
    QVERIFY(!window->isVisible());
    QVERIFY(!QFile::exists(current.filePath(u"~tarnwick-temp-1"_s)));
    QVERIFY(!QFile::exists(current.filePath(u"~tarnwick-temp-999"_s)));
    QVERIFY(QFile::exists(current.filePath(u"tarnwick-temp-2"_s)));
    QCOMPARE(app->engine().connectionCounter(), 0);

    QCOMPARE(app->proxy().isStarted(), started);
    QCOMPARE(window->portBox()->text(), started ? QString::number(port) : QString());
    QCOMPARE(window->startButton()->isEnabled(), !started);
    QCOMPARE(window->portBox()->isReadOnly(), started);
    QVERIFY(window->stopButton()->isEnabled());
    QCOMPARE(canConnect(port), started);
    if (started) {
        QCOMPARE(message(*window, "lanMessage"), u"接続要求待ち"_s);
        QTRY_COMPARE(app->engine().connectionCounter(), 1);
    }
    QVERIFY(m_boxes.isEmpty());
}

void TestMainWindow::autoStartDefaultPort() {
    // No "Local_Port": the default port, through the same start as the button.
    {
        SettingsStore store(m_storePath);
        QVERIFY(store.saveByName(u"AutoStart", u"○"_s));
    }
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->initialise();
    QVERIFY(!window->isVisible());
    QCOMPARE(window->portBox()->text(), u"8080"_s);
    // Whether it listens depends on whether something else has 8080 on this machine.
    if (app->proxy().isStarted()) {
        QCOMPARE(message(*window, "lanMessage"), u"接続要求待ち"_s);
        QVERIFY(!window->startButton()->isEnabled());
        QVERIFY(canConnect(8080));
    } else {
        QCOMPARE(message(*window, "lanMessage"), u"開設失敗 : 8080"_s);
        QVERIFY(window->startButton()->isEnabled());
        QVERIFY(!portIsFree(8080));
    }
    window->stopProxy();
}

void TestMainWindow::startWithBlankPort() {
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->initialise();
    window->portBox()->setText(u"   "_s);
    window->startProxy();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, u"ポート番号を指定してください。"_s);
    QCOMPARE(m_boxes[0].title, u"Tarnwick"_s);
    QCOMPARE(m_boxes[0].buttons, MessageButtons::Ok);
    // The waiting status was written before the port was checked, and stays.
    QCOMPARE(message(*window, "lanMessage"), u"接続要求待ち"_s);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(window->startButton()->isEnabled());
    QVERIFY(!window->portBox()->isReadOnly());
    QVERIFY(!app->engine().isListening());
}

void TestMainWindow::startFails_data() {
    QTest::addColumn<QString>("portText"); // "taken": a port another socket listens on
    QTest::newRow("port taken") << u"taken"_s;
    QTest::newRow("not a number") << u"abc"_s;
    QTest::newRow("out of range") << u"70000"_s;
    QTest::newRow("zero") << u"0"_s;
    QTest::newRow("negative") << u"-1"_s;
}

void TestMainWindow::startFails() {
    QFETCH(QString, portText);
    QTcpServer blocker;
    if (portText == u"taken") {
        QVERIFY(blocker.listen(QHostAddress::AnyIPv4, 0));
        portText = QString::number(blocker.serverPort());
    }
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->initialise();
    window->portBox()->setText(u" "_s + portText + u" "_s);
    window->startProxy();
    QCOMPARE(message(*window, "lanMessage"), u"開設失敗 : "_s + portText);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(window->startButton()->isEnabled());
    QVERIFY(!window->portBox()->isReadOnly());
    QVERIFY(m_boxes.isEmpty());

    // Once the port is free the same box starts.
    if (blocker.isListening()) {
        blocker.close();
        window->startProxy();
        QVERIFY(app->proxy().isStarted());
        QVERIFY(!window->startButton()->isEnabled());
        QVERIFY(canConnect(quint16(portText.toInt())));
    }
}

void TestMainWindow::stopAndStartAgain() {
    const quint16 port = freePort();
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->initialise();
    window->portBox()->setText(QString::number(port));
    window->startProxy();
    QVERIFY(app->proxy().isStarted());
    // Start while started only rewrites the status.
    window->startProxy();
    QVERIFY(app->proxy().isStarted());
    QCOMPARE(message(*window, "lanMessage"), u"接続要求待ち"_s);

    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(first.waitForConnected(3000));
    QTRY_COMPARE(app->engine().connectionCounter(), 1);

    window->stopProxy();
    QCOMPARE(message(*window, "lanMessage"), u"切断要求中 : 999"_s);
    QCOMPARE(message(*window, "wanMessage"), u"切断要求中 : 999"_s);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(window->startButton()->isEnabled());
    QVERIFY(!window->portBox()->isReadOnly());
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!canConnect(port));
    QCOMPARE(app->engine().connectionCounter(), 1);
    // Stop when stopped does no harm.
    window->stopProxy();
    QVERIFY(window->startButton()->isEnabled());

    window->startProxy();
    QVERIFY(app->proxy().isStarted());
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(second.waitForConnected(3000));
    // The slot cycle goes on where it was.
    QTRY_COMPARE(app->engine().connectionCounter(), 2);
    window->stopProxy();
}

void TestMainWindow::closeBoxEndsProgram() {
    QTemporaryDir startDir;
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(startDir.path()));
    const quint16 port = freePort();
    {
        SettingsStore store(m_storePath);
        QVERIFY(store.saveByName(u"AutoStart", u"○"_s));
        QVERIFY(store.saveByName(u"Local_Port", QString::number(port)));
    }
    auto app = makeApp();
    QCOMPARE(app->startDirectory(), startDir.path());
    app->start(false);
    QVERIFY(app->mainWindow()->isVisible());
    QVERIFY(canConnect(port));

    // Answer files written during the run, then the current directory moves away.
    QVERIFY(touch(startDir.filePath(u"~tarnwick-temp-7"_s)));
    QVERIFY(touch(startDir.filePath(u"~tarnwick-temp-12"_s)));
    QVERIFY(touch(startDir.filePath(u"keep.txt"_s)));
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    QVERIFY(touch(elsewhere.filePath(u"~tarnwick-temp-3"_s)));

    QVERIFY(app->mainWindow()->closeBox());
    QVERIFY(!QFile::exists(startDir.filePath(u"~tarnwick-temp-7"_s)));
    QVERIFY(!QFile::exists(startDir.filePath(u"~tarnwick-temp-12"_s)));
    QVERIFY(QFile::exists(startDir.filePath(u"keep.txt"_s)));
    QVERIFY(QFile::exists(elsewhere.filePath(u"~tarnwick-temp-3"_s)));
    QCOMPARE(QDir::currentPath(), startDir.path());
    QVERIFY(!canConnect(port));
}

void TestMainWindow::closeBoxHidesWithTray() {
    const quint16 port = freePort();
    auto app = makeApp();
    app->start(false);
    MainWindow* window = app->mainWindow();
    window->portBox()->setText(QString::number(port));
    window->startProxy();
    int hidden = 0;
    bool ended = false;
    window->setCloseBoxHides(true);
    window->setOnHiddenByCloseBox([&] { ++hidden; });
    window->setOnEndRequested([&] { ended = true; });
    QVERIFY(!window->closeBox());
    QVERIFY(!window->isVisible());
    QCOMPARE(hidden, 1);
    QVERIFY(!ended);
    QVERIFY(canConnect(port)); // the proxy keeps running
    window->stopProxy();
}

void TestMainWindow::versionBox() {
    auto app = makeApp();
    auto window = makeWindow(*app);
    window->showVersion();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, u"Tarnwick(Lite) Ver 4.1.01"_s);
    QCOMPARE(m_boxes[0].title, u"Tarnwick(Lite)【ﾊﾞｰｼﾞｮﾝ】"_s);
    QCOMPARE(m_boxes[0].buttons, MessageButtons::Ok);
    QVERIFY(!m_boxes[0].withIcon);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
