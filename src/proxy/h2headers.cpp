#include "proxy/h2headers.h"

#include <QList>

#include <algorithm>

namespace Tarnwick {

namespace {

constexpr QByteArrayView CrLf = "\r\n";

// A field name's byte: a token character (letters in either case, digits and
// "!#$%&'*+-.^_`|~"). Nothing else may end up in a name on either side.
bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView name) {
    return !name.isEmpty() && std::all_of(name.begin(), name.end(), isTokenChar);
}

// A value that cannot end its line early or smuggle in another.
bool isSafeValue(QByteArrayView value) {
    return !value.contains('\r') && !value.contains('\n') && !value.contains('\0');
}

QByteArray trimmed(QByteArrayView text) {
    return text.trimmed().toByteArray();
}

// "if-modified-since" as HTTP/1.1 writes it: "If-Modified-Since".
QByteArray titleCase(QByteArrayView lower) {
    QByteArray name = lower.toByteArray();
    bool start = true;
    for (char& c : name) {
        if (start && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        start = c == '-';
    }
    return name;
}

// The lower-case names a Connection value lists.
std::vector<QByteArray> connectionTokens(const HeaderList& fields) {
    std::vector<QByteArray> tokens;
    for (const HeaderField& f : fields) {
        if (f.name != "connection")
            continue;
        for (const QByteArray& token : f.value.split(','))
            tokens.push_back(token.trimmed().toLower());
    }
    return tokens;
}

// Drops what HTTP/2 forbids and HTTP/1.1 keeps per connection. A content-length beside
// a transfer coding is wrong in either protocol: the coding wins, the length goes.
HeaderList withoutConnectionFields(const HeaderList& fields) {
    static const QByteArrayView always[] = {"connection", "keep-alive", "proxy-connection",
                                            "transfer-encoding", "upgrade"};
    const std::vector<QByteArray> named = connectionTokens(fields);
    const bool coded = std::any_of(fields.begin(), fields.end(), [](const HeaderField& f) {
        return f.name == "transfer-encoding";
    });
    HeaderList kept;
    for (const HeaderField& f : fields) {
        if (std::find(std::begin(always), std::end(always), f.name) != std::end(always) ||
            std::find(named.begin(), named.end(), f.name) != named.end())
            continue;
        if (f.name == "te" && f.value.trimmed().compare("trailers", Qt::CaseInsensitive) != 0)
            continue;
        if (f.name == "content-length" && coded)
            continue;
        kept.push_back(f.name == "te" ? HeaderField{f.name, "trailers"} : f);
    }
    return kept;
}

// An HTTP/1.1 head's start line and its fields, names in lower case. A line folded onto
// the one before continues its value; a line without a colon is no field and is skipped.
struct ParsedHead {
    QByteArray startLine;
    HeaderList fields;
};

std::optional<ParsedHead> parseHead(QByteArrayView head) {
    const qsizetype blank = head.indexOf(QByteArrayView("\r\n\r\n"));
    const QByteArrayView block = blank < 0 ? head : head.first(blank);
    ParsedHead parsed;
    qsizetype at = 0;
    bool first = true;
    while (at <= block.size()) {
        qsizetype end = block.indexOf(CrLf, at);
        if (end < 0)
            end = block.size();
        const QByteArrayView line = block.sliced(at, end - at);
        at = end + CrLf.size();
        if (first) {
            parsed.startLine = line.toByteArray();
            first = false;
            continue;
        }
        if (line.isEmpty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && !parsed.fields.empty()) {
            parsed.fields.back().value += ' ' + trimmed(line);
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArrayView name = line.first(colon);
        if (!isToken(name))
            return std::nullopt;
        parsed.fields.push_back({name.toByteArray().toLower(), trimmed(line.sliced(colon + 1))});
    }
    for (const HeaderField& f : parsed.fields) {
        if (!isSafeValue(f.value))
            return std::nullopt;
    }
    return parsed;
}

// A received list split into its pseudo-headers (those in `allowed` only) and its fields,
// each checked; nothing when anything is out of place.
struct SplitList {
    HeaderList pseudo;
    HeaderList fields;
    const QByteArray* find(QByteArrayView name) const {
        for (const HeaderField& f : pseudo) {
            if (f.name == name)
                return &f.value;
        }
        return nullptr;
    }
};

std::optional<SplitList> splitList(const HeaderList& list,
                                   std::initializer_list<QByteArrayView> allowed) {
    SplitList split;
    for (const HeaderField& f : list) {
        if (!isSafeValue(f.value))
            return std::nullopt;
        if (f.name.startsWith(':')) {
            if (std::find(allowed.begin(), allowed.end(), f.name) == allowed.end() ||
                split.find(f.name))
                return std::nullopt;
            split.pseudo.push_back(f);
            continue;
        }
        if (!isToken(f.name) || f.name != f.name.toLower())
            return std::nullopt;
        split.fields.push_back(f);
    }
    split.fields = withoutConnectionFields(split.fields);
    return split;
}

// The field lines of a head, cookie crumbs joined at the first crumb's place, and the
// chunked coding announced when a body follows without a length.
QByteArray fieldLines(const HeaderList& fields, bool bodyFollows) {
    QByteArray lines;
    QByteArray cookie;
    qsizetype cookieAt = -1;
    bool length = false;
    for (const HeaderField& f : fields) {
        if (f.name == "host")
            continue;
        if (f.name == "cookie") {
            if (cookieAt < 0)
                cookieAt = lines.size();
            cookie += (cookie.isEmpty() ? "" : "; ") + f.value;
            continue;
        }
        length = length || f.name == "content-length";
        lines += titleCase(f.name) + ": " + f.value + "\r\n";
    }
    if (cookieAt >= 0)
        lines.insert(cookieAt, "Cookie: " + cookie + "\r\n");
    if (bodyFollows && !length)
        lines += "Transfer-Encoding: chunked\r\n";
    return lines + "\r\n";
}

bool isStatus(QByteArrayView status) {
    return status.size() == 3 &&
           std::all_of(status.begin(), status.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           status[0] != '0';
}

} // namespace

std::optional<QByteArray> requestHeadFromList(const HeaderList& list, RequestForm form,
                                              bool bodyFollows) {
    const std::optional<SplitList> split =
        splitList(list, {":method", ":scheme", ":authority", ":path"});
    if (!split)
        return std::nullopt;
    const QByteArray* method = split->find(":method");
    const QByteArray* path = split->find(":path");
    const QByteArray* scheme = split->find(":scheme");
    const QByteArray* authority = split->find(":authority");
    // HTTP/2's own CONNECT (a tunnel, or a WebSocket) is not offered inside interception.
    // A path is the origin's: one naming a host of its own ("http://elsewhere/") would make
    // the request line point past the origin the stream belongs to.
    if (!method || !path || !isToken(*method) || *method == "CONNECT" ||
        !(path->startsWith('/') || *path == "*") || path->contains(' ') || path->contains('\t'))
        return std::nullopt;
    QByteArray host;
    if (authority)
        host = *authority;
    for (const HeaderField& f : split->fields) {
        if (host.isEmpty() && f.name == "host")
            host = f.value;
    }
    if (host.isEmpty() || host.contains(' ') || host.contains('/'))
        return std::nullopt;
    QByteArray head = *method + ' ';
    if (form == RequestForm::Proxy && *path != "*")
        head += (scheme ? *scheme : QByteArray("https")) + "://" + host;
    head += *path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    return head + fieldLines(split->fields, bodyFollows);
}

std::optional<QByteArray> answerHeadFromList(const HeaderList& list, bool bodyFollows) {
    const std::optional<SplitList> split = splitList(list, {":status"});
    if (!split)
        return std::nullopt;
    const QByteArray* status = split->find(":status");
    if (!status || !isStatus(*status))
        return std::nullopt;
    return "HTTP/1.1 " + *status + ' ' + "\r\n" + fieldLines(split->fields, bodyFollows);
}

std::optional<HeaderList> listFromRequestHead(QByteArrayView head) {
    const std::optional<ParsedHead> parsed = parseHead(head);
    if (!parsed)
        return std::nullopt;
    const QList<QByteArray> parts = parsed->startLine.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[0] == "CONNECT" ||
        !parts[2].startsWith("HTTP/1."))
        return std::nullopt;
    QByteArray scheme = "https";
    QByteArray authority;
    QByteArray path = parts[1];
    const qsizetype sep = path.indexOf("://");
    if (sep > 0) {
        // Proxy form: the request line's host is the one that counts.
        scheme = path.first(sep).toLower();
        const QByteArray rest = path.sliced(sep + 3);
        qsizetype end = rest.size();
        for (const char c : {'/', '?'}) {
            const qsizetype at = rest.indexOf(c);
            if (at >= 0)
                end = std::min(end, at);
        }
        authority = rest.first(end);
        path = rest.sliced(end);
        if (path.isEmpty())
            path = "/";
        else if (path.startsWith('?'))
            path.prepend('/');
    } else if (!path.startsWith('/') && path != "*") {
        return std::nullopt;
    }
    const HeaderList fields = withoutConnectionFields(parsed->fields);
    for (const HeaderField& f : fields) {
        if (authority.isEmpty() && f.name == "host")
            authority = f.value;
    }
    if (authority.isEmpty())
        return std::nullopt;
    HeaderList list{
        {":method", parts[0]}, {":scheme", scheme}, {":authority", authority}, {":path", path}};
    for (const HeaderField& f : fields) {
        if (f.name != "host")
            list.push_back(f);
    }
    return list;
}

std::optional<HeaderList> listFromAnswerHead(QByteArrayView head) {
    const std::optional<ParsedHead> parsed = parseHead(head);
    if (!parsed || !parsed->startLine.startsWith("HTTP/1."))
        return std::nullopt;
    const QByteArray status = parsed->startLine.mid(9, 3);
    if (parsed->startLine.size() < 12 || parsed->startLine[8] != ' ' || !isStatus(status) ||
        (parsed->startLine.size() > 12 && parsed->startLine[12] != ' '))
        return std::nullopt;
    HeaderList list{HeaderField{":status", status}};
    for (const HeaderField& f : withoutConnectionFields(parsed->fields))
        list.push_back(f);
    return list;
}

} // namespace Tarnwick
