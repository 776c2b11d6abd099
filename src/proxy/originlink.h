#pragma once

#include "proxy/answerstream.h"
#include "proxy/chunkreader.h"
#include "proxy/h2session.h"
#include "proxy/outermost.h"
#include "proxy/serverside.h"

#include <map>
#include <memory>
#include <optional>

namespace Tarnwick {

// One connection to an intercepted origin for the streams of a browser's HTTP/2
// connection: HTTP/2 when the origin agrees in ALPN (every stream over it at once),
// else HTTP/1.1, one request at a time, the connection kept between them where the
// answers allow. Streams are named by the browser's stream numbers; what the origin
// answers reaches the owner as an HTTP/1.1 head and the body without its framing, so
// that the rules read it as they read any answer.
class OriginLink final : public ServerSide::Events, public H2Session::Events {
public:
    enum class Protocol { Unknown, H1, H2 };

    class Owner {
    public:
        // The connection is up and its protocol known: streams may start.
        virtual void linkReady(OriginLink& link) = 0;
        // Nothing could be reached, or the origin failed its TLS checks (`check`
        // Passed: unreachable).
        virtual void linkUnreachable(OriginLink& link, TlsCheck check, const QString& why) = 0;
        // An HTTP/1.1 connection finished its stream and is kept for another.
        virtual void linkIdle(OriginLink& link) = 0;
        // The connection closed; its streams were told first.
        virtual void linkClosed(OriginLink& link) = 0;
        // A stream's final answer head (an HTTP/1.1 head with its blank line), its body
        // and its end. `bodyless`: nothing follows the head.
        virtual void answerHead(qint32 stream, const QByteArray& head, bool bodyless) = 0;
        virtual void answerData(qint32 stream, QByteArrayView bytes) = 0;
        virtual void answerEnded(qint32 stream) = 0;
        // The answer failed or ended short; `again`: the origin did nothing with the
        // request, so it may go again.
        virtual void answerFailed(qint32 stream, bool again) = 0;
        // The origin took this many bytes of the stream's request body.
        virtual void bodyTaken(qint32 stream, qsizetype bytes) = 0;

    protected:
        ~Owner() = default;
    };

    OriginLink(RelayContext& context, int index, quint64 serial, int id, Owner& owner);
    ~OriginLink();
    OriginLink(const OriginLink&) = delete;
    OriginLink& operator=(const OriginLink&) = delete;

    void open(const ServerSide::Route& route) { m_side.open(route); }
    ServerSide& side() { return m_side; }
    Protocol protocol() const { return m_protocol; }
    bool closed() const { return m_closed; }
    // The origin said GOAWAY: the streams under way finish, no new one is taken.
    bool goingAway() const { return m_goingAway; }
    // Another stream may start on it now.
    bool takesStream() const;

    // A stream's request, as the rewritten HTTP/1.1 head; `bodyFollows`: its body comes
    // through body() and bodyEnd().
    bool start(qint32 stream, const QByteArray& head, bool bodyFollows, bool headRequest);
    void body(qint32 stream, QByteArrayView bytes);
    void bodyEnd(qint32 stream);
    // The browser took this many bytes of the stream's answer: the origin may send more.
    void taken(qint32 stream, qsizetype bytes);
    // The browser gave the stream up.
    void cancel(qint32 stream);
    void close();

    // ServerSide::Events.
    void serverReady() override;
    void serverUnreachable() override;
    void serverUnverified(TlsCheck check, const QString& reason) override;
    void serverData(QByteArrayView bytes) override;
    void serverSent() override;
    void serverEnded() override;
    void serverFailed(int error) override;

private:
    // H2Session::Events, toward an HTTP/2 origin.
    void headers(qint32 stream, HeaderList fields, bool ended) override;
    void data(qint32 stream, QByteArrayView bytes) override;
    void dataEnded(qint32 stream) override;
    void closed(qint32 stream, quint32 error) override;
    void dataSent(qint32 stream, qsizetype bytes) override;
    void goaway(quint32 error, qint32 lastStream) override;

    // An HTTP/1.1 origin's answer.
    void readAnswer(QByteArrayView bytes);
    void answerEnd(bool framed);
    void lost();
    void flush();
    void takeOutput();
    qint32 browserStream(qint32 originStream) const;
    // The origin's number for a browser's stream (0: none, or the session is gone), and
    // the pair forgotten by the origin's number (the browser's returned; 0: none).
    qint32 originStream(qint32 browserStream) const;
    qint32 forget(qint32 originStream);

    RelayContext& m_ctx;
    const int m_index;
    Owner& m_owner;
    ServerSide m_side;
    Protocol m_protocol = Protocol::Unknown;
    bool m_closed = false;

    // HTTP/2: the session and the streams' numbers on both connections.
    std::unique_ptr<H2Session> m_h2;
    std::map<qint32, qint32> m_toOrigin;  // browser stream → origin stream
    std::map<qint32, qint32> m_toBrowser; // and back
    bool m_goingAway = false;
    Outermost m_outer; // takes the session's output outside nested calls

    // HTTP/1.1: the one stream under way.
    qint32 m_stream = 0;
    std::optional<AnswerStream> m_answer;
    std::optional<ChunkReader> m_chunks;
    bool m_chunkedBody = false; // the request's body goes in chunks
    bool m_bodyEnded = false;
    bool m_used = false;        // the connection carried a stream already
    bool m_reused = false;      // the stream under way came on a kept connection
    qsizetype m_bodyUnsent = 0; // body bytes handed to the connection, not yet gone
    qsizetype m_unread = 0;     // answer bytes given to the owner, not yet taken
};

} // namespace Tarnwick
