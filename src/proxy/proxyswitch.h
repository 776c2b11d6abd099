#pragma once

#include <QString>
#include <functional>
#include <optional>

namespace Tarnwick {

class EventMonitor;
class ProxyEngine;
class SettingsStore;

// Switching the proxy on and off, and what the main window's initialisation does
// for the relay, without any widget: the desktop window and the headless runner
// both drive it.
class ProxySwitch {
public:
    enum class StartResult { Started, EmptyPort, Failed };

    ProxySwitch(ProxyEngine& engine, SettingsStore& store, EventMonitor& monitor);

    // Sweeps leftover answer files from the current directory, resets the counter and
    // creates the slot timers. Returns the port text to start on when "AutoStart" is
    // "○" (blanks around it allowed); the caller puts it in its port box and starts.
    std::optional<QString> initialise();

    // Listens on the port text. Empty: nothing but the waiting status; the caller
    // asks for a port. Not a port, or taken: stays stopped with "開設失敗 : " + port.
    StartResult start(const QString& portText);
    // Closes every connection; `clientSideClosed` runs between the two halves.
    void stop(const std::function<void()>& clientSideClosed = {});

    // Started means the listening socket listens.
    bool isStarted() const;

private:
    ProxyEngine& m_engine;
    SettingsStore& m_store;
    EventMonitor& m_monitor;
};

} // namespace Tarnwick
