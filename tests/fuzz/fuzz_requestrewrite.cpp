// Request head rewriting under every combination of the header rules, and the three
// text operations the rules are made of.
//
// Input: four bytes that choose what the store holds, then the request piece.
//   byte 0: bits 0-2 Referer mode, 3-5 UserAgent mode, 6-7 the time of day
//   byte 1: bits 0-2 IfModifiedSince mode, 3-5 Cookie mode, 6-7 the "@Referer" URL
//   byte 2: bits 0-2 Referer fake, 3-5 UserAgent fake, 6-7 the HeaderEdit name
//   byte 3: bits 0-2 IfModifiedSince fake, 3-5 the "@Referer" stamp, 6-7 the HeaderEdit line
// The store is written only where a value differs from what it holds, so runs of
// inputs under one combination cost no file writes.

#include "fuzzsupport.h"
#include "proxy/headerrewrite.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QByteArray>
#include <QString>
#include <QTime>
#include <cstddef>
#include <cstdint>
#include <optional>

using namespace Tarnwick;

namespace {

// A stored value; nothing: the key is absent and its reader's default applies.
using Stored = std::optional<QString>;

QString text(QStringView view) {
    return view.toString();
}

// The three choices, then values outside every rule's set (the rewriting removes those).
const Stored Modes[8] = {std::nullopt,       text(Choice::Allow), text(Choice::Block),
                         text(Choice::Third), QString(),          QStringLiteral("o"),
                         QStringLiteral(" ×"), QStringLiteral("○×")};

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

const QByteArray EditNames[4] = {"Cookie:", "Connection:", "", "\r\n"};
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

void store(SettingsStore& s, const SettingKey& key, const Stored& value) {
    if (!value) {
        if (s.contains(key.name))
            Fuzz::require(s.remove(key.name), "the store removes a key");
        return;
    }
    if (!s.contains(key.name) || s.get(key.name, {}) != *value)
        Fuzz::require(s.save(key.name, *value), "the store saves a key");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::privateStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    const uint8_t b0 = data[0], b1 = data[1], b2 = data[2], b3 = data[3];
    const QByteArray piece(reinterpret_cast<const char*>(data) + 4, qsizetype(size - 4));
    const QTime now = Nows[b0 >> 6];

    SettingsStore& s = Fuzz::privateStore();
    store(s, Setting::Referer, Modes[b0 & 7]);
    store(s, Setting::UserAgent, Modes[(b0 >> 3) & 7]);
    store(s, Setting::IfModifiedSince, Modes[b1 & 7]);
    store(s, Setting::Cookie, Modes[(b1 >> 3) & 7]);
    store(s, Setting::RefererFake, Fakes[b2 & 7]);
    store(s, Setting::UserAgentFake, Fakes[(b2 >> 3) & 7]);
    store(s, Setting::IfModifiedSinceFake, Fakes[b3 & 7]);
    store(s, Setting::OutsideReferer, outsideReferer((b3 >> 3) & 7, now, OutsideUrls[b1 >> 6]));

    const QByteArray out = rewriteRequestHeaders(piece, s, now);
#ifdef TARNWICK_FUZZ_STRICT_BODY
    // Only header lines are rewritten: what follows the first blank line leaves as it
    // came. Not true yet: the connection lines go in before the last blank line, and
    // header names are looked for in the body too. Switch this on once both are mended
    // (cmake -DCMAKE_CXX_FLAGS=-DTARNWICK_FUZZ_STRICT_BODY build/fuzz).
    const qsizetype blank = piece.indexOf("\r\n\r\n");
    if (blank >= 0)
        Fuzz::require(out.endsWith(QByteArrayView(piece).sliced(blank + 4)),
                      "the body after the first blank line is unchanged");
#else
    (void)out;
#endif

    const QByteArray& name = EditNames[b2 >> 6];
    const QByteArray& line = EditLines[b3 >> 6];
    (void)HeaderEdit::deleteLine(piece, name);
    (void)HeaderEdit::replaceOrAdd(piece, name, line);
    (void)HeaderEdit::force(piece, name, line);

    // A stored text becomes a header value that can neither end its line nor add one.
    const QByteArray value = headerValue(QString::fromUtf8(piece));
    Fuzz::require(!value.contains('\r') && !value.contains('\n') && !value.contains('\0'),
                  "a header value holds no CR, LF or NUL");
    Fuzz::require(!value.startsWith(' ') && !value.endsWith(' '),
                  "a header value is trimmed");
    return 0;
}
