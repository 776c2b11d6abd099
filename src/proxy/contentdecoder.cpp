#include "proxy/contentdecoder.h"

#include "proxy/answerhead.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <array>
#include <functional>
#include <utility>

namespace Tarnwick {

using Status = ContentDecoder::Status;

// Hands decoded bytes on to the next coding or to the caller; anything but Ok stops
// the decoding at once.
using Give = std::function<Status(QByteArrayView)>;

class ContentDecoder::Stage {
public:
    virtual ~Stage() = default;
    // Decodes all of `in`, handing the output to `give` in pieces of at most PieceSize.
    virtual Status decode(QByteArrayView in, const Give& give) = 0;
    // The bytes so far end where a compressed stream may end (or there were none).
    virtual bool complete() const = 0;

protected:
    // The output of one decoding step: what is held per coding, whatever the ratio.
    static constexpr qsizetype PieceSize = 32 * 1024;
    std::array<char, PieceSize> m_piece;
};

namespace {

// gzip and deflate. zlib reads a gzip or a zlib wrapper, whichever the bytes carry.
// After the first stream more may follow (gzip members written one after another);
// bytes after a complete stream that do not decode to anything are ignored, as gzip
// does with trailing garbage. For deflate, a stream that fails before its first
// output byte is read again as raw deflate, which some servers send under that name.
class ZlibStage final : public ContentDecoder::Stage {
public:
    explicit ZlibStage(bool rawFallback) : m_canFallBack(rawFallback) {
        inflateInit2(&m_z, MAX_WBITS + 32);
    }
    ~ZlibStage() override { inflateEnd(&m_z); }

    Status decode(QByteArrayView in, const Give& give) override {
        if (in.isEmpty() || m_ignoring)
            return Status::Ok;
        m_any = true;
        if (m_canFallBack) {
            m_start.append(in);
            if (m_start.size() > MaxReplay) {
                m_canFallBack = false;
                m_start.clear();
            }
        }
        m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        m_z.avail_in = uInt(in.size());
        for (;;) {
            if (m_ended) {
                if (m_z.avail_in == 0)
                    return Status::Ok;
                inflateReset(&m_z);
                m_ended = false;
                m_later = true;
                m_output = false;
            }
            m_z.next_out = reinterpret_cast<Bytef*>(m_piece.data());
            m_z.avail_out = uInt(PieceSize);
            const int rc = inflate(&m_z, Z_NO_FLUSH);
            const qsizetype produced = PieceSize - qsizetype(m_z.avail_out);
            if (produced > 0) {
                m_output = true;
                m_canFallBack = false;
                m_start.clear();
                const Status s = give(QByteArrayView(m_piece.data(), produced));
                if (s != Status::Ok)
                    return s;
            }
            if (rc == Z_STREAM_END) {
                m_ended = true;
                continue;
            }
            if (rc == Z_OK || rc == Z_BUF_ERROR) {
                // Z_BUF_ERROR: no progress without more input, which is not an error.
                if (m_z.avail_in == 0 && m_z.avail_out > 0)
                    return Status::Ok;
                continue;
            }
            return failed(give);
        }
    }

    bool complete() const override { return !m_any || m_ended || m_ignoring || unproductive(); }

private:
    // Bytes kept for reading the start again as raw deflate.
    static constexpr qsizetype MaxReplay = 64 * 1024;

    // A stream after the first that has given nothing yet.
    bool unproductive() const { return m_later && !m_output; }

    Status failed(const Give& give) {
        if (unproductive()) {
            m_ignoring = true;
            return Status::Ok;
        }
        if (!m_canFallBack)
            return Status::Corrupt;
        m_canFallBack = false;
        inflateEnd(&m_z);
        m_z = z_stream{};
        inflateInit2(&m_z, -MAX_WBITS);
        const QByteArray again = std::exchange(m_start, {});
        return decode(again, give);
    }

    z_stream m_z{};
    bool m_canFallBack;
    QByteArray m_start;
    bool m_any = false;
    bool m_ended = false;    // the current stream is complete
    bool m_later = false;    // the current stream is not the first
    bool m_output = false;   // the current stream has given bytes
    bool m_ignoring = false; // the rest is trailing garbage
};

// br. Bytes after the end of the stream are corrupt data.
class BrotliStage final : public ContentDecoder::Stage {
public:
    BrotliStage() : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
    ~BrotliStage() override { BrotliDecoderDestroyInstance(m_state); }

    Status decode(QByteArrayView in, const Give& give) override {
        if (in.isEmpty())
            return Status::Ok;
        m_any = true;
        if (m_ended || m_state == nullptr)
            return Status::Corrupt;
        size_t availIn = size_t(in.size());
        auto nextIn = reinterpret_cast<const uint8_t*>(in.data());
        for (;;) {
            size_t availOut = size_t(PieceSize);
            auto nextOut = reinterpret_cast<uint8_t*>(m_piece.data());
            const BrotliDecoderResult rc = BrotliDecoderDecompressStream(
                m_state, &availIn, &nextIn, &availOut, &nextOut, nullptr);
            const qsizetype produced = PieceSize - qsizetype(availOut);
            if (produced > 0) {
                const Status s = give(QByteArrayView(m_piece.data(), produced));
                if (s != Status::Ok)
                    return s;
            }
            switch (rc) {
            case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
                continue;
            case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
                return Status::Ok;
            case BROTLI_DECODER_RESULT_SUCCESS:
                m_ended = true;
                return availIn == 0 ? Status::Ok : Status::Corrupt;
            case BROTLI_DECODER_RESULT_ERROR:
                break;
            }
            return Status::Corrupt;
        }
    }

    bool complete() const override { return !m_any || m_ended; }

private:
    BrotliDecoderState* m_state;
    bool m_any = false;
    bool m_ended = false;
};

// zstd, one frame or several in a row.
class ZstdStage final : public ContentDecoder::Stage {
public:
    ZstdStage() : m_ctx(ZSTD_createDCtx()) {
        // Senders of zstd over HTTP keep the window within 8 MiB, and the browsers
        // refuse frames that ask for more; zstd's own limit (128 MiB) would let one
        // answer make the proxy allocate that much.
        if (m_ctx != nullptr)
            ZSTD_DCtx_setParameter(m_ctx, ZSTD_d_windowLogMax, 23);
    }
    ~ZstdStage() override { ZSTD_freeDCtx(m_ctx); }

    Status decode(QByteArrayView in, const Give& give) override {
        if (in.isEmpty())
            return Status::Ok;
        if (m_ctx == nullptr)
            return Status::Corrupt;
        ZSTD_inBuffer input{in.data(), size_t(in.size()), 0};
        for (;;) {
            ZSTD_outBuffer output{m_piece.data(), size_t(PieceSize), 0};
            const size_t rc = ZSTD_decompressStream(m_ctx, &output, &input);
            if (ZSTD_isError(rc))
                return Status::Corrupt;
            m_inFrame = rc != 0; // 0: a frame ended and everything it holds is out
            if (output.pos > 0) {
                const Status s = give(QByteArrayView(m_piece.data(), qsizetype(output.pos)));
                if (s != Status::Ok)
                    return s;
            }
            if (input.pos == input.size && output.pos < output.size)
                return Status::Ok;
        }
    }

    bool complete() const override { return !m_inFrame; }

private:
    ZSTD_DCtx* m_ctx;
    bool m_inFrame = false;
};

enum class Coding { Gzip, Deflate, Brotli, Zstd, Unknown };

Coding codingNamed(QByteArrayView name) {
    if (name.compare("gzip", Qt::CaseInsensitive) == 0 ||
        name.compare("x-gzip", Qt::CaseInsensitive) == 0)
        return Coding::Gzip;
    if (name.compare("deflate", Qt::CaseInsensitive) == 0)
        return Coding::Deflate;
    if (name.compare("br", Qt::CaseInsensitive) == 0)
        return Coding::Brotli;
    if (name.compare("zstd", Qt::CaseInsensitive) == 0)
        return Coding::Zstd;
    return Coding::Unknown;
}

std::unique_ptr<ContentDecoder::Stage> stageFor(Coding coding) {
    switch (coding) {
    case Coding::Gzip:
    case Coding::Deflate:
        return std::make_unique<ZlibStage>(coding == Coding::Deflate);
    case Coding::Brotli:
        return std::make_unique<BrotliStage>();
    case Coding::Zstd:
        return std::make_unique<ZstdStage>();
    case Coding::Unknown:
        break;
    }
    return nullptr;
}

} // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::forCodings(QByteArrayView contentEncoding) {
    // All names are read before any decoder is made: a header listing thousands of
    // codings must not make thousands of decoders.
    std::vector<Coding> codings;
    for (qsizetype from = 0; from <= contentEncoding.size();) {
        qsizetype comma = contentEncoding.indexOf(',', from);
        if (comma < 0)
            comma = contentEncoding.size();
        const QByteArrayView name = contentEncoding.sliced(from, comma - from).trimmed();
        from = comma + 1;
        if (name.isEmpty() || name.compare("identity", Qt::CaseInsensitive) == 0)
            continue;
        codings.push_back(codingNamed(name));
        if (codings.back() == Coding::Unknown)
            return nullptr;
    }
    std::unique_ptr<ContentDecoder> decoder(new ContentDecoder);
    if (codings.size() > size_t(MaxCodings)) {
        decoder->m_status = Status::Corrupt;
        return decoder;
    }
    // The coding applied last is undone first.
    for (auto coding = codings.rbegin(); coding != codings.rend(); ++coding)
        decoder->m_stages.push_back(stageFor(*coding));
    return decoder;
}

ContentDecoder::~ContentDecoder() = default;

Status ContentDecoder::feed(QByteArrayView in, QByteArray& out) {
    if (m_status != Status::Ok)
        return m_status;
    m_taken += in.size();
    m_status = pump(0, in, out);
    return m_status;
}

Status ContentDecoder::finish() {
    if (m_status != Status::Ok)
        return m_status;
    for (const auto& stage : m_stages) {
        if (!stage->complete())
            m_status = Status::Corrupt;
    }
    return m_status;
}

Status ContentDecoder::pump(size_t stage, QByteArrayView in, QByteArray& out) {
    if (stage < m_stages.size()) {
        return m_stages[stage]->decode(
            in, [this, stage, &out](QByteArrayView piece) { return pump(stage + 1, piece, out); });
    }
    out.append(in);
    m_given += in.size();
    if (m_given > MaxOutputFloor && m_given > MaxRatio * m_taken)
        return Status::TooLarge;
    return Status::Ok;
}

QByteArray chunkOf(QByteArrayView data) {
    if (data.isEmpty())
        return {};
    QByteArray framed = QByteArray::number(data.size(), 16);
    framed.reserve(framed.size() + data.size() + 4);
    framed.append("\r\n").append(data).append("\r\n");
    return framed;
}

} // namespace Tarnwick

namespace Tarnwick {

QByteArray answerCodings(QByteArrayView headerBlock) {
    // Several lines are one list, in order, as a browser reads them.
    return fieldValues(headerBlock, "content-encoding").join(", ");
}

std::unique_ptr<ContentDecoder> decoderForAnswer(QByteArrayView headerBlock, QByteArray* coding) {
    const QByteArray named = answerCodings(headerBlock);
    if (coding)
        *coding = named;
    if (named.isEmpty())
        return nullptr;
    return ContentDecoder::forCodings(named);
}

bool namesCoding(QByteArrayView codings) {
    for (const QByteArrayView item : QByteArrayView(codings).toByteArray().split(',')) {
        const QByteArrayView name = item.trimmed();
        if (!name.isEmpty() && name.compare("identity", Qt::CaseInsensitive) != 0)
            return true;
    }
    return false;
}

QString undecodableCoding() {
    return QStringLiteral("a coding this proxy cannot undo");
}

QString unreadableChunks() {
    return QStringLiteral("chunks that cannot be read");
}

QString decodingFailure(ContentDecoder::Status status, bool atEnd) {
    if (status == ContentDecoder::Status::TooLarge)
        return QStringLiteral("more than 100 times its size and 64 MiB decoded");
    return atEnd ? QStringLiteral("compressed data cut short")
                 : QStringLiteral("corrupt compressed data");
}

QByteArray decodedHead(const QByteArray& head, bool chunked) {
    return withoutHeaderLines(head, {"content-encoding:", "content-length:", "transfer-encoding:"},
                              chunked ? "Transfer-Encoding: chunked\r\n" : "");
}

} // namespace Tarnwick
