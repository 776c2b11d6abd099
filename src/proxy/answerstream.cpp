#include "proxy/answerstream.h"

#include "proxy/finalanswer.h"

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
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
    return withoutHeaderLines(head, {"connection:"}, "Connection: close\r\n");
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
                // A head is bounded however its bytes came: whole or in pieces.
                if (blank + BlankLine.size() > MaxHead) {
                    m_broken = true;
                    return;
                }
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
        if (blank + BlankLine.size() > MaxHead) {
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

qsizetype AnswerStream::readChunks(QByteArrayView bytes) {
    const qsizetype taken = m_chunks.read(bytes);
    if (m_chunks.malformed()) {
        // Framing that cannot be read: the answer goes on until the server closes.
        m_framing = Framing::UntilClose;
        m_unframed = true;
        return bytes.size();
    }
    m_complete = m_chunks.complete();
    return taken;
}

} // namespace Tarnwick
