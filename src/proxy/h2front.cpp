#include "proxy/h2front.h"

#include "proxy/exchange.h"
#include "proxy/headerrewrite.h"
#include "proxy/interception.h"
#include "proxy/relay.h"
#include "proxy/relaylog.h"
#include "proxy/requestrules.h"
#include "settings/settingsstore.h"

#include <algorithm>

namespace Tarnwick {

namespace {
// A connection without a stream for this long is said goodbye to.
constexpr int IdleMs = 60000;
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
} // namespace

H2Front::H2Front(RelayContext& context, int index, quint64 serial, Connection& browser,
                 ServerSide::Route route, std::function<void()> wake)
    : m_ctx(context), m_index(index), m_serial(serial), m_browser(browser),
      m_route(std::move(route)), m_wake(std::move(wake)), m_session(H2Session::Side::Server, *this),
      m_deadline(*this), m_outer([this] { takeOutput(); }) {
    m_ctx.deadlines.arm(m_deadline, IdleMs);
}

H2Front::~H2Front() = default;

ServerSide* H2Front::serverSide(int id) {
    for (const auto& link : m_links)
        if (link->side().id() == id)
            return &link->side();
    return nullptr;
}

// ---- the browser's connection ------------------------------------------------------------

void H2Front::arrived(QByteArrayView bytes) {
    const Outermost::Call call(m_outer);
    if (m_over)
        return;
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    if (!m_session.feed(bytes)) {
        // A peer that broke the protocol, or reset streams by the thousand: what the
        // session still has to say (its GOAWAY) goes, then the connection closes.
        flush();
        return end();
    }
    flush();
}

void H2Front::sent() {
    const Outermost::Call call(m_outer);
    // Closed origin connections are let go of here, outside their own calls.
    std::erase_if(m_links, [](const std::unique_ptr<OriginLink>& l) { return l->closed(); });
    flush();
}

void H2Front::flush() {
    // Calls nest (an origin connection's events reach the front from inside the
    // front's own calls): the session's output is taken, and the events that raises
    // delivered, only at the outermost, so that no handler finds its stream gone.
    m_outer.want();
}

void H2Front::takeOutput() {
    // The session's bytes wait in it while the browser is far behind.
    if (m_browser.queued() < Backlog) {
        QByteArray out = m_session.takeOutput();
        if (!out.isEmpty())
            m_browser.send(std::move(out));
    }
    if (!m_session.wantsInput() && !m_session.wantsOutput())
        end();
}

void H2Front::end() {
    if (m_over)
        return;
    m_over = true;
    m_ctx.deadlines.cancel(m_deadline);
    m_wake();
}

void H2Front::deadlineReached() {
    const Outermost::Call call(m_outer);
    std::erase_if(m_links, [](const std::unique_ptr<OriginLink>& l) { return l->closed(); });
    if (m_streams.empty()) {
        m_session.goAway();
        flush();
        return end();
    }
    m_ctx.deadlines.arm(m_deadline, IdleMs);
}

void H2Front::idleCheck() {
    if (m_streams.empty())
        m_ctx.deadlines.arm(m_deadline, IdleMs);
}

H2Front::Stream* H2Front::find(qint32 stream) {
    const auto it = m_streams.find(stream);
    return it == m_streams.end() ? nullptr : &it->second;
}

// ---- the browser's streams ---------------------------------------------------------------

void H2Front::headers(qint32 stream, HeaderList fields, bool ended) {
    // Trailers of a request body are not passed on; its end is.
    if (find(stream)) {
        if (ended)
            dataEnded(stream);
        return;
    }
    const std::optional<QByteArray> head = requestHeadFromList(fields, RequestForm::Origin, !ended);
    if (!head) {
        m_session.reset(stream, H2Session::ProtocolError);
        return flush();
    }
    m_ctx.deadlines.cancel(m_deadline);
    Stream& s = m_streams[stream];
    s.head = *head;
    s.bodyFollows = !ended;
    s.bodyEnded = ended;
    m_ctx.log.streamArrived(m_index, stream, head->chopped(2));
    const RequestLine line = readRequestLine(*head);
    switch (blockingRules(line, m_ctx.store)) {
    case RuleOutcome::Send:
        return request(stream, s);
    case RuleOutcome::Refuse:
    case RuleOutcome::Failed:
        return refuse(stream);
    case RuleOutcome::RefuseWithClose:
        // A refused POST goes nowhere and gets no word, as over HTTP/1.1.
        m_session.reset(stream, H2Session::InternalError);
        return flush();
    case RuleOutcome::Ask: {
        // The answer finds this front through the relay's slot and serial: the relay
        // may be gone, or the stream reset, by the time the user answers.
        const int question = ++m_question;
        m_questions[question] = stream;
        m_ctx.askCabinet(cabinetQuestion(line.text),
                         [ctx = &m_ctx, index = m_index, serial = m_serial, question](bool yes) {
                             const Reactor::Busy busy(ctx->reactor);
                             if (Relay* relay = ctx->find(index, serial))
                                 relay->streamQuestionAnswered(question, yes);
                         });
        return;
    }
    }
}

void H2Front::cabinetAnswered(int question, bool yes) {
    const Outermost::Call call(m_outer);
    const auto it = m_questions.find(question);
    if (it == m_questions.end() || m_over)
        return;
    const qint32 stream = it->second;
    m_questions.erase(it);
    Stream* s = find(stream);
    if (!s)
        return;
    const SettingsStore::ReadScope oneLook(m_ctx.store);
    if (yes)
        request(stream, *s);
    else
        refuse(stream);
}

void H2Front::request(qint32 stream, Stream& s) {
    SettingsStore& store = m_ctx.store;
    s.headRequest = s.head.startsWith("HEAD ");
    s.repeatable = mayRepeat(s.head);
    // Answers stream here: a compressed page is decoded on the way to be filtered.
    s.head = rewriteRequestHeaders(s.head, store, m_ctx.clock, ConnectionLines::KeepAlive,
                                   AskedEncodings::Decodable);
    m_waiting.push_back(stream);
    dispatch();
}

void H2Front::data(qint32 stream, QByteArrayView bytes) {
    Stream* s = find(stream);
    if (!s || s->ended) {
        m_session.consumed(stream, bytes.size());
        return flush();
    }
    // Before an origin connection took the stream, its body waits here, within the
    // stream's window.
    if (s->link)
        s->link->body(stream, bytes);
    else
        s->early.append(bytes);
}

void H2Front::dataEnded(qint32 stream) {
    Stream* s = find(stream);
    if (!s)
        return;
    s->bodyEnded = true;
    if (s->link)
        s->link->bodyEnd(stream);
}

void H2Front::closed(qint32 stream, quint32 error) {
    Stream* s = find(stream);
    if (!s)
        return;
    // The browser gave it up before its answer ended: the origin's part goes too.
    if (!s->ended) {
        if (s->link)
            s->link->cancel(stream);
        if (error != H2Session::NoError && s->answered)
            m_ctx.log.streamEnded(m_index, stream, s->bytes, false);
    }
    std::erase(m_waiting, stream);
    m_streams.erase(stream);
    idleCheck();
}

void H2Front::dataSent(qint32 stream, qsizetype bytes) {
    Stream* s = find(stream);
    if (!s)
        return;
    // What left gives the origin room for as many bytes as came for it.
    s->left += bytes;
    qsizetype taken = 0;
    while (!s->inFlight.empty() && s->inFlight.front().first <= s->left) {
        const auto [out, in] = s->inFlight.front();
        s->inFlight.pop_front();
        s->left -= out;
        taken += in;
    }
    if (taken > 0 && s->link)
        s->link->taken(stream, taken);
}

void H2Front::goaway(quint32, qint32) {
    // The browser opens no more streams here; those under way finish.
    idleCheck();
}

// ---- origin connections ----------------------------------------------------------------

void H2Front::dispatch() {
    while (!m_waiting.empty()) {
        OriginLink* free = nullptr;
        int open = 0;
        int connecting = 0;
        for (const auto& link : m_links) {
            // One going away finishes its streams but takes no new one: it is not counted.
            if (link->closed() || link->goingAway())
                continue;
            ++open;
            connecting += link->protocol() == OriginLink::Protocol::Unknown ? 1 : 0;
            if (!free && link->takesStream())
                free = link.get();
        }
        if (free) {
            const qint32 stream = m_waiting.front();
            m_waiting.pop_front();
            startOn(*free, stream);
            continue;
        }
        // Until the origin said which protocol it speaks, one connection asks; an
        // HTTP/1.1 origin then gets up to six, one waiting stream for each.
        const bool more = m_originSpeaks == OriginLink::Protocol::H1
                              ? open < MaxH1Links && connecting < qsizetype(m_waiting.size())
                              : open == 0;
        if (!more)
            return;
        openLink();
    }
}

void H2Front::openLink() {
    m_links.push_back(std::make_unique<OriginLink>(m_ctx, m_index, m_serial, m_nextLink++, *this));
    m_links.back()->open(m_route);
}

void H2Front::startOn(OriginLink& link, qint32 stream) {
    Stream* s = find(stream);
    if (!s)
        return;
    if (!link.start(stream, s->head, s->bodyFollows, s->headRequest))
        return refuse(stream);
    s->link = &link;
    if (!s->early.isEmpty()) {
        const QByteArray early = std::exchange(s->early, {});
        link.body(stream, early);
    }
    if (s->bodyFollows && s->bodyEnded)
        link.bodyEnd(stream);
}

void H2Front::linkReady(OriginLink& link) {
    const Outermost::Call call(m_outer);
    m_originSpeaks = link.protocol();
    dispatch();
    flush();
}

void H2Front::linkUnreachable(OriginLink& link, TlsCheck check, const QString& why) {
    const Outermost::Call call(m_outer);
    // The streams waiting for it are told what the browser would be told over
    // HTTP/1.1: the refusal, or the page saying which check the origin failed.
    const QByteArray page =
        check == TlsCheck::Passed
            ? QByteArray()
            : unverifiedAnswer(check, QString::fromLatin1(m_route.authority), why);
    bool others = false;
    for (const auto& l : m_links)
        others = others || (l.get() != &link && !l->closed());
    if (!others) {
        const std::deque<qint32> waiting = std::exchange(m_waiting, {});
        for (const qint32 stream : waiting)
            refuse(stream, page);
    }
    flush();
}

void H2Front::linkIdle(OriginLink&) {
    const Outermost::Call call(m_outer);
    dispatch();
    flush();
}

void H2Front::linkClosed(OriginLink&) {
    const Outermost::Call call(m_outer);
    dispatch();
    flush();
}

// ---- answers ----------------------------------------------------------------------------

void H2Front::answerHead(qint32 stream, const QByteArray& head, bool bodyless) {
    const Outermost::Call call(m_outer);
    Stream* s = find(stream);
    if (!s || s->answered)
        return;
    const bool noBody = bodyless || s->headRequest;
    const std::optional<HeaderList> fields = s->answer.head(head, m_ctx.store, noBody);
    if (!fields) {
        if (s->answer.undecodable())
            m_ctx.log.undecodable(m_index, s->answer.coding(), undecodableCoding());
        if (s->link)
            s->link->cancel(stream);
        s->link = nullptr;
        return refuse(stream);
    }
    m_ctx.log.streamAnswered(m_index, stream, s->answer.shownHead());
    s->answered = true;
    s->bodyless = noBody;
    m_session.answer(stream, *fields, noBody);
    flush();
}

void H2Front::answerData(qint32 stream, QByteArrayView bytes) {
    const Outermost::Call call(m_outer);
    Stream* s = find(stream);
    if (!s || !s->answered || s->bodyless) {
        if (s && s->link)
            s->link->taken(stream, bytes.size());
        return;
    }
    QByteArray out;
    const StreamAnswer::Status status = s->answer.body(bytes, out);
    if (status != StreamAnswer::Status::Ok) {
        // Never the bytes it could not read: the stream ends short.
        m_ctx.log.undecodable(m_index, s->answer.coding(), decodingFailure(status));
        if (s->link)
            s->link->cancel(stream);
        return shortened(stream, *s);
    }
    if (out.isEmpty()) {
        if (s->link)
            s->link->taken(stream, bytes.size());
        return;
    }
    s->bytes += out.size();
    s->inFlight.emplace_back(out.size(), bytes.size());
    m_session.sendData(stream, out);
    flush();
}

void H2Front::answerEnded(qint32 stream) {
    const Outermost::Call call(m_outer);
    Stream* s = find(stream);
    if (!s || !s->answered || s->ended)
        return;
    s->ended = true;
    s->link = nullptr;
    if (!s->bodyless) {
        QByteArray out;
        if (const StreamAnswer::Status status = s->answer.finish(out);
            status != StreamAnswer::Status::Ok) {
            m_ctx.log.undecodable(m_index, s->answer.coding(), decodingFailure(status, true));
            return shortened(stream, *s);
        }
        if (!out.isEmpty()) {
            s->bytes += out.size();
            m_session.sendData(stream, out);
        }
        m_session.endData(stream);
    }
    m_ctx.log.streamEnded(m_index, stream, s->bytes, true);
    flush();
}

void H2Front::answerFailed(qint32 stream, bool again) {
    const Outermost::Call call(m_outer);
    Stream* s = find(stream);
    if (!s || s->ended)
        return;
    s->link = nullptr;
    // A request that got nothing back goes again once, where repeating it is harmless
    // and its body (none) is still at hand.
    if (again && !s->answered && s->repeatable && !s->bodyFollows && !s->triedAgain) {
        s->triedAgain = true;
        m_waiting.push_back(stream);
        return dispatch();
    }
    if (!s->answered)
        return refuse(stream);
    shortened(stream, *s);
}

void H2Front::bodyTaken(qint32 stream, qsizetype bytes) {
    const Outermost::Call call(m_outer);
    m_session.consumed(stream, bytes);
    flush();
}

void H2Front::refuse(qint32 stream, QByteArray answer) {
    Stream* s = find(stream);
    if (!s || s->answered)
        return;
    s->answered = true;
    s->ended = true;
    s->link = nullptr;
    std::erase(m_waiting, stream);
    // What the browser gets when a request is refused or fails, as over HTTP/1.1.
    if (answer.isEmpty())
        answer = QByteArray(RefusalAnswer) + "\r\n\r\n";
    const qsizetype headEnd = answer.indexOf(BlankLine) + BlankLine.size();
    const QByteArray body = answer.sliced(headEnd);
    const std::optional<HeaderList> fields = listFromAnswerHead(answer.first(headEnd));
    m_ctx.log.streamAnswered(m_index, stream, answer.first(headEnd - BlankLine.size()));
    if (!fields) {
        m_session.reset(stream, H2Session::InternalError);
        return flush();
    }
    m_session.answer(stream, *fields, body.isEmpty());
    if (!body.isEmpty()) {
        m_session.sendData(stream, body);
        m_session.endData(stream);
    }
    flush();
}

void H2Front::shortened(qint32 stream, Stream& s) {
    s.ended = true;
    s.link = nullptr;
    m_ctx.log.streamEnded(m_index, stream, s.bytes, false);
    m_session.reset(stream, H2Session::InternalError);
    flush();
}

} // namespace Tarnwick
