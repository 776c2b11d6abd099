#include "proxy/relay.h"

#include "proxy/answerhead.h"
#include "proxy/finalanswer.h"
#include "proxy/headerrewrite.h"
#include "proxy/htmlfilter.h"
#include "proxy/interception.h"
#include "proxy/relaylog.h"
#include "proxy/requestrules.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
const QByteArray Established = QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n");

constexpr int PumpDelayMs = 100;
constexpr int CloseDelayMs = 100;
// The browser's TLS handshake on an intercepted connection, like the origin's.
constexpr int BrowserHandshakeMs = 30000;
// A kept browser connection with no request under way is closed after this.
constexpr int KeptIdleMs = 60000;

// Bytes one side lets wait for the other before it stops reading the faster one.
constexpr qint64 Backlog = 1024 * 1024;
} // namespace

QString answerFileName(int index) {
    return QStringLiteral("~tarnwick-temp-") + QString::number(index);
}

QString requestFileName(int index) {
    return answerFileName(index) + QStringLiteral("-request");
}

Relay::Relay(RelayContext& context, int index, quint64 serial)
    : m_ctx(context), m_index(index), m_serial(serial), m_browser(context.reactor, *this),
      m_server(context, index, serial, *this), m_deadline(*this) {
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

// ---- events ------------------------------------------------------------------

void Relay::connected(Connection&) {}

void Relay::secured(Connection&) {
    // The browser's TLS is up: its request comes inside, read like any other.
    if (m_phase == Phase::Securing) {
        m_ctx.deadlines.cancel(m_deadline);
        m_phase = Phase::ReadingHead;
    }
}

void Relay::arrived(Connection&, QByteArrayView bytes) {
    browserData(bytes);
}

void Relay::sent(Connection&) {
    browserSent();
}

void Relay::ended(Connection&) {
    browserEnded();
}

void Relay::failed(Connection&, int error) {
    browserFailed(error);
}

void Relay::deadlineReached() {
    switch (m_phase) {
    case Phase::Securing:
        // A browser that never finishes its handshake does not keep the slot.
        m_ctx.log.tlsChecked(Side::Lan, m_index, m_authority, QString(),
                             QStringLiteral("the browser's handshake took longer than %1 s")
                                 .arg(BrowserHandshakeMs / 1000));
        return finish(End::BrowserGone);
    case Phase::Waiting:
        return pump();
    case Phase::Closing:
        return finish(End::Delivered);
    case Phase::ReadingHead:
        // A kept connection idle for too long.
        if (m_live)
            finish(End::Dropped);
        return;
    default:
        return;
    }
}

// ---- the browser side ----------------------------------------------------------

void Relay::browserData(QByteArrayView bytes) {
    m_ctx.log.browserDataStatus(m_index);
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    // A tunnel's bytes are carried as they are and never shown: they are not text.
    if (m_phase == Phase::Tunnel || (m_tunnel && m_phase == Phase::Connecting))
        return carry(m_browser, bytes);
    switch (m_phase) {
    case Phase::ReadingHead:
        break;
    case Phase::Asking:
        // Kept for the request the user is being asked about; a question left open
        // does not let the browser fill memory.
        m_asked.append(bytes);
        m_ctx.log.browserData(m_index, bytes.size(), bytes);
        if (m_asked.size() > MaxRequestHead)
            m_browser.pauseReading(Connection::Hold::PeerBehind);
        return;
    case Phase::Gone:
        return;
    default:
        if (m_live) {
            // The rest of this request's body; what follows is the browser's next
            // request on the kept connection, taken once this answer has ended.
            const qsizetype body = m_bodyRemaining < 0
                                       ? bytes.size()
                                       : qsizetype(std::min<qint64>(m_bodyRemaining, bytes.size()));
            if (body > 0) {
                m_ctx.log.browserData(m_index, body, bytes.first(body));
                continueBody(bytes.first(body));
            }
            m_pending.append(bytes.sliced(body));
            if (m_pending.size() > MaxRequestHead)
                m_browser.pauseReading(Connection::Hold::PeerBehind);
            return;
        }
        // Once a request is taken, what follows is its body, which passes untouched —
        // or the browser's next request on a kept-alive connection, sent before our
        // close reached it. That one is not relayed: the relay under way keeps its
        // server connection and its answer, and the browser asks again.
        m_ctx.log.browserData(m_index, bytes.size(), bytes);
        if (m_bodyRemaining != 0 && !m_tunnel)
            continueBody(bytes);
        return;
    }
    // The rules and the target read the whole head, however the browser cut it up.
    const QByteArray piece = bytes.toByteArray();
    m_head += piece;
    if (!m_head.contains(BlankLine)) {
        m_ctx.log.browserData(m_index, piece.size(), piece);
        if (m_head.size() > MaxRequestHead)
            finish(End::Refused);
        return;
    }
    takeRequest(std::exchange(m_head, {}), piece.size(), piece);
}

void Relay::takeRequest(const QByteArray& received, qsizetype size, QByteArrayView piece) {
    const Check check = checkRequestLine(received);
    if (check == Check::Asked) {
        // The user's answer takes it on (cabinetAnswered).
        m_askedHead = received;
        m_askedPiece = piece.first(size).toByteArray();
        return;
    }
    takeChecked(check, received, piece.first(size));
}

void Relay::takeChecked(Check check, const QByteArray& received, QByteArrayView piece) {
    // The relay was let go of, or its browser left, while the user was asked.
    if (check == Check::Void)
        return;
    // A rule that could not be applied answers without a word in the list.
    if (check != Check::Failed)
        m_ctx.log.browserData(m_index, piece.size(), piece);
    switch (check) {
    case Check::Passed:
        if (!startRequest(received))
            return finish(End::Refused);
        // What came while the user was asked continues the request; where the
        // connection is kept, what lies beyond its body is the browser's next request.
        if (!m_asked.isEmpty()) {
            const QByteArray asked = std::exchange(m_asked, {});
            const qsizetype body = m_live && m_bodyRemaining >= 0
                                       ? qsizetype(std::min<qint64>(m_bodyRemaining, asked.size()))
                                       : asked.size();
            if (body > 0 && m_bodyRemaining != 0)
                continueBody(QByteArrayView(asked).first(body));
            if (m_live)
                m_pending.append(asked.sliced(body));
        }
        return;
    case Check::Tunnel:
        if (!startTunnel(received))
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

Relay::Check Relay::checkRequestLine(const QByteArray& received) {
    const RequestLine line = readRequestLine(received);
    // A tunnel passes none of these rules: what it carries is not seen.
    if (connectTarget(line.text))
        return Check::Tunnel;
    SettingsStore& store = m_ctx.store;
    // Asks the rule of `key` about this request; a value outside its set is removed.
    auto verdict = [&](const SettingKey& key, bool mayAsk) -> std::optional<Check> {
        const std::optional<QString> stored = store.stored(key);
        switch (ruleVerdict(stored ? std::optional(choiceOf(*stored)) : std::nullopt, mayAsk)) {
        case RuleVerdict::Send:
            return std::nullopt;
        case RuleVerdict::Refuse:
            return key.name == Setting::Post.name ? Check::RefusedWithClose : Check::Refused;
        case RuleVerdict::Ask:
            return askCabinet(line.text);
        case RuleVerdict::DropValue:
            if (!store.remove(key))
                return Check::Failed;
            return std::nullopt;
        }
        return std::nullopt;
    };
    std::optional<Check> outcome;
    if (line.post)
        outcome = verdict(Setting::Post, false);
    if (!outcome && line.icon)
        outcome = verdict(Setting::IcoGet, false);
    if (!outcome && line.cabinet)
        outcome = verdict(Setting::CabGet, true);
    return outcome.value_or(Check::Passed);
}

std::optional<Relay::Check> Relay::askCabinet(const QByteArray& requestLine) {
    m_phase = Phase::Asking;
    m_asked.clear();
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
    m_phase = Phase::ReadingHead;
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
    m_phase = Phase::ReadingHead;
    m_browser.resumeReading(Connection::Hold::PeerBehind);
    const QByteArray received = std::exchange(m_askedHead, {});
    const QByteArray piece = std::exchange(m_askedPiece, {});
    takeChecked(yes ? Check::Passed : Check::Refused, received, piece);
}

bool Relay::startRequest(const QByteArray& whole) {
    SettingsStore& store = m_ctx.store;
    QByteArray received = whole;
    const qsizetype headEnd = received.indexOf(BlankLine);
    const qint64 bodyLength = requestBodyLength(QByteArrayView(received).first(headEnd));
    m_live = streams();
    ConnectionLines lines = ConnectionLines::Close;
    if (m_live) {
        // Pipelined requests after this one wait for its answer.
        const qint64 end = headEnd + BlankLine.size() + bodyLength;
        if (bodyLength >= 0 && received.size() > end) {
            m_pending.prepend(received.mid(end));
            received.truncate(end);
        }
        const QByteArrayView head = QByteArrayView(received).first(headEnd + 2);
        m_upgrade = asksForWebSocket(head);
        m_keepBrowser = bodyLength >= 0 && browserKeepsConnection(head);
        lines = m_upgrade ? ConnectionLines::Upgrade : ConnectionLines::KeepAlive;
    }
    // Rewritten; whatever body came with the head follows it untouched.
    m_request = rewriteRequestHeaders(received, store, m_ctx.clock, lines);
    m_bodyRemaining = bodyLength - (received.size() - headEnd - BlankLine.size());
    m_headRequest = received.startsWith("HEAD ");
    // Inside an intercepted CONNECT the request names no host: it goes where the CONNECT
    // went.
    if (m_intercept)
        return connectServer(m_viaProxy ? upstreamProxyTarget(store)
                                        : RequestTarget{m_origin->text(), m_originPort});
    return connectServer(store.choice(Setting::Proxy) == ChoiceValue::Allow
                             ? upstreamProxyTarget(store)
                             : targetFromRequest(received));
}

void Relay::continueBody(QByteArrayView piece) {
    if (m_phase != Phase::Connecting && m_phase != Phase::Sending && m_phase != Phase::Waiting)
        return;
    // Kept whole, so that a re-request sends the body again with its head; beyond a
    // mebibyte it waits in the slot's request file, not in memory.
    if (!m_body.append(piece))
        return finish(End::Refused);
    if (m_bodyRemaining > 0)
        m_bodyRemaining = std::max<qint64>(0, m_bodyRemaining - piece.size());
    if (m_phase != Phase::Sending || !m_server.isUp())
        return; // sent with the head once the server connection is up
    const bool later = m_server.link().send(piece.toByteArray());
    m_ctx.log.requestSent(m_index, piece);
    if (!later)
        return serverSent();
    // A browser that uploads faster than the server takes waits.
    if (m_server.link().queued() > Backlog)
        m_browser.pauseReading(Connection::Hold::PeerBehind);
}

void Relay::browserSent() {
    m_ctx.log.browserSent(m_index);
    switch (m_phase) {
    case Phase::Tunnel:
        // The browser caught up: the server may send again.
        m_server.link().resumeReading(Connection::Hold::PeerBehind);
        if (tunnelDone())
            finish(End::TunnelClosed);
        return;
    case Phase::Answering:
        // An answer that streamed waits for nothing more.
        if (m_live)
            return finish(End::Delivered);
        m_answer.clear();
        m_phase = Phase::Closing;
        m_ctx.deadlines.arm(m_deadline, CloseDelayMs);
        return;
    case Phase::Sending:
        // The browser caught up with an answer that streams.
        if (m_live)
            m_server.link().resumeReading(Connection::Hold::PeerBehind);
        return;
    case Phase::Closing:
        m_ctx.deadlines.arm(m_deadline, CloseDelayMs);
        return;
    default:
        return;
    }
}

void Relay::browserEnded() {
    if (m_phase == Phase::Tunnel)
        return directionEnded(m_browser);
    m_ctx.log.browserClosed(m_index);
    finish(End::BrowserGone);
}

void Relay::browserFailed(int error) {
    m_ctx.log.browserFailed(m_index, error);
    // A browser that does not trust the CA says so by ending the handshake, with an
    // alert or by dropping the connection.
    if (m_intercept && (error == EPROTO || m_phase == Phase::Securing))
        m_ctx.log.tlsChecked(Side::Lan, m_index, m_authority, m_browser.tlsVersion(),
                             error == EPROTO ? m_browser.tlsReason()
                                             : QStringLiteral("the browser left during the handshake"));
    finish(m_phase == Phase::Tunnel ? End::TunnelClosed : End::BrowserGone);
}

// ---- the server side -----------------------------------------------------------

bool Relay::connectServer(const std::optional<RequestTarget>& target) {
    if (!target)
        return false;
    ServerSide::Route route{*target, m_origin, m_originPort, m_intercept && m_viaProxy,
                            m_authority};
    // Only a request whose answer streams may find its connection kept.
    if (!m_live)
        m_server.close();
    m_reused = m_server.open(route);
    if (m_reused) {
        sendRequest();
        return true;
    }
    m_phase = Phase::Connecting;
    return true;
}

void Relay::serverReady() {
    if (m_tunnel)
        return openTunnel();
    m_ctx.log.serverConnected(m_index);
    sendRequest();
}

void Relay::serverUnreachable() {
    finish(End::Refused);
}

void Relay::serverUnverified(TlsCheck check, const QString& reason) {
    // Nothing of the origin's is forwarded: the browser is told which check failed.
    m_page = unverifiedAnswer(check, QString::fromLatin1(m_authority), reason);
    finish(End::Unverified);
}

void Relay::sendRequest() {
    m_ctx.deadlines.cancel(m_deadline);
    // A fresh store for the answer of this attempt.
    m_answer.clear();
    m_arrivals = 0;
    m_phase = Phase::Sending;
    if (m_live) {
        m_stream.emplace(m_headRequest);
        m_filter.reset();
        m_liveBytes = 0;
        m_livePieces = 0;
    }
    const bool later = m_server.link().send(m_request);
    m_ctx.log.requestSent(m_index, m_request);
    if (!later)
        serverSent();
    if (m_phase == Phase::Sending && !m_body.isEmpty())
        sendBody();
}

void Relay::sendBody() {
    const bool later = m_body.spilled()
                           ? m_server.link().sendFile(m_body.fd(), 0, m_body.size())
                           : m_server.link().send(m_body.memory());
    // A body too large for memory is shown by its start.
    m_ctx.log.requestSent(m_index, m_body.spilled() ? m_body.start() : m_body.memory());
    if (!later)
        serverSent();
}

void Relay::serverSent() {
    m_ctx.log.serverSent(m_index);
    if (m_phase == Phase::Tunnel) {
        m_browser.resumeReading(Connection::Hold::PeerBehind);
        if (tunnelDone())
            finish(End::TunnelClosed);
        return;
    }
    m_browser.resumeReading(Connection::Hold::PeerBehind);
}

void Relay::serverData(QByteArrayView bytes) {
    m_ctx.log.serverDataStatus(m_index);
    if (m_tunnel)
        return carry(m_server.link(), bytes);
    if (m_phase != Phase::Sending)
        return;
    if (m_live)
        return liveData(bytes);
    // Never relay an answer that could not be stored whole.
    if (!m_answer.append(bytes))
        return finish(End::Refused);
    ++m_arrivals;
    m_ctx.log.serverData(m_index, m_arrivals, bytes.size(), bytes);
}

void Relay::serverEnded() {
    if (m_phase == Phase::Tunnel)
        return directionEnded(m_server.link());
    m_ctx.log.serverClosed(m_index);
    m_server.close();
    if (m_phase != Phase::Sending)
        return;
    if (m_live) {
        if (retryOnNewConnection())
            return;
        if (!m_stream->headDone())
            return finish(End::Refused);
        return liveEnded(true);
    }
    // The answer is complete; the pump takes it 100 ms later.
    m_phase = Phase::Waiting;
    m_ctx.deadlines.arm(m_deadline, PumpDelayMs);
}

void Relay::serverFailed(int) {
    // Once the connection was made, nothing more will come, and the browser is not
    // left waiting. (The server side has logged the failure.)
    m_server.close();
    if (m_live && !m_tunnel) {
        // A kept connection that failed while idle is simply not kept.
        if (m_phase != Phase::Sending)
            return;
        if (retryOnNewConnection())
            return;
        if (m_stream->headDone())
            return liveEnded(true);
    }
    finish(m_tunnel ? End::TunnelClosed : End::Refused);
}

// ---- answers that stream --------------------------------------------------------

bool Relay::streams() const {
    switch (m_ctx.store.choice(Setting::StreamAnswers)) {
    case ChoiceValue::Allow:
        return true;
    case ChoiceValue::Block:
        return false;
    default:
        return m_intercept;
    }
}

void Relay::liveData(QByteArrayView bytes) {
    m_stream->feed(bytes);
    std::deque<AnswerStream::Piece>& pieces = m_stream->pieces();
    while (!pieces.empty() && m_phase == Phase::Sending) {
        AnswerStream::Piece piece = std::move(pieces.front());
        pieces.pop_front();
        switch (piece.kind) {
        case AnswerStream::Piece::Kind::Interim:
            // Passed at once, as it came.
            m_ctx.log.answerSent(m_index, piece.bytes.chopped(BlankLine.size()), false);
            sendLive(std::move(piece.bytes));
            break;
        case AnswerStream::Piece::Kind::Head:
            if (!liveHead(piece.bytes))
                return;
            break;
        case AnswerStream::Piece::Kind::Body:
            m_liveBytes += piece.bytes.size();
            ++m_livePieces;
            sendLive(m_filter ? m_filter->feed(piece.bytes) : std::move(piece.bytes));
            break;
        }
    }
    if (m_phase != Phase::Sending)
        return;
    if (m_stream->broken())
        return finish(End::Refused);
    if (m_stream->complete())
        liveEnded(false);
}

bool Relay::liveHead(const QByteArray& head) {
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    const AnswerHead& read = m_stream->head();
    // The same judgement as for an answer stored whole, made on its head alone.
    if (trimBlanks(read.contentTypeText).isEmpty() && !mayLackContentType(read.statusCode)) {
        finish(End::Refused);
        return false;
    }
    m_ctx.log.answerSent(m_index, read.headerBlock, false);
    if (m_upgrade && read.statusCode == "101") {
        // A WebSocket: from here on the connection carries bytes both ways, unread.
        sendLive(head);
        m_tunnel = true;
        m_phase = Phase::Tunnel;
        if (m_authority.isEmpty()) {
            const RequestTarget& target = m_server.route().target;
            m_authority = (target.host + u':' + QString::number(target.port)).toLatin1();
        }
        const QByteArray early = m_stream->takeExcess();
        m_stream.reset();
        if (!early.isEmpty())
            carry(m_server.link(), early);
        if (m_phase == Phase::Tunnel && !m_pending.isEmpty())
            carry(m_browser, std::exchange(m_pending, {}));
        return false;
    }
    const AnswerStream::Framing framing = m_stream->framing();
    m_keepBrowser = m_keepBrowser && framing != AnswerStream::Framing::UntilClose;
    // The rules read their switches for every answer, as for one stored whole.
    HtmlFilter filter =
        htmlFilterFor(read.contentTypeText, m_ctx.store, isChunked(read.headerBlock));
    if (htmlRulesApply(read.contentTypeText))
        m_filter = std::make_unique<HtmlFilter>(std::move(filter));
    const QByteArray out = m_keepBrowser ? head : withConnectionClose(head);
    sendLive(m_filter ? m_filter->feed(out) : out);
    return m_phase == Phase::Sending;
}

void Relay::sendLive(QByteArray bytes) {
    if (bytes.isEmpty() || !m_browser.isOpen())
        return;
    m_browser.send(std::move(bytes));
    // Reading from the server waits while the browser is far behind.
    if (m_browser.queued() > Backlog)
        m_server.link().pauseReading(Connection::Hold::PeerBehind);
}

void Relay::liveEnded(bool serverClosed) {
    const bool complete =
        m_stream->complete() || m_stream->framing() == AnswerStream::Framing::UntilClose;
    if (m_filter)
        sendLive(m_filter->finish());
    m_ctx.log.answerEnded(m_index, m_liveBytes, m_livePieces,
                          complete ? std::nullopt
                                   : std::optional(m_stream->announced().value_or(0)),
                          m_stream->received());
    const std::optional<QByteArray> connection =
        framingHeader(m_stream->head().headerBlock, "connection:");
    const bool serverKept = !serverClosed && m_stream->excess() == 0 &&
                            !(connection && connection->toLower().contains("close"));
    if (serverKept)
        m_server.keep(KeptIdleMs);
    else
        m_server.close();
    m_stream.reset();
    m_filter.reset();
    if (complete && m_keepBrowser && m_phase == Phase::Sending)
        return nextRequest();
    // The browser reads the end of this answer from our close, once it has left.
    // Nothing more will be said of what was sent when nothing waits any more.
    finish(End::Answered);
    if (m_phase == Phase::Answering && !m_browser.sending())
        browserSent();
}

void Relay::nextRequest() {
    m_phase = Phase::ReadingHead;
    m_request.clear();
    m_body.clear();
    m_bodyRemaining = 0;
    m_answer.clear();
    m_rechecks = 0;
    m_upgrade = false;
    m_reused = false;
    m_browser.resumeReading(Connection::Hold::PeerBehind);
    m_ctx.deadlines.arm(m_deadline, KeptIdleMs);
    // A request the browser sent before this answer ended is taken now.
    if (!m_pending.isEmpty())
        browserData(std::exchange(m_pending, {}));
}

bool Relay::retryOnNewConnection() {
    // A kept connection the server closed meanwhile: a GET or HEAD that got nothing
    // back goes again on a new one, as browsers do.
    const bool getOrHead = m_request.startsWith("GET ") || m_request.startsWith("HEAD ");
    if (!m_reused || !getOrHead || m_stream->received() > 0 || !m_stream->pieces().empty())
        return false;
    m_reused = false;
    m_phase = Phase::Connecting;
    m_server.reopen(false);
    return true;
}

// ---- the answer ----------------------------------------------------------------

void Relay::pump() {
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    // Interim answers pass as they are; the rules judge the final one alone.
    const QByteArrayView start = m_answer.start();
    const qsizetype finalStart = finalAnswerStart(start);
    QByteArray headerBlock;
    const qsizetype blank = start.sliced(finalStart).indexOf(QByteArrayView(BlankLine));
    if (blank >= 0) {
        headerBlock = start.sliced(finalStart, blank).toByteArray();
    } else if (m_answer.spilled()) {
        // A head longer than what stays in memory: found in the file.
        const qint64 at = m_answer.find(BlankLine, finalStart);
        if (at >= 0)
            headerBlock = m_answer.read(finalStart, at - finalStart);
    }
    StoredAnswer stored;
    stored.head = readAnswerHead(headerBlock);
    stored.length = m_answer.size() - finalStart;
    stored.headRequest = m_headRequest;
    stored.recheckCount = m_rechecks;
    stored.showWhole = stored.head.statusCode == "302" &&
                       m_ctx.log.monitor().isChecked(MonitorBox::LanSend);
    const AnswerPlan plan = planAnswer(stored);
    switch (plan) {
    case AnswerPlan::Refuse:
        return finish(End::Refused);
    case AnswerPlan::ReRequest:
    case AnswerPlan::GiveUp:
        return recheck(stored, plan == AnswerPlan::GiveUp);
    case AnswerPlan::SendWhole:
    case AnswerPlan::Stream:
        return sendAnswer(stored, finalStart, plan);
    }
}

void Relay::recheck(const StoredAnswer& stored, bool giveUp) {
    m_ctx.log.shortAnswer(m_index, announcedSize(stored.head).value_or(0), stored.length);
    if (giveUp)
        return finish(End::Refused);
    m_answer.clear();
    m_arrivals = 0;
    m_rechecks += 1;
    // The same server again; the reconnections left are shared with the first request.
    m_phase = Phase::Connecting;
    m_server.reopen(true);
}

void Relay::sendAnswer(const StoredAnswer& stored, qsizetype finalStart, AnswerPlan plan) {
    const AnswerHead& head = stored.head;
    SettingsStore& store = m_ctx.store;
    // Only answers the HTML rules may rewrite, or a redirect shown whole, are held
    // whole in memory; everything else goes as it lies, a large one from its file.
    const bool holdWhole = plan == AnswerPlan::SendWhole;
    QByteArray answer;
    if (holdWhole && !m_answer.readAll(answer))
        return finish(End::Refused);
    // The rules read their settings for every answer (and drop a bad value); they
    // change only an answer held whole, and only its final part.
    QByteArray finalPart = finalStart == 0 ? std::move(answer) : answer.mid(finalStart);
    applySetCookieRule(finalPart, head.contentTypeText, store);
    applyScriptRule(finalPart, head.contentTypeText, store, isChunked(head.headerBlock));
    if (finalStart == 0)
        answer = std::move(finalPart);
    else if (holdWhole)
        answer.replace(finalStart, finalPart.size(), finalPart);

    bool later;
    if (holdWhole || !m_answer.spilled()) {
        later = m_browser.send(holdWhole ? answer : m_answer.memory());
    } else {
        // Nothing is left behind if the program ends while the file is being sent.
        m_answer.removeName();
        later = m_browser.sendFile(m_answer.fd(), 0, m_answer.size());
    }
    finish(End::Answered);
    if (head.statusCode == "302")
        m_ctx.log.answerSent(m_index, answer, true);
    else
        m_ctx.log.answerSent(m_index, head.headerBlock, false);
    if (!later)
        browserSent();
}

// ---- tunnels -------------------------------------------------------------------

bool Relay::startTunnel(const QByteArray& received) {
    // Inside an intercepted connection there is nothing more to open.
    if (m_intercept)
        return false;
    SettingsStore& store = m_ctx.store;
    const RequestLine line = readRequestLine(received);
    const std::optional<RequestTarget> authority = connectTarget(line.text);
    if (!authority || !tunnelAllowed(store.choice(Setting::ConnectTunnel), authority->port))
        return false;
    const qsizetype headEnd = received.indexOf(BlankLine) + BlankLine.size();
    m_authority = line.text.mid(8, line.text.indexOf(' ', 8) - 8);
    m_viaProxy = store.choice(Setting::Proxy) == ChoiceValue::Allow;
    if (store.choice(Setting::HttpsInterception) == ChoiceValue::Allow && m_ctx.tls) {
        // A host in a form that could be connected as one host and checked as another
        // is refused rather than guessed at.
        const std::optional<HostName> host = HostName::parse(authority->host);
        if (!host)
            return false;
        if (!interceptionExcluded(*host, store.get(Setting::InterceptionExclusions))) {
            QString why;
            if (SslOwner ssl = m_ctx.tls->forBrowser(*host, &why))
                return startInterception(std::move(ssl), *host, authority->port,
                                         QByteArrayView(received).sliced(headEnd));
            // Without a usable CA the tunnel still works.
            m_ctx.log.notIntercepted(m_index, m_authority, why);
        }
    }
    m_tunnel = true;
    // Through an upstream proxy the head goes on as it came; the proxy answers it.
    m_request = received.left(headEnd);
    if (!m_body.append(QByteArrayView(received).sliced(headEnd)))
        return false;
    return connectServer(m_viaProxy ? upstreamProxyTarget(store) : *authority);
}

bool Relay::startInterception(SslOwner ssl, const HostName& host, int port,
                              QByteArrayView early) {
    m_intercept = true;
    // The origin is connected to as exactly the host its certificate is checked for.
    m_origin = host;
    m_originPort = port;
    m_phase = Phase::Securing;
    m_ctx.deadlines.arm(m_deadline, BrowserHandshakeMs);
    // The CONNECT is answered here; the origin is reached once a request has come.
    if (!m_browser.send(Established))
        browserSent();
    if (m_phase == Phase::Securing)
        m_browser.startTls(std::move(ssl), early);
    return true;
}

void Relay::openTunnel() {
    m_phase = Phase::Tunnel;
    m_browser.sendPromptly();
    m_ctx.log.serverConnected(m_index);
    if (m_viaProxy) {
        const bool later = m_server.link().send(m_request);
        m_ctx.log.requestSent(m_index, m_request);
        if (!later)
            serverSent();
    } else if (!m_browser.send(Established)) {
        browserSent();
    }
    if (m_phase != Phase::Tunnel || m_body.isEmpty())
        return;
    // What the browser sent before the server connection was up goes first.
    QByteArray early;
    if (!m_body.readAll(early))
        return finish(End::TunnelClosed);
    m_body.clear();
    carry(m_browser, early);
}

void Relay::carry(Connection& from, QByteArrayView bytes) {
    Connection& to = &from == &m_browser ? m_server.link() : m_browser;
    if (m_phase != Phase::Tunnel) {
        // Sent once the server connection is up.
        if (!m_body.append(bytes))
            finish(End::Refused);
        return;
    }
    if (to.state() != Connection::State::Connected || to.writeShutDown())
        return;
    const bool later = to.send(bytes.toByteArray());
    (&from == &m_browser ? m_up : m_down) += bytes.size();
    // A side that sends faster than the other takes waits, so memory stays bounded.
    if (later && to.queued() > Backlog)
        from.pauseReading(Connection::Hold::PeerBehind);
}

void Relay::directionEnded(Connection& from) {
    Connection& to = &from == &m_browser ? m_server.link() : m_browser;
    if (&from == &m_browser)
        m_ctx.log.browserClosed(m_index);
    else
        m_ctx.log.serverClosed(m_index);
    // The other side reads an end too, once everything queued for it has left; the
    // other direction goes on until it ends as well.
    to.shutdownWrite();
    if (tunnelDone())
        finish(End::TunnelClosed);
}

bool Relay::tunnelDone() const {
    return m_browser.readEnded() && m_server.link().readEnded() && m_browser.queued() == 0 &&
           m_server.link().queued() == 0;
}

// ---- the one way out -----------------------------------------------------------

void Relay::finish(End end) {
    if (m_phase == Phase::Gone)
        return;
    m_ctx.deadlines.cancel(m_deadline);
    m_server.close();
    m_body.clear();
    m_asked.clear();
    const bool answering = end == End::Answered || end == End::Refused || end == End::Unverified;
    if (answering && m_browser.isOpen()) {
        // The browser connection closes once this has left (browserSent).
        m_phase = Phase::Answering;
        if (end != End::Answered) {
            m_answer.clear();
            if (!m_browser.send(end == End::Refused ? QByteArray(RefusalAnswer) : m_page))
                browserSent();
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
