#include "proxy/headerrewrite.h"

#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <vector>

namespace Tarnwick {

namespace {

constexpr QByteArrayView CrLf = "\r\n";
constexpr QByteArrayView BlankLine = "\r\n\r\n";
constexpr int SecondsPerDay = 24 * 60 * 60;
// A stamp is fresh for this many seconds after its time of day.
constexpr int OutsideRefererLifetime = 2;

// Offset just past the CR LF ending the line that holds offset `from`. A line cut off
// by the end of the piece (no CR LF after the name) runs to the end of the piece, so
// deleting it drops the rest of the piece and replacing it ends the new line with
// CR LF like any other: the header block never keeps half a name or half a value.
qsizetype afterLineEnd(const QByteArray& w, qsizetype from) {
    const qsizetype end = w.indexOf(CrLf, from);
    return end < 0 ? w.size() : end + CrLf.size();
}

// `w` with `line` + CR LF put in place of [from, to).
QByteArray splice(const QByteArray& w, qsizetype from, qsizetype to, QByteArrayView line) {
    QByteArray result;
    result.reserve(w.size() - (to - from) + line.size() + CrLf.size());
    result.append(QByteArrayView(w).first(from));
    result.append(line);
    result.append(CrLf);
    result.append(QByteArrayView(w).sliced(to));
    return result;
}

// `w` with CR LF + `line` inserted before the blank line at `blank`, so that `line`
// becomes the last header line before it.
QByteArray insertBefore(const QByteArray& w, qsizetype blank, QByteArrayView line) {
    QByteArray result;
    result.reserve(w.size() + CrLf.size() + line.size());
    result.append(QByteArrayView(w).first(blank));
    result.append(CrLf);
    result.append(line);
    result.append(QByteArrayView(w).sliced(blank));
    return result;
}

enum class Mode { Pass, Delete, Fake, Outside };

// Reads a rule's mode. A value outside the rule's set is removed from the store, so
// the next request gets the default, and this request passes the header unchanged.
Mode readMode(SettingsStore& store, const SettingKey& key, bool hasFake) {
    switch (store.choice(key)) {
    case ChoiceValue::Allow:
        return Mode::Pass;
    case ChoiceValue::Block:
        return Mode::Delete;
    case ChoiceValue::Third:
        if (hasFake)
            return Mode::Fake;
        break;
    case ChoiceValue::Other:
        break;
    }
    store.remove(key);
    return Mode::Outside;
}

struct HeaderRule {
    const SettingKey& mode;
    const SettingKey* fake; // null: no fake mode
    QByteArrayView name;
    QByteArrayView lineStart;
};

// A client hint that tells the browser's brand, version, model or platform: the
// "Sec-CH-UA" fields, whose names browsers write in any case.
bool isUserAgentHint(QByteArrayView line) {
    constexpr QByteArrayView prefix = "sec-ch-ua";
    return line.size() > prefix.size() &&
           line.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0 &&
           (line[prefix.size()] == ':' || line[prefix.size()] == '-');
}

QByteArray applyRule(const QByteArray& w, SettingsStore& store, const HeaderRule& rule) {
    switch (readMode(store, rule.mode, rule.fake != nullptr)) {
    case Mode::Delete:
        return HeaderEdit::deleteLine(w, rule.name);
    case Mode::Fake: {
        const QByteArray line = rule.lineStart.toByteArray() + headerValue(store.get(*rule.fake));
        return HeaderEdit::replaceOrAdd(w, rule.name, line);
    }
    case Mode::Pass:
    case Mode::Outside:
        break;
    }
    return w;
}

// Two digits at `at` of `text` as a number, or -1.
int twoDigits(QStringView text, qsizetype at) {
    const QChar hi = text[at];
    const QChar lo = text[at + 1];
    if (hi < u'0' || hi > u'9' || lo < u'0' || lo > u'9')
        return -1;
    return (hi.unicode() - u'0') * 10 + (lo.unicode() - u'0');
}

// The "HH:mm:ss" time of day at the start of a stored value, parsed by hand so that
// neither locale nor lenient parsing can make "1:2:3" or "12.00.00" count.
QTime stampTime(QStringView stored) {
    const qsizetype bar = stored.indexOf(u'|');
    if (bar != OutsideRefererTimeFormat.size())
        return {};
    if (stored[2] != u':' || stored[5] != u':')
        return {};
    const int hour = twoDigits(stored, 0);
    const int minute = twoDigits(stored, 3);
    const int second = twoDigits(stored, 6);
    if (hour < 0 || minute < 0 || second < 0)
        return {};
    return QTime(hour, minute, second); // invalid when out of range
}

constexpr QByteArrayView AcceptEncoding = "Accept-Encoding:";

// The items of a list separated by `separator`, blanks trimmed.
std::vector<QByteArrayView> itemsOf(QByteArrayView list, char separator) {
    std::vector<QByteArrayView> items;
    for (qsizetype from = 0; from < list.size();) {
        qsizetype end = list.indexOf(separator, from);
        if (end < 0)
            end = list.size();
        items.push_back(list.sliced(from, end - from).trimmed());
        from = end + 1;
    }
    return items;
}

// A q-value that makes its coding unacceptable: 0, 0., 0.0, 0.00 or 0.000.
bool isZeroQuality(QByteArrayView parameters) {
    for (const QByteArrayView parameter : itemsOf(parameters, ';')) {
        if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') ||
            parameter[1] != '=')
            continue;
        const QByteArrayView q = parameter.sliced(2).trimmed();
        if (q.isEmpty() || q[0] != '0' || q.size() > 5 || (q.size() > 1 && q[1] != '.'))
            return false;
        return q.size() < 3 || q.sliced(2).count('0') == q.size() - 2;
    }
    return false;
}

bool decodable(QByteArrayView coding) {
    for (const QByteArrayView known : {"gzip", "x-gzip", "deflate", "br", "zstd", "identity"}) {
        if (coding.compare(known, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// The value of the first Accept-Encoding line, limited to what the proxy decodes.
QByteArray limitAcceptEncoding(const QByteArray& w) {
    const qsizetype at = HeaderEdit::headerLine(w, AcceptEncoding);
    if (at < 0)
        return w;
    const qsizetype from = at + AcceptEncoding.size();
    qsizetype end = w.indexOf(CrLf, from);
    if (end < 0)
        end = w.size();
    const QByteArray value = decodableAcceptEncoding(QByteArrayView(w).sliced(from, end - from));
    return HeaderEdit::replace(w, AcceptEncoding, QByteArrayLiteral("Accept-Encoding: ") + value);
}

} // namespace

QByteArray decodableAcceptEncoding(QByteArrayView value) {
    QByteArray kept;
    bool acceptable = false;
    for (const QByteArrayView item : itemsOf(value, ',')) {
        const qsizetype semicolon = item.indexOf(';');
        const QByteArrayView coding = (semicolon < 0 ? item : item.first(semicolon)).trimmed();
        if (!decodable(coding))
            continue;
        if (!kept.isEmpty())
            kept.append(", ");
        kept.append(item);
        if (semicolon < 0 || !isZeroQuality(item.sliced(semicolon + 1)))
            acceptable = true;
    }
    return acceptable ? kept : QByteArrayLiteral("identity");
}

namespace HeaderEdit {

qsizetype headerLine(const QByteArray& w, QByteArrayView name) {
    // A name counts only where a header line starts: after a CR LF, before the blank
    // line that ends the header block. The request line, a value that merely holds
    // the name and the body are never touched.
    const QByteArrayView all(w);
    const qsizetype blank = all.indexOf(BlankLine);
    const qsizetype end = blank < 0 ? all.size() : blank;
    for (qsizetype at = all.indexOf(CrLf); at >= 0 && at < end; at = all.indexOf(CrLf, at + 2)) {
        if (all.sliced(at + CrLf.size()).startsWith(name))
            return at + CrLf.size();
    }
    return -1;
}

QByteArray deleteLine(const QByteArray& w, QByteArrayView name) {
    // Every line of that name: a second one would carry what the rule takes away.
    return deleteLinesWhere(w, [name](QByteArrayView line) { return line.startsWith(name); });
}

QByteArray replace(const QByteArray& w, QByteArrayView name, QByteArrayView line) {
    const qsizetype at = headerLine(w, name);
    if (at < 0)
        return w;
    // The one line left of that name is the new one, where the first stood (the later
    // ones go, so the first stays at `at`).
    bool first = true;
    const QByteArray rest = deleteLinesWhere(w, [&](QByteArrayView l) {
        return l.startsWith(name) && !std::exchange(first, false);
    });
    return splice(rest, at, afterLineEnd(rest, at + name.size()), line);
}

QByteArray deleteLinesWhere(const QByteArray& w, const std::function<bool(QByteArrayView)>& named) {
    // One pass, however many lines go. A line leaves with the CR LF that ends it, so the
    // CR LF before it comes to stand before the next line, as if it had never been.
    const QByteArrayView all(w);
    const qsizetype blank = all.indexOf(BlankLine);
    const qsizetype end = blank < 0 ? all.size() : blank;
    QByteArray kept;
    qsizetype copied = 0; // all bytes before this are in `kept` or dropped
    for (qsizetype at = all.indexOf(CrLf); at >= 0 && at < end;) {
        const qsizetype start = at + CrLf.size();
        at = all.indexOf(CrLf, start);
        if (!named(all.sliced(start)))
            continue;
        if (kept.isEmpty())
            kept.reserve(w.size());
        kept.append(all.sliced(copied, start - copied));
        copied = at < 0 ? all.size() : at + CrLf.size();
    }
    if (copied == 0)
        return w;
    kept.append(all.sliced(copied));
    return kept;
}

QByteArray replaceOrAdd(const QByteArray& w, QByteArrayView name, QByteArrayView line) {
    if (headerLine(w, name) >= 0)
        return replace(w, name, line);
    const qsizetype blank = w.indexOf(BlankLine);
    if (blank < 0)
        return w;
    return insertBefore(w, blank, line);
}

QByteArray force(const QByteArray& w, QByteArrayView name, QByteArrayView line) {
    // Matching at a line start keeps "Proxy-Connection:" from counting as "Connection:";
    // a missing line goes at the end of the header block, never into the body.
    return replaceOrAdd(w, name, line);
}

} // namespace HeaderEdit

QByteArray headerValue(QStringView stored) {
    QString clean;
    clean.reserve(stored.size());
    for (const QChar c : stored) {
        // A stored value must not be able to end the header line or smuggle in another.
        if (c == u'\r' || c == u'\n' || c == u'\0')
            continue;
        clean.append(c);
    }
    return clean.trimmed().toUtf8();
}

bool hidesBrowser(SettingsStore& store) {
    const ChoiceValue mode = store.choice(Setting::UserAgent);
    return mode == ChoiceValue::Block || mode == ChoiceValue::Third;
}

bool outsideRefererIsFresh(QStringView stored, const QTime& now) {
    const QTime stamp = stampTime(stored);
    if (!stamp.isValid() || !now.isValid())
        return false;
    const QTime nowSecond(now.hour(), now.minute(), now.second());
    int age = stamp.secsTo(nowSecond);
    if (age < 0)
        age += SecondsPerDay; // written before midnight, read after it
    return age <= OutsideRefererLifetime;
}

QByteArray rewriteRequestHeaders(const QByteArray& piece, SettingsStore& store, const QTime& now) {
    return rewriteRequestHeaders(piece, store, [&now] { return now; });
}

QByteArray rewriteRequestHeaders(const QByteArray& piece, SettingsStore& store,
                                 const std::function<QTime()>& clock, ConnectionLines lines,
                                 AskedEncodings encodings) {
    QByteArray w = piece;

    // A Referer handed in by another program a moment ago takes the place of the
    // Referer rule for this request.
    bool outsideRefererAdded = false;
    const QString outside = store.get(Setting::OutsideReferer);
    const qsizetype bar = outside.indexOf(u'|');
    if (outside.size() > 8 && bar >= 0 && outsideRefererIsFresh(outside, clock())) {
        const qsizetype blank = w.indexOf(BlankLine);
        if (blank >= 0) {
            const QByteArray line =
                QByteArrayLiteral("Referer: ") + headerValue(QStringView(outside).sliced(bar + 1));
            w = insertBefore(w, blank, line);
            outsideRefererAdded = true;
        }
    }

    if (!outsideRefererAdded)
        w = applyRule(w, store, {Setting::Referer, &Setting::RefererFake, "Referer:", "Referer: "});
    w = applyRule(w, store,
                  {Setting::UserAgent, &Setting::UserAgentFake, "User-Agent:", "User-Agent: "});
    // The hints would tell the origin what the User-Agent rule keeps from it.
    if (hidesBrowser(store))
        w = HeaderEdit::deleteLinesWhere(w, isUserAgentHint);
    w = applyRule(w, store,
                  {Setting::IfModifiedSince, &Setting::IfModifiedSinceFake, "If-Modified-Since:",
                   "If-Modified-Since: "});
    w = applyRule(w, store, {Setting::Cookie, nullptr, "Cookie:", {}});

    // A compressed page would pass the Script rule unseen: while the rule is on, ask
    // the server for the page as it is, or in codings the proxy can undo.
    if (store.choice(Setting::Script) != ChoiceValue::Allow) {
        if (encodings == AskedEncodings::Decodable)
            w = limitAcceptEncoding(w);
        else
            w = HeaderEdit::replace(w, AcceptEncoding, "Accept-Encoding: identity");
    }

    switch (lines) {
    case ConnectionLines::Close:
        w = HeaderEdit::force(w, "Proxy-Connection:", "Proxy-Connection: Close");
        w = HeaderEdit::force(w, "Connection:", "Connection: Close");
        break;
    case ConnectionLines::KeepAlive:
        w = HeaderEdit::force(w, "Proxy-Connection:", "Proxy-Connection: keep-alive");
        w = HeaderEdit::force(w, "Connection:", "Connection: keep-alive");
        break;
    case ConnectionLines::Upgrade:
        // The Upgrade line itself passes as the browser wrote it.
        w = HeaderEdit::force(w, "Proxy-Connection:", "Proxy-Connection: keep-alive");
        w = HeaderEdit::force(w, "Connection:", "Connection: Upgrade");
        break;
    }
    return w;
}

} // namespace Tarnwick
