#pragma once

#include "windows/homepagewindow.h"
#include "windows/usageviewer.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace Tarnwick {

class EventMonitor;
class MainWindow;
class ProxyEngine;
class ProxySwitch;
class SettingsStore;
class ShellActions;
class TrayIcon;

// Whether the desktop has a tray to put the icon in.
using TrayCheck = std::function<bool()>;

// How long the program looks for a tray at start, how often it looks meanwhile, and
// how often it looks again while it runs without one; in milliseconds. A later
// interval of 0 stops looking.
struct TraySearch {
    int startWait = 5000;
    int startInterval = 250;
    int laterInterval = 3000;
};

// The desktop program: the core objects, the shared actions, the main window and
// the tray, from start to end. It says what each action does.
class DesktopApp {
public:
    // On the user's store.
    DesktopApp();
    // On the given store (tests).
    explicit DesktopApp(std::unique_ptr<SettingsStore> store);
    ~DesktopApp();

    // Creates the main window and runs its initialisation, then looks for the tray:
    // with one, puts the icon there with the monitor hidden. A session's autostart may
    // run before its panel, so without one it looks again for a while; then it shows
    // the monitor, whose close box ends the program, and goes on looking now and then,
    // moving into the tray (the close box then hides) once one appears.
    void start(TrayCheck trayAvailable, TraySearch search);
    // With the tray or without it, at once and for good.
    void start(bool useTray) {
        start([useTray] { return useTray; }, {0, 0, 0});
    }
    // A function or pointer alone would be taken for a bool.
    template <typename T> void start(T) = delete;
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
    void lookForTray();
    void moveIntoTray();
    void runWithoutTray();
    // What a left click on the tray brings to the front: an open dialog or box, else
    // the header window while it is open.
    QWidget* windowToRaise() const;

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
    TrayCheck m_trayAvailable;
    TraySearch m_traySearch;
    QTimer m_trayTimer;
    QElapsedTimer m_searchingSince;
    bool m_ended = false;
};

} // namespace Tarnwick
