#pragma once

#include <QString>
#include <memory>

namespace Tarnwick {

class EventMonitor;
class Form1;
class ProxyEngine;
class ProxySwitch;
class SettingsStore;

// The desktop program: the core objects and the main window, from start to end.
class DesktopApp {
public:
    // `store` may be given (tests); otherwise the user's store is used.
    explicit DesktopApp(std::unique_ptr<SettingsStore> store = {});
    ~DesktopApp();

    // Creates the main window, runs its initialisation and shows it.
    void start();
    // Ends the program: every socket closed, the answer files of the start directory
    // deleted (whatever directory is current by then), the event loop left.
    void end();

    const QString& startDirectory() const { return m_startDirectory; }
    SettingsStore& store() { return *m_store; }
    EventMonitor& monitor() { return *m_monitor; }
    ProxyEngine& engine() { return *m_engine; }
    ProxySwitch& proxy() { return *m_proxy; }
    Form1* form1() const { return m_form1.get(); }

private:
    QString m_startDirectory;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<EventMonitor> m_monitor;
    std::unique_ptr<ProxyEngine> m_engine;
    std::unique_ptr<ProxySwitch> m_proxy;
    std::unique_ptr<Form1> m_form1;
};

} // namespace Tarnwick
