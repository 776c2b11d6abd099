#pragma once

#include "proxy/bytescan.h"

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

// What tagrule.cpp, tagvalue.cpp and wholetags.cpp share; not for use outside them.
namespace Tarnwick::TagRuleInternal {

using ByteScan::fold;
using ByteScan::sameWord;

// What a byte means inside a tag, as bits so that a state can name the bytes it goes on over.
enum Kind : unsigned char { Other = 1, Blank = 2, Slash = 4, Gt = 8, Lt = 16, Eq = 32, Quote = 64 };

constexpr auto Kinds = [] {
    std::array<unsigned char, 256> kinds{};
    kinds.fill(Other);
    for (const unsigned char c : {'\t', '\n', '\f', '\r', ' '})
        kinds[c] = Blank;
    kinds['/'] = Slash;
    kinds['>'] = Gt;
    kinds['<'] = Lt;
    kinds['='] = Eq;
    kinds['"'] = kinds['\''] = Quote;
    return kinds;
}();

[[gnu::always_inline]] inline unsigned kind(char c) {
    return Kinds[static_cast<unsigned char>(c)];
}

[[gnu::always_inline]] inline bool isLetter(char c) {
    return unsigned((static_cast<unsigned char>(c) | 0x20) - 'a') < 26;
}


inline bool is(const char* name, int length, std::string_view word) {
    return length == int(word.size()) && std::memcmp(name, word.data(), word.size()) == 0;
}

// Elements whose content the browser reads as text up to their end tag.
constexpr std::string_view RawText[] = {"script",  "style",   "textarea", "title",    "xmp",
                                        "iframe",  "noembed", "noframes", "noscript", "plaintext"};

// For each length, the first letters of those names (bit 0: "a").
constexpr auto RawStarts = [] {
    std::array<std::uint32_t, 10> starts{};
    for (const std::string_view name : RawText)
        starts[name.size()] |= 1u << (name[0] - 'a');
    return starts;
}();

// The element `name` (any case) names, if its content is text: its index in RawText.
int rawText(const char* name, qsizetype length);

// Whether an attribute `name` (any case) is fetched or navigated to: there a data: URL
// may bring a document.
bool urlName(const char* name, qsizetype length);

// The first bytes of a value that may begin one of the schemes once decoded: a reference,
// a control or blank skipped before it, or the scheme's first letter.
constexpr auto MayStartScheme = [] {
    std::array<bool, 256> may{};
    for (int c = 0; c <= 0x20; ++c)
        may[size_t(c)] = true;
    for (const unsigned char c : {'&', 'j', 'J', 'v', 'V', 'd', 'D'})
        may[c] = true;
    return may;
}();

} // namespace Tarnwick::TagRuleInternal
