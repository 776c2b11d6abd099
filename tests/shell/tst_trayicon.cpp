// The tray icon: its clicks and menu, a tray that appears late, the windows it must
// reach while others wait, the end of the program (by its menu or by a signal), and
// the one-instance rule.

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"
#include "shell/desktopapp.h"
#include "shell/mainwindow.h"
#include "shell/monitorarea.h"
#include "shell/trayicon.h"
#include "widgets/messagebox.h"
#include "windows/headerwindow.h"
#include "windows/optionsdialog.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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
    void lateTray_data();
    void lateTray();
    void trayReachesOpenWindows_data();
    void trayReachesOpenWindows();
    void iconInEverySize();
    void menuStartBehavesLikeTheButton();
    void exitRemovesTheStartDirectoryFiles();
    void cabinetQuestionsWaitSideBySide();
    void secondStartEndsAtOnce();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();

private:
    // Starts the built desktop program offscreen in the test directory, its lock in
    // the runtime directory and its settings under the test directory.
    bool startProgram(QProcess& p, const QString& runtimeDir) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtimeDir);
        env.insert(u"XDG_CONFIG_HOME"_s, m_dir->filePath(u"config"_s));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(m_dir->path());
        p.start(qEnvironmentVariable("TARNWICK_BIN_DIR") + u"/tarnwick"_s, {});
        return p.waitForStarted(5000);
    }
    static bool programBuilt() {
        return QFile::exists(qEnvironmentVariable("TARNWICK_BIN_DIR") + u"/tarnwick"_s);
    }
    // A runtime directory is the user's alone, or Qt will not use it.
    static void makePrivate(const QTemporaryDir& dir) {
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
    }

    std::unique_ptr<DesktopApp> makeApp() {
        return std::make_unique<DesktopApp>(
            std::make_unique<SettingsStore>(m_dir->filePath(u"store.ini"_s)));
    }

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
    m_app = makeApp();
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

void TestTrayIcon::lateTray_data() {
    QTest::addColumn<int>("appears"); // 0 at start, 1 while the program waits for it, 2 later
    QTest::newRow("at start") << 0;
    QTest::newRow("during the wait") << 1;
    QTest::newRow("after the wait") << 2;
}

void TestTrayIcon::lateTray() {
    QFETCH(int, appears);
    m_app.reset();
    m_app = makeApp();
    bool trayThere = appears == 0;
    m_app->start([&] { return trayThere; }, TraySearch{300, 20, 50});
    MainWindow* monitor = m_app->mainWindow();
    QCOMPARE(bool(m_app->trayIcon()), trayThere);
    QVERIFY(!monitor->isVisible());
    if (appears == 2) {
        // Given up for now: the monitor shows, the program runs on without a tray.
        QTRY_VERIFY(monitor->isVisible());
        QVERIFY(!m_app->trayIcon());
    }
    trayThere = true;
    QTRY_VERIFY(m_app->trayIcon());
    QVERIFY(m_app->trayIcon()->icon()->isVisible());
    // A monitor shown meanwhile stays, with its mark; its close box now only hides it.
    QCOMPARE(monitor->isVisible(), appears == 2);
    QCOMPARE(m_app->trayIcon()->showMonitorAction()->isChecked(), appears == 2);
    if (appears == 2) {
        QVERIFY(!monitor->closeBox());
        QVERIFY(!monitor->isVisible());
        QVERIFY(!m_app->trayIcon()->showMonitorAction()->isChecked());
    }
}

void TestTrayIcon::trayReachesOpenWindows_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<bool>("blocksMonitor");
    QTest::newRow("options dialog") << u"options"_s << true;
    QTest::newRow("header window") << u"header"_s << false;
    QTest::newRow("message box") << u"box"_s << true;
}

void TestTrayIcon::trayReachesOpenWindows() {
    QFETCH(QString, window);
    QFETCH(bool, blocksMonitor);
    TrayIcon* tray = m_app->trayIcon();
    MainWindow* monitor = m_app->mainWindow();
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);
    // A window of no owner, as the tray's own is.
    QWidget stranger;
    stranger.resize(60, 40);
    stranger.show();
    auto clickReaches = [](QWidget* target) {
        struct Catcher : QObject {
            bool hit = false;
            bool eventFilter(QObject*, QEvent* event) override {
                hit = hit || event->type() == QEvent::MouseButtonPress;
                return false;
            }
        } catcher;
        target->installEventFilter(&catcher);
        QTest::mouseClick(target->windowHandle(), Qt::LeftButton, {}, QPoint(2, 2));
        target->removeEventFilter(&catcher);
        return catcher.hit;
    };
    auto opened = [&]() -> QWidget* {
        if (window == u"options"_s)
            return monitor->findChild<OptionsDialog*>();
        if (window == u"header"_s)
            return monitor->monitorArea()->headerWindow();
        return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    };

    auto activated = [](QWidget* w) {
        return QTest::qWaitFor([w] { return QApplication::activeWindow() == w; }, 2000);
    };

    bool looked = false;
    bool found = false;
    bool strangerAnswered = false;
    bool monitorAnswered = false;
    bool strangerActive = false;
    bool raised = false;
    bool closed = false;
    QTimer::singleShot(0, this, [&] {
        if (QWidget* open = opened()) {
            found = true;
            strangerAnswered = clickReaches(&stranger);
            monitorAnswered = clickReaches(monitor);
            // Another window in front, then a left click on the tray brings the waiting
            // window back.
            stranger.activateWindow();
            strangerActive = activated(&stranger);
            emit tray->icon()->activated(QSystemTrayIcon::Trigger);
            raised = activated(open);
            open->close();
            closed = !open->isVisible();
        }
        looked = true;
    });
    if (window == u"options"_s) {
        tray->action("mnOption")->trigger();
    } else if (window == u"header"_s) {
        m_app->monitor().postAlways(Side::Wan, u"【Close】            \r\nNo. : 1"_s);
        monitor->monitorArea()->flush();
        monitor->monitorArea()->showSelectedEntry(Side::Wan);
    } else {
        setMessageBoxHook({});
        tray->action("mnVer")->trigger();
    }
    QTRY_VERIFY(looked);
    QVERIFY(found);
    QVERIFY(strangerAnswered);
    QCOMPARE(monitorAnswered, !blocksMonitor);
    QVERIFY(strangerActive);
    QVERIFY(raised);
    QVERIFY(closed);
}

void TestTrayIcon::iconInEverySize() {
    QList<QSize> sizes;
    for (int side : {16, 24, 32, 48, 64, 128, 256})
        sizes.append(QSize(side, side));
    for (const QIcon& icon : {QApplication::windowIcon(), m_app->trayIcon()->icon()->icon()}) {
        QList<QSize> available = icon.availableSizes();
        std::sort(available.begin(), available.end(),
                  [](QSize a, QSize b) { return a.width() < b.width(); });
        QCOMPARE(available, sizes);
        // Each one is there to be drawn.
        for (QSize size : sizes)
            QCOMPARE(icon.pixmap(size).size(), size);
    }
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
    QCOMPARE(m_app->engine().listeningPort(), port.toInt());
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

void TestTrayIcon::cabinetQuestionsWaitSideBySide() {
    setMessageBoxHook({});
    QVERIFY(m_app->store().save(Setting::CabGet, u"△"_s));
    QVERIFY(m_app->engine().listen(0));
    QTcpServer origin;
    QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
    QByteArray reached;
    connect(&origin, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* socket = origin.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this,
                [&, socket] { reached += socket->readAll(); });
    });
    QTcpSocket browsers[2];
    for (int k = 0; k < 2; ++k) {
        browsers[k].connectToHost(QHostAddress::LocalHost,
                                  quint16(m_app->engine().listeningPort()));
        QVERIFY(browsers[k].waitForConnected(2000));
        browsers[k].write("GET http://127.0.0.1:" + QByteArray::number(origin.serverPort()) + "/" +
                          QByteArray::number(k) + ".cab HTTP/1.1\r\nHost: h\r\n\r\n");
    }
    auto openBoxes = [&] {
        QList<QMessageBox*> open;
        for (QMessageBox* box : m_app->mainWindow()->findChildren<QMessageBox*>())
            if (box->isVisible())
                open << box;
        return open;
    };
    // Both wait at once, and neither holds the program up.
    QTRY_COMPARE(openBoxes().size(), 2);
    QVERIFY(!QApplication::activeModalWidget());
    QMessageBox* second =
        openBoxes()[0]->text().contains(u"/1.cab"_s) ? openBoxes()[0] : openBoxes()[1];
    second->button(QMessageBox::Yes)->click();
    QTRY_VERIFY(reached.contains("/1.cab HTTP/1.1"));
    QCOMPARE(openBoxes().size(), 1);
    // The tray brings the one still open forward.
    emit m_app->trayIcon()->icon()->activated(QSystemTrayIcon::Trigger);
    QTRY_COMPARE(QApplication::activeWindow(), openBoxes().value(0));
    // The program ends with it open: its request never goes out, its browser is let go.
    m_app->trayIcon()->action("mnFin")->trigger();
    QTRY_COMPARE(browsers[0].state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!reached.contains("/0.cab"));
}

void TestTrayIcon::secondStartEndsAtOnce() {
    if (!programBuilt())
        QSKIP("the tarnwick executable is not built");
    QTemporaryDir runtime;
    makePrivate(runtime);
    auto start = [&](QProcess& p) { return startProgram(p, runtime.path()); };
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

void TestTrayIcon::endsCleanlyOnSignal_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM (logout, service stop)") << int(SIGTERM);
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
}

void TestTrayIcon::endsCleanlyOnSignal() {
    QFETCH(int, signalNumber);
    if (!programBuilt())
        QSKIP("the tarnwick executable is not built");
    QTemporaryDir runtime;
    makePrivate(runtime);
    // A server that sends more than 1 MiB of a longer answer, then holds the connection
    // open: the program keeps the answer in a file meanwhile.
    QTcpServer web;
    QVERIFY(web.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&web, &QTcpServer::newConnection, &web, [&web] {
        QTcpSocket* server = web.nextPendingConnection();
        server->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                      "Content-Length: 4194304\r\n\r\n");
        server->write(QByteArray(1536 * 1024, 'x'));
    });
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 proxyPort = probe.serverPort();
    probe.close();
    SettingsStore settings(m_dir->filePath(u"config/Tarnwick/Tarnwick.ini"_s));
    QVERIFY(settings.save(Setting::AutoStart, u"○"_s));
    QVERIFY(settings.save(Setting::LocalPort, QString::number(proxyPort)));

    QProcess program;
    QVERIFY(startProgram(program, runtime.path()));
    QTcpSocket client;
    for (QDeadlineTimer ready(15000); !ready.hasExpired(); QTest::qWait(100)) {
        client.connectToHost(QHostAddress::LocalHost, proxyPort);
        if (client.waitForConnected(1000))
            break;
        client.abort();
    }
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(web.serverPort());
    client.write("GET http://" + origin + "/x HTTP/1.1\r\nHost: " + origin + "\r\n\r\n");
    const auto answerFiles = [this] {
        return QDir(m_dir->path()).entryList({u"~tarnwick-temp-*"_s}, QDir::Files | QDir::Hidden);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!answerFiles().isEmpty(), 10000);

    ::kill(pid_t(program.processId()), signalNumber);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(answerFiles(), QStringList());
    QVERIFY(!QFile::exists(runtime.filePath(u"tarnwick.lock"_s)));
    QProcess next;
    QVERIFY(startProgram(next, runtime.path()));
    QTest::qWait(1500);
    QCOMPARE(next.state(), QProcess::Running);
    next.terminate();
    QVERIFY(next.waitForFinished(10000));
}

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
