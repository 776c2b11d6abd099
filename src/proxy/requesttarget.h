#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace Tarnwick {

class SettingsStore;

// Where a request goes: the upstream proxy, or the host and port of its URL.
struct RequestTarget {
    QString host;
    int port = 80;
};

// A port text as the relay accepts it: a whole decimal number from 1 to 65535.
std::optional<int> parsePort(QStringView text);

// Splits a URL's host text: "host", "host:port", "[v6]" or "[v6]:port" (port 80
// when none is written). Empty host or a bad port gives nothing.
std::optional<RequestTarget> parseHostText(QStringView hostText);

// The target written in a proxy request: the host text after the request line's
// "://", up to the next "/" or blank of that line. A request line without "://"
// (CONNECT, or a request not written for a proxy) gives nothing.
std::optional<RequestTarget> targetFromRequest(const QByteArray& piece);

// The configured upstream proxy: "Proxy_Server" and "Proxy_Port", trimmed.
std::optional<RequestTarget> upstreamProxyTarget(const SettingsStore& store);

// How many body bytes follow a request head (the bytes before its blank line): its
// Content-Length, -1 when the body runs in chunks until its end, 0 when it has none.
qint64 requestBodyLength(QByteArrayView head);

} // namespace Tarnwick
