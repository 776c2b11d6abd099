#include "proxy/tunnel.h"

#include "platform/spillstore.h"
#include "proxy/relaylog.h"

namespace Tarnwick {

Tunnel::Tunnel(ExchangeHost& host, QByteArray connectHead, SpillStore& early)
    : m_host(host), m_connectHead(std::move(connectHead)), m_early(early) {}

std::unique_ptr<Tunnel> Tunnel::open(ExchangeHost& host, SpillStore& early, QByteArray fromServer,
                                     QByteArray fromBrowser) {
    auto tunnel = std::make_unique<Tunnel>(host, QByteArray(), early);
    tunnel->start();
    if (!fromServer.isEmpty())
        tunnel->carry(Peer::Server, fromServer);
    if (!fromBrowser.isEmpty())
        tunnel->carry(Peer::Browser, fromBrowser);
    return tunnel;
}

void Tunnel::serverReady(bool) {
    // Through an upstream proxy the CONNECT goes on as it came; the proxy answers it.
    if (!m_connectHead.isEmpty()) {
        const bool later = m_host.send(Peer::Server, m_connectHead);
        m_host.log().requestSent(m_host.index(), m_connectHead);
        if (!later)
            m_host.log().serverSent(m_host.index());
    } else if (!m_host.send(Peer::Browser, Established.toByteArray())) {
        m_host.log().browserSent(m_host.index());
    }
    start();
    if (m_early.isEmpty())
        return;
    // What the browser sent before the server connection was up goes first.
    QByteArray early;
    if (!m_early.readAll(early))
        return m_host.done(Ending::Closed);
    m_early.clear();
    carry(Peer::Browser, early);
}

void Tunnel::start() {
    m_open = true;
    m_host.arm(IdleMs);
}

void Tunnel::carry(Peer from, QByteArrayView bytes) {
    if (!m_open) {
        // Sent once the server connection is up.
        if (!m_early.append(bytes))
            m_host.done(Ending::Refused);
        return;
    }
    const Peer to = from == Peer::Browser ? Peer::Server : Peer::Browser;
    if (!m_host.isOpen(to) || m_host.writeShutDown(to))
        return;
    if (!m_halfClosed)
        m_host.arm(IdleMs);
    const bool later = m_host.send(to, bytes.toByteArray());
    (from == Peer::Browser ? m_up : m_down) += bytes.size();
    // A side that sends faster than the other takes waits, so memory stays bounded.
    if (later && m_host.queued(to) > Backlog)
        m_host.pause(from, Connection::Hold::PeerBehind);
}

void Tunnel::sent(Peer side) {
    // The side that caught up may be sent to again.
    m_host.resume(side == Peer::Browser ? Peer::Server : Peer::Browser,
                  Connection::Hold::PeerBehind);
    checkFinished();
}

void Tunnel::ended(Peer side) {
    // A browser that leaves before the server is reached is gone.
    if (!m_open)
        return m_host.done(Ending::Closed);
    if (side == Peer::Browser)
        m_host.log().browserClosed(m_host.index());
    else
        m_host.log().serverClosed(m_host.index());
    // The other side reads an end too, once everything queued for it has left; the
    // other direction goes on until it ends as well, for a while.
    m_host.shutdownWrite(side == Peer::Browser ? Peer::Server : Peer::Browser);
    if (!m_halfClosed) {
        m_halfClosed = true;
        m_host.arm(HalfClosedMs);
    }
    checkFinished();
}

void Tunnel::failed(Peer, int) {
    m_host.done(Ending::Closed);
}

void Tunnel::deadline() {
    // Idle for too long, or the other direction never ended.
    m_host.done(Ending::Closed);
}

bool Tunnel::finished() const {
    return m_host.readEnded(Peer::Browser) && m_host.readEnded(Peer::Server) &&
           m_host.queued(Peer::Browser) == 0 && m_host.queued(Peer::Server) == 0;
}

void Tunnel::checkFinished() {
    if (m_open && finished())
        m_host.done(Ending::Closed);
}

} // namespace Tarnwick
