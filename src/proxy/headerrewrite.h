#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>
#include <QTime>
#include <functional>

namespace Tarnwick {

class SettingsStore;

// What the connection lines of a rewritten request ask for: the close after one
// answer, a kept connection (answers that stream), or a WebSocket's upgrade.
enum class ConnectionLines { Close, KeepAlive, Upgrade };

// What Accept-Encoding asks for while the Script rule is on: the page uncompressed,
// or compressed only in codings the proxy can undo to read it (where the answer
// streams through the decoder).
enum class AskedEncodings { Identity, Decodable };

// Rewrites a browser request by the header rules: the outside Referer ("@Referer"),
// Referer, User-Agent, If-Modified-Since and Cookie passed, deleted or faked as
// stored (every line of the name: deleted all, or one line left with the fake value),
// the user-agent client hints ("Sec-CH-UA", "Sec-CH-UA-*") deleted while the
// User-Agent rule deletes or fakes, Accept-Encoding asked as identity (or as `encodings` says) while the
// Script rule is on, then Proxy-Connection and Connection forced to Close (or as
// `lines` says). Only the header lines change;
// the request line and any body after the blank line pass as they are. Reads the
// store at every call and removes a rule's key whose value lies outside its set.
// `now` is the current local time of day.
QByteArray rewriteRequestHeaders(const QByteArray& piece, SettingsStore& store, const QTime& now);
// The same, asking the clock only when an outside Referer is stored.
QByteArray rewriteRequestHeaders(const QByteArray& piece, SettingsStore& store,
                                 const std::function<QTime()>& clock,
                                 ConnectionLines lines = ConnectionLines::Close,
                                 AskedEncodings encodings = AskedEncodings::Identity);

// A browser's Accept-Encoding value limited to the codings the proxy can decode
// (gzip, x-gzip, deflate, br, zstd) and identity, each item kept as written with its
// q-value; "identity" when none of them is left acceptable.
QByteArray decodableAcceptEncoding(QByteArrayView value);

// True while the User-Agent rule deletes or fakes the browser's User-Agent ("×" or
// "△"): the client hints that would tell the same go too, both ways.
bool hidesBrowser(SettingsStore& store);

// True when a stored "@Referer" value is fresh at `now`: its leading time of day
// ("HH:mm:ss") is 0 to 2 seconds before `now`, counting across midnight.
bool outsideRefererIsFresh(QStringView stored, const QTime& now);

// The text operations the rules are made of. Each acts on the header lines that start
// with `name` (exact case): after a CR LF and before the first blank line, so never on
// the request line or the body. Exposed for their own tests.
namespace HeaderEdit {
// Offset of the first such line, or -1.
qsizetype headerLine(const QByteArray& w, QByteArrayView name);
// Removes every such line with its CR LF.
QByteArray deleteLine(const QByteArray& w, QByteArrayView name);
// Removes every header line for which `named` (given the line from its first byte)
// says so.
QByteArray deleteLinesWhere(const QByteArray& w, const std::function<bool(QByteArrayView)>& named);
// Replaces the first such line by `line` and removes the others; nothing when there
// is none.
QByteArray replace(const QByteArray& w, QByteArrayView name, QByteArrayView line);
// The same, or adds `line` as the last header line before the first blank line.
QByteArray replaceOrAdd(const QByteArray& w, QByteArrayView name, QByteArrayView line);
// The same, for the connection lines that must always be present.
QByteArray force(const QByteArray& w, QByteArrayView name, QByteArrayView line);
} // namespace HeaderEdit

// A stored text made safe to insert as a header value: CR, LF and NUL removed,
// blanks trimmed at both ends, UTF-8 encoded.
QByteArray headerValue(QStringView stored);

} // namespace Tarnwick
