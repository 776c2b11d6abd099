#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>
#include <vector>

namespace Tarnwick {

// Undoes an answer body's Content-Encoding as the body streams in, so that the HTML
// rules can read a compressed page: gzip (and x-gzip), deflate (zlib-wrapped, or raw as
// some servers send it), br and zstd, stacked as the header lists them. Whatever the
// ratio, the output comes in pieces of bounded size, and a decoding that gives more
// than MaxRatio times its input and more than MaxOutputFloor bytes is cut off, so an
// answer built to blow up cannot exhaust memory. Once corrupt or cut off, a decoder
// stays so and gives nothing more: the caller ends the answer short and never passes
// the bytes it could not decode.
class ContentDecoder {
public:
    enum class Status { Ok, Corrupt, TooLarge };

    static constexpr qint64 MaxRatio = 100;
    static constexpr qint64 MaxOutputFloor = 64 * 1024 * 1024;
    // More codings stacked than this is read as corrupt data: no server has a reason
    // to, and each one holds a decoder's window.
    static constexpr int MaxCodings = 4;

    // The decoder for a Content-Encoding value ("gzip", "gzip, br": br applied last, so
    // undone first), or null when a listed coding is not one it knows. Names are read
    // without regard to case; "identity" and empty items are skipped, so a value with
    // nothing else gives a decoder that passes the bytes as they are.
    static std::unique_ptr<ContentDecoder> forCodings(QByteArrayView contentEncoding);
    ~ContentDecoder();

    // The next bytes of the encoded body; appends what they decode to.
    Status feed(QByteArrayView in, QByteArray& out);
    // The body has ended: Corrupt when it stopped inside a compressed stream.
    Status finish();

    qint64 taken() const { return m_taken; } // encoded bytes fed
    qint64 given() const { return m_given; } // decoded bytes given

    class Stage; // one coding's decoder

private:
    ContentDecoder() = default;
    Status pump(size_t stage, QByteArrayView in, QByteArray& out);

    std::vector<std::unique_ptr<Stage>> m_stages; // the outermost coding first
    Status m_status = Status::Ok;
    qint64 m_taken = 0;
    qint64 m_given = 0;
};

// The codings an answer's head names: every Content-Encoding line, in order, as one list.
QByteArray answerCodings(QByteArrayView headerBlock);
// Whether a list of codings names one that changes the bytes (not only "identity").
bool namesCoding(QByteArrayView codings);
// The decoder for an answer's codings (its header block read), with the codings as it
// named them (empty when none); nothing when it names none or one this side cannot undo.
std::unique_ptr<ContentDecoder> decoderForAnswer(QByteArrayView headerBlock, QByteArray* coding);
// Why an answer the Script rule must read could not be: its coding is unknown here, or
// the chunks around its compressed bytes cannot be read.
QString undecodableCoding();
QString unreadableChunks();
// Why a decoding failed, as the monitor says it: `status` from feed(), or from finish()
// when `atEnd`.
QString decodingFailure(ContentDecoder::Status status, bool atEnd = false);

// Plain body bytes framed as one chunk of a chunked body; nothing for no bytes, since
// a chunk of size 0 would end the body.
QByteArray chunkOf(QByteArrayView data);
// The last chunk with an empty trailer, which ends a chunked body.
inline constexpr QByteArrayView LastChunk = "0\r\n\r\n";

} // namespace Tarnwick

namespace Tarnwick {

// An answer's head (with its blank line) for the body decoded: its Content-Encoding,
// Content-Length and Transfer-Encoding lines removed, since the decoded length is known
// only at the end, and "Transfer-Encoding: chunked" added when the body goes in chunks
// (otherwise the close ends it).
QByteArray decodedHead(const QByteArray& head, bool chunked);

} // namespace Tarnwick
