#pragma once

#include "platform/connection.h"
#include "platform/deadlines.h"
#include "platform/listener.h"
#include "platform/spillstore.h"
#include "platform/tls.h"
#include "proxy/exchange.h"
#include "proxy/requestreader.h"
#include "proxy/requesttarget.h"
#include "proxy/serverside.h"

#include <QByteArray>
#include <QTime>
#include <functional>
#include <memory>
#include <optional>

namespace Tarnwick {

class H2Front;
class RelayLog;
class SettingsStore;

inline constexpr int LastSlotIndex = 999;

// A request head that grows past this without its blank line is refused.
inline constexpr qsizetype MaxRequestHead = 64 * 1024;

// What the proxy answers when it refuses or fails a request.
inline constexpr char RefusalAnswer[] = "HTTP/1.0 999";

// The answer file of a slot, and the file a large request body of the slot spills
// into, relative to the current directory; both match the pattern swept at start and
// at exit.
QString answerFileName(int index);
QString requestFileName(int index);
inline constexpr char16_t TempFilePattern[] = u"~tarnwick-temp-*";

// What every relay shares: the settings, the monitor, the readiness set and the
// deadlines, and the engine's answers to a few questions.
struct RelayContext {
    SettingsStore& store;
    RelayLog& log;
    Reactor& reactor;
    Deadlines& deadlines;
    // Asks the user about a cabinet download when "cabGET" is "△", without waiting:
    // `answer` (true means Yes) may run at once or later, or never.
    std::function<void(const QString& text, std::function<void(bool yes)> answer)> askCabinet;
    std::function<QTime()> clock;
    // A relay gave its descriptors back.
    std::function<void()> relayEnded;
    // Receives name lookups' answers; they reach a relay through its slot and serial.
    QObject* lookups = nullptr;
    std::function<class Relay*(int index, quint64 serial)> find;
    // The TLS of intercepted connections.
    TlsContexts* tls = nullptr;
};

// One admitted browser connection, from its accept to its close. The relay owns the
// browser's connection, the server side, the slot's stores and one deadline; it reads
// the browser's requests, applies the blocking rules (asking the user about a cabinet
// download), chooses the route, and hands every event of its connections to the
// exchange under way: an answer stored whole, an answer that streams, or a tunnel.
// Interception is TLS on the connections, below all of these. What an exchange asks
// for that ends or replaces it is acted on once its handler has returned; every ending
// goes through finish().
class Relay final : public Connection::Events,
                    public ServerSide::Events,
                    public Deadlines::Client,
                    private ExchangeHost {
public:
    enum class Phase {
        Reading,    // the browser's next request head is awaited
        Asking,     // the user is asked about a cabinet download
        Securing,   // an intercepted CONNECT: TLS with the browser is being set up
        Exchanging, // an exchange (request and answer, or tunnel) is under way
        Streams,    // an intercepted connection speaks HTTP/2: its front has it
        Answering,  // the last answer or the refusal is on its way to the browser
        Closing,    // it has left: the browser connection closes 100 ms later
        Gone,       // everything closed
    };
    enum class End {
        Answered,            // the stored answer is on its way; the browser is closed after it
        Streamed,            // the streamed answer ended; the browser is closed once it left
        Refused,             // the refusal is on its way; likewise
        Unverified,          // an intercepted origin failed its TLS check: the page saying
                             // so is on its way; likewise
        Delivered,           // what the browser was sent has left, and the delay passed
        ClosedWithoutAnswer, // a refused POST: the browser connection closes at once
        BrowserGone,         // the browser closed or failed: nobody to answer
        TunnelClosed,        // both directions of a tunnel ended, or one side failed
        Dropped,             // taken over, Stop, program end, idle: closed without a word
    };

    Relay(RelayContext& context, int index, quint64 serial);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Takes the browser's connection; false when it could not be watched.
    bool start(int browserFd);
    // Closes everything the relay owns, without a word to anyone.
    void drop() { finish(End::Dropped); }

    quint64 serial() const { return m_serial; }
    ServerSide& server() { return m_server; }
    // The relay's server side, or one of its HTTP/2 front's, by id.
    ServerSide* serverSide(int id);
    // The user answered a cabinet question about an HTTP/2 stream.
    void streamQuestionAnswered(int question, bool yes);

    // Connection::Events, for the browser's connection.
    void connected(Connection& c) override;
    void secured(Connection& c) override;
    void arrived(Connection& c, QByteArrayView bytes) override;
    void sent(Connection& c) override;
    void ended(Connection& c) override;
    void failed(Connection& c, int error) override;
    void deadlineReached() override;

    // ServerSide::Events.
    void serverReady() override;
    void serverUnreachable() override;
    void serverUnverified(TlsCheck check, const QString& reason) override;
    void serverData(QByteArrayView bytes) override;
    void serverSent() override;
    void serverEnded() override;
    void serverFailed(int error) override;

private:
    // What the blocking rules make of a request head.
    // Asked: the user's answer goes on with the request later.
    enum class Check { Passed, Tunnel, Refused, RefusedWithClose, Failed, Void, Asked };

    // The browser's requests.
    void readRequests();
    void takeChecked(Check check, const QByteArray& head);
    Check checkRequestLine(const QByteArray& head);
    std::optional<Check> askCabinet(const QByteArray& requestLine);
    void cabinetAnswered(int question, bool yes);
    bool startRequest(const QByteArray& received);
    bool startTunnel(const QByteArray& head);
    bool startInterception(SslOwner ssl, const HostName& host, int port, QByteArrayView early);
    void logArrival();
    void startStreams();
    std::optional<ServerSide::Route> interceptedRoute() const;
    void streamsChanged();
    // Nothing an exchange held back holds what comes after it.
    void releaseHolds();

    // Exchanges.
    void settle();
    void nextRequest();
    void becomeTunnel();
    void answerLeft();

    // ExchangeHost.
    ExchangeHost& host() { return *this; }
    RelayLog& log() override;
    int index() const override { return m_index; }
    SettingsStore& store() override;
    bool send(Peer to, QByteArray bytes) override {
        return to == Peer::Browser ? m_browser.send(std::move(bytes))
                                   : m_server.send(std::move(bytes));
    }
    bool sendFile(Peer to, int fd, qint64 offset, qint64 length) override {
        return to == Peer::Browser ? m_browser.sendFile(fd, offset, length)
                                   : m_server.sendFile(fd, offset, length);
    }
    qint64 queued(Peer s) const override {
        return s == Peer::Browser ? m_browser.queued() : m_server.queued();
    }
    bool isOpen(Peer s) const override { return conn(s).isOpen(); }
    void pause(Peer s, Connection::Hold why) override { conn(s).pauseReading(why); }
    void resume(Peer s, Connection::Hold why) override { conn(s).resumeReading(why); }
    void shutdownWrite(Peer to) override { conn(to).shutdownWrite(); }
    bool readEnded(Peer s) const override { return conn(s).readEnded(); }
    bool writeShutDown(Peer s) const override { return conn(s).writeShutDown(); }
    void reopenServer(bool sharedAttempts) override { m_server.reopen(sharedAttempts); }
    void keepServer() override;
    void closeServer() override { m_server.close(); }
    void arm(int ms) override;
    void disarm() override;
    void done(Ending ending) override;

    Connection& conn(Peer s) { return s == Peer::Browser ? m_browser : m_server.link(); }
    const Connection& conn(Peer s) const {
        return s == Peer::Browser ? m_browser : m_server.link();
    }

    void finish(End end);

    RelayContext& m_ctx;
    const int m_index;
    const quint64 m_serial;
    Phase m_phase = Phase::Reading;
    Connection m_browser;
    ServerSide m_server;
    Deadlines::Node m_deadline;

    RequestReader m_reader;
    QByteArrayView m_arrival;  // the browser's bytes being read (during arrived() only),
                               // shown once
    QByteArray m_askedArrival; // the piece with the head the user is asked about
    SpillStore m_body;         // the request body, kept for a second try
    SpillStore m_answer;
    std::unique_ptr<Exchange> m_exchange;
    std::unique_ptr<H2Front> m_h2;  // the browser speaks HTTP/2 inside interception
    std::optional<Ending> m_ending; // asked for by the exchange, acted on after it
    bool m_streams = false;         // the current request's answer streams
    bool m_kept = false;            // the browser's connection has carried a request already

    QByteArray m_askedHead;            // the request the user is asked about
    int m_question = 0;                // numbers the questions, for late answers
    bool m_inQuestion = false;         // the question call has not returned yet
    std::optional<bool> m_quickAnswer; // an answer given before it returned

    bool m_intercept = false;         // an intercepted CONNECT: requests come inside its TLS
    bool m_viaProxy = false;          // the upstream proxy answers the CONNECT itself
    QByteArray m_authority;           // "host:port" as the browser asked
    std::optional<HostName> m_origin; // where it leads, its host in one form
    int m_originPort = 0;
    QByteArray m_page; // what an unverified origin's browser gets
    qint64 m_up = 0;   // tunnel bytes from the browser to the server
    qint64 m_down = 0; // and back
};

} // namespace Tarnwick
