#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>
#include <QTime>

namespace Tarnwick {

class SettingsStore;

// Rewrites a browser request piece by the header rules: the outside Referer
// ("@Referer"), Referer, User-Agent, If-Modified-Since and Cookie passed, deleted or
// faked as stored, then Proxy-Connection and Connection forced to Close. Reads the
// store at every call and removes a rule's key whose value lies outside its set.
// `now` is the current local time of day.
QByteArray rewriteRequestHeaders(const QByteArray& piece, SettingsStore& store, const QTime& now);

// True when a stored "@Referer" value is fresh at `now`: its leading time of day
// ("HH:mm:ss") is 0 to 2 seconds before `now`, counting across midnight.
bool outsideRefererIsFresh(QStringView stored, const QTime& now);

// The three text operations the rules are made of, on the first occurrence of
// `name` (exact case). Exposed for their own tests.
namespace HeaderEdit {
// Removes the line holding `name` with its CR LF.
QByteArray deleteLine(const QByteArray& w, QByteArrayView name);
// Replaces the line holding `name` by `line`, or adds `line` as the last header
// line before the first blank line.
QByteArray replaceOrAdd(const QByteArray& w, QByteArrayView name, QByteArrayView line);
// Replaces the line starting with CR LF + `name` by `line`, or adds `line` before the
// last blank line.
QByteArray force(const QByteArray& w, QByteArrayView name, QByteArrayView line);
} // namespace HeaderEdit

// A stored text made safe to insert as a header value: CR, LF and NUL removed,
// blanks trimmed at both ends, UTF-8 encoded.
QByteArray headerValue(QStringView stored);

} // namespace Tarnwick
