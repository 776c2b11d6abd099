// The HTML answer rules against their plain transcription: byte for byte the same,
// length unchanged.
// Input: the answer bytes; the first byte also picks the content type for the rules as
// the pump applies them. Inputs over 4096 bytes are skipped: the transcription is
// quadratic on some of them.

#include "fuzzsupport.h"
#include "proxy/referencefilters.h"
#include "proxy/responsefilters.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

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
    Fuzz::require(store.save(Setting::SetCookie.name, Choice::Block.toString())
                      && store.save(Setting::Script.name, Choice::Block.toString()),
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

    // Both rules in the pump's order, through the store and the content-type check.
    const QByteArrayView contentType = size > 0 ? ContentTypes[data[0] & 7] : ContentTypes[0];
    QByteArray answer(reinterpret_cast<const char*>(data), length);
    SettingsStore& store = Fuzz::privateStore();
    applySetCookieRule(answer, contentType, store);
    applyScriptRule(answer, contentType, store);
    Fuzz::require(answer.size() == length, "the rules never change the length");
    reference = copyOf(data, size);
    if (contentType.size() > 4 && contentType.contains("html")) {
        Reference::neutraliseSetCookie(reference.get(), length);
        Reference::rewriteScripts(reference.get(), length);
    }
    requireSame(answer.constData(), reference.get(), size, "the rules in order agree with their transcription");
    return 0;
}
