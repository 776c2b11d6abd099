// The HTML filter fed an answer in pieces against the same filter over the whole answer:
// for every switch combination (Set-Cookie rule, Script rule, chunked) the pieces joined
// are the same bytes, and an answer that is not chunked is held back by a few bytes at
// most after every piece.
// Input: a first byte whose low 4 bits give the number of cuts, then 2 bytes per cut (an
// offset, little-endian, modulo the answer's length + 1), then the answer.

#include "fuzzsupport.h"
#include "proxy/htmlfilter.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

using namespace Tarnwick;

namespace {

constexpr size_t MaxLength = 4096;
// What each rule may hold: a "set-cookie:" without its last byte; the Script rule's
// look-ahead (a closing, 8 bytes, read only once the 6 bytes after it are final), and
// inside tags an attribute value not yet judged and an end tag looked for after it.
constexpr qsizetype MaxHeld = 10 + 13 + TagRule::MaxValueHeld + 11;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > MaxLength)
        return 0;
    const size_t cutCount = data[0] & 15;
    if (size < 1 + 2 * cutCount)
        return 0;
    const char* answer = reinterpret_cast<const char*>(data) + 1 + 2 * cutCount;
    const qsizetype length = qsizetype(size - 1 - 2 * cutCount);
    std::vector<qsizetype> cuts;
    for (size_t k = 0; k < cutCount; ++k)
        cuts.push_back((data[1 + 2 * k] | data[2 + 2 * k] << 8) % (length + 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(length);

    for (int switches = 0; switches < 8; ++switches) {
        const bool setCookie = switches & 1;
        const bool script = switches & 2;
        const bool chunked = switches & 4;
        // The whole answer in a buffer of exactly its size: reading past it is a finding.
        const std::unique_ptr<char[]> whole(new char[size_t(length)]);
        std::memcpy(whole.get(), answer, size_t(length));
        HtmlFilter::filterWhole(whole.get(), length, setCookie, script, chunked);

        HtmlFilter filter(setCookie, script, chunked);
        QByteArray pieces;
        qsizetype from = 0;
        for (const qsizetype cut : cuts) {
            pieces += filter.feed(QByteArrayView(answer + from, cut - from));
            from = cut;
            Fuzz::require(chunked || from - pieces.size() <= MaxHeld,
                          "an answer that is not chunked is held back by a few bytes only");
        }
        pieces += filter.finish();
        Fuzz::require(pieces.size() == length
                          && std::memcmp(pieces.constData(), whole.get(), size_t(length)) == 0,
                      "the pieces joined are the whole answer filtered");
    }
    return 0;
}
