#include "proxy/responsefilters.h"

#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Tarnwick {

namespace {

// Only ASCII letters fold; every other byte matches only itself.
inline unsigned char fold(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

// True when the bytes at `data` match the lower-case `pattern`.
inline bool matchesAt(const char* data, QByteArrayView pattern) {
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (fold(data[i]) != static_cast<unsigned char>(pattern[i]))
            return false;
    }
    return true;
}

// The characters that end the search for a tag name after "<".
inline bool isStop(char c) {
    return c == '>' || c == '"' || c == '-' || c == '_' || c == '=';
}

inline bool isClosing(const char* data) {
    return data[0] == '<' && data[1] == '/' && matchesAt(data + 2, "zzzzzz");
}

// First offset of `c` in [from, to], or to + 1.
inline qsizetype findByte(const char* data, qsizetype from, qsizetype to, char c) {
    if (from > to)
        return to + 1;
    const void* hit = std::memchr(data + from, c, static_cast<size_t>(to - from + 1));
    return hit ? static_cast<const char*>(hit) - data : to + 1;
}

// Reads a rule's switch once. A value outside its set is removed from the store (the
// next answer reads the default) and the rule stays off for this answer.
bool ruleIsOn(SettingsStore& store, const SettingKey& key) {
    const ChoiceValue value = store.choice(key);
    if (value == ChoiceValue::Block)
        return true;
    if (value != ChoiceValue::Allow)
        store.remove(key);
    return false;
}

} // namespace

bool htmlRulesApply(QByteArrayView contentType) {
    return contentType.size() > 4 && contentType.indexOf(QByteArrayView("html")) >= 0;
}

void applySetCookieRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store) {
    if (!ruleIsOn(store, Setting::SetCookie) || !htmlRulesApply(contentType))
        return;
    neutraliseSetCookie(answer.data(), answer.size());
}

void applyScriptRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store,
                     bool chunked) {
    if (!ruleIsOn(store, Setting::Script) || !htmlRulesApply(contentType))
        return;
    if (!chunked) {
        rewriteScripts(answer.data(), answer.size());
        return;
    }
    const qsizetype blank = answer.indexOf("\r\n\r\n");
    rewriteScriptsAcross(answer.data(),
                         scriptRuleSpans(answer, blank < 0 ? answer.size() : blank + 4));
}

std::vector<ByteSpan> scriptRuleSpans(QByteArrayView answer, qsizetype bodyStart) {
    std::vector<ByteSpan> spans{{0, bodyStart}};
    qsizetype at = bodyStart;
    const qsizetype length = answer.size();
    while (at < length) {
        // chunk-size [; extensions] CR LF
        const qsizetype lineEnd = answer.indexOf("\r\n", at);
        if (lineEnd < 0)
            break;
        qsizetype size = 0;
        qsizetype digits = 0;
        for (qsizetype k = at; k < lineEnd; ++k, ++digits) {
            const char c = answer[k];
            int value;
            if (c >= '0' && c <= '9')
                value = c - '0';
            else if (c >= 'a' && c <= 'f')
                value = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                value = c - 'A' + 10;
            else
                break;
            if (size > (std::numeric_limits<qsizetype>::max() >> 4))
                return spans; // no answer is that long
            size = size * 16 + value;
        }
        if (digits == 0 || size == 0)
            break; // malformed, or the last chunk: the trailer stays as it is
        const qsizetype data = lineEnd + 2;
        const qsizetype available = std::min(size, length - data);
        if (available > 0)
            spans.push_back({data, available});
        if (available < size)
            break; // the server closed inside this chunk
        at = data + size;
        if (answer.sliced(at).startsWith("\r\n"))
            at += 2;
        else
            break;
    }
    return spans;
}

void rewriteScriptsAcross(char* data, const std::vector<ByteSpan>& spans) {
    qsizetype total = 0;
    for (const ByteSpan& span : spans)
        total += span.length;
    QByteArray joined(total, Qt::Uninitialized);
    qsizetype at = 0;
    for (const ByteSpan& span : spans) {
        std::memcpy(joined.data() + at, data + span.offset, size_t(span.length));
        at += span.length;
    }
    rewriteScripts(joined.data(), joined.size());
    at = 0;
    for (const ByteSpan& span : spans) {
        std::memcpy(data + span.offset, joined.constData() + at, size_t(span.length));
        at += span.length;
    }
}

void neutraliseSetCookie(char* data, qsizetype length) {
    constexpr QByteArrayView name = "set-cookie:";
    const qsizetype last = length - name.size(); // the last offset a name can start at
    // The first CR at or after the current offset. Replacements write X over letters
    // and Y only before that CR, so a CR found once stays the first one for every
    // later offset up to it: the search runs once per line, not once per match.
    qsizetype cr = -1;
    for (qsizetype p = 1; p <= last; ++p) {
        if (fold(data[p]) == 's' && matchesAt(data + p, name)) {
            std::memset(data + p, 'X', 10);
            if (cr < p)
                cr = findByte(data, p, length - 1, '\r');
            // The value from the byte after the blank up to the CR; without any CR
            // after it (a cut-off header block) it runs to the end of the buffer.
            const qsizetype valueStart = p + 12;
            if (cr > valueStart)
                std::memset(data + valueStart, 'Y', static_cast<size_t>(cr - valueStart));
        }
        if (data[p] == '\r' && data[p + 1] == '\n' && data[p + 2] == '\r' && data[p + 3] == '\n')
            return; // end of the header block: the body is never touched
    }
}

void rewriteScripts(char* data, qsizetype length) {
    if (length < 8)
        return;
    const qsizetype last = length - 7; // the last offset a "<" counts at

    // Tag names. Each "<" rewrites at the first stop character or name after it. Writing
    // Z over letters never creates a stop, a name or a "<", it can only destroy names,
    // so the first such event after one "<" is never before the one found for the "<"
    // before it: one pointer serves every "<" and re-checks its spot on the bytes as
    // they are now.
    qsizetype event = 0;
    for (qsizetype p = findByte(data, 1, last, '<'); p <= last; p = findByte(data, p + 1, last, '<')) {
        event = std::max(event, p + 1);
        for (; event <= last; ++event) {
            const char c = data[event];
            if (isStop(c))
                break;
            if (matchesAt(data + event, "script")) {
                std::memset(data + event, 'Z', 6);
                break;
            }
            if (c == '/' && matchesAt(data + event + 1, "script")) {
                std::memset(data + event + 1, 'Z', 6);
                break;
            }
        }
        if (event > last)
            break; // nothing left for any later "<" either
    }

    // Script bodies. Blanking writes only blanks, so closings are never made or lost
    // (the stretch starts after a ">", which no closing holds), while ">" and openings
    // can only disappear. Both the ">" and the closing after each opening therefore lie
    // at or after those found for the opening before it, and an opening that shares its
    // closing with the one before finds its stretch already blank.
    const qsizetype lastClosing = length - 8;
    qsizetype gt = 0;
    qsizetype closing = 0;
    qsizetype blankedTo = -1; // end of the stretch blanked last
    for (qsizetype p = findByte(data, 1, last, '<'); p <= last; p = findByte(data, p + 1, last, '<')) {
        if (!matchesAt(data + p + 1, "zzzzzz"))
            continue;
        gt = std::max(gt, p + 7);
        gt = findByte(data, gt, last, '>');
        if (gt > last)
            break; // no later opening has a ">" either
        const qsizetype from = gt + 1;
        closing = std::max(closing, from);
        while (closing <= lastClosing && !isClosing(data + closing))
            ++closing;
        // `closing` is now the first closing at or after `from`, or length - 7 when none
        // follows: blanking then stops before the last 7 bytes.
        if (closing == blankedTo)
            continue;
        std::memset(data + from, ' ', static_cast<size_t>(closing - from));
        blankedTo = closing;
    }
}

} // namespace Tarnwick
