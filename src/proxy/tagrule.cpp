#include "proxy/tagrule.h"

#include "proxy/bytescan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Tarnwick {

namespace {

using ByteScan::find;
using ByteScan::fold;

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

// The first byte in [from, to) that is not of the kinds `goesOn` (which holds Other but
// neither Blank nor Gt), or `to`, sixteen bytes at a time: the end of a long name or
// unquoted value.
qsizetype skipLong(const char* text, qsizetype from, qsizetype to, unsigned goesOn) {
#if defined(__SSE2__)
    const auto is = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    for (; to - from >= 16; from += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
        // Tab, LF, FF and CR: 9 to 13 but 11.
        const __m128i controls = _mm_cmpeq_epi8(
            _mm_subs_epu8(_mm_sub_epi8(bytes, _mm_set1_epi8(9)), _mm_set1_epi8(4)), _mm_setzero_si128());
        __m128i stops = _mm_or_si128(_mm_or_si128(is(bytes, ' '), is(bytes, '>')),
                                     _mm_andnot_si128(is(bytes, 11), controls));
        if (!(goesOn & Slash))
            stops = _mm_or_si128(stops, is(bytes, '/'));
        if (!(goesOn & Eq))
            stops = _mm_or_si128(stops, is(bytes, '='));
        if (!(goesOn & Lt))
            stops = _mm_or_si128(stops, is(bytes, '<'));
        if (!(goesOn & Quote))
            stops = _mm_or_si128(stops, _mm_or_si128(is(bytes, '"'), is(bytes, '\'')));
        if (const int hits = _mm_movemask_epi8(stops); hits != 0)
            return from + std::countr_zero(static_cast<unsigned>(hits));
    }
#endif
    for (; from < to; ++from) {
        if (!(kind(text[from]) & goesOn))
            return from;
    }
    return to;
}

// The same, the first bytes looked at one by one: names and values are mostly short.
[[gnu::always_inline]] inline qsizetype skip(const char* text, qsizetype from, qsizetype to,
                                             unsigned goesOn) {
    for (const qsizetype near = std::min(to, from + 16); from < near; ++from) {
        if (!(kind(text[from]) & goesOn))
            return from;
    }
    return from < to ? skipLong(text, from, to, goesOn) : to;
}

[[gnu::always_inline]] inline bool isLetter(char c) {
    return unsigned((static_cast<unsigned char>(c) | 0x20) - 'a') < 26;
}

// The bytes at `data` are `word` (lower case) in any case.
inline bool sameWord(const char* data, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i) {
        if (fold(data[i]) != static_cast<unsigned char>(word[i]))
            return false;
    }
    return true;
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
int rawText(const char* name, qsizetype length) {
    int k = -1;
    switch (length) {
    case 3:
        k = 4;
        break;
    case 5:
        k = fold(name[0]) == 's' ? 1 : 3;
        break;
    case 6:
        k = fold(name[0]) == 's' ? 0 : 5;
        break;
    case 7:
        k = 6;
        break;
    case 8:
        k = fold(name[0]) == 't' ? 2 : fold(name[3]) == 'f' ? 7 : 8;
        break;
    case 9:
        k = 9;
        break;
    default:
        return -1;
    }
    return sameWord(name, RawText[k]) ? k : -1;
}

// Whether an attribute `name` (any case) is fetched or navigated to: there a data: URL
// may bring a document.
bool urlName(const char* name, qsizetype length) {
    switch (length) {
    case 3:
        return sameWord(name, "src");
    case 4:
        return sameWord(name, "href") || sameWord(name, "data");
    case 6:
        return sameWord(name, "action");
    case 10:
        return sameWord(name, "formaction") || sameWord(name, "xlink:href");
    default:
        return false;
    }
}

// The media types a harmless data: URL may name: text (only plain and css), then those
// whose subtypes only show or play (but a "+" subtype: "+xml" is read as a document).
constexpr std::string_view Types[] = {"text", "image", "audio", "video", "font"};

constexpr std::string_view Schemes[] = {"javascript:", "vbscript:", "data:"};

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
constexpr unsigned char Javascript = 1;
constexpr unsigned char Vbscript = 2;
constexpr unsigned char DataScheme = 4;

inline int digitValue(char c, bool hex) {
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = char(c | 0x20);
    return hex && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

struct Decoded {
    qsizetype length; // 0: no reference, the "&" is a character of its own
    unsigned char c;  // 0xFF: any character beyond ASCII
};

// The character reference at text[at] == '&', within [at, to), as the browser decodes one
// in an attribute value, as far as a URL's scheme can be made of it: numeric ones (with
// or without ";"), and the named ones that give a colon, a tab or a line break. Every
// other named one gives a character none of the schemes is spelt with; left undecoded
// in a data: media type, its "&" makes the type read as one that may run. False when
// the bytes end where more could still make, or change, a reference.
bool reference(const char* text, qsizetype at, qsizetype to, bool complete, Decoded* out) {
    qsizetype k = at + 1;
    if (k < to && text[k] == '#') {
        ++k;
        const bool hex = k < to && (text[k] | 0x20) == 'x';
        if (hex)
            ++k;
        const qsizetype digits = k;
        std::uint32_t value = 0;
        for (int d; k < to && (d = digitValue(text[k], hex)) >= 0; ++k)
            value = std::min<std::uint32_t>(value * (hex ? 16 : 10) + std::uint32_t(d), 0x110000);
        if (k == to && !complete)
            return false; // more digits, or the ";", may follow
        if (k == digits) {
            *out = {0, '&'};
            return true;
        }
        if (k < to && text[k] == ';')
            ++k;
        *out = {k - at, value < 0x80 ? static_cast<unsigned char>(value) : static_cast<unsigned char>(0xFF)};
        return true;
    }
    static constexpr std::pair<std::string_view, char> Named[] = {
        {"colon;", ':'}, {"Tab;", '\t'}, {"NewLine;", '\n'}};
    for (const auto& [name, c] : Named) {
        const qsizetype n = std::min<qsizetype>(qsizetype(name.size()), to - k);
        if (std::memcmp(text + k, name.data(), size_t(n)) != 0)
            continue;
        if (n == qsizetype(name.size())) {
            *out = {1 + n, static_cast<unsigned char>(c)};
            return true;
        }
        if (!complete)
            return false;
    }
    *out = {0, '&'};
    return true;
}

} // namespace

void neutraliseValue(char* bytes, qsizetype length, qsizetype offset) {
    constexpr std::string_view Empty = "about:blank";
    for (qsizetype i = 0; i < length; ++i) {
        const qsizetype at = offset + i;
        bytes[i] = at < qsizetype(Empty.size()) ? Empty[size_t(at)] : ' ';
    }
}

qsizetype TagRule::run(char* text, qsizetype base, qsizetype ready, bool ended) {
    if (!m_headDone) {
        // The head ends at its first empty line (LF LF, or LF CR LF, as browsers read it);
        // what it left open does not reach into the body.
        qsizetype i = m_headAt - base;
        qsizetype headEnd = -1;
        while (i < ready) {
            if (m_headBreak == 0 && i < ready - 1)
                i = ByteScan::findLineBreaks(text, i, ready - 1);
            if (i == ready)
                break;
            const char c = text[i++];
            if (c == '\n' && m_headBreak != 0) {
                headEnd = i;
                break;
            }
            m_headBreak = c == '\n' ? 1 : c == '\r' && m_headBreak == 1 ? 2 : 0;
        }
        m_headAt = base + i;
        if (headEnd >= 0) {
            scan(text, base, headEnd, true);
            *this = TagRule();
            m_at = base + headEnd;
            m_headDone = true;
        }
    }
    scan(text, base, ready, ended);

    qsizetype held = m_at;
    if (m_state == State::Name && m_nameVerdict == Verdict::Open)
        held = std::min(held, m_nameStart);
    if (m_state == State::Value && m_valueVerdict == Verdict::Open)
        held = std::min(held, m_valueStart);
    return held - base;
}

// 1 when the element whose content is text ends at text[at] == '<', 0 when not, -1 when
// the bytes before `end` cannot tell yet.
int TagRule::rawEndAt(const char* text, qsizetype at, qsizetype end, bool ended) const {
    const std::string_view name = RawText[m_raw];
    const qsizetype length = qsizetype(name.size()) + 3; // "</", the name, what ends it
    for (qsizetype k = 1; k < length; ++k) {
        if (at + k >= end)
            return ended ? 0 : -1;
        const char c = text[at + k];
        const bool fits = k == 1 ? c == '/'
                          : k < length - 1 ? fold(c) == static_cast<unsigned char>(name[size_t(k - 2)])
                                           : (kind(c) & (Blank | Slash | Gt)) != 0;
        if (!fits)
            return 0;
    }
    return 1;
}

void TagRule::tagEnds() {
    m_state = State::Data;
    if (!m_endTag && m_raw < 0)
        m_raw = rawText(m_tag, m_tagLength);
}

void TagRule::tagByte(char c) {
    if (m_tagLength < NameBytes)
        m_tag[m_tagLength] = char(fold(c));
    if (m_tagLength <= NameBytes)
        ++m_tagLength;
}

void TagRule::startName(qsizetype at) {
    m_nameStart = at;
    m_nameLength = 0;
    m_nameVerdict = Verdict::Open;
}

// One more byte of an attribute name, at text[at].
void TagRule::nameByte(char* text, qsizetype base, qsizetype at) {
    const unsigned char c = fold(text[at]);
    if (m_nameLength < NameBytes)
        m_name[m_nameLength] = char(c);
    if (m_nameLength <= NameBytes)
        ++m_nameLength;
    if (m_nameVerdict == Verdict::Overwrite) {
        text[at] = 'Z';
        return;
    }
    if (m_nameVerdict == Verdict::Keep)
        return;
    const bool mayBeOnly = m_nameLength <= 4 && std::memcmp(m_name, "only", size_t(m_nameLength)) == 0;
    const bool mayBeSrcdoc = m_nameLength <= 6 && std::memcmp(m_name, "srcdoc", size_t(m_nameLength)) == 0;
    if (m_nameLength > 2 && m_name[0] == 'o' && m_name[1] == 'n' && !mayBeOnly) {
        m_nameVerdict = Verdict::Overwrite;
        const qsizetype from = m_nameStart - base;
        std::memset(text + from, 'Z', size_t(at + 1 - from));
    } else if (!mayBeOnly && !mayBeSrcdoc) {
        m_nameVerdict = Verdict::Keep;
    }
}

// The attribute name ends before text[at].
void TagRule::endName(char* text, qsizetype base, qsizetype at) {
    if (m_nameVerdict == Verdict::Open) {
        const bool handler = m_nameLength > 2 && m_name[0] == 'o' && m_name[1] == 'n'
                             && !is(m_name, m_nameLength, "only");
        if (handler || is(m_name, m_nameLength, "srcdoc")) {
            const qsizetype from = m_nameStart - base;
            std::memset(text + from, 'Z', size_t(at - from));
        }
        m_nameVerdict = Verdict::Keep;
    }
    m_urlName = urlName(m_name, m_nameLength);
    m_imgSrc = is(m_tag, m_tagLength, "img") && is(m_name, m_nameLength, "src");
}

void TagRule::startValue(qsizetype at, char quote) {
    m_quote = quote;
    m_valueStart = at;
    m_decodeAt = at;
    m_valueVerdict = Verdict::Open;
    m_leading = true;
    m_url = Url::Scheme;
    m_matched = 0;
    m_schemes = Javascript | Vbscript | (m_urlName ? DataScheme : 0);
    m_partLength = 0;
    m_plus = false;
}

// The value's bytes text[from, to) as they come: judged while open, overwritten once
// judged so.
void TagRule::valueBytes(char* text, qsizetype base, qsizetype from, qsizetype to) {
    if (m_valueVerdict == Verdict::Open) {
        const qsizetype start = m_valueStart - base;
        judge(text, base, std::min(to, start + MaxValueHeld), false);
        if (m_valueVerdict == Verdict::Open && to - start > MaxValueHeld)
            m_valueVerdict = Verdict::Overwrite; // too long to wait for: fail safe
        if (m_valueVerdict == Verdict::Overwrite)
            from = start;
    }
    if (m_valueVerdict == Verdict::Overwrite && to > from)
        neutraliseValue(text + from, to - from, from + base - m_valueStart);
}

// The value ends before text[at].
void TagRule::endValue(char* text, qsizetype base, qsizetype at) {
    if (m_valueVerdict != Verdict::Open)
        return;
    judge(text, base, at, true);
    if (m_valueVerdict == Verdict::Overwrite) {
        const qsizetype from = m_valueStart - base;
        neutraliseValue(text + from, at - from, 0);
    }
}

// Decodes the value from m_decodeAt up to text[to] and reads it as a URL's start until
// it is judged; `complete`: the value ends at `to`.
void TagRule::judge(const char* text, qsizetype base, qsizetype to, bool complete) {
    qsizetype d = m_decodeAt - base;
    while (d < to && m_valueVerdict == Verdict::Open) {
        const char b = text[d];
        if (b != '&') {
            take(static_cast<unsigned char>(b) < 0x80 ? static_cast<unsigned char>(b) : 0xFF);
            ++d;
            continue;
        }
        Decoded r;
        if (!reference(text, d, to, complete, &r))
            break;
        take(r.c);
        d += r.length ? r.length : 1;
    }
    m_decodeAt = base + d;
    if (complete && m_valueVerdict == Verdict::Open)
        settle();
}

// One decoded character of the value, read as the URL parser reads it: controls and
// blanks before it and tabs and line breaks anywhere skipped, letters in any case.
void TagRule::take(unsigned char c) {
    if (m_leading) {
        if (c <= 0x20)
            return;
        m_leading = false;
    }
    if (c == '\t' || c == '\n' || c == '\r')
        return;
    c = fold(char(c));
    const auto overwrite = [this] { m_valueVerdict = Verdict::Overwrite; };
    const auto isLower = [](unsigned char b) { return b >= 'a' && b <= 'z'; };
    switch (m_url) {
    case Url::Scheme:
        for (int s = 0; s < 3; ++s) {
            const unsigned char bit = static_cast<unsigned char>(1 << s);
            if ((m_schemes & bit) && (m_matched >= int(Schemes[s].size())
                                      || static_cast<unsigned char>(Schemes[s][size_t(m_matched)]) != c))
                m_schemes &= static_cast<unsigned char>(~bit);
        }
        ++m_matched;
        if (m_schemes == 0)
            m_valueVerdict = Verdict::Keep;
        else if (((m_schemes & Javascript) && m_matched == 11) || ((m_schemes & Vbscript) && m_matched == 9))
            overwrite();
        else if ((m_schemes & DataScheme) && m_matched == 5)
            m_url = Url::Lead;
        return;
    case Url::Lead:
        if (c == ' ')
            return;
        if (c == ',' || c == ';') {
            m_valueVerdict = Verdict::Keep; // no media type: plain text
            return;
        }
        m_url = Url::Type;
        [[fallthrough]];
    case Url::Type:
        if (c == '/') {
            m_type = -1;
            for (int t = 0; t < int(std::size(Types)); ++t) {
                if (is(m_part, m_partLength, Types[t]))
                    m_type = t;
            }
            if (m_type < 0)
                return overwrite();
            m_url = Url::Subtype;
            m_partLength = 0;
            return;
        }
        if (!isLower(c) || m_partLength == 5)
            return overwrite();
        m_part[m_partLength++] = char(c);
        return;
    case Url::Subtype:
        if (c == ',' || c == ';')
            return settle();
        if (c == ' ') {
            m_url = Url::Trail;
            return;
        }
        if (c == '+')
            m_plus = true;
        else if (!isLower(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-' && c != '_')
            return overwrite();
        if (m_partLength < int(sizeof m_part))
            m_part[m_partLength] = char(c);
        if (m_partLength <= int(sizeof m_part))
            ++m_partLength;
        return;
    case Url::Trail:
        if (c == ',' || c == ';')
            return settle();
        if (c != ' ')
            overwrite();
        return;
    }
}

// The verdict on what has been read of the URL, with nothing more to come of its scheme
// or media type.
void TagRule::settle() {
    switch (m_url) {
    case Url::Scheme:
    case Url::Lead:
        m_valueVerdict = Verdict::Keep;
        return;
    case Url::Type:
        m_valueVerdict = Verdict::Overwrite;
        return;
    case Url::Subtype:
    case Url::Trail:
        break;
    }
    bool harmless;
    if (m_type == 0)
        harmless = is(m_part, m_partLength, "plain") || is(m_part, m_partLength, "css");
    else
        harmless = m_partLength > 0
                   && (!m_plus || (m_type == 1 && m_imgSrc && is(m_part, m_partLength, "svg+xml")));
    m_valueVerdict = harmless ? Verdict::Keep : Verdict::Overwrite;
}

// Tags that have come whole, read at once from the "<" at `lt` on, with the text between
// them: the same reading as the states below give them byte by byte, for the many tags
// of a page. Returns where the states go on: at a "<" that is not a whole tag here (or
// not a tag), after the start tag of an element whose content is text, at `end`, or in
// a tag name that runs to `end` (m_state TagName). A tag left to the states has had only
// whole names and values overwritten, which read as harmless when they read it again.
qsizetype TagRule::wholeTags(char* text, qsizetype base, qsizetype lt, qsizetype end) {
    bool handOver = false; // the states are to go on from `after`
    for (qsizetype after; (after = wholeTag(text, base, lt, end, handOver)) > lt;) {
        if (handOver)
            return after;
        lt = find(text, after, end, '<');
        if (lt == end)
            return end;
    }
    return lt;
}

// One whole tag at the "<" at `lt`: the position after its ">", or `lt` (not whole, or
// markup the states read); past a "<" that is text, the position after it. `handOver`:
// the states go on from the position returned.
[[gnu::always_inline]] inline qsizetype TagRule::wholeTag(char* text, qsizetype base, qsizetype lt,
                                                         qsizetype end, bool& handOver) {
    qsizetype p = lt + 1;
    if (p >= end)
        return lt;
    bool endTag = false;
    if (!isLetter(text[p])) {
        if (text[p] == '<') { // each "<" of a run but the last is text
            while (p + 1 < end && text[p + 1] == '<')
                ++p;
            return p;
        }
        if (text[p] != '/')
            return text[p] == '!' || text[p] == '?' ? lt : p; // else not markup: text
        endTag = true;
        if (++p >= end || !isLetter(text[p]))
            return lt;
    }
    const qsizetype tag = p;
    while (p < end && (kind(text[p]) & (Other | Eq | Quote | Lt)))
        ++p;
    const qsizetype tagLength = p - tag;
    if (p == end) { // the states go on with the name, not from its "<" again
        m_endTag = endTag;
        m_tagLength = 0;
        for (qsizetype k = tag; k < p && m_tagLength <= NameBytes; ++k)
            tagByte(text[k]);
        m_state = State::TagName;
        handOver = true;
        return p;
    }
    for (;;) {
        while (p < end && (kind(text[p]) & (Blank | Slash)))
            ++p;
        if (p >= end)
            return lt;
        if (text[p] == '>') {
            if (!endTag && tagLength >= 3 && tagLength <= 9
                && (RawStarts[tagLength] & (1u << (fold(text[tag]) - 'a'))))
                handOver = (m_raw = rawText(text + tag, tagLength)) >= 0;
            return p + 1;
        }
        const qsizetype name = p++; // its first byte may be "="
        while (p < end && (kind(text[p]) & (Other | Quote | Lt)))
            ++p;
        if (p >= end)
            return lt; // nothing is overwritten before it is whole
        const qsizetype nameLength = p - name;
        if (nameLength > 2 && fold(text[name]) == 'o' && fold(text[name + 1]) == 'n'
            && !(nameLength == 4 && sameWord(text + name + 2, "ly")))
            std::memset(text + name, 'Z', size_t(nameLength));
        else if (nameLength == 6 && sameWord(text + name, "srcdoc"))
            std::memset(text + name, 'Z', 6);
        while (p < end && kind(text[p]) == Blank)
            ++p;
        if (p >= end)
            return lt;
        if (text[p] != '=')
            continue;
        ++p;
        while (p < end && kind(text[p]) == Blank)
            ++p;
        if (p >= end)
            return lt;
        const char first = text[p];
        if (first == '>')
            continue;
        const bool quoted = kind(first) == Quote;
        const qsizetype value = p + quoted;
        if (quoted) {
            p = find(text, value, end, first);
        } else {
            while (p < end && (kind(text[p]) & (Other | Eq | Quote | Slash | Lt)))
                ++p;
        }
        if (p >= end)
            return lt;
        // Most values show at their first byte that no scheme can start them, and most
        // of the rest that they hold no colon, plain or as a reference, to end one with.
        const qsizetype length = p - value;
        if (length > 0 && MayStartScheme[static_cast<unsigned char>(text[value])]
            && (length > MaxValueHeld || std::memchr(text + value, ':', size_t(length))
                || std::memchr(text + value, '&', size_t(length)))) {
            m_urlName = urlName(text + name, nameLength);
            m_imgSrc = tagLength == 3 && sameWord(text + tag, "img") && nameLength == 3
                       && sameWord(text + name, "src");
            startValue(base + value, quoted ? first : char(0));
            valueBytes(text, base, value, p);
            endValue(text, base, p);
        }
        p += quoted;
    }
}

// The tokeniser over text[m_at - base, end); `ended`: nothing follows `end`.
void TagRule::scan(char* text, qsizetype base, qsizetype end, bool ended) {
    qsizetype i = m_at - base;
    // At a "<" inside an element whose content is text: whether its end tag is here
    // (then the tag is read from the "<" on), not (0), or not yet known (-1: wait).
    const auto rawEnd = [&]() -> int {
        const int r = rawEndAt(text, i, end, ended);
        if (r < 0)
            m_at = base + i;
        return r;
    };
    const auto leaveRaw = [&] {
        m_raw = -1;
        m_state = State::TagOpen;
        ++i;
    };
    while (i < end) {
        switch (m_state) {
        case State::Data:
            i = find(text, i, end, '<');
            if (i < end && m_raw < 0) {
                const qsizetype at = i;
                i = wholeTags(text, base, i, end);
                if (i != at)
                    break; // the states go on from there
            }
            if (i == end)
                break;
            if (m_raw >= 0) {
                const int r = rawEnd();
                if (r < 0)
                    return;
                if (r > 0)
                    m_raw = -1;
            }
            m_state = State::TagOpen;
            ++i;
            break;
        case State::TagOpen: {
            const char c = text[i];
            if (isLetter(c)) {
                m_endTag = false;
                m_tagLength = 0;
                m_state = State::TagName;
                break;
            }
            m_state = c == '/' ? State::EndTagOpen : c == '!' ? State::Bang : c == '?' ? State::Bogus : State::Data;
            if (m_state != State::Data)
                ++i;
            break;
        }
        case State::EndTagOpen: {
            const char c = text[i];
            if (isLetter(c)) {
                m_endTag = true;
                m_tagLength = 0;
                m_state = State::TagName;
            } else if (c == '>') {
                m_state = State::Data;
                ++i;
            } else {
                m_state = State::Bogus;
            }
            break;
        }
        case State::Bang:
        case State::BangDash:
            if (text[i] == '-') {
                m_state = m_state == State::Bang ? State::BangDash : State::CommentStart;
                ++i;
            } else {
                m_state = State::Bogus;
            }
            break;
        case State::CommentStart:
        case State::CommentStartDash: {
            const char c = text[i];
            if (c == '>') {
                m_state = State::Data;
                ++i;
            } else if (c == '-') {
                m_state = m_state == State::CommentStart ? State::CommentStartDash : State::CommentEnd;
                ++i;
            } else {
                m_state = State::Comment;
            }
            break;
        }
        case State::Comment:
        case State::Bogus: {
            // A comment changes at a "-", a bogus comment ends at a ">"; inside an element
            // whose content is text, a "<" may end either.
            const char stop = m_state == State::Comment ? '-' : '>';
            if (m_raw < 0) {
                i = find(text, i, end, stop);
            } else {
                while (i < end && text[i] != stop && text[i] != '<')
                    ++i;
            }
            if (i == end)
                break;
            if (text[i] == '<') {
                const int r = rawEnd();
                if (r < 0)
                    return;
                if (r > 0)
                    leaveRaw();
                else
                    ++i;
                break;
            }
            m_state = m_state == State::Comment ? State::CommentEndDash : State::Data;
            ++i;
            break;
        }
        case State::CommentEndDash:
            if (text[i] == '-') {
                m_state = State::CommentEnd;
                ++i;
            } else {
                m_state = State::Comment;
            }
            break;
        case State::CommentEnd:
        case State::CommentEndBang: {
            const char c = text[i];
            if (c == '>') {
                m_state = State::Data;
                ++i;
            } else if (c == '-') {
                m_state = m_state == State::CommentEnd ? State::CommentEnd : State::CommentEndDash;
                ++i;
            } else if (c == '!' && m_state == State::CommentEnd) {
                m_state = State::CommentEndBang;
                ++i;
            } else {
                m_state = State::Comment;
            }
            break;
        }
        case State::TagName: {
            const unsigned goesOn = Other | Eq | Quote | (m_raw < 0 ? Lt : 0);
            while (i < end && m_tagLength <= NameBytes && (kind(text[i]) & goesOn))
                tagByte(text[i++]);
            i = skip(text, i, end, goesOn); // too long for a name the rule knows
            if (i == end)
                break;
            switch (kind(text[i])) {
            case Blank:
                m_state = State::BeforeName;
                ++i;
                break;
            case Slash:
                m_state = State::SelfClosing;
                ++i;
                break;
            case Gt:
                tagEnds();
                ++i;
                break;
            default: { // "<" inside an element whose content is text
                const int r = rawEnd();
                if (r < 0)
                    return;
                if (r > 0) {
                    leaveRaw();
                } else {
                    tagByte(text[i++]);
                }
            }
            }
            break;
        }
        case State::BeforeName:
        case State::AfterName: {
            const bool after = m_state == State::AfterName;
            while (i < end && kind(text[i]) == Blank)
                ++i;
            if (i == end)
                break;
            const unsigned k = kind(text[i]);
            if (k == Slash) {
                m_state = State::SelfClosing;
                ++i;
            } else if (k == Gt) {
                tagEnds();
                ++i;
            } else if (k == Eq && after) {
                m_state = State::BeforeValue;
                ++i;
            } else {
                if (k == Lt && m_raw >= 0) {
                    const int r = rawEnd();
                    if (r < 0)
                        return;
                    if (r > 0) {
                        leaveRaw();
                        break;
                    }
                }
                startName(base + i);
                m_state = State::Name;
                if (k == Eq) { // a name may start with "="
                    nameByte(text, base, i);
                    ++i;
                }
            }
            break;
        }
        case State::Name: {
            const unsigned goesOn = Other | Quote | (m_raw < 0 ? Lt : 0);
            while (i < end && (m_nameVerdict == Verdict::Open || m_nameLength <= NameBytes)
                   && (kind(text[i]) & goesOn)) {
                nameByte(text, base, i);
                ++i;
            }
            // Judged and too long for a name the rule knows: the rest as one span.
            const qsizetype from = i;
            i = skip(text, i, end, goesOn);
            if (m_nameVerdict == Verdict::Overwrite)
                std::memset(text + from, 'Z', size_t(i - from));
            if (i == end)
                break;
            const unsigned k = kind(text[i]);
            if (k == Lt) {
                const int r = rawEnd();
                if (r < 0)
                    return;
                if (r > 0) {
                    endName(text, base, i);
                    leaveRaw();
                } else {
                    nameByte(text, base, i);
                    ++i;
                }
                break;
            }
            endName(text, base, i);
            m_state = k == Blank ? State::AfterName : k == Slash ? State::SelfClosing : k == Eq ? State::BeforeValue : State::Data;
            if (k == Gt)
                tagEnds();
            ++i;
            break;
        }
        case State::BeforeValue: {
            while (i < end && kind(text[i]) == Blank)
                ++i;
            if (i == end)
                break;
            const char c = text[i];
            const unsigned k = kind(c);
            if (k == Quote) {
                startValue(base + i + 1, c);
                m_state = State::Value;
                ++i;
            } else if (k == Gt) {
                tagEnds();
                ++i;
            } else {
                if (k == Lt && m_raw >= 0) {
                    const int r = rawEnd();
                    if (r < 0)
                        return;
                    if (r > 0) {
                        leaveRaw();
                        break;
                    }
                }
                startValue(base + i, 0);
                m_state = State::Value;
            }
            break;
        }
        case State::Value: {
            qsizetype stop = i;
            if (m_quote != 0 && m_raw < 0) {
                stop = find(text, i, end, m_quote);
            } else if (m_quote != 0) {
                while (stop < end && text[stop] != m_quote && text[stop] != '<')
                    ++stop;
            } else {
                const unsigned goesOn = Other | Eq | Quote | Slash | (m_raw < 0 ? Lt : 0);
                stop = skip(text, stop, end, goesOn);
            }
            valueBytes(text, base, i, stop);
            i = stop;
            if (i == end)
                break;
            const char c = text[i];
            if (c == '<') {
                const int r = rawEnd();
                if (r < 0)
                    return;
                if (r > 0) {
                    endValue(text, base, i);
                    leaveRaw();
                } else {
                    valueBytes(text, base, i, i + 1);
                    ++i;
                }
                break;
            }
            endValue(text, base, i);
            if (m_quote != 0)
                m_state = State::AfterValue;
            else if (c == '>')
                tagEnds();
            else
                m_state = State::BeforeName;
            ++i;
            break;
        }
        case State::AfterValue:
        case State::SelfClosing: {
            const unsigned k = kind(text[i]);
            if (k == Gt) {
                tagEnds();
                ++i;
            } else if (k == Blank && m_state == State::AfterValue) {
                m_state = State::BeforeName;
                ++i;
            } else if (k == Slash && m_state == State::AfterValue) {
                m_state = State::SelfClosing;
                ++i;
            } else {
                m_state = State::BeforeName;
            }
            break;
        }
        }
    }
    m_at = base + i;
    if (ended && m_state == State::Name)
        endName(text, base, i);
    else if (ended && m_state == State::Value)
        endValue(text, base, i);
}

} // namespace Tarnwick
