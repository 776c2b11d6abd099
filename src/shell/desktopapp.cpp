#include "shell/desktopapp.h"

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"
#include "shell/mainwindow.h"
#include "shell/monitorarea.h"
#include "shell/shellactions.h"
#include "shell/trayicon.h"
#include "widgets/messagebox.h"
#include "widgets/programicon.h"
#include "windows/headerwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMessageBox>

namespace Tarnwick {

DesktopApp::DesktopApp() : DesktopApp(std::unique_ptr<SettingsStore>()) {}

DesktopApp::DesktopApp(std::unique_ptr<SettingsStore> store)
    : m_startDirectory(QDir::currentPath()),
      m_store(store ? std::move(store) : std::make_unique<SettingsStore>()),
      m_monitor(std::make_unique<EventMonitor>(*m_store)),
      m_engine(std::make_unique<ProxyEngine>(*m_store, *m_monitor)),
      m_proxy(std::make_unique<ProxySwitch>(*m_engine, *m_store, *m_monitor)),
      m_actions(std::make_unique<ShellActions>()) {
    // Asked without waiting: the relays go on while the box is open, and several cabinet
    // downloads each have their own box.
    m_engine->setCabinetQuestion([this](const QString& text, ProxyEngine::CabinetAnswer answer) {
        askMessage(m_mainWindow.get(),
                   MessageRequest{applicationTitle(), text, MessageButtons::YesNo, true},
                   [answer = std::move(answer)](MessageAnswer chosen) {
                       answer(chosen == MessageAnswer::Yes);
                   });
    });
}

DesktopApp::~DesktopApp() {
    m_homePage.unload();
    m_usage.unload();
    m_trayIcon.reset();
    m_mainWindow.reset();
}

void DesktopApp::start(TrayCheck trayAvailable, TraySearch search) {
    QApplication::setWindowIcon(programIcon());
    m_mainWindow = std::make_unique<MainWindow>(*m_store, *m_monitor, *m_proxy, *m_actions);
    m_mainWindow->setOnEndRequested([this] { end(); });
    connectActions();
    m_mainWindow->initialise();

    m_trayAvailable = std::move(trayAvailable);
    m_traySearch = search;
    if (m_trayAvailable()) {
        moveIntoTray();
        return;
    }
    if (search.startWait <= 0) {
        runWithoutTray();
        return;
    }
    m_searchingSince.start();
    QObject::connect(&m_trayTimer, &QTimer::timeout, &m_trayTimer, [this] { lookForTray(); });
    m_trayTimer.start(search.startInterval);
}

void DesktopApp::lookForTray() {
    if (m_trayAvailable()) {
        m_trayTimer.stop();
        moveIntoTray();
    } else if (m_searchingSince.isValid() && m_searchingSince.hasExpired(m_traySearch.startWait)) {
        // The wait at start is over.
        m_searchingSince.invalidate();
        runWithoutTray();
    }
}

void DesktopApp::moveIntoTray() {
    // The monitor hidden with its close box: the menu's mark follows.
    m_mainWindow->setCloseBoxHides(true);
    m_mainWindow->setOnHiddenByCloseBox([this] { m_actions->showMonitor->setChecked(false); });
    m_trayIcon = std::make_unique<TrayIcon>(*m_actions);
    m_trayIcon->setWindowToRaise([this] { return windowToRaise(); });
    // A monitor shown while there was no tray stays on screen, marked.
    m_actions->showMonitor->setChecked(m_mainWindow->isVisible());
    m_trayIcon->showIcon();
}

void DesktopApp::runWithoutTray() {
    // Nothing could bring a hidden monitor back: show it, its close box ends.
    m_mainWindow->show();
    if (m_traySearch.laterInterval > 0)
        m_trayTimer.start(m_traySearch.laterInterval);
    else
        m_trayTimer.stop();
}

QWidget* DesktopApp::windowToRaise() const {
    if (QWidget* waiting = QApplication::activeModalWidget())
        return waiting;
    // An open cabinet question, the latest first.
    const QList<QMessageBox*> questions =
        m_mainWindow->findChildren<QMessageBox*>(Qt::FindDirectChildrenOnly);
    for (auto box = questions.rbegin(); box != questions.rend(); ++box)
        if ((*box)->isVisible())
            return *box;
    HeaderWindow* header = m_mainWindow->monitorArea()->headerWindow();
    return header && header->isVisible() ? header : nullptr;
}

void DesktopApp::connectActions() {
    MainWindow* window = m_mainWindow.get();
    // Triggering a checkable action flips its mark first: the new state says what to do.
    QObject::connect(m_actions->showMonitor, &QAction::triggered, window, [window](bool shown) {
        if (shown)
            window->show();
        else
            window->hide();
    });
    QObject::connect(m_actions->options, &QAction::triggered, window, &MainWindow::openOptions);
    QObject::connect(m_actions->version, &QAction::triggered, window, &MainWindow::showVersion);
    QObject::connect(m_actions->start, &QAction::triggered, window, &MainWindow::startProxy);
    QObject::connect(m_actions->stop, &QAction::triggered, window, &MainWindow::stopProxy);
    QObject::connect(m_actions->homePage, &QAction::triggered, window,
                     [this] { m_homePage.open(); });
    QObject::connect(m_actions->usage, &QAction::triggered, window, [this] { m_usage.open(); });
    QObject::connect(m_actions->exit, &QAction::triggered, window, [this] { end(); });
}

void DesktopApp::end() {
    if (m_ended)
        return;
    m_ended = true;
    m_trayTimer.stop();
    if (m_trayIcon)
        m_trayIcon->hideIcon();
    // Every window goes, the monitor and any dialog still open included; an open
    // options dialog closes without its save question.
    m_mainWindow->closeDialogs();
    m_homePage.unload();
    m_usage.unload();
    closeAllHomePageWindows();
    QApplication::closeAllWindows();
    m_engine->shutdown();
    QDir::setCurrent(m_startDirectory);
    ProxyEngine::removeAnswerFiles(m_startDirectory);
    QCoreApplication::quit();
}

} // namespace Tarnwick
