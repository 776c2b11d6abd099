// The content decoder fed a body whole against the same body cut in pieces, its output
// through the HTML filter as it comes: the pieces give the same decoded and the same
// filtered bytes as the whole. A page the target encodes itself decodes to the page;
// bytes given as they are (corrupt data, most of the time) end the same way however
// they are cut, and what they give before the fault is the same stream.
// Input: a first byte whose low 3 bits pick the coding and whose bit 3 says the rest is
// given encoded; a second byte whose low 4 bits give the number of cuts, then 2 bytes
// per cut (an offset, little-endian, modulo the body's length + 1), then the body.

#include "fuzzsupport.h"
#include "proxy/contentdecoder.h"
#include "proxy/encoders.h"
#include "proxy/htmlfilter.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <vector>

using namespace Tarnwick;
using Status = ContentDecoder::Status;

namespace {

constexpr size_t MaxLength = 4096;
constexpr QByteArrayView Head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

struct Coding {
    const char* header; // the Content-Encoding value
    const char* made;   // how the target encodes a page for it
};
constexpr Coding Codings[] = {
    {"gzip", "gzip"}, {"deflate", "deflate"},   {"deflate", "raw-deflate"},   {"br", "br"},
    {"zstd", "zstd"}, {"gzip, br", "gzip, br"}, {"zstd, gzip", "zstd, gzip"}, {"x-gzip", "gzip"},
};

struct Run {
    Status status = Status::Ok;
    QByteArray decoded;
    QByteArray filtered;
};

Run decode(const char* header, QByteArrayView body, const std::vector<qsizetype>& cuts) {
    Run run;
    const std::unique_ptr<ContentDecoder> decoder = ContentDecoder::forCodings(header);
    Fuzz::require(decoder != nullptr, "every coding of the table is known");
    HtmlFilter filter(true, true, false);
    run.filtered = filter.feed(Head);
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        QByteArray out;
        run.status = decoder->feed(body.sliced(from, cut - from), out);
        from = cut;
        run.decoded += out;
        run.filtered += filter.feed(out);
        if (run.status != Status::Ok)
            break;
    }
    if (run.status == Status::Ok)
        run.status = decoder->finish();
    run.filtered += filter.finish();
    return run;
}

bool prefixes(const QByteArray& a, const QByteArray& b) {
    return a.size() <= b.size() ? b.startsWith(a) : a.startsWith(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > MaxLength)
        return 0;
    const Coding& coding = Codings[data[0] & 7];
    const bool given = data[0] & 8;
    const size_t cutCount = data[1] & 15;
    if (size < 2 + 2 * cutCount)
        return 0;
    const QByteArrayView rest(reinterpret_cast<const char*>(data) + 2 + 2 * cutCount,
                              qsizetype(size - 2 - 2 * cutCount));
    const QByteArray body = given ? rest.toByteArray() : Encoders::encoded(coding.made, rest);

    std::vector<qsizetype> cuts;
    for (size_t k = 0; k < cutCount; ++k)
        cuts.push_back((data[2 + 2 * k] | data[3 + 2 * k] << 8) % (body.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(body.size());

    const Run whole = decode(coding.header, body, {body.size()});
    const Run pieces = decode(coding.header, body, cuts);
    if (!given) {
        Fuzz::require(whole.status == Status::Ok && whole.decoded == rest,
                      "an encoded page decodes to the page");
    }
    if (whole.status == Status::TooLarge || pieces.status == Status::TooLarge)
        return 0; // the cut-off counts the input fed so far, so it moves with the cuts
    Fuzz::require(whole.status == pieces.status, "the cuts do not change how a body ends");
    if (whole.status == Status::Ok) {
        Fuzz::require(pieces.decoded == whole.decoded, "the pieces decode to the whole");
        QByteArray expected = Head.toByteArray() + whole.decoded;
        HtmlFilter::filterWhole(expected.data(), expected.size(), true, true, false);
        Fuzz::require(pieces.filtered == expected, "the pieces filter as the whole page");
    } else {
        Fuzz::require(prefixes(pieces.decoded, whole.decoded),
                      "what corrupt data gives is the same stream however it is cut");
    }
    return 0;
}
