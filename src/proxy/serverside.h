#pragma once

#include "platform/connection.h"
#include "platform/deadlines.h"
#include "platform/hostname.h"
#include "platform/tls.h"
#include "proxy/h2bridge.h"
#include "proxy/requesttarget.h"

#include <QByteArray>
#include <QHostInfo>
#include <memory>
#include <optional>

namespace Tarnwick {

struct RelayContext;

// How long an intercepted origin has for the upstream proxy's CONNECT and its TLS
// handshake, after the TCP connection: far origins and slow links take seconds.
inline constexpr int OriginHandshakeMs = 30000;

// The server side of a relay: the name lookup and the TCP connection (tried again every
// second, ten times at most), for an intercepted request the upstream proxy's CONNECT
// and the origin's TLS with its checks, then the open connection, kept for the relay's
// next request where the answers allow. It has its own deadlines — the reconnect tick,
// the handshake, an idle kept connection — and tells the relay what happened through a
// few events; it never ends the relay itself.
class ServerSide final : public Connection::Events,
                         public Deadlines::Client,
                         public H2Bridge::Link {
public:
    class Events {
    public:
        // The connection is up (an intercepted origin's TLS has passed): the request
        // may go.
        virtual void serverReady() = 0;
        // Nothing could be reached: every attempt failed, or the upstream proxy did not
        // open its tunnel.
        virtual void serverUnreachable() = 0;
        // An intercepted origin did not pass its TLS checks (or took too long).
        virtual void serverUnverified(TlsCheck check, const QString& reason) = 0;
        // Once ready, what the connection says.
        virtual void serverData(QByteArrayView bytes) = 0;
        virtual void serverSent() = 0;
        virtual void serverEnded() = 0;
        virtual void serverFailed(int error) = 0;

    protected:
        ~Events() = default;
    };

    // Where a request goes: the host and port connected to (the upstream proxy's or the
    // server's), and for an intercepted request the origin whose certificate is checked,
    // reached through the upstream proxy's CONNECT to `authority` when `viaProxy`.
    struct Route {
        RequestTarget target;
        std::optional<HostName> origin;
        int originPort = 0;
        bool viaProxy = false;
        QByteArray authority; // the origin as the browser named it
        bool offerH2 = false; // HTTP/2 is offered to the origin besides HTTP/1.1
        bool speaksH2 = false; // and the owner speaks it itself; else through a bridge
        bool sameAs(const Route& other) const;
    };

    // `id` tells the relay's server sides apart (0 for its own), for late lookups.
    ServerSide(RelayContext& context, int index, quint64 serial, Events& events, int id = 0);
    ServerSide(const ServerSide&) = delete;
    ServerSide& operator=(const ServerSide&) = delete;

    // Reaches `route`: true when a kept connection on that route is taken at once (the
    // request may go now); otherwise serverReady(), serverUnreachable() or
    // serverUnverified() follows.
    bool open(const Route& route);
    // The same route on a new connection; `sharedAttempts`: the reconnections left are
    // those of the first connection (a second request for a short answer).
    void reopen(bool sharedAttempts);
    // Keeps the open connection for the relay's next request; closed after `idleMs`.
    void keep(int idleMs);
    void close();

    bool isUp() const { return m_state == State::Up || m_state == State::Kept; }
    const Route& route() const { return m_route; }
    // What the relay sends the server: HTTP/1.1 requests, passed through a bridge when
    // the origin chose HTTP/2. True when serverSent() follows.
    bool send(QByteArray bytes);
    bool sendFile(int fd, qint64 offset, qint64 length);
    qint64 queued() const;
    // The connection itself, for what passes through it.
    Connection& link() { return m_link; }
    const Connection& link() const { return m_link; }
    int id() const { return m_id; }

    // A name lookup's answer, found through the relay's slot and serial.
    void resolved(const QHostInfo& info, int attempt);

    // Connection::Events and Deadlines::Client.
    void connected(Connection& c) override;
    void secured(Connection& c) override;
    void arrived(Connection& c, QByteArrayView bytes) override;
    void sent(Connection& c) override;
    void ended(Connection& c) override;
    void failed(Connection& c, int error) override;
    void deadlineReached() override;

private:
    enum class State { Closed, Connecting, Tunnelling, Handshaking, Up, Kept };

    void attempt();
    void askUpstream();
    void upstreamAnswered(QByteArrayView bytes);
    void startOriginTls(QByteArrayView early);
    void handshakeFailed(int error);
    void ready();
    void dropBridge();

    // H2Bridge::Link.
    void toOrigin(QByteArray bytes) override;
    void toRelay(QByteArrayView bytes) override;
    void broken() override;
    void finished() override;

    RelayContext& m_ctx;
    const int m_index;
    const quint64 m_serial;
    const int m_id;
    Events& m_events;
    Connection m_link;
    Deadlines::Node m_deadline;
    State m_state = State::Closed;
    Route m_route;
    int m_reconnects = 0;
    int m_attempt = 0;                   // numbers connection attempts, for late lookup answers
    QByteArray m_upstreamHead;           // the upstream proxy's answer to our CONNECT so far
    std::unique_ptr<H2Bridge> m_bridge;  // the origin chose HTTP/2
    std::unique_ptr<H2Bridge> m_retired; // a closed connection's, kept while its call returns
};

} // namespace Tarnwick
