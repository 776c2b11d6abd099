#pragma once

#include <QtGlobal>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Byte searches the HTML rules share. Markup has a "<" every few bytes, so the next
// few bytes are looked at in place (sixteen at a time where the processor has vectors
// for it, as every x86-64 does) before a library call, which wins only over long runs.
namespace Tarnwick::ByteScan {

// Only ASCII letters fold; every other byte matches only itself.
[[gnu::always_inline]] inline unsigned char fold(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

// The bytes at `data` are `word` (lower case) in any case.
inline bool sameWord(const char* data, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i) {
        if (fold(data[i]) != static_cast<unsigned char>(word[i]))
            return false;
    }
    return true;
}

// A decimal (or with `hex`, hexadecimal in any case) digit's value, or -1.
inline int digitValue(char c, bool hex) {
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = char(c | 0x20);
    return hex && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

constexpr qsizetype Near = 64; // bytes looked at in place before a call

// First offset of `c` in [from, to), or `to` (from <= to).
[[gnu::always_inline]] inline qsizetype find(const char* data, qsizetype from, qsizetype to, char c) {
    const qsizetype near = std::min(to, from + Near);
#if defined(__SSE2__)
    const __m128i pattern = _mm_set1_epi8(c);
    for (; near - from >= 16; from += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        const int hits = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, pattern));
        if (hits != 0)
            return from + std::countr_zero(static_cast<unsigned>(hits));
    }
#endif
    for (; from < near; ++from) {
        if (data[from] == c)
            return from;
    }
    if (from >= to)
        return to;
    const void* hit = std::memchr(data + from, c, static_cast<size_t>(to - from));
    return hit ? static_cast<const char*>(hit) - data : to;
}

// First offset p in [from, to) where data[p] | firstBits is `first` and data[p + 1] is
// the lower-case letter `second` in either case, or `to`; data[to] must be readable.
// With firstBits 0x20 and a lower-case letter, `first` is a letter in either case too.
// A pair is rarer than a byte, so the search stops far less often; where `first` alone
// is rare (firstBits 0), long runs without it are crossed by a call.
[[gnu::always_inline]] inline qsizetype findPair(const char* data, qsizetype from, qsizetype to,
                                                char first, char second, char firstBits) {
#if defined(__SSE2__)
    const __m128i a = _mm_set1_epi8(first);
    const __m128i b = _mm_set1_epi8(second);
    const __m128i bitsA = _mm_set1_epi8(firstBits);
    const __m128i bitsB = _mm_set1_epi8(0x20);
    int blocksWithoutFirst = 0;
    while (to - from >= 16) {
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + 1));
        const __m128i firsts = _mm_cmpeq_epi8(_mm_or_si128(at, bitsA), a);
        const int hits = _mm_movemask_epi8(_mm_and_si128(firsts, _mm_cmpeq_epi8(_mm_or_si128(next, bitsB), b)));
        if (hits != 0)
            return from + std::countr_zero(static_cast<unsigned>(hits));
        from += 16;
        if (firstBits != 0)
            continue;
        blocksWithoutFirst = _mm_movemask_epi8(firsts) == 0 ? blocksWithoutFirst + 1 : 0;
        if (blocksWithoutFirst == Near / 16) {
            blocksWithoutFirst = 0;
            from = find(data, from, to, first);
        }
    }
#endif
    for (; from < to; ++from) {
        if ((data[from] | firstBits) == first && (data[from + 1] | 0x20) == second)
            return from;
    }
    return to;
}

// First offset p in [from, to) where a LF is followed by another LF or by a CR (where an
// empty line may start), or `to`; data[to] must be readable.
inline qsizetype findLineBreaks(const char* data, qsizetype from, qsizetype to) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; to - from >= 16; from += 16) {
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + 1));
        const int hits = _mm_movemask_epi8(_mm_and_si128(
            _mm_cmpeq_epi8(at, lf), _mm_or_si128(_mm_cmpeq_epi8(next, lf), _mm_cmpeq_epi8(next, cr))));
        if (hits != 0)
            return from + std::countr_zero(static_cast<unsigned>(hits));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(at, lf)) == 0) { // no line here: on to the next
            from = find(data, from + 16, to, '\n');
            if (from + 16 > to)
                break;
            from -= 16;
        }
    }
#endif
    for (;;) {
        from = find(data, from, to, '\n');
        if (from == to || data[from + 1] == '\n' || data[from + 1] == '\r')
            return from;
        ++from;
    }
}

} // namespace Tarnwick::ByteScan
