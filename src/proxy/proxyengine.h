#pragma once

#include "monitor/eventmonitor.h"
#include "platform/deadlines.h"
#include "platform/listener.h"
#include "platform/reactor.h"
#include "proxy/relay.h"
#include "proxy/relaylog.h"

#include <QObject>
#include <QTime>
#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace Tarnwick {

class SettingsStore;

// The proxy: the listener, admission into the 999 relay slots of the cycle, and the
// relays themselves, all on one readiness set and one set of deadlines.
class ProxyEngine : public QObject {
    Q_OBJECT
public:
    // Asks the user about a cabinet download when "cabGET" is "△". It must not wait
    // for the user: `answer` (true means Yes) may run at once or later; an answer
    // whose relay has gone, or that comes after the engine, goes nowhere.
    using CabinetAnswer = std::function<void(bool yes)>;
    using CabinetQuestion = std::function<void(const QString& text, CabinetAnswer answer)>;
    using Clock = std::function<QTime()>;

    ProxyEngine(SettingsStore& store, EventMonitor& monitor, QObject* parent = nullptr);
    ~ProxyEngine() override;

    // Removes every answer and request file left in `directory`.
    static int removeAnswerFiles(const QString& directory);

    // Scales every interval of the relays; tests run their clocks faster with it.
    void setTimeScale(double scale) { m_deadlines.setScale(scale); }
    void setCabinetQuestion(CabinetQuestion question) { m_askCabinet = std::move(question); }
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // How listening finds the machine's own addresses (tests give their own).
    void setOwnAddressLookup(std::function<QStringList()> lookup) {
        m_ownAddressLookup = std::move(lookup);
    }

    // Resets the connection counter (the program's start).
    void initialise();

    // Listens on `port` (0 picks a free one); false when that fails. Looks up the
    // machine's own addresses, which admission counts as this machine.
    bool listen(int port);
    bool isListening() const { return m_listener.isListening(); }
    int listeningPort() const { return m_listener.port(); }

    // Closes every connection, letting pending events run between steps; the status
    // lines count the slots down. `clientSideClosed` runs once the browser side is done.
    void stop(const std::function<void()>& clientSideClosed = {});
    // Closes every connection without the status lines or yielding (program end).
    void shutdown();

    int connectionCounter() const { return m_counter; }

private:
    bool offered(const Listener::Client& client);
    bool admits(const QString& clientIP);
    void admit(const Listener::Client& client);
    // Lets a relay go: closed now, its memory once no handler can be using it.
    void retire(std::unique_ptr<Relay>& slot);
    Relay* find(int index, quint64 serial) const;

    // The settings folder's changes, taken before anything else of a wake-up so that
    // a saved change applies to the very next request.
    struct SettingsWatch final : Watched {
        explicit SettingsWatch(SettingsStore& store) : store(store) {}
        void ready(quint32) override;
        SettingsStore& store;
    };

    SettingsStore& m_store;
    RelayLog m_log;
    CabinetQuestion m_askCabinet;
    Clock m_clock;
    std::function<QStringList()> m_ownAddressLookup;
    QStringList m_ownAddresses;
    CertificateAuthority m_authority;
    TlsContexts m_tls;
    Reactor m_reactor;
    SettingsWatch m_settingsWatch;
    Deadlines m_deadlines;
    RelayContext m_context;
    Listener m_listener;
    std::array<std::unique_ptr<Relay>, LastSlotIndex + 1> m_slots;
    std::vector<std::unique_ptr<Relay>> m_retired;
    quint64 m_serial = 0;
    int m_counter = 0;
    int m_holding = 0; // relays that hold descriptors
};

} // namespace Tarnwick
