#pragma once

#include "windows/homepagewindow.h"
#include "windows/usageviewer.h"

#include <QString>
#include <memory>

namespace Tarnwick {

class EventMonitor;
class MainWindow;
class ProxyEngine;
class ProxySwitch;
class SettingsStore;
class ShellActions;
class TrayIcon;

// The desktop program: the core objects, the shared actions, the main window and
// the tray, from start to end. It says what each action does.
class DesktopApp {
public:
    // On the user's store.
    DesktopApp();
    // On the given store (tests).
    explicit DesktopApp(std::unique_ptr<SettingsStore> store);
    ~DesktopApp();

    // Creates the main window and runs its initialisation; then puts the icon in the
    // tray with the monitor hidden, or, on a desktop without a tray, shows the
    // monitor, whose close box then ends the program.
    void start(bool useTray);
    // Ends the program: every socket closed, the answer files of the start directory
    // deleted (whatever directory is current by then), the event loop left.
    void end();

    const QString& startDirectory() const { return m_startDirectory; }
    SettingsStore& store() { return *m_store; }
    EventMonitor& monitor() { return *m_monitor; }
    ProxyEngine& engine() { return *m_engine; }
    ProxySwitch& proxy() { return *m_proxy; }
    ShellActions& actions() { return *m_actions; }
    MainWindow* mainWindow() const { return m_mainWindow.get(); }
    TrayIcon* trayIcon() const { return m_trayIcon.get(); }

private:
    void connectActions();

    QString m_startDirectory;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<EventMonitor> m_monitor;
    std::unique_ptr<ProxyEngine> m_engine;
    std::unique_ptr<ProxySwitch> m_proxy;
    std::unique_ptr<ShellActions> m_actions;
    std::unique_ptr<MainWindow> m_mainWindow;
    std::unique_ptr<TrayIcon> m_trayIcon;
    HomePageOpener m_homePage;
    UsageViewerOpener m_usage;
    bool m_ended = false;
};

} // namespace Tarnwick
