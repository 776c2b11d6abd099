#include "proxy/referencefilters.h"

#include "proxy/tagrule.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace Tarnwick::Reference {

namespace {

bool matches(const char* data, qsizetype at, const char* pattern) {
    for (qsizetype i = 0; pattern[i] != '\0'; ++i) {
        unsigned char b = static_cast<unsigned char>(data[at + i]);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b - 'A' + 'a');
        if (b != static_cast<unsigned char>(pattern[i]))
            return false;
    }
    return true;
}

} // namespace

void neutraliseSetCookie(char* data, qsizetype length) {
    for (qsizetype p = 1; p <= length - 11; ++p) {
        if (matches(data, p, "set-cookie:")) {
            for (qsizetype i = 0; i < 10; ++i)
                data[p + i] = 'X';
            // No CR at all after the name: the value runs to the end of the buffer.
            qsizetype j = 0;
            while (p + j < length && data[p + j] != '\r')
                ++j;
            const qsizetype e = j - 1;
            for (qsizetype k = 12; k <= e; ++k)
                data[p + k] = 'Y';
        }
        if (matches(data, p, "\r\n\r\n"))
            return;
    }
}

namespace {

void renameScripts(char* data, qsizetype length) {
    for (qsizetype p = 1; p <= length - 7; ++p) {
        if (!matches(data, p, "<"))
            continue;
        for (qsizetype q = p + 1; q <= length - 7; ++q) {
            if (matches(data, q, ">") || matches(data, q, "\"") || matches(data, q, "-")
                || matches(data, q, "_") || matches(data, q, "=")) {
                break;
            }
            if (matches(data, q, "script")) {
                for (qsizetype i = 0; i < 6; ++i)
                    data[q + i] = 'Z';
                break;
            }
            if (matches(data, q, "/script")) {
                for (qsizetype i = 1; i <= 6; ++i)
                    data[q + i] = 'Z';
                break;
            }
        }
    }

    for (qsizetype p = 1; p <= length - 7; ++p) {
        if (!(matches(data, p, "<") && matches(data, p + 1, "zzzzzz")))
            continue;
        qsizetype r = -1;
        for (qsizetype k = p + 7; k <= length - 7; ++k) {
            if (matches(data, k, ">")) {
                r = k;
                break;
            }
        }
        if (r < 0)
            continue;
        for (qsizetype s = r + 1; s <= length - 8; ++s) {
            if (matches(data, s, "</zzzzzz"))
                break;
            data[s] = ' ';
        }
    }
}


char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string lowered(const char* data, qsizetype from, qsizetype to) {
    std::string out;
    for (qsizetype i = from; i < to; ++i)
        out += lower(data[i]);
    return out;
}

bool blank(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isPrefix(const std::string& s, std::string_view of) {
    return s.size() < of.size() && of.substr(0, s.size()) == s;
}

// A data: URL's media type (the text before its first "," or ";") that runs nothing.
bool harmlessType(std::string type, bool imgSrc) {
    while (!type.empty() && type.front() == ' ')
        type.erase(0, 1);
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    if (type.empty() || type == "text/plain" || type == "text/css")
        return true;
    if (type == "image/svg+xml")
        return imgSrc;
    const size_t slash = type.find('/');
    if (slash == std::string::npos)
        return false;
    const std::string major = type.substr(0, slash);
    const std::string minor = type.substr(slash + 1);
    if (major != "image" && major != "audio" && major != "video" && major != "font")
        return false;
    if (minor.empty())
        return false;
    for (const char c : minor) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_'))
            return false;
    }
    return true;
}

// True when an attribute value (v, n bytes, `complete` unless it goes on past them) must
// be overwritten: its character references decoded, controls and blanks before it and
// tabs and line breaks in it dropped, letters lowered, it starts javascript: or
// vbscript:, or in a URL attribute data: with a type that may run; or it may still do so
// when more follows.
bool runsScript(const char* v, qsizetype n, bool complete, bool url, bool imgSrc) {
    std::string s;
    bool leading = true;
    const auto put = [&](unsigned c) {
        if (leading && c <= 0x20)
            return;
        leading = false;
        if (c == '\t' || c == '\n' || c == '\r')
            return;
        s += lower(char(c));
    };
    qsizetype k = 0;
    while (k < n) {
        const unsigned char b = static_cast<unsigned char>(v[k]);
        if (b != '&') {
            put(b < 0x80 ? b : 0xFF);
            ++k;
            continue;
        }
        if (k + 1 < n && v[k + 1] == '#') {
            qsizetype m = k + 2;
            const bool hex = m < n && (v[m] == 'x' || v[m] == 'X');
            if (hex)
                ++m;
            const qsizetype first = m;
            std::uint64_t value = 0;
            while (m < n) {
                const char c = v[m];
                int d = -1;
                if (c >= '0' && c <= '9')
                    d = c - '0';
                else if (hex && lower(c) >= 'a' && lower(c) <= 'f')
                    d = lower(c) - 'a' + 10;
                if (d < 0)
                    break;
                value = std::min<std::uint64_t>(value * (hex ? 16 : 10) + std::uint64_t(d), 0x110000);
                ++m;
            }
            if (m == n && !complete) {
                complete = false; // a reference the cut leaves unfinished
                break;
            }
            if (m > first) {
                if (m < n && v[m] == ';')
                    ++m;
                put(value < 0x80 ? unsigned(value) : 0xFF);
                k = m;
                continue;
            }
            put('&');
            ++k;
            continue;
        }
        bool unfinished = false;
        bool named = false;
        for (const auto& [name, c] : {std::pair<std::string_view, char>{"colon;", ':'},
                                      {"Tab;", '\t'},
                                      {"NewLine;", '\n'}}) {
            const std::string_view rest(v + k + 1, size_t(n - k - 1));
            if (rest.substr(0, name.size()) == name) {
                put(static_cast<unsigned char>(c));
                k += 1 + qsizetype(name.size());
                named = true;
                break;
            }
            if (rest.size() < name.size() && name.substr(0, rest.size()) == rest)
                unfinished = true;
        }
        if (named)
            continue;
        if (unfinished && !complete)
            break;
        put('&');
        ++k;
    }

    if (s.starts_with("javascript:") || s.starts_with("vbscript:"))
        return true;
    if (url && s.starts_with("data:")) {
        const std::string rest = s.substr(5);
        const size_t end = rest.find_first_of(",;");
        if (end == std::string::npos && !complete)
            return true;
        return !harmlessType(rest.substr(0, end), imgSrc);
    }
    const bool open = isPrefix(s, "javascript:") || isPrefix(s, "vbscript:") || (url && isPrefix(s, "data:"));
    return open && !complete;
}

// Reads data[from, to) as HTML, overwriting event-handler and srcdoc names with Z and
// script URLs with "about:blank" and blanks.
class Tags {
public:
    Tags(char* data, qsizetype to) : d(data), to(to) {}

    void read(qsizetype p) {
        while (p < to) {
            if (d[p] != '<') {
                ++p;
                continue;
            }
            if (rawEnds(p))
                raw.clear();
            p = markup(p);
        }
    }

private:
    // Whether the element whose content is text ends at the "<" at p.
    bool rawEnds(qsizetype p) const {
        const qsizetype n = qsizetype(raw.size());
        if (raw.empty() || p + 2 + n >= to || d[p + 1] != '/' || lowered(d, p + 2, p + 2 + n) != raw)
            return false;
        const char after = d[p + 2 + n];
        return blank(after) || after == '/' || after == '>';
    }

    // Reading stops at p: the text or the element whose content is text ends there.
    bool stops(qsizetype p) const {
        return p >= to || (d[p] == '<' && rawEnds(p));
    }

    // The markup at the "<" at p; returns where the text goes on.
    qsizetype markup(qsizetype p) {
        const qsizetype q = p + 1;
        if (q >= to)
            return q;
        if (letter(d[q]))
            return tag(q, false);
        if (d[q] == '/') {
            if (q + 1 < to && letter(d[q + 1]))
                return tag(q + 1, true);
            if (q + 1 < to && d[q + 1] == '>')
                return q + 2;
            return bogus(q + 1);
        }
        if (d[q] == '!') {
            if (q + 2 < to && d[q + 1] == '-' && d[q + 2] == '-')
                return comment(q + 3);
            return bogus(q + 1);
        }
        if (d[q] == '?')
            return bogus(q + 1);
        return q;
    }

    qsizetype bogus(qsizetype p) {
        for (; !stops(p); ++p) {
            if (d[p] == '>')
                return p + 1;
        }
        return p;
    }

    // A comment whose text starts at c ends at the first ">" right after "<!--" or
    // "<!---", or after "--" or "--!" within it.
    qsizetype comment(qsizetype c) {
        qsizetype k = c;
        for (; !stops(k); ++k) {
            if (d[k] != '>')
                continue;
            if (k == c || (k == c + 1 && d[c] == '-')
                || (k >= c + 2 && d[k - 2] == '-' && d[k - 1] == '-')
                || (k >= c + 3 && d[k - 3] == '-' && d[k - 2] == '-' && d[k - 1] == '!'))
                return k + 1;
        }
        return k;
    }

    qsizetype tag(qsizetype s, bool endTag) {
        qsizetype p = s;
        while (!stops(p) && !blank(d[p]) && d[p] != '/' && d[p] != '>')
            ++p;
        const std::string name = lowered(d, s, p);
        for (;;) {
            while (!stops(p) && (blank(d[p]) || d[p] == '/'))
                ++p;
            if (stops(p))
                return p;
            if (d[p] == '>') {
                static const std::string_view rawText[] = {"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes", "noscript", "plaintext"};
                if (!endTag && raw.empty() && std::find(std::begin(rawText), std::end(rawText), name) != std::end(rawText))
                    raw = name;
                return p + 1;
            }
            const qsizetype n0 = p++;
            while (!stops(p) && !blank(d[p]) && d[p] != '/' && d[p] != '>' && d[p] != '=')
                ++p;
            const std::string attribute = lowered(d, n0, p);
            if (attribute == "srcdoc" || (attribute.size() > 2 && attribute.starts_with("on") && attribute != "only"))
                std::memset(d + n0, 'Z', size_t(p - n0));
            const bool url = attribute == "src" || attribute == "href" || attribute == "data" || attribute == "action" || attribute == "formaction" || attribute == "xlink:href";
            const bool imgSrc = name == "img" && attribute == "src";
            while (!stops(p) && blank(d[p]))
                ++p;
            if (stops(p))
                return p;
            if (d[p] != '=')
                continue;
            ++p;
            while (!stops(p) && blank(d[p]))
                ++p;
            if (stops(p) || d[p] == '>')
                continue; // no value: the loop's start reads what ends the tag
            const bool quoted = d[p] == '"' || d[p] == '\'';
            const qsizetype v0 = quoted ? p + 1 : p;
            p = v0;
            while (!stops(p) && (quoted ? d[p] != d[v0 - 1] : !blank(d[p]) && d[p] != '>'))
                ++p;
            // A value longer than 1024 bytes is judged by its first 1024 alone.
            const qsizetype length = p - v0;
            if (runsScript(d + v0, std::min<qsizetype>(length, 1024), length <= 1024, url, imgSrc))
                neutraliseValue(d + v0, length, 0);
            if (quoted && !stops(p))
                ++p; // the closing quote
        }
    }

    char* d;
    qsizetype to;
    std::string raw; // the element whose content is text, while inside one
};

} // namespace

void rewriteScripts(char* data, qsizetype length) {
    renameScripts(data, length);
    // The head is no markup: the body is read afresh after its first empty line.
    const std::string_view text(data, size_t(length));
    const size_t lf = text.find("\n\n");
    const size_t crlf = text.find("\n\r\n");
    const size_t head = std::min(lf == std::string_view::npos ? lf : lf + 2,
                                 crlf == std::string_view::npos ? crlf : crlf + 3);
    if (head == std::string_view::npos) {
        Tags(data, length).read(0);
        return;
    }
    Tags(data, qsizetype(head)).read(0);
    Tags(data, length).read(qsizetype(head));
}

} // namespace Tarnwick::Reference
