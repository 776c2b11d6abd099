#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>
#include <vector>

namespace Tarnwick {

// One field of an HTTP/2 header list, as it came or goes: pseudo-headers (":method",
// ":status", …) first, every name in lower case.
struct HeaderField {
    QByteArray name;
    QByteArray value;
    bool operator==(const HeaderField&) const = default;
};
using HeaderList = std::vector<HeaderField>;

// How the request line names its target: "GET /path HTTP/1.1" as an origin reads it
// (and as requests come inside an intercepted connection), or with scheme and host, as a
// browser writes to a proxy.
enum class RequestForm { Origin, Proxy };

// The rules read an HTTP/1.1 head; a stream's header lists are mapped to one and back.
// Names are written as HTTP/1.1 writes them ("user-agent" becomes "User-Agent"), so that
// a rule finds a field of an HTTP/2 list exactly as it finds the line a browser writes.
// Connection-specific fields (Connection, Keep-Alive, Proxy-Connection,
// Transfer-Encoding, Upgrade, those Connection names, and "te" other than "trailers")
// are dropped in both directions, as HTTP/2 requires. A list that is no request or
// answer, or whose names or values could break a head apart (CR, LF, NUL, a colon or
// blank in a name), gives nothing.

// A stream's request as an HTTP/1.1 head ending in its blank line: the request line
// from :method and :path (and :scheme and :authority in proxy form), Host from
// :authority (or the host field), the cookie crumbs joined into one Cookie line with
// "; ". `bodyFollows`: the stream carries a body; without a content-length the head
// then says it comes in chunks.
std::optional<QByteArray> requestHeadFromList(const HeaderList& fields, RequestForm form,
                                              bool bodyFollows);
// A stream's answer likewise: "HTTP/1.1 <status> " and the fields.
std::optional<QByteArray> answerHeadFromList(const HeaderList& fields, bool bodyFollows);

// An HTTP/1.1 request head (the rewritten one) as a list: :method, :scheme ("https"
// unless the request line names another), :authority from Host (or the request line's
// host in proxy form), :path, then the fields in lower case.
std::optional<HeaderList> listFromRequestHead(QByteArrayView head);
// An HTTP/1.1 answer head as a list: :status, then the fields in lower case.
std::optional<HeaderList> listFromAnswerHead(QByteArrayView head);

} // namespace Tarnwick
