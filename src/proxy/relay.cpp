#include "proxy/relay.h"

#include "proxy/h2front.h"
#include "proxy/interception.h"
#include "proxy/relaylog.h"
#include "proxy/streamedexchange.h"
#include "proxy/tunnel.h"
#include "settings/settingsstore.h"

#include <cerrno>

namespace Tarnwick {

namespace {
constexpr int CloseDelayMs = 100;
// The browser's TLS handshake on an intercepted connection, like the origin's.
constexpr int BrowserHandshakeMs = 30000;
// A kept connection with no request under way is closed after this.
constexpr int KeptIdleMs = 60000;
} // namespace

QString answerFileName(int index) {
    return QStringLiteral("~tarnwick-temp-") + QString::number(index);
}

QString requestFileName(int index) {
    return answerFileName(index) + QStringLiteral("-request");
}

Relay::Relay(RelayContext& context, int index, quint64 serial)
    : m_ctx(context), m_index(index), m_serial(serial), m_browser(context.reactor, *this),
      m_server(context, index, serial, *this), m_deadline(*this), m_reader(MaxRequestHead) {
    m_answer.setFileName(answerFileName(index));
    m_body.setFileName(requestFileName(index));
}

// Whatever is still open closes with its members.
Relay::~Relay() = default;

bool Relay::start(int browserFd) {
    if (!m_browser.adopt(browserFd)) {
        m_phase = Phase::Gone;
        return false;
    }
    return true;
}

RelayLog& Relay::log() {
    return m_ctx.log;
}

SettingsStore& Relay::store() {
    return m_ctx.store;
}

// ---- the browser's connection ----------------------------------------------------

void Relay::connected(Connection&) {}

void Relay::secured(Connection&) {
    // The browser's TLS is up: its requests come inside, read like any other.
    if (m_phase == Phase::Securing) {
        m_ctx.deadlines.cancel(m_deadline);
        m_phase = Phase::Reading;
        if (m_browser.alpn() == "h2")
            startStreams();
    }
}

void Relay::startStreams() {
    // Every stream goes where the CONNECT went, as the requests of an HTTP/1.1
    // connection do.
    std::optional<ServerSide::Route> route = interceptedRoute();
    if (!route)
        return finish(End::Dropped);
    route->speaksH2 = true;
    m_phase = Phase::Streams;
    m_streams = true;
    m_h2 = std::make_unique<H2Front>(m_ctx, m_index, m_serial, m_browser, std::move(*route),
                                     [this] { m_ctx.deadlines.arm(m_deadline, 0); });
}

void Relay::streamsChanged() {
    // The front ended: what it sent last leaves, then the connection closes.
    if (m_h2->over())
        finish(End::Streamed);
}

ServerSide* Relay::serverSide(int id) {
    if (id == m_server.id())
        return &m_server;
    return m_h2 ? m_h2->serverSide(id) : nullptr;
}

void Relay::streamQuestionAnswered(int question, bool yes) {
    if (m_phase == Phase::Streams)
        m_h2->cabinetAnswered(question, yes);
}

void Relay::arrived(Connection&, QByteArrayView bytes) {
    m_ctx.log.browserDataStatus(m_index);
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    // A tunnel's bytes are carried as they are and never shown: they are not text.
    if (m_exchange && m_exchange->carriesBytes()) {
        m_exchange->browserBody(bytes);
        return settle();
    }
    if (m_phase == Phase::Gone)
        return;
    if (m_phase == Phase::Streams) {
        m_h2->arrived(bytes);
        return streamsChanged();
    }
    m_reader.feed(bytes);
    // Kept for the request the user is being asked about; a question left open does
    // not let the browser fill memory.
    if (m_phase == Phase::Asking) {
        m_ctx.log.browserData(m_index, bytes.size(), bytes);
        if (m_reader.waiting() > MaxRequestHead)
            m_browser.pauseReading(Connection::Hold::Question);
        return;
    }
    m_arrival = bytes;
    readRequests();
    // The piece with a head the user is asked about is shown with the answer.
    if (m_phase != Phase::Asking)
        logArrival();
    m_arrival = {};
}

void Relay::logArrival() {
    const QByteArrayView arrival = std::exchange(m_arrival, {});
    if (!arrival.isEmpty())
        m_ctx.log.browserData(m_index, arrival.size(), arrival);
}

void Relay::sent(Connection&) {
    m_ctx.log.browserSent(m_index);
    switch (m_phase) {
    case Phase::Exchanging:
        m_exchange->sent(Peer::Browser);
        return settle();
    case Phase::Streams:
        m_h2->sent();
        return streamsChanged();
    case Phase::Answering:
        return answerLeft();
    case Phase::Closing:
        m_ctx.deadlines.arm(m_deadline, CloseDelayMs);
        return;
    default:
        return;
    }
}

void Relay::ended(Connection&) {
    if (m_exchange && m_exchange->carriesBytes()) {
        m_exchange->ended(Peer::Browser);
        return settle();
    }
    m_ctx.log.browserClosed(m_index);
    finish(End::BrowserGone);
}

void Relay::failed(Connection&, int error) {
    m_ctx.log.browserFailed(m_index, error);
    // A browser that does not trust the CA says so by ending the handshake, with an
    // alert or by dropping the connection.
    if (m_intercept && (error == EPROTO || m_phase == Phase::Securing))
        m_ctx.log.tlsChecked(Side::Lan, m_index, m_authority, m_browser.tlsVersion(),
                             error == EPROTO
                                 ? m_browser.tlsReason()
                                 : QStringLiteral("the browser left during the handshake"));
    finish(m_exchange && m_exchange->carriesBytes() ? End::TunnelClosed : End::BrowserGone);
}

void Relay::deadlineReached() {
    switch (m_phase) {
    case Phase::Securing:
        // A browser that never finishes its handshake does not keep the slot.
        m_ctx.log.tlsChecked(Side::Lan, m_index, m_authority, QString(),
                             QStringLiteral("the browser's handshake took longer than %1 s")
                                 .arg(BrowserHandshakeMs / 1000));
        return finish(End::BrowserGone);
    case Phase::Exchanging:
        m_exchange->deadline();
        return settle();
    case Phase::Streams:
        return streamsChanged();
    case Phase::Closing:
        return finish(End::Delivered);
    case Phase::Reading:
        // A kept connection idle for too long.
        if (m_kept)
            finish(End::Dropped);
        return;
    default:
        return;
    }
}

// ---- the server side ----------------------------------------------------------------

void Relay::serverReady() {
    m_ctx.log.serverConnected(m_index);
    if (!m_exchange)
        return;
    m_exchange->serverReady(false);
    settle();
}

void Relay::serverUnreachable() {
    finish(End::Refused);
}

void Relay::serverUnverified(TlsCheck check, const QString& reason) {
    // Nothing of the origin's is forwarded: the browser is told which check failed.
    m_page = unverifiedAnswer(check, QString::fromLatin1(m_authority), reason);
    finish(End::Unverified);
}

void Relay::serverData(QByteArrayView bytes) {
    m_ctx.log.serverDataStatus(m_index);
    if (m_phase != Phase::Exchanging)
        return;
    m_exchange->serverData(bytes);
    settle();
}

void Relay::serverSent() {
    m_ctx.log.serverSent(m_index);
    if (m_phase != Phase::Exchanging)
        return;
    m_exchange->sent(Peer::Server);
    settle();
}

void Relay::serverEnded() {
    if (m_phase != Phase::Exchanging) {
        m_ctx.log.serverClosed(m_index);
        return m_server.close();
    }
    m_exchange->ended(Peer::Server);
    settle();
}

void Relay::serverFailed(int error) {
    if (m_phase != Phase::Exchanging)
        return m_server.close();
    m_exchange->failed(Peer::Server, error);
    settle();
}

void Relay::keepServer() {
    m_server.keep(KeptIdleMs);
}

void Relay::arm(int ms) {
    m_ctx.deadlines.arm(m_deadline, ms);
}

void Relay::disarm() {
    m_ctx.deadlines.cancel(m_deadline);
}

// ---- exchanges ----------------------------------------------------------------------

void Relay::done(Ending ending) {
    if (!m_ending)
        m_ending = ending;
}

void Relay::settle() {
    while (m_ending && m_phase == Phase::Exchanging) {
        const Ending ending = *std::exchange(m_ending, {});
        switch (ending) {
        case Ending::Next:
            nextRequest();
            break;
        case Ending::Answered:
            finish(End::Answered);
            break;
        case Ending::Streamed:
            finish(End::Streamed);
            break;
        case Ending::Refused:
            finish(End::Refused);
            break;
        case Ending::Tunnel:
            becomeTunnel();
            break;
        case Ending::Closed:
            finish(End::TunnelClosed);
            break;
        }
    }
    m_ending.reset();
}

void Relay::releaseHolds() {
    m_browser.resumeReading(Connection::Hold::PeerBehind);
    m_server.link().resumeReading(Connection::Hold::PeerBehind);
}

void Relay::nextRequest() {
    releaseHolds();
    m_exchange.reset();
    m_body.clear();
    m_answer.clear();
    m_phase = Phase::Reading;
    m_kept = true;
    // What is left of a body answered early is read and dropped, never taken for a
    // request.
    if (m_reader.inBody())
        m_reader.dropBody();
    m_reader.nextRequest();
    m_ctx.deadlines.arm(m_deadline, KeptIdleMs);
    readRequests();
}

void Relay::becomeTunnel() {
    // A WebSocket: what the server sent after its 101, and what the browser sent after
    // its request, go first.
    QByteArray early = static_cast<StreamedExchange&>(*m_exchange).takeEarly();
    releaseHolds();
    m_browser.resumeReading(Connection::Hold::Pipelined);
    if (m_authority.isEmpty()) {
        const RequestTarget& target = m_server.route().target;
        m_authority = (target.host + u':' + QString::number(target.port)).toLatin1();
    }
    m_body.clear();
    m_exchange = Tunnel::open(host(), m_body, std::move(early), m_reader.takeRest());
}

void Relay::answerLeft() {
    // An answer that streamed waits for nothing more; one stored whole lingers.
    if (m_streams)
        return finish(End::Delivered);
    m_answer.clear();
    m_phase = Phase::Closing;
    m_ctx.deadlines.arm(m_deadline, CloseDelayMs);
}

// ---- the one way out --------------------------------------------------------------------

void Relay::finish(End end) {
    if (m_phase == Phase::Gone)
        return;
    m_ctx.deadlines.cancel(m_deadline);
    m_server.close();
    if (const auto* tunnel = dynamic_cast<const Tunnel*>(m_exchange.get())) {
        m_up += tunnel->up();
        m_down += tunnel->down();
    }
    m_exchange.reset();
    m_h2.reset();
    m_ending.reset();
    m_body.clear();
    const bool answering = end == End::Answered || end == End::Streamed || end == End::Refused ||
                           end == End::Unverified;
    if (answering && m_browser.isOpen()) {
        // The browser connection closes once this has left.
        m_phase = Phase::Answering;
        if (end == End::Refused || end == End::Unverified) {
            m_answer.clear();
            m_browser.send(end == End::Refused ? QByteArray(RefusalAnswer) : m_page);
        }
        if (!m_browser.sending()) {
            m_ctx.log.browserSent(m_index);
            answerLeft();
        }
        return;
    }
    if (end == End::TunnelClosed)
        m_ctx.log.tunnelClosed(m_index, m_authority, m_up, m_down);
    m_answer.clear();
    m_browser.close();
    m_phase = Phase::Gone;
    m_ctx.relayEnded();
}

} // namespace Tarnwick
