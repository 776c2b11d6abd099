// The relay's intake of the browser's requests: each head read whole, the blocking
// rules and the cabinet question, the route, and the exchange the request starts —
// or the CONNECT that opens a tunnel or an intercepted connection.
#include "proxy/relay.h"

#include "proxy/answerstream.h"
#include "proxy/headerrewrite.h"
#include "proxy/interception.h"
#include "proxy/relaylog.h"
#include "proxy/requestrules.h"
#include "proxy/storedexchange.h"
#include "proxy/streamedexchange.h"
#include "proxy/tunnel.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {
// The browser's TLS handshake on an intercepted connection, like the origin's.
constexpr int BrowserHandshakeMs = 30000;

// Whether answers stream (逐次転送): always, never, or inside interception only.
bool answersStream(ChoiceValue stored, bool intercepted) {
    switch (stored) {
    case ChoiceValue::Allow:
        return true;
    case ChoiceValue::Block:
        return false;
    default:
        return intercepted;
    }
}
} // namespace

void Relay::readRequests() {
    while (m_phase == Phase::Reading || m_phase == Phase::Exchanging) {
        if (m_exchange && m_exchange->carriesBytes())
            return;
        std::optional<RequestReader::Item> item = m_reader.take();
        if (!item)
            break;
        switch (item->kind) {
        case RequestReader::Item::Kind::TooLong:
            logArrival();
            return finish(End::Refused);
        case RequestReader::Item::Kind::Head: {
            const Check check = checkRequestLine(item->bytes);
            if (check == Check::Asked) {
                // The user's answer takes it on (cabinetAnswered).
                m_askedHead = std::move(item->bytes);
                m_askedArrival = std::exchange(m_arrival, {}).toByteArray();
                return;
            }
            takeChecked(check, item->bytes);
            break;
        }
        case RequestReader::Item::Kind::Body:
            logArrival();
            if (m_exchange)
                m_exchange->browserBody(item->bytes);
            break;
        case RequestReader::Item::Kind::BodyEnd:
            if (m_exchange)
                m_exchange->browserBodyEnd();
            break;
        }
        settle();
    }
    // The browser's next requests wait for this answer, within bounds.
    if (m_reader.waiting() > MaxRequestHead)
        m_browser.pauseReading(Connection::Hold::Pipelined);
    else
        m_browser.resumeReading(Connection::Hold::Pipelined);
}

void Relay::takeChecked(Check check, const QByteArray& head) {
    // The relay was let go of, or its browser left, while the user was asked.
    if (check == Check::Void)
        return;
    // A rule that could not be applied answers without a word in the list.
    if (check == Check::Failed)
        m_arrival = {};
    logArrival();
    switch (check) {
    case Check::Passed:
        if (!startRequest(head))
            return finish(End::Refused);
        return;
    case Check::Tunnel:
        if (!startTunnel(head))
            return finish(End::Refused);
        return;
    case Check::Refused:
    case Check::Failed:
        return finish(End::Refused);
    case Check::RefusedWithClose:
        return finish(End::ClosedWithoutAnswer);
    case Check::Void:
    case Check::Asked:
        return;
    }
}

Relay::Check Relay::checkRequestLine(const QByteArray& head) {
    const RequestLine line = readRequestLine(head);
    // A tunnel passes none of these rules: what it carries is not seen.
    if (connectTarget(line.text))
        return Check::Tunnel;
    switch (blockingRules(line, m_ctx.store)) {
    case RuleOutcome::Send:
        return Check::Passed;
    case RuleOutcome::Refuse:
        return Check::Refused;
    case RuleOutcome::RefuseWithClose:
        return Check::RefusedWithClose;
    case RuleOutcome::Failed:
        return Check::Failed;
    case RuleOutcome::Ask:
        return askCabinet(line.text).value_or(Check::Passed);
    }
    return Check::Passed;
}

std::optional<Relay::Check> Relay::askCabinet(const QByteArray& requestLine) {
    const Phase before = m_phase;
    m_phase = Phase::Asking;
    m_quickAnswer.reset();
    m_inQuestion = true;
    // The answer finds this relay through its slot and serial, as name lookups do: the
    // relay may be gone, or its slot taken over, by the time the user answers.
    m_ctx.askCabinet(
        cabinetQuestion(requestLine),
        [ctx = &m_ctx, index = m_index, serial = m_serial, question = ++m_question](bool yes) {
            const Reactor::Busy busy(ctx->reactor);
            if (Relay* relay = ctx->find(index, serial))
                relay->cabinetAnswered(question, yes);
        });
    m_inQuestion = false;
    // Whoever asked may have let other events run meanwhile: the browser may have
    // gone, or the slot been taken over or stopped. This object is kept until no
    // handler runs, so asking it is safe.
    if (m_phase != Phase::Asking)
        return Check::Void;
    // Not answered yet: the relay waits in the event loop like any other.
    if (!m_quickAnswer)
        return Check::Asked;
    m_phase = before;
    if (!*m_quickAnswer)
        return Check::Refused;
    return std::nullopt;
}

void Relay::cabinetAnswered(int question, bool yes) {
    if (question != m_question || m_phase != Phase::Asking)
        return;
    // Answered before the question call returned: askCabinet goes on with it there.
    if (m_inQuestion) {
        m_quickAnswer = yes;
        return;
    }
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    m_phase = Phase::Reading;
    m_browser.resumeReading(Connection::Hold::Question);
    const QByteArray asked = std::exchange(m_askedArrival, {});
    m_arrival = asked;
    takeChecked(yes ? Check::Passed : Check::Refused, std::exchange(m_askedHead, {}));
    // What came while the user was asked continues the request.
    readRequests();
    m_arrival = {};
}

bool Relay::startRequest(const QByteArray& received) {
    SettingsStore& store = m_ctx.store;
    const QByteArray head = RequestReader::framedByCoding(received);
    m_ctx.deadlines.cancel(m_deadline);
    m_streams = answersStream(store.choice(Setting::StreamAnswers), m_intercept);
    const QByteArrayView lines = QByteArrayView(head).chopped(2);
    Request request;
    request.headRequest = head.startsWith("HEAD ");
    request.repeatable = mayRepeat(head);
    if (m_streams) {
        request.upgrade = asksForWebSocket(lines);
        // A body that runs to the close leaves nothing after it for another request.
        request.keepBrowser = !m_reader.endless() && browserKeepsConnection(lines);
    }
    const ConnectionLines connection = !m_streams        ? ConnectionLines::Close
                                       : request.upgrade ? ConnectionLines::Upgrade
                                                         : ConnectionLines::KeepAlive;
    // Where answers stream, a compressed page is decoded on the way to be filtered, so
    // the browser may ask for the codings the decoder knows.
    request.bytes =
        rewriteRequestHeaders(head, store, m_ctx.clock, connection,
                              m_streams ? AskedEncodings::Decodable : AskedEncodings::Identity);
    std::optional<ServerSide::Route> route;
    if (m_intercept) {
        route = interceptedRoute();
        // A WebSocket needs HTTP/1.1.
        if (route)
            route->offerH2 = !request.upgrade;
    } else if (const std::optional<RequestTarget> target =
                   store.choice(Setting::Proxy) == ChoiceValue::Allow ? upstreamProxyTarget(store)
                                                                      : targetFromRequest(head)) {
        route = ServerSide::Route{*target, std::nullopt, 0, false, m_authority};
    }
    if (!route)
        return false;
    m_body.clear();
    if (m_streams)
        m_exchange = std::make_unique<StreamedExchange>(host(), std::move(request), m_body);
    else
        m_exchange = std::make_unique<StoredExchange>(host(), std::move(request), m_body, m_answer);
    m_phase = Phase::Exchanging;
    // Only a request whose answer streams may find its connection kept.
    if (!m_streams)
        m_server.close();
    if (m_server.open(*route))
        m_exchange->serverReady(true);
    return true;
}

std::optional<ServerSide::Route> Relay::interceptedRoute() const {
    // Inside an intercepted CONNECT requests name no host: they go where the CONNECT
    // went. The origin may answer in HTTP/2 (some speak nothing else).
    const std::optional<RequestTarget> target =
        m_viaProxy ? upstreamProxyTarget(m_ctx.store)
                   : std::optional(RequestTarget{m_origin->text(), m_originPort});
    if (!target)
        return std::nullopt;
    ServerSide::Route route{*target, m_origin, m_originPort, m_viaProxy, m_authority};
    route.offerH2 = true;
    return route;
}

bool Relay::startTunnel(const QByteArray& head) {
    // Inside an intercepted connection there is nothing more to open.
    if (m_intercept)
        return false;
    SettingsStore& store = m_ctx.store;
    const RequestLine line = readRequestLine(head);
    const std::optional<RequestTarget> authority = connectTarget(line.text);
    if (!authority || !tunnelAllowed(store.choice(Setting::ConnectTunnel), authority->port))
        return false;
    m_authority = line.text.mid(8, line.text.indexOf(' ', 8) - 8);
    m_viaProxy = store.choice(Setting::Proxy) == ChoiceValue::Allow;
    // What the browser sent after its CONNECT is not a request.
    const QByteArray early = m_reader.takeRest();
    if (store.choice(Setting::HttpsInterception) == ChoiceValue::Allow && m_ctx.tls) {
        // A host in a form that could be connected as one host and checked as another
        // is refused rather than guessed at.
        const std::optional<HostName> host = HostName::parse(authority->host);
        if (!host)
            return false;
        if (!interceptionExcluded(*host, store.get(Setting::InterceptionExclusions))) {
            QString why;
            if (SslOwner ssl = m_ctx.tls->forBrowser(*host, &why))
                return startInterception(std::move(ssl), *host, authority->port, early);
            // Without a usable CA the tunnel still works.
            m_ctx.log.notIntercepted(m_index, m_authority, why);
        }
    }
    const std::optional<RequestTarget> target =
        m_viaProxy ? upstreamProxyTarget(store) : std::optional(*authority);
    if (!target)
        return false;
    m_browser.sendPromptly();
    m_body.clear();
    // Through an upstream proxy the head goes on as it came; the proxy answers it.
    auto tunnel = std::make_unique<Tunnel>(host(), m_viaProxy ? head : QByteArray(), m_body);
    tunnel->browserBody(early);
    m_exchange = std::move(tunnel);
    m_phase = Phase::Exchanging;
    const ServerSide::Route route{*target, std::nullopt, 0, false, m_authority};
    m_server.close();
    m_server.open(route);
    return true;
}

bool Relay::startInterception(SslOwner ssl, const HostName& host, int port, QByteArrayView early) {
    m_intercept = true;
    // The origin is connected to as exactly the host its certificate is checked for.
    m_origin = host;
    m_originPort = port;
    m_phase = Phase::Securing;
    m_ctx.deadlines.arm(m_deadline, BrowserHandshakeMs);
    // The CONNECT is answered here; the origin is reached once a request has come.
    if (!m_browser.send(Tunnel::Established.toByteArray()))
        m_ctx.log.browserSent(m_index);
    m_reader = RequestReader(MaxRequestHead);
    m_browser.startTls(std::move(ssl), early);
    return true;
}

} // namespace Tarnwick
