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

qsizetype ChunkReader::read(QByteArrayView bytes, QByteArray* data) {
    qsizetype at = 0;
    while (at < bytes.size() && !m_complete && !m_malformed) {
        switch (m_part) {
        case Part::SizeLine:
        case Part::Trailer: {
            const qsizetype newline = bytes.indexOf('\n', at);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            m_line.append(bytes.sliced(at, end - at));
            at = end;
            if (m_line.size() > MaxLine) {
                m_malformed = true;
                break;
            }
            if (newline < 0)
                break;
            const QByteArray line = std::exchange(m_line, {});
            if (m_part == Part::Trailer) {
                // The empty line after the last chunk and its trailer ends the body.
                if (line == "\r\n" || line == "\n")
                    m_complete = true;
                break;
            }
            const std::optional<qint64> size = chunkSize(line);
            if (!size) {
                m_malformed = true;
                break;
            }
            m_left = *size;
            m_part = *size == 0 ? Part::Trailer : Part::Data;
            break;
        }
        case Part::Data: {
            const qsizetype step = qsizetype(std::min<qint64>(m_left, bytes.size() - at));
            if (data)
                data->append(bytes.sliced(at, step));
            at += step;
            m_left -= step;
            if (m_left == 0) {
                m_part = Part::DataEnd;
                m_line.clear();
            }
            break;
        }
        case Part::DataEnd: {
            // The CR LF after a chunk's data.
            const qsizetype newline = bytes.indexOf('\n', at);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            m_line.append(bytes.sliced(at, end - at));
            at = end;
            if (m_line.size() > 2) {
                m_malformed = true;
                break;
            }
            if (newline >= 0) {
                m_line.clear();
                m_part = Part::SizeLine;
            }
            break;
        }
        }
    }
    return at;
}

} // namespace Tarnwick
