// The HTML answer rules against their plain transcription: byte for byte the same,
// length unchanged; for a chunked answer, the script rule over the head and the chunks'
// data as one text, with the framing left as it is. The reference reads the chunks
// with a de-chunking of its own and puts the text back into chunks of the same sizes.
// Input: the answer bytes; the first byte also picks, for the rules as the pump
// applies them, the content type (bits 0-2) and whether the answer is chunked (bit 4).
// Inputs over 4096 bytes are skipped: the transcription is quadratic on some of them.

#include "fuzzsupport.h"
#include "proxy/referencefilters.h"
#include "proxy/answerhead.h"
#include "proxy/responsefilters.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QByteArray>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace Tarnwick;

namespace {

constexpr size_t MaxLength = 4096;

const QByteArrayView ContentTypes[8] = {"text/html",  "text/html; charset=UTF-8",
                                        "html",       "xhtml",
                                        "TEXT/HTML",  "application/xhtml+xml",
                                        "text/plain", ""};

// A copy in a buffer of exactly the input's size, so that reading past the end is a finding.
std::unique_ptr<char[]> copyOf(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size]);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    return copy;
}

// Where the answer's body starts, as the pump reads it.
qsizetype bodyStart(const char* data, qsizetype length) {
    const qsizetype blank = QByteArrayView(data, length).indexOf("\r\n\r\n");
    return blank < 0 ? length : blank + 4;
}

// The transcription's script rule over a chunked answer, read plainly: each chunk is its
// size line as it came (a hex number, perhaps followed by extensions), its data and the
// CR LF that closes it. Reading stops at the last chunk (size 0), at a line that starts
// with no hex digit, at a size no answer can have (2^63 or more), at a line longer than
// the filter reads, at data the answer cuts short and at data not followed by CR LF;
// what follows is left as it is.
void referenceChunkedScripts(char* data, qsizetype length) {
    struct Chunk {
        std::string sizeLine; // with its CR LF
        size_t dataLength;
        bool closed;
    };
    const std::string answer(data, size_t(length));
    const size_t head = size_t(bodyStart(data, length));
    std::string text = answer.substr(0, head); // the head, then each chunk's data
    std::vector<Chunk> chunks;
    size_t at = head;
    for (;;) {
        const size_t lineEnd = answer.find("\r\n", at);
        if (lineEnd == std::string::npos)
            break;
        const std::string line = answer.substr(at, lineEnd - at);
        if (line.size() > size_t(HtmlFilter::MaxChunkLine))
            break;
        const std::string hex = line.substr(0, line.find_first_not_of("0123456789abcdefABCDEF"));
        const std::string digits = hex.substr(std::min(hex.find_first_not_of('0'), hex.size()));
        // No digit, or only zeros: a line naming no size, or the last chunk.
        if (digits.empty() || digits.size() > 16 || (digits.size() == 16 && digits[0] >= '8'))
            break;
        const unsigned long long size = std::stoull(digits, nullptr, 16);
        const std::string chunkData = answer.substr(lineEnd + 2, size);
        at = lineEnd + 2 + chunkData.size();
        const bool closed = chunkData.size() == size && answer.compare(at, 2, "\r\n") == 0;
        if (closed)
            at += 2;
        chunks.push_back({line + "\r\n", chunkData.size(), closed});
        text += chunkData;
        if (!closed)
            break;
    }
    const std::string rest = answer.substr(at);
    Reference::rewriteScripts(text.data(), qsizetype(text.size()));

    std::string rechunked = text.substr(0, head);
    size_t from = head;
    for (const Chunk& chunk : chunks) {
        rechunked += chunk.sizeLine + text.substr(from, chunk.dataLength);
        if (chunk.closed)
            rechunked += "\r\n";
        from += chunk.dataLength;
    }
    rechunked += rest;
    Fuzz::require(rechunked.size() == size_t(length), "re-chunking keeps the length");
    if (length > 0)
        std::memcpy(data, rechunked.data(), size_t(length));
}

void requireSame(const char* fast, const char* reference, size_t size, const char* what) {
    if (size > 0 && std::memcmp(fast, reference, size) != 0) {
        size_t at = 0;
        while (fast[at] == reference[at])
            ++at;
        std::fprintf(stderr, "first difference at offset %zu\n", at);
        Fuzz::require(false, what);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SettingsStore& store = Fuzz::privateStore();
    Fuzz::require(store.save(Setting::SetCookie, Choice::Block.toString())
                      && store.save(Setting::Script, Choice::Block.toString()),
                  "both rules switched on");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxLength)
        return 0;
    const qsizetype length = qsizetype(size);

    auto fast = copyOf(data, size);
    auto reference = copyOf(data, size);
    neutraliseSetCookie(fast.get(), length);
    Reference::neutraliseSetCookie(reference.get(), length);
    requireSame(fast.get(), reference.get(), size, "Set-Cookie rule agrees with its transcription");

    fast = copyOf(data, size);
    reference = copyOf(data, size);
    rewriteScripts(fast.get(), length);
    Reference::rewriteScripts(reference.get(), length);
    requireSame(fast.get(), reference.get(), size, "script rule agrees with its transcription");

    fast = copyOf(data, size);
    reference = copyOf(data, size);
    HtmlFilter::filterWhole(fast.get(), length, false, true, true);
    referenceChunkedScripts(reference.get(), length);
    requireSame(fast.get(), reference.get(), size, "script rule across chunks agrees with its transcription");

    // Both rules in the pump's order, through the store and the content-type check.
    const QByteArrayView contentType = size > 0 ? ContentTypes[data[0] & 7] : ContentTypes[0];
    const bool chunked = size > 0 && (data[0] & 0x10) != 0;
    QByteArray answer(reinterpret_cast<const char*>(data), length);
    SettingsStore& store = Fuzz::privateStore();
    applySetCookieRule(answer, namesHtml(contentType), store);
    applyScriptRule(answer, namesHtml(contentType), store, chunked);
    Fuzz::require(answer.size() == length, "the rules never change the length");
    reference = copyOf(data, size);
    if (namesHtml(contentType)) {
        Reference::neutraliseSetCookie(reference.get(), length);
        if (chunked)
            referenceChunkedScripts(reference.get(), length);
        else
            Reference::rewriteScripts(reference.get(), length);
    }
    requireSame(answer.constData(), reference.get(), size, "the rules in order agree with their transcription");
    return 0;
}
