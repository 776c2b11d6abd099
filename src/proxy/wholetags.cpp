#include "proxy/tagrule.h"

#include "proxy/tagruleinternal.h"

namespace Tarnwick {

using namespace TagRuleInternal;
using ByteScan::find;

namespace {

constexpr qsizetype NotWhole = -1; // an attribute that runs to the end of the bytes

} // namespace

// Tags that have come whole, read at once from the "<" at `lt` on, with the text between
// them: the same reading as the states give them byte by byte, for the many tags
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
        p = wholeAttribute(text, base, p, end, tag, tagLength);
        if (p == NotWhole)
            return lt;
    }
}

// The attribute whose name starts at text[name] (its first byte may be "=") in the tag
// named text[tag, tag + tagLength): the position after it, or NotWhole. A handler's name
// is overwritten; a value that may start a scheme is judged, and overwritten if need be.
[[gnu::always_inline]] inline qsizetype TagRule::wholeAttribute(char* text, qsizetype base,
                                                               qsizetype name, qsizetype end,
                                                               qsizetype tag, qsizetype tagLength) {
    qsizetype p = name + 1;
    while (p < end && (kind(text[p]) & (Other | Quote | Lt)))
        ++p;
    if (p >= end)
        return NotWhole; // nothing is overwritten before it is whole
    const qsizetype nameLength = p - name;
    if (nameLength > 2 && fold(text[name]) == 'o' && fold(text[name + 1]) == 'n'
        && !(nameLength == 4 && sameWord(text + name + 2, "ly")))
        std::memset(text + name, 'Z', size_t(nameLength));
    else if (nameLength == 6 && sameWord(text + name, "srcdoc"))
        std::memset(text + name, 'Z', 6);
    while (p < end && kind(text[p]) == Blank)
        ++p;
    if (p >= end)
        return NotWhole;
    if (text[p] != '=')
        return p;
    ++p;
    while (p < end && kind(text[p]) == Blank)
        ++p;
    if (p >= end)
        return NotWhole;
    const char first = text[p];
    if (first == '>')
        return p;
    const bool quoted = kind(first) == Quote;
    const qsizetype value = p + quoted;
    if (quoted) {
        p = find(text, value, end, first);
    } else {
        while (p < end && (kind(text[p]) & (Other | Eq | Quote | Slash | Lt)))
            ++p;
    }
    if (p >= end)
        return NotWhole;
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
    return p + quoted;
}

} // namespace Tarnwick
