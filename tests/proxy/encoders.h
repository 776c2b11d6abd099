#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Compressed bodies made with zlib's, Brotli's and zstd's own encoders, for the
// decoder's tests, fuzz target and benchmark.
namespace Encoders {

// The body encoded by a Content-Encoding value as the header lists it ("gzip, br":
// gzip first, then br); "raw-deflate" is deflate without its zlib wrapper, as some
// servers send it. Unknown names are skipped.
QByteArray encoded(QByteArrayView codings, QByteArrayView body);

// A gzip member holding `size` zero bytes, made in a loop without holding them.
QByteArray gzipOfZeros(qint64 size);

// A zstd frame of unknown length that asks for a 16 MiB window.
QByteArray zstdWideWindow(QByteArrayView body);

} // namespace Encoders
