// The tray icon: its clicks and menu, the end of the program, and the one-instance rule.

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "settings/settingsstore.h"
#include "shell/desktopapp.h"
#include "shell/mainwindow.h"
#include "shell/trayicon.h"
#include "widgets/messagebox.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestTrayIcon : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void menuHoldsEveryItemInOrder();
    void leftClickShowsTheMonitorOnce();
    void closeBoxHidesAndClearsTheMark();
    void menuStartBehavesLikeTheButton();
    void exitRemovesTheStartDirectoryFiles();
    void secondStartEndsAtOnce();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DesktopApp> m_app;
    QList<MessageRequest> m_boxes;
    QString m_previousDir;
};

void TestTrayIcon::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    m_boxes.clear();
    setMessageBoxHook([this](const MessageRequest& r) {
        m_boxes << r;
        return MessageAnswer::Ok;
    });
    m_app = std::make_unique<DesktopApp>(
        std::make_unique<SettingsStore>(m_dir->filePath(u"store.ini"_s)));
    m_app->start(true);
}

void TestTrayIcon::cleanup() {
    m_app.reset();
    setMessageBoxHook({});
    QDir::setCurrent(m_previousDir);
}

void TestTrayIcon::menuHoldsEveryItemInOrder() {
    QStringList items;
    for (QAction* a : m_app->trayIcon()->menu()->actions())
        items << (a->isSeparator() ? u"-"_s : a->text());
    QCOMPARE(items, (QStringList{u"モニター表示"_s, u"オプション設定"_s, u"-"_s, u"バージョン情報"_s,
                                 u"-"_s, u"Ottergroveホームページ"_s, u"-"_s, u"使用方法"_s, u"-"_s,
                                 u"スタート"_s, u"ストップ"_s, u"-"_s, u"tarnwick 終了"_s}));
    QVERIFY(!m_app->trayIcon()->showMonitorAction()->isChecked());
    QVERIFY(!m_app->mainWindow()->isVisible());
}

void TestTrayIcon::leftClickShowsTheMonitorOnce() {
    TrayIcon* tray = m_app->trayIcon();
    MainWindow* monitor = m_app->mainWindow();
    emit tray->icon()->activated(QSystemTrayIcon::Context);
    QVERIFY(!monitor->isVisible());
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(monitor->isVisible());
    QVERIFY(tray->showMonitorAction()->isChecked());
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(monitor->isVisible());
    QVERIFY(tray->showMonitorAction()->isChecked());
    // The menu entry toggles.
    tray->showMonitorAction()->trigger();
    QVERIFY(!monitor->isVisible());
    QVERIFY(!tray->showMonitorAction()->isChecked());
    tray->showMonitorAction()->trigger();
    QVERIFY(monitor->isVisible());
}

void TestTrayIcon::closeBoxHidesAndClearsTheMark() {
    TrayIcon* tray = m_app->trayIcon();
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!m_app->mainWindow()->closeBox());
    QVERIFY(!m_app->mainWindow()->isVisible());
    QVERIFY(!tray->showMonitorAction()->isChecked());
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(m_app->mainWindow()->isVisible());
    QVERIFY(tray->showMonitorAction()->isChecked());
}

void TestTrayIcon::menuStartBehavesLikeTheButton() {
    TrayIcon* tray = m_app->trayIcon();
    tray->action("mnStart")->trigger();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, u"ポート番号を指定してください。"_s);
    QCOMPARE(m_boxes[0].title, u"Tarnwick"_s);
    QCOMPARE(m_app->monitor().status(Side::Lan), u"接続要求待ち"_s);
    QVERIFY(m_app->mainWindow()->startButton()->isEnabled());

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    const QString port = QString::number(probe.serverPort());
    probe.close();
    m_app->mainWindow()->portBox()->setText(port);
    tray->action("mnStart")->trigger();
    QCOMPARE(m_app->engine().listener()->localPort(), port.toInt());
    QVERIFY(!m_app->mainWindow()->startButton()->isEnabled());
    tray->action("mnStop")->trigger();
    QVERIFY(m_app->mainWindow()->startButton()->isEnabled());
    QCOMPARE(m_app->monitor().status(Side::Lan), u"切断要求中 : 999"_s);
}

void TestTrayIcon::exitRemovesTheStartDirectoryFiles() {
    const QString leftover = m_dir->filePath(u"~tarnwick-temp-7"_s);
    QFile f(leftover);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QTemporaryDir elsewhere;
    QFile other(elsewhere.filePath(u"~tarnwick-temp-8"_s));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();
    QDir::setCurrent(elsewhere.path());
    emit m_app->trayIcon()->icon()->activated(QSystemTrayIcon::Trigger);
    m_app->trayIcon()->action("mnFin")->trigger();
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(QFile::exists(other.fileName()));
    QVERIFY(!m_app->trayIcon()->icon()->isVisible());
    QVERIFY(!m_app->mainWindow()->isVisible());
    QCOMPARE(QDir::currentPath(), QDir(m_dir->path()).canonicalPath());
}

void TestTrayIcon::secondStartEndsAtOnce() {
    const QString program = qEnvironmentVariable("TARNWICK_BIN_DIR") + u"/tarnwick"_s;
    if (!QFile::exists(program))
        QSKIP("the tarnwick executable is not built");
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
    env.insert(u"XDG_CONFIG_HOME"_s, m_dir->filePath(u"config"_s));
    auto start = [&](QProcess& p) {
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(m_dir->path());
        p.start(program, {});
        return p.waitForStarted(5000);
    };
    QProcess first;
    QVERIFY(start(first));
    QTest::qWait(1500);
    QCOMPARE(first.state(), QProcess::Running);
    QProcess second;
    QVERIFY(start(second));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);

    // A crashed instance leaves its lock file behind; it must not block the next start.
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000));
    QProcess third;
    QVERIFY(start(third));
    QTest::qWait(1500);
    QCOMPARE(third.state(), QProcess::Running);
    third.kill();
    third.waitForFinished(5000);
}

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
