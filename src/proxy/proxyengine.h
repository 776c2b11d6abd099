#pragma once

#include "monitor/eventmonitor.h"
#include "platform/eventsocket.h"
#include "platform/filetable.h"
#include "platform/slottimers.h"
#include "proxy/answerplan.h"
#include "proxy/relayslot.h"
#include "proxy/requesttarget.h"

#include <QObject>
#include <QPointer>
#include <QTime>
#include <array>
#include <memory>
#include <optional>
#include <functional>
#include <vector>

class QFile;

namespace Tarnwick {

class SettingsStore;

// The relay: the slot table, the per-slot sockets and timers, and the handlers of
// every socket event and timer tick, each reached with its slot index.
class ProxyEngine : public QObject {
    Q_OBJECT
public:
    // Asked for a cabinet download when "cabGET" is "△": true means Yes.
    using CabinetQuestion = std::function<bool(const QString& text)>;
    using Clock = std::function<QTime()>;

    // Intervals of the relay's clocks, in milliseconds (before scaling).
    static constexpr int PumpIntervalMs = 100;
    static constexpr int ReconnectIntervalMs = 1000;
    static constexpr int CloseDelayMs = 100;
    static constexpr int ReconnectLimit = 10;

    ProxyEngine(SettingsStore& store, EventMonitor& monitor, QObject* parent = nullptr);
    ~ProxyEngine() override;

    // Removes every answer file left in `directory`.
    static int removeAnswerFiles(const QString& directory);

    // Scales every timer interval; tests run the relay's clocks faster with it.
    void setTimeScale(double scale);
    void setCabinetQuestion(CabinetQuestion question) { m_askCabinet = std::move(question); }
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // How listening finds the machine's own addresses (tests give their own).
    void setOwnAddressLookup(std::function<QStringList()> lookup) {
        m_ownAddressLookup = std::move(lookup);
    }

    // Creates the pump and reconnect timers of every slot (interval 1000 ms, disabled)
    // and resets the connection counter.
    void initialise();

    // The listening socket, element 0.
    EventSocket* listener() const { return m_lan[0]; }
    // Sets LocalPort and listens; false when that fails. Looks up the machine's own
    // addresses, which admission counts as this machine.
    bool listen(int port);

    // Closes every socket and disables every timer, letting pending events run
    // between steps; the status lines count the slots down. `clientSideClosed` runs
    // once every client-side socket is closed.
    void stop(const std::function<void()>& clientSideClosed = {});
    // Closes every socket without the status lines or yielding (program end).
    void shutdown();

    int connectionCounter() const { return m_counter; }
    const RelaySlot& slot(int index) const { return m_slots[size_t(index)]; }
    EventSocket* lanSocket(int index) const { return m_lan[size_t(index)]; }
    EventSocket* wanSocket(int index) const { return m_wan[size_t(index)]; }
    const SlotTimers& pumpTimers() const { return *m_timer1; }
    const SlotTimers& reconnectTimers() const { return *m_timer2; }
    const SlotTimers& closeTimers() const { return *m_timer3; }

private:
    // How a relay ends. Every ending stops the slot's pump and reconnect timers and
    // removes its answer file; what the browser gets differs.
    enum class RelayEnd {
        Answered,            // the answer is on its way; the server side is done with
        Refused,             // the browser gets the refusal answer
        ClosedWithoutAnswer, // the browser's connection is closed at once
        BrowserGone,         // nobody to answer: the server side is given up
    };
    // What the blocking rules make of a request line.
    enum class RequestCheck { Passed, Tunnel, Refused, RefusedWithClose, Failed, Void };

    // Client side.
    void lanConnectionRequest(int index, qintptr requestId);
    void lanConnect(int index);
    void lanDataArrival(int index, qint64 bytesTotal);
    // Applies the POST, icon and cabinet rules to a complete request head.
    RequestCheck checkRequestLine(int index, const QByteArray& received);
    // Asks the user about a cabinet download; nothing when it may go on.
    std::optional<RequestCheck> askCabinet(int index, const QByteArray& requestLine);
    // Rewrites the request, chooses its target and starts the server connection;
    // false when there is no target.
    bool startRelay(int index, const QByteArray& received);
    // HTTPS tunnels: started from a CONNECT head, opened when the server connection is
    // up, carrying bytes either way with flow control, closed from either side.
    bool startTunnel(int index, const QByteArray& received);
    void openTunnel(int index);
    void carryTunnel(int index, Side from, const QByteArray& bytes);
    void closeTunnel(int index, Side closed);
    // Starts the server connection of a relay or tunnel; false without a target.
    bool connectServer(int index, const std::optional<RequestTarget>& target);
    // Passes a piece of the request body on, now or once the server connection is up.
    void continueRequest(int index, const QByteArray& piece);
    void lanSendComplete(int index);
    void lanClose(int index);
    void lanError(int index, int number, const QString& description, qint32 scode);
    // Server side.
    void wanConnect(int index);
    void wanDataArrival(int index, qint64 bytesTotal);
    void wanSendComplete(int index);
    void wanClose(int index);
    void wanError(int index, int number, const QString& description, qint32 scode);
    // Timers.
    void pumpTick(int index);
    void reconnectTick(int index);
    void closeTick(int index);
    // Logs a short answer, then asks the server again or, at the limit, refuses.
    void recheck(int index, const StoredAnswer& stored, bool giveUp);
    // Sends the answer, held whole (to be filtered or shown) or from its file.
    void sendAnswer(int index, const StoredAnswer& stored, bool holdWhole,
                    std::unique_ptr<QFile> file);
    void endRelay(int index, RelayEnd end);

    bool admits(const QString& clientIP);
    void admit(qintptr requestId);
    void createLan(int index);
    void createWan(int index);
    void destroy(std::vector<QPointer<EventSocket>>& sockets, int index);
    void destroyLan(int index);
    void destroyWan(int index);
    void sendRefusal(int index);
    void startCloseTimer(int index);
    // Closes the slot's answer file, if it has one open, and forgets its handle.
    void closeAnswerFile(int index);
    // Closes and removes the slot's answer file: its answer will never be sent.
    void discardAnswerFile(int index);
    void lanStatus(const QString& text);
    void wanStatus(const QString& text);
    QString requestEntry(int index, qint64 bytesTotal, const QByteArray& piece) const;

    SettingsStore& m_store;
    EventMonitor& m_monitor;
    CabinetQuestion m_askCabinet;
    Clock m_clock;
    std::function<QStringList()> m_ownAddressLookup;
    QStringList m_ownAddresses;
    std::vector<RelaySlot> m_slots;
    std::vector<QPointer<EventSocket>> m_lan;
    std::vector<QPointer<EventSocket>> m_wan;
    // Admissions into each slot, so a handler resuming after a wait can tell that
    // its slot was taken over meanwhile.
    std::vector<quint64> m_generation;
    SlotTimers* m_timer1;
    SlotTimers* m_timer2;
    SlotTimers* m_timer3;
    FileTable m_files;
    int m_counter = 0;
};

} // namespace Tarnwick
