#include "proxy/exchange.h"

#include "platform/spillstore.h"
#include "proxy/answerhead.h"
#include "proxy/relaylog.h"

namespace Tarnwick {

bool mayRepeat(QByteArrayView requestLine) {
    return requestLine.startsWith("GET ") || requestLine.startsWith("HEAD ") ||
           requestLine.startsWith("OPTIONS ");
}

bool serverKeepsConnection(QByteArrayView answerHead, bool framedEnd) {
    if (!framedEnd)
        return false;
    const std::optional<QByteArray> connection = framingHeader(answerHead, "connection:");
    const QByteArray options = connection ? connection->toLower() : QByteArray();
    if (options.contains("close"))
        return false;
    // HTTP/1.0 keeps its connection only when it says so.
    if (answerHead.startsWith("HTTP/1.0"))
        return options.contains("keep-alive");
    return true;
}

Upload::Upload(ExchangeHost& host, Request request, SpillStore& body)
    : m_host(host), m_request(std::move(request)), m_body(body) {}

void Upload::start() {
    m_up = true;
    const bool later = m_host.send(Peer::Server, m_request.bytes);
    m_host.log().requestSent(m_host.index(), m_request.bytes);
    if (!later)
        sentAtOnce();
    if (m_up && !m_body.isEmpty())
        sendBody();
}

void Upload::sendBody() {
    const bool later = m_body.spilled()
                           ? m_host.sendFile(Peer::Server, m_body.fd(), 0, m_body.size())
                           : m_host.send(Peer::Server, m_body.memory());
    // A body too large for memory is shown by its start.
    m_host.log().requestSent(m_host.index(), m_body.spilled() ? m_body.start() : m_body.memory());
    if (!later)
        sentAtOnce();
}

bool Upload::add(QByteArrayView piece) {
    if (!m_body.append(piece))
        return false;
    if (!m_up)
        return true; // sent with the head once the server connection is up
    const bool later = m_host.send(Peer::Server, piece.toByteArray());
    m_host.log().requestSent(m_host.index(), piece);
    if (!later)
        sentAtOnce();
    else if (m_host.queued(Peer::Server) > Backlog)
        // A browser that uploads faster than the server takes waits.
        m_host.pause(Peer::Browser, Connection::Hold::PeerBehind);
    return true;
}

void Upload::sentAtOnce() {
    m_host.log().serverSent(m_host.index());
    serverCaughtUp();
}

void Upload::serverCaughtUp() {
    m_host.resume(Peer::Browser, Connection::Hold::PeerBehind);
}

} // namespace Tarnwick
