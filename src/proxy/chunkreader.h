#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Tarnwick {

// Follows the chunked framing of a body as its bytes pass, without changing them: where
// the body ends (after the last chunk and its trailer), or that the framing cannot be
// read. Used for answers and for request bodies alike.
class ChunkReader {
public:
    // A chunk-size or trailer line longer than this is not read as framing, so that what
    // is held stays bounded.
    static constexpr qsizetype MaxLine = 4096;

    // How many of `bytes` belong to the body: all but what follows its end. Nothing more
    // is taken once complete() or malformed(). The chunks' data, without their framing,
    // is appended to `data` when given.
    qsizetype read(QByteArrayView bytes, QByteArray* data = nullptr);
    bool complete() const { return m_complete; }
    bool malformed() const { return m_malformed; }

private:
    enum class Part { SizeLine, Data, DataEnd, Trailer };
    // Takes bytes of a line from `at`; returns where it stopped.
    qsizetype line(QByteArrayView bytes, qsizetype at);
    void lineRead();
    Part m_part = Part::SizeLine;
    QByteArray m_line; // the size or trailer line so far
    bool m_lineDone = false;
    qint64 m_left = 0;
    bool m_complete = false;
    bool m_malformed = false;
};

} // namespace Tarnwick
