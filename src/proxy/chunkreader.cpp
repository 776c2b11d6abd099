#include "proxy/chunkreader.h"

#include <limits>
#include <optional>

namespace Tarnwick {

namespace {
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

qsizetype ChunkReader::line(QByteArrayView bytes, qsizetype at) {
    const qsizetype newline = bytes.indexOf('\n', at);
    const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
    m_line.append(bytes.sliced(at, end - at));
    m_lineDone = newline >= 0;
    return end;
}

void ChunkReader::lineRead() {
    const QByteArray text = std::exchange(m_line, {});
    switch (m_part) {
    case Part::Trailer:
        // The empty line after the last chunk and its trailer ends the body.
        m_complete = text == "\r\n" || text == "\n";
        return;
    case Part::SizeLine: {
        const std::optional<qint64> size = chunkSize(text);
        if (!size) {
            m_malformed = true;
            return;
        }
        m_left = *size;
        m_part = *size == 0 ? Part::Trailer : Part::Data;
        return;
    }
    case Part::DataEnd:
        // Only CR LF ends a chunk's data (a bare LF too, as for the other lines).
        m_malformed = text != "\r\n" && text != "\n";
        m_part = Part::SizeLine;
        return;
    case Part::Data:
        return;
    }
}

qsizetype ChunkReader::read(QByteArrayView bytes, QByteArray* data) {
    qsizetype at = 0;
    while (at < bytes.size() && !m_complete && !m_malformed) {
        if (m_part == Part::Data) {
            const qsizetype step = qsizetype(std::min<qint64>(m_left, bytes.size() - at));
            if (data)
                data->append(bytes.sliced(at, step));
            at += step;
            m_left -= step;
            if (m_left == 0)
                m_part = Part::DataEnd;
            continue;
        }
        at = line(bytes, at);
        // A size or trailer line is bounded; after a chunk's data only its CR LF.
        if (m_line.size() > (m_part == Part::DataEnd ? 2 : MaxLine))
            m_malformed = true;
        else if (m_lineDone)
            lineRead();
    }
    return at;
}

} // namespace Tarnwick
