#pragma once

#include "proxy/chunkreader.h"
#include "proxy/h2session.h"
#include "proxy/requestreader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace Tarnwick {

// An intercepted origin that chose HTTP/2 for an HTTP/1.1 relay's requests: each request
// the relay writes, as HTTP/1.1, goes as one stream, and each answer comes back written
// as HTTP/1.1 (with its length, or in chunks), so that the exchanges read it as any
// origin's. One request at a time, as the relay sends them.
class H2Bridge final : private H2Session::Events {
public:
    class Link {
    public:
        // Bytes for the origin's connection.
        virtual void toOrigin(QByteArray bytes) = 0;
        // The answer, as HTTP/1.1 bytes.
        virtual void toRelay(QByteArrayView bytes) = 0;
        // The origin ended the stream short or broke the protocol: the connection is
        // done for.
        virtual void broken() = 0;
        // The request asked for the close ("Connection: close"), and its answer ended.
        virtual void finished() = 0;

    protected:
        ~Link() = default;
    };

    explicit H2Bridge(Link& link);
    ~H2Bridge();
    H2Bridge(const H2Bridge&) = delete;
    H2Bridge& operator=(const H2Bridge&) = delete;

    // The relay's request bytes as written for an HTTP/1.1 origin.
    void send(QByteArrayView bytes);
    // The origin's bytes.
    void arrived(QByteArrayView bytes);
    // Request body bytes waiting in the session for the origin's window.
    qsizetype waiting() const;
    // Says nothing more: the connection is closed under it.
    void detach() { m_detached = true; }

private:
    void headers(qint32 stream, HeaderList fields, bool ended) override;
    void data(qint32 stream, QByteArrayView bytes) override;
    void dataEnded(qint32 stream) override;
    void closed(qint32 stream, quint32 error) override;
    void goaway(quint32 error, qint32 lastStream) override;

    void startStream(const QByteArray& head);
    void flush();
    void fail();

    Link& m_link;
    H2Session m_session;
    RequestReader m_reader;
    std::optional<ChunkReader> m_chunks; // a chunked request body, undone
    qint32 m_stream = -1;
    bool m_closeAfter = false; // the request asked for the close
    bool m_chunkedAnswer = false;
    bool m_headRequest = false; // no answer to it has a body
    bool m_answered = false;
    bool m_detached = false;
};

} // namespace Tarnwick
