#include "proxy/serverside.h"

#include "proxy/relay.h"
#include "proxy/relaylog.h"
#include "settings/settingsstore.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
constexpr int ReconnectIntervalMs = 1000;
constexpr int ReconnectLimit = 10;
} // namespace

bool ServerSide::Route::sameAs(const Route& other) const {
    return target.host == other.target.host && target.port == other.target.port &&
           offerH2 == other.offerH2 && speaksH2 == other.speaksH2 && origin.has_value() == other.origin.has_value() &&
           (!origin || *origin == *other.origin) && originPort == other.originPort &&
           viaProxy == other.viaProxy;
}

ServerSide::ServerSide(RelayContext& context, int index, quint64 serial, Events& events, int id)
    : m_ctx(context), m_index(index), m_serial(serial), m_id(id), m_events(events),
      m_link(context.reactor, *this), m_deadline(*this) {}

bool ServerSide::open(const Route& route) {
    if (m_state == State::Kept && m_route.sameAs(route)) {
        m_ctx.deadlines.cancel(m_deadline);
        m_state = State::Up;
        return true;
    }
    m_route = route;
    m_reconnects = 0;
    attempt();
    return false;
}

void ServerSide::reopen(bool sharedAttempts) {
    if (!sharedAttempts)
        m_reconnects = 0;
    attempt();
}

void ServerSide::keep(int idleMs) {
    m_state = State::Kept;
    m_ctx.deadlines.arm(m_deadline, idleMs);
}

void ServerSide::close() {
    m_ctx.deadlines.cancel(m_deadline);
    dropBridge();
    m_link.close();
    m_state = State::Closed;
}

void ServerSide::attempt() {
    // Until the connection is made, the deadline tries again every second.
    m_ctx.deadlines.arm(m_deadline, ReconnectIntervalMs);
    dropBridge();
    m_link.close();
    m_upstreamHead.clear();
    m_state = State::Connecting;
    const int attempt = ++m_attempt;
    const quint16 port = quint16(m_route.target.port);
    QHostAddress address;
    if (address.setAddress(m_route.target.host)) {
        if (const int error = m_link.connectTo(address, port))
            m_ctx.log.serverFailed(m_index, error);
        return;
    }
    QHostInfo::lookupHost(m_route.target.host, m_ctx.lookups,
                          [ctx = &m_ctx, index = m_index, serial = m_serial, id = m_id,
                           attempt](const QHostInfo& info) {
                              const Reactor::Busy busy(ctx->reactor);
                              if (Relay* relay = ctx->find(index, serial))
                                  if (ServerSide* side = relay->serverSide(id))
                                      side->resolved(info, attempt);
                          });
}

void ServerSide::resolved(const QHostInfo& info, int attempt) {
    if (attempt != m_attempt || m_state != State::Connecting)
        return;
    // The name's first address, as the system orders them; a failure waits for the
    // next tick like a refused connection.
    int error = HostNotFoundError;
    if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty())
        error = m_link.connectTo(info.addresses().first(), quint16(m_route.target.port));
    if (error)
        m_ctx.log.serverFailed(m_index, error);
}

void ServerSide::deadlineReached() {
    switch (m_state) {
    case State::Connecting:
        if (m_reconnects >= ReconnectLimit) {
            close();
            return m_events.serverUnreachable();
        }
        m_ctx.log.reconnecting(m_index, m_route.target.host, m_route.target.port);
        // The attempt under way is abandoned for a new one.
        attempt();
        ++m_reconnects;
        return;
    case State::Tunnelling:
        // An upstream proxy that never answers its CONNECT is one that said no.
        close();
        return m_events.serverUnreachable();
    case State::Handshaking: {
        const QString reason =
            QStringLiteral("no TLS handshake within %1 s").arg(OriginHandshakeMs / 1000);
        m_ctx.log.tlsChecked(Side::Wan, m_index, m_route.authority, QString(), reason);
        close();
        return m_events.serverUnverified(TlsCheck::TimedOut, reason);
    }
    case State::Kept:
        // Unused for too long.
        return close();
    case State::Closed:
    case State::Up:
        return;
    }
}

// ---- the connection --------------------------------------------------------------

void ServerSide::connected(Connection&) {
    if (!m_route.origin)
        return ready();
    // The reconnect ticks cover the TCP connection only: an intercepted origin has a
    // deadline of its own for the upstream proxy's CONNECT and the TLS handshake.
    m_ctx.deadlines.arm(m_deadline, OriginHandshakeMs);
    if (m_route.viaProxy)
        return askUpstream();
    startOriginTls({});
}

void ServerSide::askUpstream() {
    // The upstream proxy opens its own tunnel to the origin first.
    m_state = State::Tunnelling;
    const QByteArray head =
        "CONNECT " + m_route.authority + " HTTP/1.1\r\nHost: " + m_route.authority + "\r\n\r\n";
    const bool later = m_link.send(head);
    m_ctx.log.requestSent(m_index, head);
    if (!later)
        m_ctx.log.serverSent(m_index);
}

void ServerSide::upstreamAnswered(QByteArrayView bytes) {
    m_upstreamHead.append(bytes);
    const qsizetype end = m_upstreamHead.indexOf(BlankLine);
    if (end < 0) {
        if (m_upstreamHead.size() > MaxRequestHead) {
            close();
            m_events.serverUnreachable();
        }
        return;
    }
    // "HTTP/1.x 2yz": the upstream proxy's tunnel is open; anything else is its
    // refusal, never the origin's answer.
    const QByteArray head = std::exchange(m_upstreamHead, {});
    if (head.size() < 12 || !head.startsWith("HTTP/1.") || head[9] != '2') {
        close();
        return m_events.serverUnreachable();
    }
    startOriginTls(QByteArrayView(head).sliced(end + BlankLine.size()));
}

void ServerSide::startOriginTls(QByteArrayView early) {
    QString why;
    SslOwner ssl =
        m_ctx.tls->forOrigin(*m_route.origin, m_route.originPort,
                             m_ctx.store.get(Setting::InterceptionExtraCa), &why, m_route.offerH2);
    if (!ssl) {
        m_ctx.log.tlsChecked(Side::Wan, m_index, m_route.authority, QString(), why);
        close();
        return m_events.serverUnverified(TlsCheck::Other, why);
    }
    m_state = State::Handshaking;
    m_link.startTls(std::move(ssl), early);
}

void ServerSide::handshakeFailed(int error) {
    // A connection that broke during the handshake has no TLS reason of its own.
    const bool tls = error == EPROTO && !m_link.tlsReason().isEmpty();
    const TlsCheck check = tls ? m_link.tlsCheck() : TlsCheck::HandshakeFailed;
    const QString reason = tls ? m_link.tlsReason() : QString::fromLocal8Bit(std::strerror(error));
    m_ctx.log.tlsChecked(Side::Wan, m_index, m_route.authority, m_link.tlsVersion(), reason);
    close();
    // Not tried again: nothing would change.
    m_events.serverUnverified(check, reason);
}

void ServerSide::secured(Connection&) {
    m_ctx.log.tlsChecked(Side::Wan, m_index, m_route.authority, m_link.tlsVersion(),
                         QStringLiteral("OK"));
    ready();
}

void ServerSide::ready() {
    m_ctx.deadlines.cancel(m_deadline);
    m_state = State::Up;
    m_retired.reset();
    if (m_link.alpn() == "h2" && !m_route.speaksH2)
        m_bridge = std::make_unique<H2Bridge>(*this);
    m_events.serverReady();
}

void ServerSide::dropBridge() {
    // The bridge may be the caller: it says nothing more and goes at the next
    // connection.
    if (m_bridge) {
        m_bridge->detach();
        m_retired = std::move(m_bridge);
    }
}

bool ServerSide::send(QByteArray bytes) {
    if (!m_bridge)
        return m_link.send(std::move(bytes));
    m_bridge->send(bytes);
    return m_link.sending() || (m_bridge && m_bridge->waiting() > 0);
}

bool ServerSide::sendFile(int fd, qint64 offset, qint64 length) {
    if (!m_bridge)
        return m_link.sendFile(fd, offset, length);
    // The bridge takes bytes: a body kept in a file is read back in pieces.
    QByteArray piece(qsizetype(1) << 20, Qt::Uninitialized);
    while (length > 0 && m_bridge) {
        const ssize_t n =
            ::pread(fd, piece.data(), size_t(std::min<qint64>(length, piece.size())), offset);
        if (n <= 0) {
            broken();
            return false;
        }
        m_bridge->send(QByteArrayView(piece).first(n));
        offset += n;
        length -= n;
    }
    return m_link.sending() || (m_bridge && m_bridge->waiting() > 0);
}

qint64 ServerSide::queued() const {
    return m_link.queued() + (m_bridge ? m_bridge->waiting() : 0);
}

void ServerSide::toOrigin(QByteArray bytes) {
    m_link.send(std::move(bytes));
}

void ServerSide::toRelay(QByteArrayView bytes) {
    m_events.serverData(bytes);
}

void ServerSide::broken() {
    close();
    m_events.serverFailed(ECONNRESET);
}

void ServerSide::finished() {
    // The answer to a request that asked for the close ended: the relay reads the close.
    m_ctx.log.serverClosed(m_index);
    close();
    m_events.serverEnded();
}

void ServerSide::arrived(Connection&, QByteArrayView bytes) {
    switch (m_state) {
    case State::Up:
        if (m_bridge)
            return m_bridge->arrived(bytes);
        return m_events.serverData(bytes);
    case State::Tunnelling:
        m_ctx.log.serverDataStatus(m_index);
        return upstreamAnswered(bytes);
    case State::Kept:
        // An HTTP/2 origin speaks between requests (settings, pings, its goodbye).
        if (m_bridge)
            return m_bridge->arrived(bytes);
        // A kept connection's server says something unasked: it is not kept.
        m_ctx.log.serverDataStatus(m_index);
        return close();
    default:
        return;
    }
}

void ServerSide::sent(Connection&) {
    // Through a bridge, the request has gone once nothing of it waits for the window.
    if (m_state == State::Up && (!m_bridge || m_bridge->waiting() == 0))
        return m_events.serverSent();
    m_ctx.log.serverSent(m_index);
}

void ServerSide::ended(Connection&) {
    switch (m_state) {
    case State::Up:
        return m_events.serverEnded();
    case State::Tunnelling:
        // The upstream proxy closed before its tunnel was open.
        m_ctx.log.serverClosed(m_index);
        close();
        return m_events.serverUnreachable();
    case State::Handshaking:
        m_ctx.log.serverClosed(m_index);
        return handshakeFailed(ECONNRESET);
    case State::Kept:
        m_ctx.log.serverClosed(m_index);
        return close();
    default:
        return;
    }
}

void ServerSide::failed(Connection&, int error) {
    m_ctx.log.serverFailed(m_index, error);
    switch (m_state) {
    case State::Connecting:
        // The deadline tries again.
        return;
    case State::Tunnelling:
        close();
        return m_events.serverUnreachable();
    case State::Handshaking:
        return handshakeFailed(error);
    case State::Up:
        m_state = State::Closed;
        return m_events.serverFailed(error);
    case State::Kept:
        return close();
    case State::Closed:
        return;
    }
}

} // namespace Tarnwick
