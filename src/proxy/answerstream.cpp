#include "proxy/answerstream.h"

#include "proxy/finalanswer.h"

#include <limits>

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
// A chunk-size or trailer line longer than this is not read as framing.
constexpr qsizetype MaxLine = 4096;

std::optional<qint64> chunkSize(QByteArrayView line) {
    qint64 size = 0;
    qsizetype digits = 0;
    for (char c : line) {
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            break;
        if (size > (std::numeric_limits<qint64>::max() >> 4))
            return std::nullopt;
        size = size * 16 + value;
        ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    return size;
}
} // namespace

bool asksForWebSocket(QByteArrayView head) {
    const std::optional<QByteArray> upgrade = framingHeader(head, "upgrade:");
    const std::optional<QByteArray> connection = framingHeader(head, "connection:");
    return upgrade && connection && upgrade->toLower().contains("websocket") &&
           connection->toLower().contains("upgrade");
}

bool browserKeepsConnection(QByteArrayView head) {
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QByteArrayView line = lineEnd < 0 ? head : head.first(lineEnd);
    const std::optional<QByteArray> connection = framingHeader(head, "connection:");
    const bool close = connection && connection->toLower().contains("close");
    if (line.endsWith("HTTP/1.1"))
        return !close;
    return connection && connection->toLower().contains("keep-alive");
}

QByteArray withConnectionClose(const QByteArray& head) {
    QByteArray out;
    out.reserve(head.size() + 20);
    qsizetype at = 0;
    while (at < head.size()) {
        qsizetype end = head.indexOf("\r\n", at);
        end = end < 0 ? head.size() : end + 2;
        const QByteArrayView line = QByteArrayView(head).sliced(at, end - at);
        if (line == "\r\n") {
            out += "Connection: close\r\n";
            out += head.mid(at);
            return out;
        }
        const bool connection =
            at > 0 && line.size() >= 11 &&
            line.first(11).compare("connection:", Qt::CaseInsensitive) == 0;
        if (!connection)
            out += line;
        at = end;
    }
    return out;
}

std::optional<qint64> AnswerStream::announced() const {
    if (m_framing != Framing::Length)
        return std::nullopt;
    return m_headSize +
           contentLengthValue(*framingHeader(m_head.headerBlock, "content-length:")).value_or(0);
}

void AnswerStream::feed(QByteArrayView bytes) {
    if (m_broken || bytes.isEmpty())
        return;
    if (m_framing != Framing::Unknown)
        return takeBody(bytes);
    m_buffer.append(bytes);
    takeHeads();
}

void AnswerStream::takeHeads() {
    while (m_framing == Framing::Unknown) {
        // Interim heads leave as soon as each is whole.
        const qsizetype interim = finalAnswerStart(m_buffer);
        if (interim > 0 && interim <= m_buffer.size()) {
            const qsizetype blank = m_buffer.indexOf(BlankLine);
            if (blank >= 0 && blank + BlankLine.size() <= interim) {
                m_pieces.push_back({Piece::Kind::Interim, m_buffer.left(blank + BlankLine.size())});
                m_buffer.remove(0, blank + BlankLine.size());
                continue;
            }
        }
        const qsizetype blank = m_buffer.indexOf(BlankLine);
        if (blank < 0) {
            if (m_buffer.size() > MaxHead)
                m_broken = true;
            return;
        }
        m_headSize = blank + BlankLine.size();
        m_head = readAnswerHead(m_buffer.left(blank));
        const QByteArray rest = m_buffer.mid(m_headSize);
        m_pieces.push_back({Piece::Kind::Head, m_buffer.left(m_headSize)});
        m_buffer.clear();
        m_received = m_headSize;
        if (m_headRequest || statusHasNoBody(m_head.statusCode)) {
            m_framing = Framing::Empty;
        } else if (isChunked(m_head.headerBlock)) {
            m_framing = Framing::Chunked;
        } else if (const auto length = framingHeader(m_head.headerBlock, "content-length:")) {
            const std::optional<qint64> value = contentLengthValue(*length);
            if (!value) {
                m_framing = Framing::UntilClose;
            } else {
                m_framing = Framing::Length;
                m_bodyLeft = *value;
            }
        } else {
            m_framing = Framing::UntilClose;
        }
        m_complete =
            m_framing == Framing::Empty || (m_framing == Framing::Length && m_bodyLeft == 0);
        takeBody(rest);
    }
}

void AnswerStream::takeBody(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return;
    qsizetype taken = bytes.size();
    if (m_complete)
        taken = 0;
    else if (m_framing == Framing::Length)
        taken = qsizetype(std::min<qint64>(taken, m_bodyLeft));
    else if (m_framing == Framing::Chunked)
        taken = readChunks(bytes);
    if (taken > 0) {
        m_pieces.push_back({Piece::Kind::Body, bytes.first(taken).toByteArray()});
        m_received += taken;
    }
    if (m_framing == Framing::Length) {
        m_bodyLeft -= taken;
        m_complete = m_bodyLeft == 0;
    }
    m_excess += bytes.size() - taken;
    if (taken < bytes.size())
        m_extra.append(bytes.sliced(taken));
}

qsizetype AnswerStream::unframed(QByteArrayView bytes) {
    // Framing that cannot be read: the answer goes on until the server closes.
    m_framing = Framing::UntilClose;
    return bytes.size();
}

qsizetype AnswerStream::readChunks(QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size() && !m_complete) {
        switch (m_chunk) {
        case Chunk::SizeLine:
        case Chunk::Trailer: {
            const qsizetype newline = bytes.indexOf('\n', at);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            m_line.append(bytes.sliced(at, end - at));
            at = end;
            if (m_line.size() > MaxLine)
                return unframed(bytes);
            if (newline < 0)
                break;
            const QByteArray line = std::exchange(m_line, {});
            if (m_chunk == Chunk::Trailer) {
                // The empty line after the last chunk and its trailer ends the answer.
                if (line == "\r\n" || line == "\n")
                    m_complete = true;
                break;
            }
            const std::optional<qint64> size = chunkSize(line);
            if (!size)
                return unframed(bytes);
            m_chunkLeft = *size;
            m_chunk = *size == 0 ? Chunk::Trailer : Chunk::Data;
            break;
        }
        case Chunk::Data: {
            const qsizetype step = qsizetype(std::min<qint64>(m_chunkLeft, bytes.size() - at));
            at += step;
            m_chunkLeft -= step;
            if (m_chunkLeft == 0) {
                m_chunk = Chunk::DataEnd;
                m_line.clear();
            }
            break;
        }
        case Chunk::DataEnd: {
            // The CR LF after a chunk's data.
            const qsizetype newline = bytes.indexOf('\n', at);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            m_line.append(bytes.sliced(at, end - at));
            at = end;
            if (m_line.size() > 2)
                return unframed(bytes);
            if (newline >= 0) {
                m_line.clear();
                m_chunk = Chunk::SizeLine;
            }
            break;
        }
        }
    }
    return at;
}

} // namespace Tarnwick
