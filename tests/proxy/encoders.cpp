#include "proxy/encoders.h"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <QList>

namespace Encoders {

namespace {

// zlib's deflate at `level` with a gzip (31), zlib (15) or no wrapper (-15), fed `pieces` in turn.
QByteArray deflated(const QList<QByteArrayView>& pieces, int windowBits,
                    int level = Z_DEFAULT_COMPRESSION) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out;
    char buffer[64 * 1024];
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(pieces[i].data()));
        z.avail_in = uInt(pieces[i].size());
        const int flush = i + 1 == pieces.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.append(buffer, qsizetype(sizeof buffer - z.avail_out));
        } while (z.avail_out == 0 || z.avail_in > 0);
    }
    deflateEnd(&z);
    return out;
}

QByteArray brotli(QByteArrayView body) {
    size_t size = BrotliEncoderMaxCompressedSize(size_t(body.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, size_t(body.size()),
                          reinterpret_cast<const uint8_t*>(body.data()), &size,
                          reinterpret_cast<uint8_t*>(out.data()));
    out.truncate(qsizetype(size));
    return out;
}

// zstd with a checksum, as a frame of unknown length when `windowLog` is given (the
// window then stays as set instead of shrinking to the body).
QByteArray zstd(QByteArrayView body, int windowLog = 0) {
    ZSTD_CCtx* ctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(ctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(ctx, ZSTD_c_windowLog, windowLog);
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(body.size()))) + 1024, Qt::Uninitialized);
    ZSTD_outBuffer output{out.data(), size_t(out.size()), 0};
    ZSTD_inBuffer input{body.data(), size_t(body.size()), 0};
    if (windowLog != 0)
        ZSTD_compressStream2(ctx, &output, &input, ZSTD_e_flush);
    ZSTD_compressStream2(ctx, &output, &input, ZSTD_e_end);
    ZSTD_freeCCtx(ctx);
    out.truncate(qsizetype(output.pos));
    return out;
}

} // namespace

QByteArray encoded(QByteArrayView codings, QByteArrayView body) {
    QByteArray data = body.toByteArray();
    for (const QByteArray& item : codings.toByteArray().split(',')) {
        const QByteArray name = item.trimmed().toLower();
        if (name == "gzip" || name == "x-gzip")
            data = deflated({data}, 31);
        else if (name == "deflate")
            data = deflated({data}, 15);
        else if (name == "raw-deflate")
            data = deflated({data}, -15);
        else if (name == "br")
            data = brotli(data);
        else if (name == "zstd")
            data = zstd(data);
    }
    return data;
}

QByteArray gzipOfZeros(qint64 size) {
    const QByteArray zeros(1024 * 1024, '\0');
    QList<QByteArrayView> pieces;
    for (qint64 left = size; left > 0; left -= zeros.size())
        pieces.append(QByteArrayView(zeros).first(qsizetype(std::min<qint64>(left, zeros.size()))));
    return deflated(pieces, 31, Z_BEST_SPEED);
}

QByteArray zstdWideWindow(QByteArrayView body) {
    return zstd(body, 24);
}

} // namespace Encoders
