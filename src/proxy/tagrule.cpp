#include "proxy/tagrule.h"

#include "proxy/tagruleinternal.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Tarnwick {

using namespace TagRuleInternal;
using ByteScan::find;

namespace {

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

} // namespace

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

// The tokeniser over text[m_at - base, end); `ended`: nothing follows `end`.
void TagRule::scan(char* text, qsizetype base, qsizetype end, bool ended) {
    Cursor at{text, base, m_at - base, end, ended};
    while (at.i < end) {
        bool goesOn = true;
        switch (m_state) {
        case State::Data:
            goesOn = inData(at);
            break;
        case State::TagOpen:
        case State::EndTagOpen:
            tagOpen(at);
            break;
        case State::Bang:
        case State::BangDash:
        case State::CommentStart:
        case State::CommentStartDash:
            commentOpen(at);
            break;
        case State::Comment:
        case State::Bogus:
            goesOn = inComment(at);
            break;
        case State::CommentEndDash:
        case State::CommentEnd:
        case State::CommentEndBang:
            commentClose(at);
            break;
        case State::TagName:
            goesOn = inTagName(at);
            break;
        case State::BeforeName:
        case State::AfterName:
            goesOn = beforeName(at);
            break;
        case State::Name:
            goesOn = inName(at);
            break;
        case State::BeforeValue:
            goesOn = beforeValue(at);
            break;
        case State::Value:
            goesOn = inValue(at);
            break;
        case State::AfterValue:
        case State::SelfClosing:
            afterValue(at);
            break;
        }
        if (!goesOn)
            return;
    }
    m_at = base + at.i;
    if (ended && m_state == State::Name)
        endName(text, base, at.i);
    else if (ended && m_state == State::Value)
        endValue(text, base, at.i);
}

// At a "<" inside an element whose content is text: whether its end tag is here (then
// the tag is read from the "<" on), not (0), or not yet known (-1: wait).
[[gnu::always_inline]] inline int TagRule::rawEnd(Cursor& at) {
    const int r = rawEndAt(at.text, at.i, at.end, at.ended);
    if (r < 0)
        m_at = at.base + at.i;
    return r;
}

[[gnu::always_inline]] inline void TagRule::leaveRaw(Cursor& at) {
    m_raw = -1;
    m_state = State::TagOpen;
    ++at.i;
}

[[gnu::always_inline]] inline bool TagRule::inData(Cursor& at) {
    qsizetype& i = at.i;
    i = find(at.text, i, at.end, '<');
    if (i < at.end && m_raw < 0) {
        const qsizetype lt = i;
        i = wholeTags(at.text, at.base, i, at.end);
        if (i != lt)
            return true; // the states go on from there
    }
    if (i == at.end)
        return true;
    if (m_raw >= 0) {
        const int r = rawEnd(at);
        if (r < 0)
            return false;
        if (r > 0)
            m_raw = -1;
    }
    m_state = State::TagOpen;
    ++i;
    return true;
}

// After "<" or "</".
[[gnu::always_inline]] inline void TagRule::tagOpen(Cursor& at) {
    const char c = at.text[at.i];
    if (m_state == State::TagOpen) {
        if (isLetter(c)) {
            m_endTag = false;
            m_tagLength = 0;
            m_state = State::TagName;
            return;
        }
        m_state = c == '/' ? State::EndTagOpen : c == '!' ? State::Bang : c == '?' ? State::Bogus : State::Data;
        if (m_state != State::Data)
            ++at.i;
    } else if (isLetter(c)) {
        m_endTag = true;
        m_tagLength = 0;
        m_state = State::TagName;
    } else if (c == '>') {
        m_state = State::Data;
        ++at.i;
    } else {
        m_state = State::Bogus;
    }
}

// After "<!", up to the first byte of a comment's text.
[[gnu::always_inline]] inline void TagRule::commentOpen(Cursor& at) {
    const char c = at.text[at.i];
    if (m_state == State::Bang || m_state == State::BangDash) {
        if (c == '-') {
            m_state = m_state == State::Bang ? State::BangDash : State::CommentStart;
            ++at.i;
        } else {
            m_state = State::Bogus;
        }
    } else if (c == '>') {
        m_state = State::Data;
        ++at.i;
    } else if (c == '-') {
        m_state = m_state == State::CommentStart ? State::CommentStartDash : State::CommentEnd;
        ++at.i;
    } else {
        m_state = State::Comment;
    }
}

[[gnu::always_inline]] inline bool TagRule::inComment(Cursor& at) {
    qsizetype& i = at.i;
    // A comment changes at a "-", a bogus comment ends at a ">"; inside an element
    // whose content is text, a "<" may end either.
    const char stop = m_state == State::Comment ? '-' : '>';
    if (m_raw < 0) {
        i = find(at.text, i, at.end, stop);
    } else {
        while (i < at.end && at.text[i] != stop && at.text[i] != '<')
            ++i;
    }
    if (i == at.end)
        return true;
    if (at.text[i] == '<') {
        const int r = rawEnd(at);
        if (r < 0)
            return false;
        if (r > 0)
            leaveRaw(at);
        else
            ++i;
        return true;
    }
    m_state = m_state == State::Comment ? State::CommentEndDash : State::Data;
    ++i;
    return true;
}

// After a "-" in a comment, up to what its "--" leads to.
[[gnu::always_inline]] inline void TagRule::commentClose(Cursor& at) {
    const char c = at.text[at.i];
    if (m_state == State::CommentEndDash) {
        if (c == '-') {
            m_state = State::CommentEnd;
            ++at.i;
        } else {
            m_state = State::Comment;
        }
    } else if (c == '>') {
        m_state = State::Data;
        ++at.i;
    } else if (c == '-') {
        m_state = m_state == State::CommentEnd ? State::CommentEnd : State::CommentEndDash;
        ++at.i;
    } else if (c == '!' && m_state == State::CommentEnd) {
        m_state = State::CommentEndBang;
        ++at.i;
    } else {
        m_state = State::Comment;
    }
}

[[gnu::always_inline]] inline bool TagRule::inTagName(Cursor& at) {
    qsizetype& i = at.i;
    const unsigned goesOn = Other | Eq | Quote | (m_raw < 0 ? Lt : 0);
    while (i < at.end && m_tagLength <= NameBytes && (kind(at.text[i]) & goesOn))
        tagByte(at.text[i++]);
    i = skip(at.text, i, at.end, goesOn); // too long for a name the rule knows
    if (i == at.end)
        return true;
    switch (kind(at.text[i])) {
    case Blank:
        m_state = State::BeforeName;
        ++i;
        return true;
    case Slash:
        m_state = State::SelfClosing;
        ++i;
        return true;
    case Gt:
        tagEnds();
        ++i;
        return true;
    default: { // "<" inside an element whose content is text
        const int r = rawEnd(at);
        if (r < 0)
            return false;
        if (r > 0)
            leaveRaw(at);
        else
            tagByte(at.text[i++]);
        return true;
    }
    }
}

// Blanks before an attribute's name, or after it (then "=" starts its value).
[[gnu::always_inline]] inline bool TagRule::beforeName(Cursor& at) {
    qsizetype& i = at.i;
    const bool after = m_state == State::AfterName;
    while (i < at.end && kind(at.text[i]) == Blank)
        ++i;
    if (i == at.end)
        return true;
    const unsigned k = kind(at.text[i]);
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
            const int r = rawEnd(at);
            if (r < 0)
                return false;
            if (r > 0) {
                leaveRaw(at);
                return true;
            }
        }
        startName(at.base + i);
        m_state = State::Name;
        if (k == Eq) { // a name may start with "="
            nameByte(at.text, at.base, i);
            ++i;
        }
    }
    return true;
}

[[gnu::always_inline]] inline bool TagRule::inName(Cursor& at) {
    qsizetype& i = at.i;
    const unsigned goesOn = Other | Quote | (m_raw < 0 ? Lt : 0);
    while (i < at.end && (m_nameVerdict == Verdict::Open || m_nameLength <= NameBytes)
           && (kind(at.text[i]) & goesOn)) {
        nameByte(at.text, at.base, i);
        ++i;
    }
    // Judged and too long for a name the rule knows: the rest as one span.
    const qsizetype from = i;
    i = skip(at.text, i, at.end, goesOn);
    if (m_nameVerdict == Verdict::Overwrite)
        std::memset(at.text + from, 'Z', size_t(i - from));
    if (i == at.end)
        return true;
    const unsigned k = kind(at.text[i]);
    if (k == Lt) {
        const int r = rawEnd(at);
        if (r < 0)
            return false;
        if (r > 0) {
            endName(at.text, at.base, i);
            leaveRaw(at);
        } else {
            nameByte(at.text, at.base, i);
            ++i;
        }
        return true;
    }
    endName(at.text, at.base, i);
    m_state = k == Blank ? State::AfterName : k == Slash ? State::SelfClosing : k == Eq ? State::BeforeValue : State::Data;
    if (k == Gt)
        tagEnds();
    ++i;
    return true;
}

[[gnu::always_inline]] inline bool TagRule::beforeValue(Cursor& at) {
    qsizetype& i = at.i;
    while (i < at.end && kind(at.text[i]) == Blank)
        ++i;
    if (i == at.end)
        return true;
    const char c = at.text[i];
    const unsigned k = kind(c);
    if (k == Quote) {
        startValue(at.base + i + 1, c);
        m_state = State::Value;
        ++i;
    } else if (k == Gt) {
        tagEnds();
        ++i;
    } else {
        if (k == Lt && m_raw >= 0) {
            const int r = rawEnd(at);
            if (r < 0)
                return false;
            if (r > 0) {
                leaveRaw(at);
                return true;
            }
        }
        startValue(at.base + i, 0);
        m_state = State::Value;
    }
    return true;
}

[[gnu::always_inline]] inline bool TagRule::inValue(Cursor& at) {
    char* const text = at.text;
    qsizetype& i = at.i;
    qsizetype stop = i;
    if (m_quote != 0 && m_raw < 0) {
        stop = find(text, i, at.end, m_quote);
    } else if (m_quote != 0) {
        while (stop < at.end && text[stop] != m_quote && text[stop] != '<')
            ++stop;
    } else {
        const unsigned goesOn = Other | Eq | Quote | Slash | (m_raw < 0 ? Lt : 0);
        stop = skip(text, stop, at.end, goesOn);
    }
    valueBytes(text, at.base, i, stop);
    i = stop;
    if (i == at.end)
        return true;
    const char c = text[i];
    if (c == '<') {
        const int r = rawEnd(at);
        if (r < 0)
            return false;
        if (r > 0) {
            endValue(text, at.base, i);
            leaveRaw(at);
        } else {
            valueBytes(text, at.base, i, i + 1);
            ++i;
        }
        return true;
    }
    endValue(text, at.base, i);
    if (m_quote != 0)
        m_state = State::AfterValue;
    else if (c == '>')
        tagEnds();
    else
        m_state = State::BeforeName;
    ++i;
    return true;
}

// After a quoted value, or after a "/" in a tag.
[[gnu::always_inline]] inline void TagRule::afterValue(Cursor& at) {
    const unsigned k = kind(at.text[at.i]);
    if (k == Gt) {
        tagEnds();
        ++at.i;
    } else if (k == Blank && m_state == State::AfterValue) {
        m_state = State::BeforeName;
        ++at.i;
    } else if (k == Slash && m_state == State::AfterValue) {
        m_state = State::SelfClosing;
        ++at.i;
    } else {
        m_state = State::BeforeName;
    }
}

} // namespace Tarnwick
