#pragma once

#include "proxy/answerhead.h"
#include "proxy/chunkreader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <deque>
#include <optional>

namespace Tarnwick {

// A server's answer read as it arrives, for answers that are passed on while they
// come: interim heads (1xx but 101), the final head (up to 64 KiB), then the body up to
// the end its framing gives — Content-Length, chunked, no body at all (a HEAD request,
// 1xx, 204, 304), or the server's close when it has none of these. Pure: fed bytes, it
// says what they are; whatever follows a framed end is not part of the answer.
class AnswerStream {
public:
    enum class Framing { Unknown, Empty, Length, Chunked, UntilClose };
    struct Piece {
        enum class Kind { Interim, Head, Body } kind;
        QByteArray bytes;
    };

    static constexpr qsizetype MaxHead = 64 * 1024;

    explicit AnswerStream(bool headRequest) : m_headRequest(headRequest) {}

    // Takes the next bytes; what they complete waits in pieces().
    void feed(QByteArrayView bytes);
    std::deque<Piece>& pieces() { return m_pieces; }

    bool headDone() const { return m_framing != Framing::Unknown; }
    const AnswerHead& head() const { return m_head; }
    Framing framing() const { return m_framing; }
    // The framing says the answer is complete.
    bool complete() const { return m_complete; }
    // A head longer than MaxHead. (Chunk framing that cannot be read makes the rest of
    // the answer run to the server's close.)
    bool broken() const { return m_broken; }
    // Chunks began but their framing could not be read: the rest ran to the close, and
    // nothing tells where this answer ended.
    bool unframed() const { return m_unframed; }
    // Bytes of the final answer taken so far (head and body), and what the head
    // announces when it gives a length.
    qint64 received() const { return m_received; }
    std::optional<qint64> announced() const;
    // Bytes that came after the framed end (a WebSocket's first frames after its 101).
    qint64 excess() const { return m_excess; }
    QByteArray takeExcess() { return std::exchange(m_extra, {}); }

private:
    void takeHeads();
    void takeBody(QByteArrayView bytes);
    // Advances the chunk reader over `bytes` and returns how many of them belong to the
    // answer (all but what follows its last chunk's trailer).
    qsizetype readChunks(QByteArrayView bytes);

    const bool m_headRequest;
    QByteArray m_buffer; // head bytes not yet complete
    std::deque<Piece> m_pieces;
    AnswerHead m_head;
    qsizetype m_headSize = 0;
    Framing m_framing = Framing::Unknown;
    qint64 m_bodyLeft = 0; // Length: bytes still to come
    bool m_complete = false;
    bool m_broken = false;
    qint64 m_received = 0;
    qint64 m_excess = 0;
    QByteArray m_extra;

    ChunkReader m_chunks;
    bool m_unframed = false;
};

// Whether a request head asks for a WebSocket: "Upgrade: websocket" with "upgrade"
// among its Connection options (names and values in any case).
bool asksForWebSocket(QByteArrayView requestHead);

// Whether the browser lets its connection carry another request after this one:
// HTTP/1.1 unless it says "close", HTTP/1.0 only when it says "keep-alive".
bool browserKeepsConnection(QByteArrayView requestHead);

// An answer's head with every Connection line replaced by "Connection: close", so that
// the browser learns that this answer ends the connection.
QByteArray withConnectionClose(const QByteArray& head);

} // namespace Tarnwick
