// The relay's decisions about a browser and its request, on text alone: who may
// connect, what the blocking rules say, which tunnels open, where the request goes and
// how long its body is.

#include "proxy/admission.h"
#include "proxy/interception.h"
#include "proxy/requestrules.h"
#include "proxy/requesttarget.h"

#include <QTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(Admission)
Q_DECLARE_METATYPE(RuleVerdict)

class TestRequestPolicy : public QObject {
    Q_OBJECT
private slots:
    void admission_data();
    void admission();
    void requestLine_data();
    void requestLine();
    void verdicts_data();
    void verdicts();
    void tunnel_data();
    void tunnel();
    void target_data();
    void target();
    void bodyLength_data();
    void interceptedHosts_data();
    void interceptedHosts();
    void unverifiedPage_data();
    void unverifiedPage();
    void bodyLength();
};

void TestRequestPolicy::admission_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("client");
    QTest::addColumn<Admission>("expected");
    const Admission admit = Admission::Admit;
    QTest::newRow("○ admits anyone") << u"○"_s << u"10.1.2.3"_s << admit;
    QTest::newRow("× admits this machine") << u"×"_s << u"127.0.0.1"_s << admit;
    QTest::newRow("× refuses others") << u"×"_s << u"127.0.0.2"_s << Admission::OnlyThisMachine;
    QTest::newRow("△ admits a listed one") << u"△"_s << u"192.0.2.7"_s << admit;
    QTest::newRow("△ compares exactly") << u"△"_s << u"192.0.2.70"_s << Admission::NotListed;
    QTest::newRow("unknown mode is △") << u"?"_s << u"192.0.2.7"_s << admit;
    QTest::newRow("empty client never listed") << u"△"_s << QString() << Admission::NotListed;
    QTest::newRow("× admits the machine's own name") << u"×"_s << u"127.0.1.1"_s << admit;
    QTest::newRow("△ admits the machine's own name") << u"△"_s << u"127.0.1.1"_s << admit;
}

void TestRequestPolicy::admission() {
    QFETCH(QString, mode);
    QFETCH(QString, client);
    QFETCH(Admission, expected);
    const QStringList allowed{u""_s, u"192.0.2.7 "_s, u"192.0.2.7"_s};
    QCOMPARE(admissionFor(choiceOf(mode), client, allowed.mid(client.isEmpty() ? 1 : 0), {u"127.0.1.1"_s}),
             expected);
}

void TestRequestPolicy::requestLine_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("flags"); // p post, g get, i icon, c cabinet
    QTest::newRow("plain get") << "GET http://h/a HTTP/1.1\r\nHost: h\r\n\r\n"_ba << "g"_ba;
    QTest::newRow("icon") << "GET http://h/FAVICON.ICO HTTP/1.1\r\n\r\n"_ba << "gi"_ba;
    QTest::newRow("icon with query") << "GET http://h/f.ico?v=2 HTTP/1.1\r\n\r\n"_ba << "gi"_ba;
    QTest::newRow("longer name is no icon") << "GET http://h/f.icon HTTP/1.1\r\n\r\n"_ba << "g"_ba;
    QTest::newRow("cabinet") << "GET http://h/x.Cab HTTP/1.0\r\n\r\n"_ba << "gc"_ba;
    QTest::newRow("cabinet with query") << "GET http://h/x.cab?v=1 HTTP/1.0\r\n\r\n"_ba << "gc"_ba;
    QTest::newRow("longer name is no cabinet")
        << "GET http://h/x.cabinet.html HTTP/1.0\r\n\r\n"_ba << "g"_ba;
    QTest::newRow("folder named cab") << "GET http://h/cab/x.html HTTP/1.0\r\n\r\n"_ba << "g"_ba;
    QTest::newRow("both") << "GET http://h/a.ico?b.cab HTTP/1.0\r\n\r\n"_ba << "gic"_ba;
    QTest::newRow("name in a header only") << "GET http://h/ HTTP/1.0\r\nX: a.ico \r\n\r\n"_ba << "g"_ba;
    QTest::newRow("post") << "POST http://h/a.ico HTTP/1.1\r\n\r\n"_ba << "p"_ba;
    QTest::newRow("method in other case") << "get http://h/a.ico HTTP/1.1\r\n\r\n"_ba << ""_ba;
}

void TestRequestPolicy::requestLine() {
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, flags);
    const RequestLine line = readRequestLine(head);
    QCOMPARE(line.text, head.left(head.indexOf("\r\n")));
    QCOMPARE(line.post, flags.contains('p'));
    QCOMPARE(line.get, flags.contains('g'));
    QCOMPARE(line.icon, flags.contains('i'));
    QCOMPARE(line.cabinet, flags.contains('c'));
}

void TestRequestPolicy::verdicts_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("mayAsk");
    QTest::addColumn<RuleVerdict>("expected");
    QTest::newRow("○") << u"○"_s << false << RuleVerdict::Send;
    QTest::newRow("×") << u"×"_s << true << RuleVerdict::Refuse;
    QTest::newRow("△ where asking is possible") << u"△"_s << true << RuleVerdict::Ask;
    QTest::newRow("△ elsewhere") << u"△"_s << false << RuleVerdict::DropValue;
    QTest::newRow("nothing stored") << QString() << true << RuleVerdict::DropValue;
    QTest::newRow("blank around ○") << u" ○"_s << false << RuleVerdict::DropValue;
}

void TestRequestPolicy::verdicts() {
    QFETCH(QString, stored);
    QFETCH(bool, mayAsk);
    QFETCH(RuleVerdict, expected);
    QCOMPARE(ruleVerdict(stored.isNull() ? std::nullopt : std::optional(choiceOf(stored)), mayAsk),
             expected);
}

void TestRequestPolicy::tunnel_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("stored"); // the "CONNECT" value
    QTest::addColumn<bool>("opens");
    const QByteArray to443 = "CONNECT h.example:443 HTTP/1.1"_ba;
    const QByteArray to8443 = "CONNECT h.example:8443 HTTP/1.1"_ba;
    QTest::newRow("○ to 443") << to443 << u"○"_s << true;
    QTest::newRow("○ not to 8443") << to8443 << u"○"_s << false;
    QTest::newRow("△ to any port") << to8443 << u"△"_s << true;
    QTest::newRow("× to none") << to443 << u"×"_s << false;
    QTest::newRow("other value is ○: 443") << to443 << u"yes"_s << true;
    QTest::newRow("other value is ○: not 8443") << to8443 << u"yes"_s << false;
    QTest::newRow("login details")
        << "CONNECT user:pass@h.example:443 HTTP/1.1"_ba << u"△"_s << false;
}

void TestRequestPolicy::tunnel() {
    QFETCH(QByteArray, line);
    QFETCH(QString, stored);
    QFETCH(bool, opens);
    const std::optional<RequestTarget> authority = connectTarget(line);
    QCOMPARE(authority && tunnelAllowed(choiceOf(stored), authority->port), opens);
}

void TestRequestPolicy::target_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("host"); // empty: no target
    QTest::addColumn<int>("port");
    QTest::newRow("path") << "GET http://h.example/a HTTP/1.1\r\n"_ba << u"h.example"_s << 80;
    QTest::newRow("no path, ends at the blank")
        << "GET http://h.example HTTP/1.1\r\nHost: x/y\r\n\r\n"_ba << u"h.example"_s << 80;
    QTest::newRow("query without path") << "GET http://h?q=/x HTTP/1.1\r\n"_ba << u"h"_s << 80;
    QTest::newRow("port") << "GET http://h:8081/ HTTP/1.1\r\n"_ba << u"h"_s << 8081;
    QTest::newRow("login with @ in the password")
        << "GET http://user:p@ss@h.example:81/ HTTP/1.1\r\n"_ba << u"h.example"_s << 81;
    QTest::newRow("IPv6") << "GET http://[::1]:8080/ HTTP/1.1\r\n"_ba << u"::1"_s << 8080;
    QTest::newRow("IPv6 without port") << "GET http://[fe80::1]/ HTTP/1.1\r\n"_ba << u"fe80::1"_s << 80;
    QTest::newRow("port 0") << "GET http://h:0/ HTTP/1.1\r\n"_ba << QString() << 0;
    QTest::newRow("port too large") << "GET http://h:65536/ HTTP/1.1\r\n"_ba << QString() << 0;
    QTest::newRow("port not a number") << "GET http://h:8o/ HTTP/1.1\r\n"_ba << QString() << 0;
    QTest::newRow("empty host") << "GET http:///a HTTP/1.1\r\n"_ba << QString() << 0;
    QTest::newRow("no scheme") << "GET /a HTTP/1.1\r\nReferer: http://h/\r\n\r\n"_ba << QString() << 0;
    QTest::newRow("CONNECT") << "CONNECT h:443 HTTP/1.1\r\n\r\n"_ba << QString() << 0;
    QTest::newRow("URL cut off") << "GET http://h"_ba << QString() << 0;
}

void TestRequestPolicy::target() {
    QFETCH(QByteArray, request);
    QFETCH(QString, host);
    QFETCH(int, port);
    const std::optional<RequestTarget> target = targetFromRequest(request);
    QCOMPARE(target.has_value(), !host.isEmpty());
    if (target) {
        QCOMPARE(target->host, host);
        QCOMPARE(target->port, port);
    }
}

void TestRequestPolicy::bodyLength_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("length");
    QTest::newRow("none") << "GET http://h/ HTTP/1.1\r\nHost: h"_ba << 0LL;
    QTest::newRow("length") << "POST http://h/ HTTP/1.1\r\nContent-Length: 12"_ba << 12LL;
    QTest::newRow("any case, blanks") << "POST http://h/ HTTP/1.1\r\ncontent-length:  7 "_ba << 7LL;
    QTest::newRow("chunked runs to the close")
        << "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: chunked"_ba << -1LL;
    QTest::newRow("unreadable length runs to the close")
        << "POST http://h/ HTTP/1.1\r\nContent-Length: x"_ba << -1LL;
    QTest::newRow("name only in the URL")
        << "GET http://h/?Content-Length:5 HTTP/1.1\r\nHost: h"_ba << 0LL;
}

void TestRequestPolicy::bodyLength() {
    QFETCH(QByteArray, head);
    QFETCH(qint64, length);
    QCOMPARE(requestBodyLength(head), length);
}

void TestRequestPolicy::interceptedHosts_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("exclusions");
    QTest::addColumn<bool>("excluded");
    // The one form the host is compared, connected and checked in; empty: refused.
    QTest::addColumn<QString>("form");
    QTest::newRow("nothing excluded") << u"bank.example"_s << QString() << false
                                      << u"bank.example"_s;
    QTest::newRow("listed, other case") << u"Bank.Example"_s << u"a.test bank.example"_s << true
                                        << u"bank.example"_s;
    QTest::newRow("final dot on the host") << u"bank.example."_s << u"bank.example"_s << true
                                           << u"bank.example"_s;
    QTest::newRow("final dot on the entry") << u"BANK.example"_s << u"Bank.Example."_s << true
                                            << u"bank.example"_s;
    QTest::newRow("commas and blanks") << u"b.test"_s << u"a.test, b.test,c.test"_s << true
                                       << u"b.test"_s;
    QTest::newRow("wildcard covers a subdomain") << u"x.y.example.test."_s << u"*.example.test"_s
                                                 << true << u"x.y.example.test"_s;
    QTest::newRow("wildcard not the name itself") << u"example.test"_s << u"*.example.test"_s
                                                  << false << u"example.test"_s;
    QTest::newRow("no suffix match inside a name") << u"badexample.test"_s << u"*.example.test"_s
                                                   << false << u"badexample.test"_s;
    QTest::newRow("an address") << u"127.0.0.1"_s << u"10.0.0.1 127.0.0.1"_s << true
                                << u"127.0.0.1"_s;
    QTest::newRow("IPv6 address, its canonical text") << u"[0:0::1]"_s << u"::1"_s << true
                                                      << u"::1"_s;
    QTest::newRow("IPv4-mapped IPv6") << u"::FFFF:127.0.0.1"_s << QString() << false
                                      << u"::ffff:127.0.0.1"_s;
    // Forms that a resolver reads as one address and a certificate check as another, or
    // that no certificate could carry.
    QTest::newRow("octal part") << u"0177.0.0.1"_s << QString() << false << QString();
    QTest::newRow("short form") << u"127.1"_s << QString() << false << QString();
    QTest::newRow("hexadecimal") << u"0x7f.0.0.1"_s << QString() << false << QString();
    QTest::newRow("leading zero") << u"010.0.0.1"_s << QString() << false << QString();
    QTest::newRow("last label hexadecimal") << u"127.0.0.0x1"_s << QString() << false << QString();
    QTest::newRow("one number") << u"2130706433"_s << QString() << false << QString();
    QTest::newRow("a name ending in a number") << u"host.example.1"_s << QString() << false
                                               << QString();
    QTest::newRow("zone index") << u"fe80::1%eth0"_s << QString() << false << QString();
    QTest::newRow("address cut short by a NUL")
        << u"[::1\0evil.test]"_s << QString() << false << QString();
    QTest::newRow("comma in a name") << u"a.test,DNS:b.test"_s << QString() << false << QString();
    QTest::newRow("empty label") << u"a..test"_s << QString() << false << QString();
    QTest::newRow("a letter that lowers into ASCII") << u"\u212Aey.test"_s << QString() << false
                                                    << QString();
}

void TestRequestPolicy::interceptedHosts() {
    QFETCH(QString, host);
    QFETCH(QString, exclusions);
    QFETCH(bool, excluded);
    QFETCH(QString, form);
    const std::optional<HostName> name = HostName::parse(host);
    QCOMPARE(name ? name->text() : QString(), form);
    if (name)
        QCOMPARE(interceptionExcluded(*name, exclusions), excluded);
}

Q_DECLARE_METATYPE(TlsCheck)

void TestRequestPolicy::unverifiedPage_data() {
    QTest::addColumn<TlsCheck>("check");
    QTest::addColumn<QString>("says");
    QTest::newRow("expired") << TlsCheck::Expired << u"有効期限が切れています"_s;
    QTest::newRow("not yet valid") << TlsCheck::NotYetValid << u"有効期間がまだ始まっていません"_s;
    QTest::newRow("revoked") << TlsCheck::Revoked << u"失効しています"_s;
    QTest::newRow("too slow") << TlsCheck::TimedOut << u"時間内に"_s;
    QTest::newRow("wrong host") << TlsCheck::WrongHost << u"このホスト名のものではありません"_s;
    QTest::newRow("unknown issuer") << TlsCheck::UnknownIssuer << u"発行者を信頼できません"_s;
    QTest::newRow("handshake") << TlsCheck::HandshakeFailed << u"ハンドシェイクに失敗しました"_s;
}

void TestRequestPolicy::unverifiedPage() {
    QFETCH(TlsCheck, check);
    QFETCH(QString, says);
    const QByteArray answer = unverifiedAnswer(check, u"<x>.test:443", u"reason & more");
    QVERIFY(answer.startsWith("HTTP/1.1 502 "));
    const qsizetype head = answer.indexOf("\r\n\r\n") + 4;
    const QByteArray body = answer.mid(head);
    QVERIFY(answer.left(head).contains("Content-Length: " + QByteArray::number(body.size()) + "\r\n"));
    QVERIFY(QString::fromUtf8(body).contains(says));
    // What the page repeats of the outside world is not markup.
    QVERIFY(body.contains("&lt;x&gt;.test:443") && body.contains("reason &amp; more"));
}

QTEST_GUILESS_MAIN(TestRequestPolicy)
#include "tst_requestpolicy.moc"
