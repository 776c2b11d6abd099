// The main window's proxy switch: automatic start at initialisation, Start with an
// empty, taken or bad port, Stop and Start again, the close box, and the version box.

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"
#include "shell/desktopapp.h"
#include "shell/form1.h"
#include "shell/messagebox.h"

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

class TestForm1 : public QObject {
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
    std::unique_ptr<Form1> makeForm(DesktopApp& app);
    static QString message(const Form1& form, const char* name);

    QTemporaryDir m_dir;
    QString m_storePath;
    QString m_previousCurrent;
    QList<MessageRequest> m_boxes;
};

void TestForm1::init() {
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

void TestForm1::cleanup() {
    setMessageBoxHook({});
    QDir::setCurrent(m_previousCurrent);
}

std::unique_ptr<DesktopApp> TestForm1::makeApp() {
    return std::make_unique<DesktopApp>(std::make_unique<SettingsStore>(m_storePath));
}

std::unique_ptr<Form1> TestForm1::makeForm(DesktopApp& app) {
    return std::make_unique<Form1>(app.store(), app.monitor(), app.engine(), app.proxy());
}

QString TestForm1::message(const Form1& form, const char* name) {
    const auto* box = form.findChild<QLineEdit*>(QString::fromLatin1(name));
    return box ? box->text() : u"(no box)"_s;
}

void TestForm1::initialisation_data() {
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

void TestForm1::initialisation() {
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
            QVERIFY(store.save(u"AutoStart", autoStart));
        QVERIFY(store.save(u"Local_Port", QString::number(port)));
    }
    auto app = makeApp();
    auto form = makeForm(*app);
    form->initialise();

    // All of it happens before the window is ever shown.
    QVERIFY(!form->isVisible());
    QVERIFY(!QFile::exists(current.filePath(u"~tarnwick-temp-1"_s)));
    QVERIFY(!QFile::exists(current.filePath(u"~tarnwick-temp-999"_s)));
    QVERIFY(QFile::exists(current.filePath(u"tarnwick-temp-2"_s)));
    QCOMPARE(app->engine().connectionCounter(), 0);
    QCOMPARE(app->engine().pumpTimers().exists(999), true);
    QCOMPARE(app->engine().reconnectTimers().isEnabled(1), false);

    QCOMPARE(app->proxy().isStarted(), started);
    QCOMPARE(form->textPort()->text(), started ? QString::number(port) : QString());
    QCOMPARE(form->commandStart()->isEnabled(), !started);
    QCOMPARE(form->textPort()->isReadOnly(), started);
    QVERIFY(form->commandStop()->isEnabled());
    QCOMPARE(canConnect(port), started);
    if (started) {
        QCOMPARE(message(*form, "lanMessage"), u"接続要求待ち"_s);
        QTRY_COMPARE(app->engine().connectionCounter(), 1);
    }
    QVERIFY(m_boxes.isEmpty());
}

void TestForm1::autoStartDefaultPort() {
    // No "Local_Port": the default port, through the same start as the button.
    {
        SettingsStore store(m_storePath);
        QVERIFY(store.save(u"AutoStart", u"○"_s));
    }
    auto app = makeApp();
    auto form = makeForm(*app);
    form->initialise();
    QVERIFY(!form->isVisible());
    QCOMPARE(form->textPort()->text(), u"8080"_s);
    // Whether it listens depends on whether something else has 8080 on this machine.
    if (app->proxy().isStarted()) {
        QCOMPARE(message(*form, "lanMessage"), u"接続要求待ち"_s);
        QVERIFY(!form->commandStart()->isEnabled());
        QVERIFY(canConnect(8080));
    } else {
        QCOMPARE(message(*form, "lanMessage"), u"開設失敗 : 8080"_s);
        QVERIFY(form->commandStart()->isEnabled());
        QVERIFY(!portIsFree(8080));
    }
    form->commandStopClick();
}

void TestForm1::startWithBlankPort() {
    auto app = makeApp();
    auto form = makeForm(*app);
    form->initialise();
    form->textPort()->setText(u"   "_s);
    form->commandStartClick();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, u"ポート番号を指定してください。"_s);
    QCOMPARE(m_boxes[0].title, u"Tarnwick"_s);
    QCOMPARE(m_boxes[0].buttons, MessageButtons::Ok);
    // The waiting status was written before the port was checked, and stays.
    QCOMPARE(message(*form, "lanMessage"), u"接続要求待ち"_s);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(form->commandStart()->isEnabled());
    QVERIFY(!form->textPort()->isReadOnly());
    QCOMPARE(app->engine().listener()->state(), EventSocket::State::Closed);
}

void TestForm1::startFails_data() {
    QTest::addColumn<QString>("portText"); // "taken": a port another socket listens on
    QTest::newRow("port taken") << u"taken"_s;
    QTest::newRow("not a number") << u"abc"_s;
    QTest::newRow("out of range") << u"70000"_s;
    QTest::newRow("zero") << u"0"_s;
    QTest::newRow("negative") << u"-1"_s;
}

void TestForm1::startFails() {
    QFETCH(QString, portText);
    QTcpServer blocker;
    if (portText == u"taken") {
        QVERIFY(blocker.listen(QHostAddress::AnyIPv4, 0));
        portText = QString::number(blocker.serverPort());
    }
    auto app = makeApp();
    auto form = makeForm(*app);
    form->initialise();
    form->textPort()->setText(u" "_s + portText + u" "_s);
    form->commandStartClick();
    QCOMPARE(message(*form, "lanMessage"), u"開設失敗 : "_s + portText);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(form->commandStart()->isEnabled());
    QVERIFY(!form->textPort()->isReadOnly());
    QVERIFY(m_boxes.isEmpty());

    // Once the port is free the same box starts.
    if (blocker.isListening()) {
        blocker.close();
        form->commandStartClick();
        QVERIFY(app->proxy().isStarted());
        QVERIFY(!form->commandStart()->isEnabled());
        QVERIFY(canConnect(quint16(portText.toInt())));
    }
}

void TestForm1::stopAndStartAgain() {
    const quint16 port = freePort();
    auto app = makeApp();
    auto form = makeForm(*app);
    form->initialise();
    form->textPort()->setText(QString::number(port));
    form->commandStartClick();
    QVERIFY(app->proxy().isStarted());
    // Start while started only rewrites the status.
    form->commandStartClick();
    QVERIFY(app->proxy().isStarted());
    QCOMPARE(message(*form, "lanMessage"), u"接続要求待ち"_s);

    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(first.waitForConnected(3000));
    QTRY_COMPARE(app->engine().connectionCounter(), 1);

    form->commandStopClick();
    QCOMPARE(message(*form, "lanMessage"), u"切断要求中 : 999"_s);
    QCOMPARE(message(*form, "wanMessage"), u"切断要求中 : 999"_s);
    QVERIFY(!app->proxy().isStarted());
    QVERIFY(form->commandStart()->isEnabled());
    QVERIFY(!form->textPort()->isReadOnly());
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!canConnect(port));
    QCOMPARE(app->engine().connectionCounter(), 1);
    // Stop when stopped does no harm.
    form->commandStopClick();
    QVERIFY(form->commandStart()->isEnabled());

    form->commandStartClick();
    QVERIFY(app->proxy().isStarted());
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(second.waitForConnected(3000));
    // The slot cycle goes on where it was.
    QTRY_COMPARE(app->engine().connectionCounter(), 2);
    form->commandStopClick();
}

void TestForm1::closeBoxEndsProgram() {
    QTemporaryDir startDir;
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(startDir.path()));
    const quint16 port = freePort();
    {
        SettingsStore store(m_storePath);
        QVERIFY(store.save(u"AutoStart", u"○"_s));
        QVERIFY(store.save(u"Local_Port", QString::number(port)));
    }
    auto app = makeApp();
    QCOMPARE(app->startDirectory(), startDir.path());
    app->start(false);
    QVERIFY(app->form1()->isVisible());
    QVERIFY(canConnect(port));

    // Answer files written during the run, then the current directory moves away.
    QVERIFY(touch(startDir.filePath(u"~tarnwick-temp-7"_s)));
    QVERIFY(touch(startDir.filePath(u"~tarnwick-temp-12"_s)));
    QVERIFY(touch(startDir.filePath(u"keep.txt"_s)));
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    QVERIFY(touch(elsewhere.filePath(u"~tarnwick-temp-3"_s)));

    QVERIFY(app->form1()->closeBox());
    QVERIFY(!QFile::exists(startDir.filePath(u"~tarnwick-temp-7"_s)));
    QVERIFY(!QFile::exists(startDir.filePath(u"~tarnwick-temp-12"_s)));
    QVERIFY(QFile::exists(startDir.filePath(u"keep.txt"_s)));
    QVERIFY(QFile::exists(elsewhere.filePath(u"~tarnwick-temp-3"_s)));
    QCOMPARE(QDir::currentPath(), startDir.path());
    QVERIFY(!canConnect(port));
}

void TestForm1::closeBoxHidesWithTray() {
    const quint16 port = freePort();
    auto app = makeApp();
    app->start(false);
    Form1* form = app->form1();
    form->textPort()->setText(QString::number(port));
    form->commandStartClick();
    int hidden = 0;
    bool ended = false;
    form->setCloseBoxHides(true);
    form->setOnHiddenByCloseBox([&] { ++hidden; });
    form->setOnEndRequested([&] { ended = true; });
    QVERIFY(!form->closeBox());
    QVERIFY(!form->isVisible());
    QCOMPARE(hidden, 1);
    QVERIFY(!ended);
    QVERIFY(canConnect(port)); // the proxy keeps running
    form->commandStopClick();
}

void TestForm1::versionBox() {
    auto app = makeApp();
    auto form = makeForm(*app);
    form->commandVersionClick();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, u"Tarnwick(Lite) Ver 4.1.01"_s);
    QCOMPARE(m_boxes[0].title, u"Tarnwick(Lite)【ﾊﾞｰｼﾞｮﾝ】"_s);
    QCOMPARE(m_boxes[0].buttons, MessageButtons::Ok);
    QVERIFY(!m_boxes[0].withIcon);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
