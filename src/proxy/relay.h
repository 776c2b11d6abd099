#pragma once

#include "platform/connection.h"
#include "platform/deadlines.h"
#include "platform/listener.h"
#include "platform/spillstore.h"
#include "platform/tls.h"
#include "proxy/answerplan.h"
#include "proxy/answerstream.h"
#include "proxy/requesttarget.h"
#include "proxy/serverside.h"

#include <QByteArray>
#include <QTime>
#include <functional>
#include <memory>
#include <optional>

namespace Tarnwick {

class HtmlFilter;
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

// One admitted browser connection, from its accept to its close: both connections, the
// answer store, the request body's store, one deadline, and the phase it is in. Every
// socket event and every deadline of the relay arrives here and reads like the event
// it handles; the rules are pure functions it applies. Every ending goes through
// finish().
class Relay final : public Connection::Events,
                    public ServerSide::Events,
                    public Deadlines::Client {
public:
    enum class Phase {
        ReadingHead, // the browser's request head is arriving
        Asking,      // the user is asked about a cabinet download
        Securing,    // an intercepted CONNECT: TLS with the browser is being set up
        Connecting,  // the server side is being reached (ServerSide)
        Sending,     // the request is going out; the answer may start arriving (and,
                     // where answers stream, leaves as it arrives)
        Waiting,     // the server has closed: the pump runs 100 ms later
        Answering,   // the answer or the refusal is on its way to the browser
        Closing,     // it has left: the browser connection closes 100 ms later
        Tunnel,      // an HTTPS tunnel carries bytes both ways
        Gone,        // everything closed
    };
    enum class End {
        Answered,            // the answer is on its way; the browser is closed after it
        Refused,             // the refusal is on its way; likewise
        Unverified,          // an intercepted origin failed its TLS check: the page saying
                             // so is on its way; likewise
        Delivered,           // what the browser was sent has left, and the delay passed
        ClosedWithoutAnswer, // a refused POST: the browser connection closes at once
        BrowserGone,         // the browser closed or failed: nobody to answer
        TunnelClosed,        // both directions of a tunnel ended, or one side failed
        Dropped,             // taken over, Stop, program end: closed without a word
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

    // The browser side.
    void browserData(QByteArrayView bytes);
    void browserEnded();
    void browserFailed(int error);
    void browserSent();
    void takeRequest(const QByteArray& received, qsizetype size, QByteArrayView piece);
    void takeChecked(Check check, const QByteArray& received, QByteArrayView piece);
    Check checkRequestLine(const QByteArray& received);
    std::optional<Check> askCabinet(const QByteArray& requestLine);
    void cabinetAnswered(int question, bool yes);
    bool startRequest(const QByteArray& received);
    bool startTunnel(const QByteArray& received);
    bool startInterception(SslOwner ssl, const HostName& host, int port, QByteArrayView early);
    void continueBody(QByteArrayView piece);

    // The server side.
    bool connectServer(const std::optional<RequestTarget>& target);
    void sendRequest();
    void sendBody();

    // Answers that stream (逐次転送): passed on as they arrive, the connections kept
    // for the next request where the framing allows.
    bool streams() const;
    void liveData(QByteArrayView bytes);
    bool liveHead(const QByteArray& head);
    void sendLive(QByteArray bytes);
    void liveEnded(bool serverClosed);
    void nextRequest();
    bool retryOnNewConnection();

    // The answer.
    void pump();
    void recheck(const StoredAnswer& stored, bool giveUp);
    void sendAnswer(const StoredAnswer& stored, qsizetype finalStart, AnswerPlan plan);

    // Tunnels.
    void openTunnel();
    void carry(Connection& from, QByteArrayView bytes);
    void directionEnded(Connection& from);
    // Both directions have ended and everything for either side has left.
    bool tunnelDone() const;

    void finish(End end);

    RelayContext& m_ctx;
    const int m_index;
    const quint64 m_serial;
    Phase m_phase = Phase::ReadingHead;
    Connection m_browser;
    ServerSide m_server;
    Deadlines::Node m_deadline;

    QByteArray m_head;        // the request head until its blank line arrived
    QByteArray m_request;     // the rewritten head and the body bytes that came with it
    SpillStore m_body;        // the body pieces that came after it
    qint64 m_bodyRemaining = 0; // body bytes still to come; -1: until the close
    QByteArray m_asked;       // what arrived while the user was asked
    QByteArray m_askedHead;   // the request the user is asked about
    QByteArray m_askedPiece;  // and the piece that completed its head
    int m_question = 0;       // numbers the questions, for late answers
    bool m_inQuestion = false;         // the question call has not returned yet
    std::optional<bool> m_quickAnswer; // an answer given before it returned
    bool m_headRequest = false;
    SpillStore m_answer;

    int m_rechecks = 0;
    int m_arrivals = 0;       // server-side arrivals of the current attempt

    bool m_tunnel = false;
    bool m_viaProxy = false;  // the upstream proxy answers the CONNECT itself
    QByteArray m_authority;   // "host:port" as the browser asked

    bool m_intercept = false;   // an intercepted CONNECT: requests come inside its TLS
    std::optional<HostName> m_origin; // where it leads, its host in one form
    int m_originPort = 0;
    QByteArray m_page;        // what an unverified origin's browser gets
    qint64 m_up = 0;          // tunnel bytes from the browser to the server
    qint64 m_down = 0;        // and back

    // Answers that stream.
    bool m_live = false;        // this request's answer streams
    bool m_keepBrowser = false; // the browser connection may carry another request
    bool m_upgrade = false;     // the request asks for a WebSocket
    bool m_reused = false;      // the request went out on a kept server connection
    QByteArray m_pending;       // the browser's next request(s), sent before this answer ended
    std::optional<AnswerStream> m_stream;
    std::unique_ptr<HtmlFilter> m_filter;
    qint64 m_liveBytes = 0;     // bytes of the final answer passed on
    int m_livePieces = 0;
};

} // namespace Tarnwick
