#include "proxy/originlink.h"

#include "proxy/contentdecoder.h"
#include "proxy/exchange.h"
#include "proxy/relay.h"
#include "proxy/relaylog.h"

#include <limits>

namespace Tarnwick {

OriginLink::OriginLink(RelayContext& context, int index, quint64 serial, int id, Owner& owner)
    : m_ctx(context), m_index(index), m_owner(owner), m_side(context, index, serial, *this, id),
      m_outer([this] { takeOutput(); }) {}

OriginLink::~OriginLink() = default;

bool OriginLink::takesStream() const {
    if (m_closed || m_protocol == Protocol::Unknown)
        return false;
    if (m_protocol == Protocol::H2)
        return m_h2 && !m_goingAway;
    return m_stream == 0;
}

bool OriginLink::start(qint32 stream, const QByteArray& head, bool bodyFollows, bool headRequest) {
    const Outermost::Call call(m_outer);
    if (!takesStream())
        return false;
    if (m_protocol == Protocol::H2) {
        const std::optional<HeaderList> fields = listFromRequestHead(head);
        const qint32 origin = fields ? m_h2->request(*fields, !bodyFollows) : -1;
        if (origin < 0)
            return false;
        m_toOrigin[stream] = origin;
        m_toBrowser[origin] = stream;
        m_ctx.log.streamSent(m_index, origin, head.chopped(2));
        flush();
        return true;
    }
    m_stream = stream;
    m_answer.emplace(headRequest);
    m_chunks.reset();
    m_chunkedBody = bodyFollows && isChunked(head.chopped(2));
    m_bodyEnded = !bodyFollows;
    m_reused = m_used;
    m_used = true;
    m_bodyUnsent = 0;
    m_unread = 0;
    m_ctx.log.streamSent(m_index, 0, head);
    m_side.link().send(head);
    return true;
}

void OriginLink::body(qint32 stream, QByteArrayView bytes) {
    const Outermost::Call call(m_outer);
    if (bytes.isEmpty())
        return;
    if (m_protocol == Protocol::H2) {
        if (const qint32 origin = originStream(stream)) {
            m_h2->sendData(origin, bytes);
            flush();
        }
        return;
    }
    if (stream != m_stream)
        return;
    m_bodyUnsent += bytes.size();
    if (!m_side.link().send(m_chunkedBody ? chunkOf(bytes) : bytes.toByteArray()))
        serverSent();
}

void OriginLink::bodyEnd(qint32 stream) {
    const Outermost::Call call(m_outer);
    if (m_protocol == Protocol::H2) {
        if (const qint32 origin = originStream(stream)) {
            m_h2->endData(origin);
            flush();
        }
        return;
    }
    if (stream != m_stream)
        return;
    m_bodyEnded = true;
    if (m_chunkedBody)
        m_side.link().send(LastChunk.toByteArray());
}

void OriginLink::taken(qint32 stream, qsizetype bytes) {
    const Outermost::Call call(m_outer);
    if (m_protocol == Protocol::H2) {
        if (const qint32 origin = originStream(stream)) {
            m_h2->consumed(origin, bytes);
            flush();
        }
        return;
    }
    if (stream != m_stream)
        return;
    // The origin's answer waits while the browser's stream holds a window's worth.
    m_unread = std::max<qsizetype>(0, m_unread - bytes);
    if (m_unread < H2Session::InitialStreamWindow)
        m_side.link().resumeReading(Connection::Hold::PeerBehind);
}

void OriginLink::cancel(qint32 stream) {
    const Outermost::Call call(m_outer);
    if (m_protocol == Protocol::H2) {
        if (const qint32 origin = originStream(stream)) {
            forget(origin);
            m_h2->reset(origin, H2Session::Cancel);
            flush();
        }
        return;
    }
    // An HTTP/1.1 request cannot be taken back: its connection goes with it.
    if (stream == m_stream) {
        m_stream = 0;
        close();
    }
}

void OriginLink::close() {
    if (m_closed)
        return;
    m_closed = true;
    m_side.close();
    m_h2.reset();
    m_owner.linkClosed(*this);
}

// ---- the connection -------------------------------------------------------------------

void OriginLink::serverReady() {
    const Outermost::Call call(m_outer);
    m_ctx.log.serverConnected(m_index);
    if (m_side.link().alpn() == "h2") {
        m_protocol = Protocol::H2;
        m_h2 = std::make_unique<H2Session>(H2Session::Side::Client, *this);
        flush();
    } else {
        m_protocol = Protocol::H1;
    }
    m_owner.linkReady(*this);
}

void OriginLink::serverUnreachable() {
    m_closed = true;
    m_owner.linkUnreachable(*this, TlsCheck::Passed, {});
}

void OriginLink::serverUnverified(TlsCheck check, const QString& reason) {
    m_closed = true;
    m_owner.linkUnreachable(*this, check, reason);
}

void OriginLink::serverData(QByteArrayView bytes) {
    const Outermost::Call call(m_outer);
    m_ctx.log.serverDataStatus(m_index);
    if (m_protocol == Protocol::H1)
        return readAnswer(bytes);
    if (!m_h2)
        return;
    if (!m_h2->feed(bytes)) {
        flush();
        return lost();
    }
    flush();
}

void OriginLink::serverSent() {
    const Outermost::Call call(m_outer);
    m_ctx.log.serverSent(m_index);
    if (m_protocol == Protocol::H1 && m_stream != 0 && m_bodyUnsent > 0)
        m_owner.bodyTaken(m_stream, std::exchange(m_bodyUnsent, 0));
}

void OriginLink::serverEnded() {
    const Outermost::Call call(m_outer);
    m_ctx.log.serverClosed(m_index);
    // An answer that runs to the close ends here.
    if (m_protocol == Protocol::H1 && m_stream != 0 && m_answer &&
        m_answer->framing() == AnswerStream::Framing::UntilClose)
        return answerEnd(false);
    lost();
}

void OriginLink::serverFailed(int) {
    const Outermost::Call call(m_outer);
    lost();
}

void OriginLink::lost() {
    // Every stream under way learns that its answer will not come whole. A request
    // on a kept connection that got nothing back may go again, as browsers do — never
    // on this connection, closed first.
    if (m_closed)
        return;
    m_closed = true;
    m_side.close();
    if (m_protocol == Protocol::H1 && m_stream != 0) {
        const bool again = m_reused && m_answer && m_answer->received() == 0;
        const qint32 stream = std::exchange(m_stream, 0);
        m_owner.answerFailed(stream, again);
    }
    const std::map<qint32, qint32> streams = std::exchange(m_toBrowser, {});
    m_toOrigin.clear();
    for (const auto& [origin, stream] : streams)
        m_owner.answerFailed(stream, false);
    m_h2.reset();
    m_owner.linkClosed(*this);
}

void OriginLink::flush() {
    // As in the front: the session's events are raised only at the outermost call.
    m_outer.want();
}

void OriginLink::takeOutput() {
    if (!m_h2 || m_closed)
        return;
    QByteArray out = m_h2->takeOutput();
    if (!m_h2)
        return;
    if (!out.isEmpty())
        m_side.link().send(std::move(out));
    // A session that has nothing left to do, or an origin going away whose streams
    // have all ended, ends the connection.
    if (m_toOrigin.empty() && (m_goingAway || (!m_h2->wantsInput() && !m_h2->wantsOutput())))
        close();
}

// ---- an HTTP/1.1 origin ------------------------------------------------------------------

void OriginLink::readAnswer(QByteArrayView bytes) {
    if (m_stream == 0 || !m_answer) {
        // Nothing was asked: a kept connection that speaks is not kept.
        return close();
    }
    const qint32 stream = m_stream;
    m_answer->feed(bytes);
    std::deque<AnswerStream::Piece>& pieces = m_answer->pieces();
    while (!pieces.empty() && m_stream == stream) {
        AnswerStream::Piece piece = std::move(pieces.front());
        pieces.pop_front();
        switch (piece.kind) {
        case AnswerStream::Piece::Kind::Interim:
            // The browser's stream gets the final answer only.
            break;
        case AnswerStream::Piece::Kind::Head:
            if (m_answer->framing() == AnswerStream::Framing::Chunked)
                m_chunks.emplace();
            m_owner.answerHead(stream, piece.bytes,
                               m_answer->framing() == AnswerStream::Framing::Empty);
            break;
        case AnswerStream::Piece::Kind::Body: {
            QByteArray data;
            if (m_chunks)
                m_chunks->read(piece.bytes, &data);
            else
                data = std::move(piece.bytes);
            if (data.isEmpty())
                break;
            m_unread += data.size();
            if (m_unread >= H2Session::InitialStreamWindow)
                m_side.link().pauseReading(Connection::Hold::PeerBehind);
            m_owner.answerData(stream, data);
            break;
        }
        }
    }
    if (m_stream != stream || !m_answer)
        return;
    if (m_answer->broken() || (m_chunks && m_chunks->malformed())) {
        m_stream = 0;
        m_owner.answerFailed(stream, false);
        return close();
    }
    if (m_answer->complete())
        answerEnd(true);
}

void OriginLink::answerEnd(bool framed) {
    const qint32 stream = std::exchange(m_stream, 0);
    // The connection carries another request only where both the answer and the
    // request ended where their framing says, and nothing came after the answer.
    const bool kept = framed && m_answer->excess() == 0 && m_bodyEnded &&
                      serverKeepsConnection(m_answer->head().headerBlock, framed);
    m_side.link().resumeReading(Connection::Hold::PeerBehind);
    m_owner.answerEnded(stream);
    if (m_closed)
        return;
    if (kept)
        m_owner.linkIdle(*this);
    else
        close();
}

// ---- an HTTP/2 origin ----------------------------------------------------------------------

qint32 OriginLink::browserStream(qint32 originStream) const {
    const auto it = m_toBrowser.find(originStream);
    return it == m_toBrowser.end() ? 0 : it->second;
}

qint32 OriginLink::originStream(qint32 browserStream) const {
    const auto it = m_toOrigin.find(browserStream);
    return it == m_toOrigin.end() || !m_h2 ? 0 : it->second;
}

qint32 OriginLink::forget(qint32 originStream) {
    // Nobody gives back later what the browser's stream still holds of a stream forgotten
    // here (at most a stream's window): the connection's window gets it back now, or a
    // slow reader would use it up answer by answer.
    if (m_h2)
        m_h2->consumed(originStream, std::numeric_limits<qsizetype>::max());
    const qint32 stream = browserStream(originStream);
    m_toBrowser.erase(originStream);
    m_toOrigin.erase(stream);
    return stream;
}

void OriginLink::headers(qint32 originStream, HeaderList fields, bool ended) {
    const qint32 stream = browserStream(originStream);
    if (stream == 0)
        return;
    const bool answer = !fields.empty() && fields.front().name == ":status";
    // Interim answers stay here; trailers end the body they follow.
    if (answer && !fields.front().value.startsWith('1')) {
        const std::optional<QByteArray> head = answerHeadFromList(fields, !ended);
        if (!head) {
            cancel(stream);
            return m_owner.answerFailed(stream, false);
        }
        m_owner.answerHead(stream, *head, ended);
    }
    if (ended && browserStream(originStream) == stream)
        dataEnded(originStream);
}

void OriginLink::data(qint32 originStream, QByteArrayView bytes) {
    if (const qint32 stream = browserStream(originStream))
        m_owner.answerData(stream, bytes);
    else if (m_h2)
        m_h2->consumed(originStream, bytes.size());
}

void OriginLink::dataEnded(qint32 originStream) {
    if (const qint32 stream = forget(originStream))
        m_owner.answerEnded(stream);
}

void OriginLink::closed(qint32 originStream, quint32 error) {
    // A stream the origin refused before doing anything with it may go again.
    if (const qint32 stream = forget(originStream))
        m_owner.answerFailed(stream, error == H2Session::RefusedStream);
}

void OriginLink::dataSent(qint32 originStream, qsizetype bytes) {
    if (const qint32 stream = browserStream(originStream))
        m_owner.bodyTaken(stream, bytes);
}

void OriginLink::goaway(quint32, qint32 lastStream) {
    m_goingAway = true;
    // Streams past the last one the origin processed were never seen by it.
    std::vector<qint32> unseen;
    for (const auto& [origin, stream] : m_toBrowser)
        if (origin > lastStream)
            unseen.push_back(origin);
    for (const qint32 origin : unseen)
        m_owner.answerFailed(forget(origin), true);
    if (!m_closed)
        flush();
}

} // namespace Tarnwick
