// Request head rewriting under every combination of the header rules, and the text
// operations the rules are made of: only header lines change, the request line and
// the body after the first blank line pass as they are.
//
// Input: five bytes that choose what the store holds, then the request piece.
//   byte 0: bits 0-2 Referer mode, 3-5 UserAgent mode, 6-7 the time of day
//   byte 1: bits 0-2 IfModifiedSince mode, 3-5 Cookie mode, 6-7 the "@Referer" URL
//   byte 2: bits 0-2 Referer fake, 3-5 UserAgent fake, 6-7 the HeaderEdit name
//   byte 3: bits 0-2 IfModifiedSince fake, 3-5 the "@Referer" stamp, 6-7 the HeaderEdit line
//   byte 4: bits 0-2 Script mode, bit 3 the HeaderEdit name
// Each combination of stored values has a store of its own, kept between inputs:
// libFuzzer moves between corpus units, and so between combinations, all the time, and
// rewriting one store at every move would make file writes most of the work.

#include "fuzzsupport.h"
#include "proxy/headerrewrite.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QByteArray>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTime>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

using namespace Tarnwick;

namespace {

// A stored value; nothing: the key is absent and its reader's default applies.
using Stored = std::optional<QString>;

QString text(QStringView view) {
    return view.toString();
}

// The choices, and once in eight a value outside the rule's set. The rewriting removes
// that from the store, which has to write it back for the next input: two file writes.
const Stored Modes[8] = {std::nullopt,        text(Choice::Allow), text(Choice::Block),
                         text(Choice::Third), text(Choice::Allow), text(Choice::Block),
                         text(Choice::Third), QStringLiteral(" ×")};
// Cookie has no third choice.
const Stored CookieModes[8] = {std::nullopt,        text(Choice::Allow), text(Choice::Block),
                               text(Choice::Allow), text(Choice::Block), text(Choice::Allow),
                               text(Choice::Block), text(Choice::Third)};

// Fake values: plain, blank-padded, trying to smuggle in a line, holding NUL, empty,
// non-ASCII, and one the INI reader would take as a list if it were written unquoted.
const Stored Fakes[8] = {std::nullopt,
                         QStringLiteral("http://fake.example/path?q=1"),
                         QStringLiteral("  spaced out \t"),
                         QStringLiteral("a\r\nInjected: yes\r\n"),
                         QStringView(u"nul\0inside", 10).toString(),
                         QString(),
                         QStringLiteral("日本語の値"),
                         QStringLiteral("a, b; c")};

const QString OutsideUrls[4] = {QStringLiteral("http://outside.example/from"), QString(),
                                QStringLiteral(" x\r\nEvil: 1 "),
                                QStringLiteral("http://[::1]:8080/é")};

// Times of day: plain, just after midnight (stamps written before it), just before
// midnight with milliseconds, and none.
const QTime Nows[4] = {QTime(12, 0, 0), QTime(0, 0, 1), QTime(23, 59, 59, 999), QTime()};

const QByteArray EditNames[8] = {"Cookie:",          "Connection:", "",    "\r\n",
                                 "Accept-Encoding:", "Referer",     "GET", "Proxy-Connection:"};
const QByteArray EditLines[4] = {"X-Fuzz: 1", "", "\r\n\r\n", "Connection: Close"};

// The "@Referer" value: stamps 0, 2 and 3 seconds old, one in the future, then ones
// the stamp reader must refuse.
Stored outsideReferer(int stamp, const QTime& now, const QString& url) {
    const QTime base = now.isValid() ? now : QTime(12, 0, 0);
    const auto aged = [&](int seconds) {
        return base.addSecs(-seconds).toString(OutsideRefererTimeFormat) + u'|' + url;
    };
    switch (stamp) {
    case 0: return std::nullopt;
    case 1: return aged(0);
    case 2: return aged(2);
    case 3: return aged(3);
    case 4: return aged(-1);
    case 5: return QStringLiteral("1:2:3|") + url;
    case 6: return base.toString(OutsideRefererTimeFormat);
    default: return QStringLiteral("24:00:00|") + url;
    }
}

// The keys the rewriting reads, in the order of the values below.
const SettingKey* const Keys[] = {&Setting::Referer,     &Setting::UserAgent,
                                  &Setting::IfModifiedSince, &Setting::Cookie,
                                  &Setting::RefererFake, &Setting::UserAgentFake,
                                  &Setting::IfModifiedSinceFake, &Setting::OutsideReferer,
                                  &Setting::Script};
using Values = std::array<Stored, std::size(Keys)>;

void put(SettingsStore& s, const SettingKey& key, const Stored& value) {
    if (s.stored(key) == value)
        return;
    if (value)
        Fuzz::require(s.save(key, *value), "the store saves a key");
    else
        Fuzz::require(s.remove(key), "the store removes a key");
}

// The parts of a request the rewriting leaves alone: the request line with its CR LF,
// and the body after the first blank line.
struct Untouched {
    std::optional<QByteArray> requestLine;
    std::optional<QByteArray> body;
};

Untouched untouchedParts(const QByteArray& piece) {
    Untouched parts;
    if (const qsizetype lineEnd = piece.indexOf("\r\n"); lineEnd >= 0)
        parts.requestLine = piece.first(lineEnd + 2);
    if (const qsizetype blank = piece.indexOf("\r\n\r\n"); blank >= 0)
        parts.body = piece.sliced(blank + 4);
    return parts;
}

void requireUntouched(const Untouched& parts, const QByteArray& out) {
    if (parts.requestLine)
        Fuzz::require(out.startsWith(*parts.requestLine), "the request line is unchanged");
    if (parts.body)
        Fuzz::require(out.endsWith(*parts.body), "the body after the first blank line is unchanged");
}

// Past this many stores the files go and the stores start afresh.
constexpr size_t MaxStores = 4096;
std::map<QString, std::unique_ptr<SettingsStore>> stores;
int storeSerial = 0;

void dropStores() {
    for (auto& [values, s] : stores) {
        const QString file = s->fileName();
        s.reset();
        QFile::remove(file);
    }
    stores.clear();
}

QString cacheKey(const Values& values) {
    QString key;
    for (const Stored& value : values)
        key += value ? QString::number(value->size()) + u'+' + *value : QStringLiteral("-");
    return key;
}

// The store holding exactly `values`. A value outside its rule's set was removed by the
// last rewriting under it and goes back in.
SettingsStore& storeFor(const Values& values) {
    const QString key = cacheKey(values);
    auto it = stores.find(key);
    if (it == stores.end()) {
        if (stores.size() >= MaxStores)
            dropStores();
        const QString file = Fuzz::privateDirectory() + QStringLiteral("/store-")
                             + QString::number(++storeSerial) + QStringLiteral(".ini");
        {
            // One file write for all values rather than one per value; put() below
            // still checks each value through the store.
            QSettings ini(file, QSettings::IniFormat);
            for (size_t k = 0; k < values.size(); ++k) {
                if (values[k])
                    ini.setValue(StoreSection.toString() + u'/' + Keys[k]->name.toString(), *values[k]);
            }
        }
        it = stores.emplace(key, std::make_unique<SettingsStore>(file)).first;
    }
    for (size_t k = 0; k < values.size(); ++k)
        put(*it->second, *Keys[k], values[k]);
    return *it->second;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::privateDirectory();
    std::atexit(dropStores); // before the directory goes
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    const uint8_t b0 = data[0], b1 = data[1], b2 = data[2], b3 = data[3], b4 = data[4];
    const QByteArray piece(reinterpret_cast<const char*>(data) + 5, qsizetype(size - 5));
    const QTime now = Nows[b0 >> 6];

    const Stored& refererMode = Modes[b0 & 7];
    const Stored& userAgentMode = Modes[(b0 >> 3) & 7];
    const Stored& ifModifiedSinceMode = Modes[b1 & 7];
    // A fake is read only under the third choice; elsewhere it stays absent, so that
    // combinations differing only in unread values share a store.
    const auto fake = [](const Stored& mode, int index) {
        return mode == Choice::Third.toString() ? Fakes[index] : std::nullopt;
    };
    SettingsStore& s = storeFor({refererMode, userAgentMode, ifModifiedSinceMode,
                                 CookieModes[(b1 >> 3) & 7], fake(refererMode, b2 & 7),
                                 fake(userAgentMode, (b2 >> 3) & 7),
                                 fake(ifModifiedSinceMode, b3 & 7),
                                 outsideReferer((b3 >> 3) & 7, now, OutsideUrls[b1 >> 6]),
                                 Modes[b4 & 7]});

    const Untouched parts = untouchedParts(piece);
    const QByteArray out = rewriteRequestHeaders(piece, s, now);
    requireUntouched(parts, out);
    if (parts.body) {
        // The output's first blank line is the one before the body: no inserted value
        // ends the header block early.
        Fuzz::require(out.indexOf("\r\n\r\n") + 4 == out.size() - parts.body->size(),
                      "the header block ends where it ended");
    }

    const QByteArray& name = EditNames[(b2 >> 6) | ((b4 >> 1) & 4)];
    const QByteArray& line = EditLines[b3 >> 6];
    requireUntouched(parts, HeaderEdit::deleteLine(piece, name));
    requireUntouched(parts, HeaderEdit::replace(piece, name, line));
    requireUntouched(parts, HeaderEdit::replaceOrAdd(piece, name, line));
    requireUntouched(parts, HeaderEdit::force(piece, name, line));

    // A stored text becomes a header value that can neither end its line nor add one.
    const QByteArray value = headerValue(QString::fromUtf8(piece));
    Fuzz::require(!value.contains('\r') && !value.contains('\n') && !value.contains('\0'),
                  "a header value holds no CR, LF or NUL");
    Fuzz::require(!value.startsWith(' ') && !value.endsWith(' '),
                  "a header value is trimmed");
    return 0;
}
