#pragma once

#include "proxy/chunkreader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace Tarnwick {

// The browser's side of a connection read as requests: a head whole (its blank line
// within `maxHead` bytes), then its body to the end its framing gives (Content-Length,
// chunked, or the close), and only when asked for the next head. Pure: fed the bytes as
// they come, it hands out what they are; a body is never parsed as a request.
class RequestReader {
public:
    enum class Framing { None, Length, Chunked, UntilClose };
    struct Item {
        enum class Kind { Head, Body, BodyEnd, TooLong } kind;
        QByteArray bytes; // the head with its blank line, or body bytes as they came
    };

    explicit RequestReader(qsizetype maxHead) : m_maxHead(maxHead) {}

    void feed(QByteArrayView bytes);
    // The next thing the bytes complete, if any.
    std::optional<Item> take();

    // The request under way was answered before its body ended: the rest of the body is
    // read and dropped.
    void dropBody() { m_dropping = true; }
    // The answer is done: the next head may be read once the body has ended.
    void nextRequest() { m_nextAllowed = true; }

    Framing framing() const { return m_framing; }
    // The request's body has not ended yet.
    bool inBody() const { return m_state == State::Body; }
    // A body that runs to the close: the connection cannot carry another request.
    bool endless() const { return m_framing == Framing::UntilClose; }
    // Bytes held that no item has handed out yet (the next request waiting).
    qsizetype waiting() const { return m_buffer.size(); }
    // Everything held, as it came (a WebSocket's first frames).
    QByteArray takeRest() { return std::exchange(m_buffer, {}); }

    // A request head's body framing: chunked when the last transfer coding is chunked,
    // until the close for any other transfer coding or a length that cannot be read.
    static Framing framingOf(QByteArrayView head, qint64* length);
    // A head that has a Transfer-Encoding without its Content-Length lines: the coding
    // frames the body, and a server that read the length instead would take the rest
    // of the body for a request.
    static QByteArray framedByCoding(const QByteArray& head);

private:
    enum class State { Head, Body, Done };
    std::optional<Item> takeHead();
    std::optional<Item> takeBody();

    qsizetype m_maxHead;
    QByteArray m_buffer;
    State m_state = State::Head;
    Framing m_framing = Framing::None;
    qint64 m_left = 0;
    ChunkReader m_chunks;
    bool m_dropping = false;
    bool m_nextAllowed = false;
};

} // namespace Tarnwick
