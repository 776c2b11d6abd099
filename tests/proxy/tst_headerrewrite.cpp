#include "proxy/headerrewrite.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QTemporaryDir>
#include <QTest>

#include <initializer_list>

using namespace Qt::StringLiterals;
using namespace Tarnwick;

namespace {

// Lines joined with CR LF; end with "", "" for a request whose header block is closed.
QByteArray crlf(std::initializer_list<const char*> lines) {
    QByteArrayList parts;
    for (const char* line : lines)
        parts.append(QByteArray(line));
    return parts.join("\r\n");
}

// One stored setting as "name=value" for a data row.
QString stored(const SettingKey& key, const QString& value) {
    return key.name.toString() + u'=' + value;
}

const QTime Noon(12, 0, 0);

} // namespace

class TestHeaderRewrite : public QObject {
    Q_OBJECT

private slots:
    void rewrite_data();
    void rewrite();
    void edits_data();
    void edits();
    void outsideFreshness_data();
    void outsideFreshness();
    void headerValueCleansStoredText_data();
    void headerValueCleansStoredText();
    void outsideKeyRemovedOnceThenDefault();
    void decodableEncodings_data();
    void decodableEncodings();
};

void TestHeaderRewrite::rewrite_data() {
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QStringList>("keysLeft");

    const QByteArray full = crlf({"GET http://h/ HTTP/1.0", "Host: h", "Referer: http://a/",
                                  "User-Agent: UA/1", "If-Modified-Since: Sat, 1 Jan 2000",
                                  "Cookie: c=1", "Accept: */*", "", ""});

    QTest::newRow("nothing stored: four headers gone, connection lines added last")
        << QStringList{} << Noon << full
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", "Accept: */*", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << QStringList{};

    const QStringList allPass{stored(Setting::Referer, u"○"_s), stored(Setting::UserAgent, u"○"_s),
                              stored(Setting::IfModifiedSince, u"○"_s),
                              stored(Setting::Cookie, u"○"_s)};
    QStringList allPassKeys{Setting::Referer.name.toString(), Setting::UserAgent.name.toString(),
                            Setting::IfModifiedSince.name.toString(),
                            Setting::Cookie.name.toString()};
    allPassKeys.sort();

    QTest::newRow("all passed: only connection lines added")
        << allPass << Noon << full
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", "Referer: http://a/", "User-Agent: UA/1",
                 "If-Modified-Since: Sat, 1 Jan 2000", "Cookie: c=1", "Accept: */*",
                 "Proxy-Connection: Close", "Connection: Close", "", ""})
        << allPassKeys;

    QTest::newRow("keep-alive replaced in place")
        << QStringList{} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "Proxy-Connection: keep-alive", "Host: h",
                 "Connection: keep-alive", "Accept: */*", "", ""})
        << crlf({"GET http://h/ HTTP/1.0", "Proxy-Connection: Close", "Host: h",
                 "Connection: Close", "Accept: */*", "", ""})
        << QStringList{};

    QTest::newRow("other case not recognised")
        << QStringList{} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "referer: http://a/", "USER-AGENT: UA",
                 "if-modified-since: x", "cookie: c=1", "proxy-connection: keep-alive",
                 "connection: keep-alive", "", ""})
        << crlf({"GET http://h/ HTTP/1.0", "referer: http://a/", "USER-AGENT: UA",
                 "if-modified-since: x", "cookie: c=1", "proxy-connection: keep-alive",
                 "connection: keep-alive", "Proxy-Connection: Close", "Connection: Close", "", ""})
        << QStringList{};

    QTest::newRow("fake defaults: replaced in place, missing one added")
        << QStringList{stored(Setting::Referer, u"△"_s), stored(Setting::UserAgent, u"△"_s),
                       stored(Setting::IfModifiedSince, u"△"_s)}
        << Noon
        << crlf({"GET http://h/ HTTP/1.0", "User-Agent: UA/1", "Host: h", "Referer: http://a/",
                 "", ""})
        << crlf({"GET http://h/ HTTP/1.0",
                 "User-Agent: Mozilla/9.0 (compatible; MSIE 9.0; Windows NT 9.0)", "Host: h",
                 "Referer: http://www.tarnwick-fictitious.example/",
                 "If-Modified-Since: Mon, 27 Jan 2003 01:01:01 GMT; length=9999",
                 "Proxy-Connection: Close", "Connection: Close", "", ""})
        << QStringList{Setting::IfModifiedSince.name.toString(), Setting::Referer.name.toString(),
                       Setting::UserAgent.name.toString()};

    QTest::newRow("stored fake values trimmed, line breaks dropped, UTF-8")
        << QStringList{stored(Setting::UserAgent, u"△"_s),
                       stored(Setting::UserAgentFake, u"  Bot/1\r\nX-Evil: 1 "_s),
                       stored(Setting::Referer, u"△"_s),
                       stored(Setting::RefererFake, u"\thttp://例え.example/\n"_s)}
        << Noon << crlf({"GET http://h/ HTTP/1.0", "User-Agent: UA/1", "", ""})
        << QByteArray("GET http://h/ HTTP/1.0\r\nUser-Agent: Bot/1X-Evil: 1\r\nReferer: http://"
                      "\xE4\xBE\x8B\xE3\x81\x88.example/\r\nProxy-Connection: Close\r\n"
                      "Connection: Close\r\n\r\n")
        << QStringList{Setting::Referer.name.toString(), Setting::RefererFake.name.toString(),
                       Setting::UserAgent.name.toString(), Setting::UserAgentFake.name.toString()};

    const QByteArray twice =
        crlf({"GET http://h/ HTTP/1.1", "Referer: http://a/", "User-Agent: UA/1",
              "If-Modified-Since: x", "Host: h", "Referer: http://b/", "User-Agent: UA/2",
              "Sec-CH-UA: \"B\";v=\"1\"", "sec-ch-ua-platform: \"Linux\"", "Origin: http://h",
              "Sec-Fetch-Site: none", "If-Modified-Since: y", "", ""});
    QTest::newRow("every line deleted, the hints with the User-Agent")
        << QStringList{} << Noon << twice
        << crlf({"GET http://h/ HTTP/1.1", "Host: h", "Origin: http://h", "Sec-Fetch-Site: none",
                 "Proxy-Connection: Close", "Connection: Close", "", ""})
        << QStringList{};
    QTest::newRow("faked: one line each, where the first stood")
        << QStringList{stored(Setting::Referer, u"△"_s), stored(Setting::UserAgent, u"△"_s),
                       stored(Setting::UserAgentFake, u"Fake/2"_s),
                       stored(Setting::IfModifiedSince, u"△"_s)}
        << Noon << twice
        << crlf({"GET http://h/ HTTP/1.1", "Referer: http://www.tarnwick-fictitious.example/",
                 "User-Agent: Fake/2",
                 "If-Modified-Since: Mon, 27 Jan 2003 01:01:01 GMT; length=9999", "Host: h",
                 "Origin: http://h", "Sec-Fetch-Site: none", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << QStringList{Setting::IfModifiedSince.name.toString(), Setting::Referer.name.toString(),
                       Setting::UserAgent.name.toString(), Setting::UserAgentFake.name.toString()};
    QTest::newRow("User-Agent passed: its hints pass")
        << QStringList{stored(Setting::UserAgent, u"○"_s)} << Noon
        << crlf({"GET http://h/ HTTP/1.1", "User-Agent: UA/1", "Sec-CH-UA-Mobile: ?0",
                 "Sec-CH-Prefers-Color-Scheme: dark", "", ""})
        << crlf({"GET http://h/ HTTP/1.1", "User-Agent: UA/1", "Sec-CH-UA-Mobile: ?0",
                 "Sec-CH-Prefers-Color-Scheme: dark", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << QStringList{Setting::UserAgent.name.toString()};

    QTest::newRow("two cookie lines: both go")
        << QStringList{} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "Cookie: a=1", "Host: h", "Cookie: b=2", "", ""})
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << QStringList{};

    QTest::newRow("body with a blank line: every line added before the first")
        << QStringList{stored(Setting::IfModifiedSince, u"△"_s)} << Noon
        << crlf({"POST http://h/ HTTP/1.0", "Content-Length: 12", "", "a=1", "", "b=2"})
        << crlf({"POST http://h/ HTTP/1.0", "Content-Length: 12",
                 "If-Modified-Since: Mon, 27 Jan 2003 01:01:01 GMT; length=9999",
                 "Proxy-Connection: Close", "Connection: Close", "", "a=1", "", "b=2"})
        << QStringList{Setting::IfModifiedSince.name.toString()};

    QTest::newRow("names count only where a header line starts")
        << QStringList{} << Noon
        << crlf({"GET http://h/q?x=Referer:y&Cookie:z HTTP/1.1", "X-Original-Referer: o",
                 "Referer: http://a/", "Content-Length: 20", "", "Cookie: c=1\r\nUser-Agent:"})
        << crlf({"GET http://h/q?x=Referer:y&Cookie:z HTTP/1.1", "X-Original-Referer: o",
                 "Content-Length: 20", "Proxy-Connection: Close", "Connection: Close", "",
                 "Cookie: c=1\r\nUser-Agent:"})
        << QStringList{};

    QTest::newRow("Script rule on: the page asked for uncompressed")
        << QStringList{} << Noon
        << crlf({"GET http://h/ HTTP/1.1", "Accept-Encoding: gzip, deflate, br", "", ""})
        << crlf({"GET http://h/ HTTP/1.1", "Accept-Encoding: identity",
                 "Proxy-Connection: Close", "Connection: Close", "", ""})
        << QStringList{};
    QTest::newRow("Script rule off: Accept-Encoding passes")
        << QStringList{stored(Setting::Script, u"○"_s)} << Noon
        << crlf({"GET http://h/ HTTP/1.1", "Accept-Encoding: gzip", "", ""})
        << crlf({"GET http://h/ HTTP/1.1", "Accept-Encoding: gzip", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << QStringList{Setting::Script.name.toString()};

    QTest::newRow("no blank line: deletions only, nothing added")
        << QStringList{stored(Setting::IfModifiedSince, u"△"_s)} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "Referer: http://a/", "Host: h", ""})
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", ""})
        << QStringList{Setting::IfModifiedSince.name.toString()};

    const QByteArray withReferer =
        crlf({"GET http://h/ HTTP/1.0", "Referer: http://a/", "Host: h", "", ""});
    const QByteArray outsideAdded =
        crlf({"GET http://h/ HTTP/1.0", "Referer: http://a/", "Host: h", "Referer: http://out/",
              "Proxy-Connection: Close", "Connection: Close", "", ""});
    const QByteArray refererDeleted =
        crlf({"GET http://h/ HTTP/1.0", "Host: h", "Proxy-Connection: Close", "Connection: Close",
              "", ""});
    const QStringList outsideKey{Setting::OutsideReferer.name.toString()};

    QTest::newRow("fresh outside Referer added, Referer rule skipped")
        << QStringList{stored(Setting::OutsideReferer, u"11:59:58| http://out/ "_s)} << Noon
        << withReferer << outsideAdded << outsideKey;
    QTest::newRow("fresh outside Referer across midnight")
        << QStringList{stored(Setting::OutsideReferer, u"23:59:59|http://out/"_s)}
        << QTime(0, 0, 1) << withReferer << outsideAdded << outsideKey;
    QTest::newRow("stale outside Referer ignored")
        << QStringList{stored(Setting::OutsideReferer, u"11:59:57|http://out/"_s)} << Noon
        << withReferer << refererDeleted << outsideKey;
    QTest::newRow("outside Referer stamped in the future ignored")
        << QStringList{stored(Setting::OutsideReferer, u"12:00:01|http://out/"_s)} << Noon
        << withReferer << refererDeleted << outsideKey;
    QTest::newRow("fresh outside Referer sanitised")
        << QStringList{stored(Setting::OutsideReferer, u"12:00:00|http://out/\r\nX: y"_s)} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "", ""})
        << crlf({"GET http://h/ HTTP/1.0", "Referer: http://out/X: y", "Proxy-Connection: Close",
                 "Connection: Close", "", ""})
        << outsideKey;
    QTest::newRow("fresh outside Referer without blank line: Referer rule runs")
        << QStringList{stored(Setting::OutsideReferer, u"12:00:00|http://out/"_s)} << Noon
        << crlf({"GET http://h/ HTTP/1.0", "Referer: http://a/", "Host: h", ""})
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", ""}) << outsideKey;

    QTest::newRow("values outside their sets: keys removed, headers pass")
        << QStringList{stored(Setting::Referer, u"x"_s), stored(Setting::UserAgent, u"○ "_s),
                       stored(Setting::IfModifiedSince, u""_s), stored(Setting::Cookie, u"△"_s),
                       stored(Setting::CabGet, u"?"_s)}
        << Noon << full
        << crlf({"GET http://h/ HTTP/1.0", "Host: h", "Referer: http://a/", "User-Agent: UA/1",
                 "If-Modified-Since: Sat, 1 Jan 2000", "Cookie: c=1", "Accept: */*",
                 "Proxy-Connection: Close", "Connection: Close", "", ""})
        << QStringList{Setting::CabGet.name.toString()};

    QTest::newRow("piece cut inside a header line")
        << QStringList{} << Noon << QByteArray("GET http://h/ HTTP/1.0\r\nHost: h\r\nCookie: a=")
        << QByteArray("GET http://h/ HTTP/1.0\r\nHost: h\r\n") << QStringList{};
}

void TestHeaderRewrite::rewrite() {
    QFETCH(QStringList, settings);
    QFETCH(QTime, now);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, keysLeft);

    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    SettingsStore store(tempDir.filePath(u"t.ini"_s));
    for (const QString& entry : std::as_const(settings)) {
        const qsizetype eq = entry.indexOf(u'=');
        QVERIFY(store.saveByName(entry.first(eq), entry.sliced(eq + 1)));
    }

    QCOMPARE(rewriteRequestHeaders(request, store, now), expected);
    QStringList keys = store.keys();
    keys.sort();
    keysLeft.sort();
    QCOMPARE(keys, keysLeft);
}

void TestHeaderRewrite::decodableEncodings_data() {
    QTest::addColumn<QByteArray>("browser");
    QTest::addColumn<QByteArray>("asked");

    QTest::newRow("dictionary codings dropped") << "gzip, deflate, br, zstd, dcb, dcz"_ba
                                                << "gzip, deflate, br, zstd"_ba;
    QTest::newRow("q-values kept, compress and * dropped, any case")
        << " compress;q=0.5,GZip ; Q=1.0 , *;q=0.1, identity; q=0.2"_ba
        << "GZip ; Q=1.0, identity; q=0.2"_ba;
    QTest::newRow("nothing decodable left") << "compress, *"_ba
                                            << "identity"_ba;
    QTest::newRow("nothing left acceptable") << "gzip;q=0, br;q=0.000, identity;q=0"_ba
                                             << "identity"_ba;
    QTest::newRow("one acceptable among refused") << "gzip;q=0.0, br;q=0.001"_ba
                                                  << "gzip;q=0.0, br;q=0.001"_ba;
}

// The limited list where the caller asks for it, only while the Script rule is on.
void TestHeaderRewrite::decodableEncodings() {
    QFETCH(QByteArray, browser);
    QFETCH(QByteArray, asked);

    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    SettingsStore store(tempDir.filePath(u"t.ini"_s));
    const QByteArray request = "GET http://h/ HTTP/1.1\r\nAccept-Encoding:" + browser + "\r\n\r\n";
    const auto accepted = [&](AskedEncodings encodings) {
        const QByteArray w = rewriteRequestHeaders(
            request, store, [] { return Noon; }, ConnectionLines::Close, encodings);
        const qsizetype at = HeaderEdit::headerLine(w, "Accept-Encoding:");
        return w.sliced(at, w.indexOf("\r\n", at) - at);
    };
    QCOMPARE(accepted(AskedEncodings::Decodable), "Accept-Encoding: " + asked);
    QCOMPARE(accepted(AskedEncodings::Identity), "Accept-Encoding: identity"_ba);
    QVERIFY(store.saveByName(Setting::Script.name.toString(), u"○"_s));
    QCOMPARE(accepted(AskedEncodings::Decodable), "Accept-Encoding:" + browser);
}

void TestHeaderRewrite::edits_data() {
    QTest::addColumn<QByteArray>("operation");
    QTest::addColumn<QByteArray>("w");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray req = crlf({"GET / HTTP/1.0", "A: 1", "B: 2", "", "body"});
    QTest::newRow("delete first occurrence") << "delete"_ba << req << "A:"_ba << QByteArray()
                                             << crlf({"GET / HTTP/1.0", "B: 2", "", "body"});
    QTest::newRow("delete absent") << "delete"_ba << req << "C:"_ba << QByteArray() << req;
    QTest::newRow("delete cut-off line") << "delete"_ba << "GET / HTTP/1.0\r\nA: 1"_ba << "A:"_ba
                                         << QByteArray() << "GET / HTTP/1.0\r\n"_ba;
    QTest::newRow("delete name ending the piece") << "delete"_ba << "GET / HTTP/1.0\r\nA:"_ba
                                                  << "A:"_ba << QByteArray()
                                                  << "GET / HTTP/1.0\r\n"_ba;

    QTest::newRow("replace in place") << "replace"_ba << req << "B:"_ba << "B: 9"_ba
                                      << crlf({"GET / HTTP/1.0", "A: 1", "B: 9", "", "body"});
    QTest::newRow("replace absent adds before first blank line")
        << "replace"_ba << crlf({"GET / HTTP/1.0", "A: 1", "", "x", "", ""}) << "C:"_ba
        << "C: 3"_ba << crlf({"GET / HTTP/1.0", "A: 1", "C: 3", "", "x", "", ""});
    QTest::newRow("replace absent without blank line")
        << "replace"_ba << "GET / HTTP/1.0\r\nA: 1\r\n"_ba << "C:"_ba << "C: 3"_ba
        << "GET / HTTP/1.0\r\nA: 1\r\n"_ba;
    QTest::newRow("replace cut-off line") << "replace"_ba << "GET / HTTP/1.0\r\nB: 2"_ba << "B:"_ba
                                          << "B: 9"_ba << "GET / HTTP/1.0\r\nB: 9\r\n"_ba;

    QTest::newRow("force ignores the longer name")
        << "force"_ba << crlf({"GET / HTTP/1.0", "Proxy-Connection: k", "", ""})
        << "Connection:"_ba << "Connection: Close"_ba
        << crlf({"GET / HTTP/1.0", "Proxy-Connection: k", "Connection: Close", "", ""});
    QTest::newRow("force ignores the name on the request line")
        << "force"_ba << crlf({"GET /Connection: HTTP/1.0", "", ""}) << "Connection:"_ba
        << "Connection: Close"_ba
        << crlf({"GET /Connection: HTTP/1.0", "Connection: Close", "", ""});
    QTest::newRow("force adds before the first blank line")
        << "force"_ba << crlf({"POST / HTTP/1.0", "", "a", "", "b"}) << "Connection:"_ba
        << "Connection: Close"_ba << crlf({"POST / HTTP/1.0", "Connection: Close", "", "a", "", "b"});
    QTest::newRow("force leaves the name in the body alone")
        << "force"_ba << crlf({"POST / HTTP/1.0", "", "a", "Connection: x", ""}) << "Connection:"_ba
        << "Connection: Close"_ba
        << crlf({"POST / HTTP/1.0", "Connection: Close", "", "a", "Connection: x", ""});
    QTest::newRow("force without blank line") << "force"_ba << "GET / HTTP/1.0\r\nA: 1"_ba
                                              << "Connection:"_ba << "Connection: Close"_ba
                                              << "GET / HTTP/1.0\r\nA: 1"_ba;
    QTest::newRow("force cut-off line") << "force"_ba << "GET / HTTP/1.0\r\nConnection: keep-al"_ba
                                        << "Connection:"_ba << "Connection: Close"_ba
                                        << "GET / HTTP/1.0\r\nConnection: Close\r\n"_ba;
}

void TestHeaderRewrite::edits() {
    QFETCH(QByteArray, operation);
    QFETCH(QByteArray, w);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);

    if (operation == "delete")
        QCOMPARE(HeaderEdit::deleteLine(w, name), expected);
    else if (operation == "replace")
        QCOMPARE(HeaderEdit::replaceOrAdd(w, name, line), expected);
    else
        QCOMPARE(HeaderEdit::force(w, name, line), expected);
}

void TestHeaderRewrite::outsideFreshness_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<bool>("fresh");

    QTest::newRow("same second") << u"12:00:00|http://o/"_s << Noon << true;
    QTest::newRow("2 s old") << u"11:59:58|http://o/"_s << Noon << true;
    QTest::newRow("3 s old") << u"11:59:57|http://o/"_s << Noon << false;
    QTest::newRow("milliseconds do not count") << u"12:00:00|u"_s << QTime(12, 0, 2, 999) << true;
    QTest::newRow("hours old") << u"09:00:00|u"_s << Noon << false;
    QTest::newRow("1 s in the future") << u"12:00:01|u"_s << Noon << false;
    QTest::newRow("hours in the future") << u"23:00:00|u"_s << Noon << false;
    QTest::newRow("across midnight") << u"23:59:59|u"_s << QTime(0, 0, 1) << true;
    QTest::newRow("across midnight, too old") << u"23:59:58|u"_s << QTime(0, 0, 1) << false;
    QTest::newRow("at midnight, future") << u"00:00:05|u"_s << QTime(0, 0, 1) << false;
    QTest::newRow("one-digit hour") << u"1:02:03|u"_s << QTime(1, 2, 3) << false;
    QTest::newRow("other separators") << u"12.00.00|u"_s << Noon << false;
    QTest::newRow("hour out of range") << u"24:00:00|u"_s << QTime(0, 0, 0) << false;
    QTest::newRow("blank before bar") << u"12:00:00 |u"_s << Noon << false;
    QTest::newRow("no bar") << u"12:00:00 http://o/"_s << Noon << false;
    QTest::newRow("letters") << u"ab:cd:ef|u"_s << Noon << false;
    QTest::newRow("12-hour text") << u"12:00:00 PM|u"_s << Noon << false;
}

void TestHeaderRewrite::outsideFreshness() {
    QFETCH(QString, value);
    QFETCH(QTime, now);
    QFETCH(bool, fresh);
    QCOMPARE(outsideRefererIsFresh(value, now), fresh);
}

void TestHeaderRewrite::headerValueCleansStoredText_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("trimmed") << u"  a b \t"_s << "a b"_ba;
    QTest::newRow("CR LF inside") << u"a\r\nSet: x"_s << "aSet: x"_ba;
    QTest::newRow("NUL inside") << QString(u"a\0b"_s) << "ab"_ba;
    QTest::newRow("breaks at the ends then blanks") << u"\r\n x \n"_s << "x"_ba;
    QTest::newRow("UTF-8") << u"日本"_s << "\xE6\x97\xA5\xE6\x9C\xAC"_ba;
}

void TestHeaderRewrite::headerValueCleansStoredText() {
    QFETCH(QString, stored);
    QFETCH(QByteArray, value);
    QCOMPARE(headerValue(stored), value);
}

// A value outside the set passes this request once; the next request gets the default.
void TestHeaderRewrite::outsideKeyRemovedOnceThenDefault() {
    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    SettingsStore store(tempDir.filePath(u"t.ini"_s));
    QVERIFY(store.save(Setting::Referer, u"x"_s));
    const QByteArray request = crlf({"GET http://h/ HTTP/1.0", "Referer: http://a/", "", ""});

    QVERIFY(rewriteRequestHeaders(request, store, Noon).contains("Referer: http://a/"));
    QVERIFY(!store.contains(Setting::Referer));
    QVERIFY(!rewriteRequestHeaders(request, store, Noon).contains("Referer:"));
}

QTEST_GUILESS_MAIN(TestHeaderRewrite)
#include "tst_headerrewrite.moc"
