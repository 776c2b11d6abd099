#include "proxy/requestreader.h"

#include "proxy/answerhead.h"

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
} // namespace

RequestReader::Framing RequestReader::framingOf(QByteArrayView head, qint64* length) {
    *length = 0;
    if (const std::optional<QByteArray> coding = framingHeader(head, "transfer-encoding:")) {
        const QByteArray codings = coding->trimmed().toLower();
        const qsizetype comma = codings.lastIndexOf(',');
        return codings.mid(comma + 1).trimmed() == "chunked" ? Framing::Chunked
                                                             : Framing::UntilClose;
    }
    const std::optional<QByteArray> text = framingHeader(head, "content-length:");
    if (!text)
        return Framing::None;
    bool ok = false;
    const qint64 value = text->trimmed().toLongLong(&ok);
    if (!ok || value < 0)
        return Framing::UntilClose;
    *length = value;
    return value == 0 ? Framing::None : Framing::Length;
}

QByteArray RequestReader::framedByCoding(const QByteArray& head) {
    if (!framingHeader(head, "transfer-encoding:"))
        return head;
    return withoutHeaderLines(head, {"content-length:"});
}

void RequestReader::feed(QByteArrayView bytes) {
    m_buffer.append(bytes);
}

std::optional<RequestReader::Item> RequestReader::take() {
    switch (m_state) {
    case State::Head:
        return takeHead();
    case State::Body:
        return takeBody();
    case State::Done:
        if (!m_nextAllowed)
            return std::nullopt;
        m_state = State::Head;
        m_nextAllowed = false;
        m_dropping = false;
        return takeHead();
    }
    return std::nullopt;
}

std::optional<RequestReader::Item> RequestReader::takeHead() {
    // Empty lines between requests are not requests.
    qsizetype skip = 0;
    while (m_buffer.size() >= skip + 2 && m_buffer[skip] == '\r' && m_buffer[skip + 1] == '\n')
        skip += 2;
    m_buffer.remove(0, skip);
    const qsizetype blank = m_buffer.indexOf(BlankLine);
    if (blank < 0) {
        if (m_buffer.size() > m_maxHead)
            return Item{Item::Kind::TooLong, {}};
        return std::nullopt;
    }
    const qsizetype size = blank + BlankLine.size();
    Item head{Item::Kind::Head, m_buffer.left(size)};
    m_buffer.remove(0, size);
    m_framing = framingOf(QByteArrayView(head.bytes).first(blank + 2), &m_left);
    m_chunks = ChunkReader();
    m_state = State::Body;
    return head;
}

std::optional<RequestReader::Item> RequestReader::takeBody() {
    if (m_framing == Framing::None) {
        m_state = State::Done;
        return Item{Item::Kind::BodyEnd, {}};
    }
    while (!m_buffer.isEmpty()) {
        qsizetype taken = m_buffer.size();
        if (m_framing == Framing::Length)
            taken = qsizetype(std::min<qint64>(m_left, taken));
        else if (m_framing == Framing::Chunked)
            taken = m_chunks.read(m_buffer);
        // Chunks that cannot be read leave the body's end to the close.
        if (m_chunks.malformed()) {
            m_framing = Framing::UntilClose;
            taken = m_buffer.size();
        }
        // Most pieces are the whole of what came: handed over without a copy.
        QByteArray piece;
        if (taken == m_buffer.size()) {
            piece = std::exchange(m_buffer, {});
        } else {
            piece = m_buffer.left(taken);
            m_buffer.remove(0, taken);
        }
        if (m_framing == Framing::Length)
            m_left -= taken;
        const bool ended = (m_framing == Framing::Length && m_left == 0) ||
                           (m_framing == Framing::Chunked && m_chunks.complete());
        if (ended)
            m_framing = Framing::None; // the end is handed out next
        if (!m_dropping && !piece.isEmpty())
            return Item{Item::Kind::Body, std::move(piece)};
        if (ended)
            return takeBody();
    }
    return std::nullopt;
}

} // namespace Tarnwick
