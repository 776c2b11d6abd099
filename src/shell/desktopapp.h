#pragma once

#include "windows/form3.h"
#include "windows/form4.h"

#include <QString>
#include <memory>

namespace Tarnwick {

class EventMonitor;
class Form0;
class Form1;
class ProxyEngine;
class ProxySwitch;
class SettingsStore;

// The desktop program: the core objects and the main window, from start to end.
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
    Form1* form1() const { return m_form1.get(); }
    Form0* form0() const { return m_form0.get(); }

private:
    QString m_startDirectory;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<EventMonitor> m_monitor;
    std::unique_ptr<ProxyEngine> m_engine;
    std::unique_ptr<ProxySwitch> m_proxy;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<Form0> m_form0;
    HomePageWindow m_homePage;
    UsageWindow m_usage;
    bool m_ended = false;
};

} // namespace Tarnwick
