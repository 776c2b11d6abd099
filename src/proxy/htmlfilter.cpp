#include "proxy/htmlfilter.h"

#include "proxy/bytescan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace Tarnwick {

namespace {

using ByteScan::find;
using ByteScan::digitValue;
using ByteScan::sameWord;


inline bool isClosing(const char* data) {
    return data[0] == '<' && data[1] == '/' && sameWord(data + 2, "zzzzzz");
}

// What a byte means to the searches for tag names: one opens, the stop bytes end them all.
enum class TagKind : unsigned char { Other, Open, Stop };

constexpr auto TagKinds = [] {
    std::array<TagKind, 256> kinds{};
    kinds['<'] = TagKind::Open;
    for (const unsigned char c : {'>', '"', '-', '_', '='})
        kinds[c] = TagKind::Stop;
    return kinds;
}();

inline TagKind tagKind(char c) {
    return TagKinds[static_cast<unsigned char>(c)];
}

// The searches for tag names still open after text[from, to), which holds no
// "script", when `waiting` were open before it: those opened since the last stop byte.
qsizetype openSearches(const char* text, qsizetype from, qsizetype to, qsizetype waiting) {
    qsizetype opened = 0;
#if defined(__SSE2__)
    const auto is = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    for (; to - from >= 16; to -= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + to - 16));
        const __m128i stops = _mm_or_si128(_mm_or_si128(is(bytes, '>'), is(bytes, '"')),
                                           _mm_or_si128(_mm_or_si128(is(bytes, '-'), is(bytes, '_')), is(bytes, '=')));
        const auto stop = static_cast<unsigned>(_mm_movemask_epi8(stops));
        auto opens = static_cast<unsigned>(_mm_movemask_epi8(is(bytes, '<')));
        if (stop != 0)
            opens &= ~0u << (32 - std::countl_zero(stop)); // those after the last stop
        // Bits counted in the word (no instruction for it is sure to be there).
        opens -= (opens >> 1) & 0x5555;
        opens = (opens & 0x3333) + ((opens >> 2) & 0x3333);
        opens = (opens + (opens >> 4)) & 0x0F0F;
        opened += (opens + (opens >> 8)) & 0x1F;
        if (stop != 0)
            return opened;
    }
#endif
    for (qsizetype k = to - 1; k >= from; --k) {
        const TagKind kind = tagKind(text[k]);
        if (kind == TagKind::Stop)
            return opened;
        opened += kind == TagKind::Open;
    }
    return waiting + opened;
}


} // namespace

HtmlFilter::HtmlFilter(bool setCookie, bool script, bool chunked)
    : m_setCookie(setCookie), m_script(script), m_chunked(chunked) {}

QByteArray HtmlFilter::feed(QByteArrayView piece) {
    return pass(piece, false);
}

QByteArray HtmlFilter::finish() {
    return pass({}, true);
}

void HtmlFilter::filterWhole(char* data, qsizetype length, bool setCookie, bool script,
                             bool chunked) {
    HtmlFilter filter(setCookie, script, chunked);
    if (setCookie)
        filter.cookies(data, length, true);
    if (script) {
        filter.frame(data, 0, length);
        filter.scriptsOver(data, length, true);
    }
}

QByteArray HtmlFilter::pass(QByteArrayView piece, bool ended) {
    QByteArray bytes;
    if (m_setCookie && !m_cookieDone) {
        m_cookieHeld.append(piece);
        const qsizetype done = cookies(m_cookieHeld.data(), m_cookieHeld.size(), ended);
        bytes = std::move(m_cookieHeld);
        m_cookieHeld = bytes.sliced(done);
        bytes.truncate(done);
    } else {
        bytes = piece.toByteArray();
    }
    if (!m_script)
        return bytes;

    const qsizetype from = m_wire.size();
    if (from == 0)
        m_wire = std::move(bytes);
    else
        m_wire.append(bytes);
    frame(m_wire.constData(), from, m_wire.size());
    const qsizetype done = scriptsOver(m_wire.data(), m_wire.size(), ended);
    QByteArray out = std::move(m_wire);
    m_wire = out.sliced(done);
    out.truncate(done);
    return out;
}

// Every "set-cookie:" (any case, not at the first byte) before the first blank line
// becomes "XXXXXXXXXX:", and its value from the second byte after the colon up to the
// next CR becomes Y (to the end of the answer when no CR follows). A name is looked
// for only where all of it has come; a value is overwritten as it comes.
qsizetype HtmlFilter::cookies(char* data, qsizetype length, bool ended) {
    const qsizetype nameEnd = length - 10; // a name before it has all its 11 bytes here
    qsizetype i = 0;
    while (i < length) {
        if (m_inValue) {
            const qsizetype cr = find(data, i, length, '\r');
            const qsizetype from = std::max(i, m_valueFrom - m_cookieAt);
            if (cr > from)
                std::memset(data + from, 'Y', static_cast<size_t>(cr - from));
            i = cr;
            if (cr == length)
                break;
            m_inValue = false;
        }
        if (m_cookieAt + i == 0)
            ++i; // the first byte starts nothing
        while (i < nameEnd && data[i] != '\r' && (data[i] | 0x20) != 's')
            ++i;
        if (i >= nameEnd) {
            if (ended)
                i = length; // too close to the end for a name
            break;
        }
        if (sameWord(data + i, "set-cookie:")) {
            std::memset(data + i, 'X', 10);
            m_inValue = true;
            m_valueFrom = m_cookieAt + i + 12;
            i += 11;
        } else if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r'
                   && data[i + 3] == '\n') {
            m_cookieDone = true; // the body is never touched
            i = length;
        } else {
            ++i;
        }
    }
    m_cookieAt += i;
    return i;
}

// Sorts the wire bytes [from, to) into text (appended to m_text) and framing.
void HtmlFilter::frame(const char* wire, qsizetype from, qsizetype to) {
    const auto addText = [this](qsizetype at, qsizetype length) {
        if (length == 0)
            return;
        if (!m_text.empty() && m_text.back().offset + m_text.back().length == at)
            m_text.back().length += length;
        else
            m_text.push_back({at, length});
    };
    const auto startLine = [this] {
        m_frame = Frame::SizeLine;
        m_lineBytes = 0;
        m_inDigits = true;
        m_lineCr = false;
        m_digits = 0;
        m_chunkLeft = 0;
    };
    qsizetype i = from;
    while (i < to) {
        switch (m_frame) {
        case Frame::Head: {
            if (!m_chunked) {
                addText(i, to - i);
                i = to;
                break;
            }
            // The head runs to its first "\r\n\r\n" (or to the end).
            static constexpr char blank[] = "\r\n\r\n";
            const qsizetype start = i;
            while (i < to && m_blankSeen < 4) {
                const char c = wire[i++];
                m_blankSeen = c == blank[m_blankSeen] ? m_blankSeen + 1 : (c == '\r' ? 1 : 0);
            }
            addText(start, i - start);
            if (m_blankSeen == 4)
                startLine();
            break;
        }
        case Frame::SizeLine: {
            // chunk-size [; extensions] CR LF; the size is the leading hex digits.
            const char c = wire[i++];
            if (m_lineCr && c == '\n') {
                // No digit, or the last chunk: the trailer stays as it is.
                m_frame = (m_digits == 0 || m_chunkLeft == 0) ? Frame::Rest : Frame::Data;
                break;
            }
            if (++m_lineBytes > MaxChunkLine + 1) {
                m_frame = Frame::Rest;
                break;
            }
            m_lineCr = c == '\r';
            const int value = m_inDigits ? digitValue(c, true) : -1;
            if (value < 0) {
                m_inDigits = false;
            } else if (m_chunkLeft > (std::numeric_limits<qsizetype>::max() >> 4)) {
                m_frame = Frame::Rest; // no answer is that long
            } else {
                m_chunkLeft = m_chunkLeft * 16 + value;
                ++m_digits;
            }
            break;
        }
        case Frame::Data: {
            const qsizetype length = std::min(m_chunkLeft, to - i);
            addText(i, length);
            i += length;
            m_chunkLeft -= length;
            if (m_chunkLeft == 0)
                m_frame = Frame::DataCr;
            break;
        }
        case Frame::DataCr:
            m_frame = wire[i++] == '\r' ? Frame::DataLf : Frame::Rest;
            break;
        case Frame::DataLf:
            if (wire[i++] == '\n')
                startLine();
            else
                m_frame = Frame::Rest;
            break;
        case Frame::Rest:
            i = to;
            break;
        }
    }
}

// Runs the Script rule over the text in `wire` (as m_text lists it) and returns how
// many bytes of `wire` are final: up to the first text byte still held.
qsizetype HtmlFilter::scriptsOver(char* wire, qsizetype length, bool ended) {
    // After a last or malformed chunk no text follows: its end is known.
    ended = ended || m_frame == Frame::Rest;
    if (m_textEnded) {
        m_text.clear();
        return length;
    }
    m_textEnded = ended;
    qsizetype textLength = 0;
    for (const Run& run : m_text)
        textLength += run.length;

    qsizetype done;
    if (m_text.size() <= 1) {
        done = scripts(m_text.empty() ? wire : wire + m_text.front().offset, textLength, ended);
    } else {
        // Chunk data read as one text: joined, filtered, put back.
        QByteArray joined(textLength, Qt::Uninitialized);
        qsizetype at = 0;
        for (const Run& run : m_text) {
            std::memcpy(joined.data() + at, wire + run.offset, size_t(run.length));
            at += run.length;
        }
        done = scripts(joined.data(), textLength, ended);
        at = 0;
        for (const Run& run : m_text) {
            std::memcpy(wire + run.offset, joined.constData() + at, size_t(run.length));
            at += run.length;
        }
    }
    if (ended)
        done = textLength;
    m_base += done;

    if (done == textLength) {
        m_text.clear();
        return length;
    }
    // Keep the runs from the first held text byte on, counted from there.
    auto run = m_text.begin();
    for (; done >= run->length; ++run)
        done -= run->length;
    const qsizetype cut = run->offset + done;
    run->offset = cut;
    run->length -= done;
    m_text.erase(m_text.begin(), run);
    for (Run& kept : m_text)
        kept.offset -= cut;
    return cut;
}

// The Script rule over the text from position m_base on, `length` bytes of it here;
// returns how many of them are final. Tag names: after each "<" (not at the first byte)
// the first "script" or "/script" before any of > " - _ = becomes Z, "<"s before it
// sharing the search; script bodies: after an opening "<zzzzzz" (any case) and its
// next ">", every byte up to the next "</zzzzzz" becomes a blank. Nothing counts within
// the last 7 bytes of the whole text, and a body without a closing is blanked only up
// to the 8th-last byte, so the bytes near what has come so far wait for more. Then the
// tag rule (event handlers, srcdoc, script URLs) reads what these leave final.
qsizetype HtmlFilter::scripts(char* text, qsizetype length, bool ended) {
    // Tag names, at every position with 6 bytes after it. A "<" opens a search that a
    // stop byte ends and a match closes; so a "script" matches when more "<" than matches
    // came since the last stop byte. Found by looking for the (rare) word and counting
    // back, not by reading every byte after every "<".
    const qsizetype tagEnd = length - 6;
    qsizetype i = m_tagAt - m_base;
    qsizetype waiting = m_waiting;
    // The searches open after text[from, to), which holds no match.
    const auto open = [&](qsizetype from, qsizetype to) {
        return openSearches(text, from + (from == 0 && m_base == 0), to, waiting);
    };
    while (i < tagEnd) {
        if (waiting == 0) { // nothing matches before the next "<"
            if (i == 0 && m_base == 0)
                i = 1;
            i = find(text, i, tagEnd, '<');
            if (i == tagEnd)
                break;
        }
        // The next "script", where it can still match: before tagEnd, or right at it
        // after a "/" read just before.
        qsizetype q = i;
        while ((q = ByteScan::findPair(text, q, tagEnd + 1, 's', 'c', 0x20)) <= tagEnd
               && !sameWord(text + q, "script"))
            ++q;
        if (q > tagEnd || (q == tagEnd && text[q - 1] != '/')) {
            if (!ended) // what stays open matters only to text still to come
                waiting = open(i, tagEnd);
            i = tagEnd;
            break;
        }
        waiting = open(i, q);
        if (waiting > 0) {
            std::memset(text + q, 'Z', 6);
            --waiting;
            i = q + 6;
        } else {
            i = std::min(q + 6, tagEnd);
        }
    }
    m_waiting = waiting;
    m_tagAt = m_base + i;

    // Bodies, over the bytes the tag names leave final.
    const qsizetype ready = ended ? length : std::min(length, m_tagAt - m_base);
    qsizetype j = m_bodyAt - m_base;
    for (;;) {
        if (m_body == Body::Opening) {
            const qsizetype end = ready - 6; // an opening needs its 7 bytes
            if (j >= end)
                break;
            if (j == 0 && m_base == 0)
                j = 1;
            while ((j = ByteScan::findPair(text, j, end, '<', 'z', 0)) < end
                   && !sameWord(text + j + 1, "zzzzzz"))
                ++j;
            if (j == end)
                break;
            m_body = Body::Gt;
            j += 7;
        } else if (m_body == Body::Gt) {
            const qsizetype end = std::min(ready, length - 6); // 6 bytes after the ">"
            if (j >= end)
                break;
            j = find(text, j, end, '>');
            if (j == end)
                break;
            m_body = Body::Blank;
            ++j;
        } else {
            const qsizetype end = ready - 7; // a closing needs its 8 bytes
            if (j >= end)
                break;
            qsizetype closing = j;
            while ((closing = find(text, closing, end, '<')) < end && !isClosing(text + closing))
                ++closing;
            std::memset(text + j, ' ', static_cast<size_t>(closing - j));
            j = closing;
            if (closing == end)
                break;
            m_body = Body::Opening;
            ++j; // the closing's "<" opens nothing
        }
    }
    m_bodyAt = m_base + j;
    return m_tags.run(text, m_base, ended ? length : std::clamp<qsizetype>(j, 0, length), ended);
}

} // namespace Tarnwick
