#include "proxy/tagrule.h"

#include "proxy/tagruleinternal.h"

namespace Tarnwick {

using namespace TagRuleInternal;
using ByteScan::digitValue;

namespace {

// The media types a harmless data: URL may name: text (only plain and css), then those
// whose subtypes only show or play (but a "+" subtype: "+xml" is read as a document).
constexpr std::string_view Types[] = {"text", "image", "audio", "video", "font"};

constexpr std::string_view Schemes[] = {"javascript:", "vbscript:", "data:"};

constexpr unsigned char Javascript = 1;
constexpr unsigned char Vbscript = 2;
constexpr unsigned char DataScheme = 4;

inline bool isLower(unsigned char c) {
    return c >= 'a' && c <= 'z';
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
    switch (m_url) {
    case Url::Scheme:
        return takeScheme(c);
    case Url::Lead:
    case Url::Type:
        return takeType(c);
    case Url::Subtype:
    case Url::Trail:
        return takeSubtype(c);
    }
}

// The scheme's next character.
[[gnu::always_inline]] inline void TagRule::takeScheme(unsigned char c) {
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
        m_valueVerdict = Verdict::Overwrite;
    else if ((m_schemes & DataScheme) && m_matched == 5)
        m_url = Url::Lead;
}

// A data: URL's media type, blanks before it, up to its "/".
[[gnu::always_inline]] inline void TagRule::takeType(unsigned char c) {
    if (m_url == Url::Lead) {
        if (c == ' ')
            return;
        if (c == ',' || c == ';') {
            m_valueVerdict = Verdict::Keep; // no media type: plain text
            return;
        }
        m_url = Url::Type;
    }
    if (c == '/') {
        m_type = -1;
        for (int t = 0; t < int(std::size(Types)); ++t) {
            if (is(m_part, m_partLength, Types[t]))
                m_type = t;
        }
        if (m_type < 0) {
            m_valueVerdict = Verdict::Overwrite;
            return;
        }
        m_url = Url::Subtype;
        m_partLength = 0;
        return;
    }
    if (!isLower(c) || m_partLength == 5) {
        m_valueVerdict = Verdict::Overwrite;
        return;
    }
    m_part[m_partLength++] = char(c);
}

// The media type's subtype, and blanks after it.
[[gnu::always_inline]] inline void TagRule::takeSubtype(unsigned char c) {
    if (c == ',' || c == ';')
        return settle();
    if (m_url == Url::Trail) {
        if (c != ' ')
            m_valueVerdict = Verdict::Overwrite;
        return;
    }
    if (c == ' ') {
        m_url = Url::Trail;
        return;
    }
    if (c == '+') {
        m_plus = true;
    } else if (!isLower(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-' && c != '_') {
        m_valueVerdict = Verdict::Overwrite;
        return;
    }
    if (m_partLength < int(sizeof m_part))
        m_part[m_partLength] = char(c);
    if (m_partLength <= int(sizeof m_part))
        ++m_partLength;
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

} // namespace Tarnwick
