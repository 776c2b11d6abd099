// HTTPS interception in-process: an origin speaking TLS as each row sets it up, the
// proxy between it and a browser, and what each side gets; the proxy's own authority
// and the certificates it mints.

#include "relayharness.h"
#include "tlspeer.h"

#include "platform/tls.h"
#include "settings/settingskeys.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pem.h>

#include <csignal>
#include <future>
#include <sys/stat.h>

using namespace Tarnwick;
using namespace Tarnwick::Testing;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
const QByteArray Refusal = QByteArrayLiteral("HTTP/1.0 999");

// Waits for the browser's thread on the event loop, where the proxy runs.
Fetched fetch(quint16 proxyPort, const QByteArray& authority, const QByteArray& serverName,
              const QByteArray& request, const QByteArray& then = {}) {
    auto done = std::async(std::launch::async, fetchThrough, proxyPort, authority, serverName,
                           request, then);
    QElapsedTimer waited;
    waited.start();
    while (done.wait_for(0ms) != std::future_status::ready && waited.elapsed() < 30000)
        QTest::qWait(10);
    return done.get();
}

QByteArray altNamesOf(X509* cert) {
    const GeneralNamesOwner names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    QByteArray text;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        int type = 0;
        auto* value = static_cast<ASN1_STRING*>(
            GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names.get(), i), &type));
        if (type == GEN_DNS)
            text += "DNS:" + QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                        ASN1_STRING_length(value));
    }
    return text;
}
} // namespace

// One origin and what the browser behind the proxy gets from it.
struct OriginCase {
    QByteArray altNames = "IP:127.0.0.1"; // of the origin's certificate; "": none
    int validFrom = -1;                   // days from now
    int validUntil = 30;
    QByteArray host = "127.0.0.1"; // as the CONNECT names it
    QByteArray exclusions = {};
    int maxVersion = 0;                  // the origin's; 0: any
    QByteArray ciphers = {};             // the origin's TLS 1.2 suites
    int staple = -1;                     // the OCSP status it staples; -1: none
    bool forgedStaple = false;           // its signature does not match
    int delayMs = 0;                     // before its handshake; -1: never
    QByteArray trust = "extra";          // its CA: the "extra" file, the "system" store, "none"
    bool trustedBefore = false;          // a page fetched first while the extra file trusted it
    QByteArray upstream = {};            // the upstream proxy's refusal; "open": a tunnel
    QByteArray says = "HTTP/1.1 200 OK"; // the browser's answer starts with, or the page says
    int connections = 1;                 // the origin saw
    bool forwarded = true;               // the request reached it
    bool minted = true;                  // the browser got a certificate of the proxy's
};
Q_DECLARE_METATYPE(OriginCase)

class TestInterception : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void originChecks_data();
    void originChecks();
    void privateAuthority_data();
    void privateAuthority();
    void mintedCertificatesRenew();
    void requestsShareTheConnections();

private:
    QTemporaryDir m_home;
    QString m_trusted; // the test CA's certificate
    KeyOwner m_rsa;
    KeyOwner m_ec;
    Issued m_ca;
    QHostAddress m_localhost; // where "localhost" resolves first
};

void TestInterception::initTestCase() {
    // The peers write to sockets the proxy may have closed.
    std::signal(SIGPIPE, SIG_IGN);
    // The proxy's own CA lives in this run's data folder.
    qputenv("XDG_DATA_HOME", m_home.filePath(u"data"_s).toLocal8Bit());
    qunsetenv("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_DIR");
    m_rsa = rsaKey();
    m_ec = ecKey();
    m_ca = issue({"test origins' CA", {}, -1, 3650, true}, m_ec.get(), nullptr);
    m_trusted = m_home.filePath(u"trusted.pem"_s);
    QFile file(m_trusted);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pemOf(m_ca.cert.get())) > 0);
    file.close();
    const QList<QHostAddress> addresses = QHostInfo::fromName(u"localhost"_s).addresses();
    QVERIFY(!addresses.isEmpty());
    m_localhost = addresses.first();
}

void TestInterception::originChecks_data() {
    QTest::addColumn<OriginCase>("origin");
    const QByteArray wrongHost = "このホスト名のものではありません";
    const QByteArray handshake = "ハンドシェイクに失敗しました";
    QTest::newRow("an address in the subjectAltName") << OriginCase{};
    QTest::newRow("a name in the subjectAltName")
        << OriginCase{.altNames = "DNS:localhost", .host = "localhost"};
    QTest::newRow("the name in another case, with a final dot")
        << OriginCase{.altNames = "DNS:localhost", .host = "LocalHost."};
    // Browsers stopped reading the subject's common name; the proxy is as strict.
    QTest::newRow("the name only in the common name")
        << OriginCase{.altNames = "", .host = "localhost", .says = wrongHost, .forwarded = false};
    QTest::newRow("a certificate for another name") << OriginCase{
        .altNames = "DNS:other.test", .host = "localhost", .says = wrongHost, .forwarded = false};
    QTest::newRow("a certificate for another address")
        << OriginCase{.altNames = "IP:127.0.0.2", .says = wrongHost, .forwarded = false};
    // A resolver reads 127.0.0.1, a certificate check 177.0.0.1.
    QTest::newRow("an address in octal")
        << OriginCase{.host = "0177.0.0.1", .says = Refusal, .connections = 0, .forwarded = false};
    // A tunnel to it, which fails here since "localhost." resolves to nothing without DNS;
    // what counts is that the proxy offers no TLS of its own.
    QTest::newRow("an excluded host with a final dot is not intercepted")
        << OriginCase{.altNames = "DNS:localhost",
                      .host = "localhost.",
                      .exclusions = "LOCALHOST",
                      .says = Refusal,
                      .connections = 0,
                      .forwarded = false,
                      .minted = false};
    QTest::newRow("expired") << OriginCase{
        .validFrom = -60, .validUntil = -1, .says = "有効期限が切れています", .forwarded = false};
    QTest::newRow("not yet valid")
        << OriginCase{.validFrom = 1, .says = "有効期間がまだ始まっていません", .forwarded = false};
    QTest::newRow("stapled: revoked") << OriginCase{
        .staple = V_OCSP_CERTSTATUS_REVOKED, .says = "失効しています", .forwarded = false};
    QTest::newRow("stapled: good") << OriginCase{.staple = V_OCSP_CERTSTATUS_GOOD};
    QTest::newRow("stapled: revoked, the signature forged")
        << OriginCase{.staple = V_OCSP_CERTSTATUS_REVOKED, .forgedStaple = true};
    QTest::newRow("TLS 1.2, ECDHE and AES-GCM")
        << OriginCase{.maxVersion = TLS1_2_VERSION, .ciphers = "ECDHE-RSA-AES128-GCM-SHA256"};
    QTest::newRow("TLS 1.2, RSA key exchange only") << OriginCase{.maxVersion = TLS1_2_VERSION,
                                                                  .ciphers = "AES128-GCM-SHA256",
                                                                  .says = handshake,
                                                                  .forwarded = false};
    QTest::newRow("TLS 1.2, CBC only") << OriginCase{.maxVersion = TLS1_2_VERSION,
                                                     .ciphers = "ECDHE-RSA-AES128-SHA256",
                                                     .says = handshake,
                                                     .forwarded = false};
    // The reconnect ticks (50 ms here) cover the TCP connection only.
    QTest::newRow("a handshake slower than the reconnect tick") << OriginCase{.delayMs = 400};
    QTest::newRow("an origin that never answers the handshake")
        << OriginCase{.delayMs = -1, .says = "時間内に", .forwarded = false};
    QTest::newRow("its CA in the system's store") << OriginCase{.trust = "system"};
    QTest::newRow("its CA trusted nowhere")
        << OriginCase{.trust = "none", .says = "発行者を信頼できません", .forwarded = false};
    QTest::newRow("its CA trusted before, not now: its session not resumed")
        << OriginCase{.trust = "none",
                      .trustedBefore = true,
                      .says = "発行者を信頼できません",
                      .connections = 2,
                      .forwarded = false};
    QTest::newRow("the upstream proxy opens its tunnel") << OriginCase{.upstream = "open"};
    QTest::newRow("the upstream proxy refuses: 403")
        << OriginCase{.upstream = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
                      .says = Refusal,
                      .connections = 0,
                      .forwarded = false};
    QTest::newRow("the upstream proxy refuses: 407") << OriginCase{
        .upstream = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                    "Proxy-Authenticate: Basic realm=\"x\"\r\nContent-Length: 0\r\n\r\n",
        .says = Refusal,
        .connections = 0,
        .forwarded = false};
}

void TestInterception::originChecks() {
    QFETCH(OriginCase, origin);
    const bool byName = QHostAddress(QString::fromLatin1(origin.host)).isNull();
    const Issued leaf = issue({"localhost", origin.altNames, origin.validFrom, origin.validUntil},
                              m_rsa.get(), &m_ca);
    TlsOrigin server({.cert = leaf.cert.get(),
                      .key = leaf.key.get(),
                      .maxVersion = origin.maxVersion,
                      .ciphers = origin.ciphers,
                      .staple = origin.staple < 0 ? QByteArray()
                                                  : ocspAnswer(leaf.cert.get(), m_ca, origin.staple,
                                                               origin.forgedStaple),
                      .delayMs = std::max(origin.delayMs, 0),
                      .silent = origin.delayMs < 0,
                      .address = byName ? m_localhost : QHostAddress(QHostAddress::LocalHost)});
    // OpenSSL reads the system's store where SSL_CERT_FILE says, when the proxy first
    // needs it.
    if (origin.trust == "system")
        qputenv("SSL_CERT_FILE", m_trusted.toLocal8Bit());
    const auto restore = qScopeGuard([] { qunsetenv("SSL_CERT_FILE"); });

    TestProxy proxy;
    proxy.store->save(Setting::ConnectTunnel, Choice::Third.toString());
    proxy.store->save(Setting::HttpsInterception, Choice::Allow.toString());
    proxy.store->save(Setting::InterceptionExclusions, QString::fromLatin1(origin.exclusions));
    if (origin.trust == "extra")
        proxy.store->save(Setting::InterceptionExtraCa, m_trusted);
    std::unique_ptr<UpstreamProxy> upstream;
    if (!origin.upstream.isEmpty()) {
        upstream = std::make_unique<UpstreamProxy>(origin.upstream == "open" ? QByteArray()
                                                                             : origin.upstream);
        proxy.store->save(Setting::Proxy, Choice::Allow.toString());
        proxy.store->save(Setting::ProxyServer, u"127.0.0.1"_s);
        proxy.store->save(Setting::ProxyPort, QString::number(upstream->port()));
    }

    const QByteArray authority = origin.host + ':' + QByteArray::number(server.port());
    if (origin.trustedBefore) {
        proxy.store->save(Setting::InterceptionExtraCa, m_trusted);
        const QByteArray request =
            "GET / HTTP/1.1\r\nHost: " + authority + "\r\nConnection: close\r\n\r\n";
        QVERIFY(fetch(proxy.port(), authority, "", request).answer.startsWith("HTTP/1.1 200 "));
        proxy.store->save(Setting::InterceptionExtraCa, QString());
    }
    const Fetched got =
        fetch(proxy.port(), authority, byName ? "localhost" : "",
              "GET /page HTTP/1.1\r\nHost: " + authority + "\r\nCookie: session=abc\r\nConnection: close\r\n\r\n");
    const QByteArray seen = got.secured ? got.answer : got.connectAnswer;
    if (origin.says.startsWith("HTTP/"))
        QVERIFY2(seen.startsWith(origin.says), seen.left(200).constData());
    else
        QVERIFY2(seen.startsWith("HTTP/1.1 502 ") && seen.contains(origin.says),
                 seen.left(600).constData());
    QCOMPARE(server.connections(), origin.connections);
    const QList<QByteArray> requests = server.requests().mid(origin.trustedBefore ? 1 : 0);
    QCOMPARE(requests.size(), origin.forwarded ? 1 : 0);
    if (got.secured) {
        // A certificate of the proxy's names the host in its one form, and the header
        // rules (the Cookie rule's default) applied; a tunnel's is the origin's own.
        QCOMPARE(X509_cmp(got.certificate.get(), leaf.cert.get()) != 0, origin.minted);
        if (origin.minted && byName)
            QCOMPARE(altNamesOf(got.certificate.get()), "DNS:localhost");
        if (origin.forwarded)
            QCOMPARE(requests.first().contains("Cookie:"), !origin.minted);
    }
    if (upstream)
        QVERIFY(upstream->requests().value(0).startsWith("CONNECT " + authority + ' '));
}

void TestInterception::privateAuthority_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("keyMode");
    QTest::addColumn<QString>("says"); // empty: usable
    QTest::newRow("private") << 0700 << 0600 << QString();
    QTest::newRow("the key readable by the group") << 0700 << 0640 << u"CAの鍵が本人専用"_s;
    QTest::newRow("the key readable by all") << 0700 << 0604 << u"CAの鍵が本人専用"_s;
    QTest::newRow("the folder open to the group") << 0750 << 0600 << u"CAのフォルダーが本人専用"_s;
    QTest::newRow("the folder open to all") << 0705 << 0600 << u"CAのフォルダーが本人専用"_s;
}

void TestInterception::privateAuthority() {
    QFETCH(int, folderMode);
    QFETCH(int, keyMode);
    QFETCH(QString, says);
    const QString folder =
        m_home.filePath(u"private/"_s + QString::fromUtf8(QTest::currentDataTag()));
    QVERIFY(CertificateAuthority(folder).create());
    QCOMPARE(::chmod(QFile::encodeName(folder).constData(), mode_t(folderMode)), 0);
    CertificateAuthority authority(folder);
    QCOMPARE(::chmod(QFile::encodeName(authority.keyPath()).constData(), mode_t(keyMode)), 0);
    QString why;
    const CertificateAuthority::State state = authority.load(&why);
    QCOMPARE(state == CertificateAuthority::State::Usable, says.isEmpty());
    QVERIFY2(why.contains(says), qPrintable(why));
}

void TestInterception::mintedCertificatesRenew() {
    const QString folder = m_home.filePath(u"renewing"_s);
    qint64 now = QDateTime::currentSecsSinceEpoch();
    CertificateAuthority authority(folder, [&now] { return now; });
    QVERIFY(authority.create());
    const HostName host = *HostName::parse(u"renew.test");
    auto endOf = [](X509* cert) {
        int days = 0, seconds = 0;
        ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert));
        return days;
    };
    X509Owner first(X509_dup(authority.certificateFor(host)));
    QVERIFY(first);
    // Kept while more than a month is left.
    now += 50 * 24 * 3600;
    QCOMPARE(X509_cmp(authority.certificateFor(host), first.get()), 0);
    // Made anew before a browser could see it expire.
    now += 15 * 24 * 3600;
    X509* renewed = authority.certificateFor(host);
    QVERIFY(X509_cmp(renewed, first.get()) != 0);
    QVERIFY(endOf(renewed) > endOf(first.get()) + 60);
    time_t renewedAt = time_t(now);
    QVERIFY(X509_cmp_time(X509_get0_notBefore(renewed), &renewedAt) < 0);
    // A new authority signs everything from then on.
    QVERIFY(authority.remove());
    QVERIFY(authority.create());
    FILE* file = std::fopen(QFile::encodeName(authority.certificatePath()).constData(), "re");
    QVERIFY(file);
    const X509Owner newAuthority(PEM_read_X509(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    QCOMPARE(X509_verify(authority.certificateFor(host), X509_get0_pubkey(newAuthority.get())), 1);
}

void TestInterception::requestsShareTheConnections() {
    // Answers stream inside interception by default: both requests go through one
    // browser connection and one origin connection, each passing the rules.
    const Issued leaf = issue({"localhost", "IP:127.0.0.1"}, m_rsa.get(), &m_ca);
    TlsOrigin server({.cert = leaf.cert.get(), .key = leaf.key.get()});
    TestProxy proxy;
    proxy.store->save(Setting::ConnectTunnel, Choice::Third.toString());
    proxy.store->save(Setting::HttpsInterception, Choice::Allow.toString());
    proxy.store->save(Setting::InterceptionExtraCa, m_trusted);
    const QByteArray authority = "127.0.0.1:" + QByteArray::number(server.port());
    const QByteArray request = "GET /1 HTTP/1.1\r\nHost: " + authority +
                               "\r\nCookie: a=b\r\n\r\nGET /2 HTTP/1.1\r\nHost: " + authority +
                               "\r\nCookie: a=b\r\nConnection: close\r\n\r\n";
    const Fetched got = fetch(proxy.port(), authority, "", request);
    QCOMPARE(got.answer.count("HTTP/1.1 200 OK\r\n"), 2);
    QVERIFY(got.answer.endsWith("origin"));
    QCOMPARE(server.connections(), 1);
    const QList<QByteArray> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests[0].startsWith("GET /1 ") && requests[1].startsWith("GET /2 "));
    QVERIFY(!requests[0].contains("Cookie:") && !requests[1].contains("Cookie:"));

    // A WebSocket inside (wss://): its upgrade reaches the origin, then bytes go both ways.
    const Fetched ws = fetch(proxy.port(), authority, "",
                             "GET /ws HTTP/1.1\r\nHost: " + authority +
                                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
                             "ping");
    QVERIFY2(ws.answer.startsWith("HTTP/1.1 101 ") && ws.answer.endsWith("echo:ping"),
             ws.answer.constData());
    QVERIFY(server.requests().value(2).contains("\r\nConnection: Upgrade\r\n"));

    // Toward an origin that would take HTTP/2, the upgrade's connection offers HTTP/1.1 only.
    TlsOrigin h2Taker({.cert = leaf.cert.get(), .key = leaf.key.get(), .takesH2 = true});
    const QByteArray h2Authority = "127.0.0.1:" + QByteArray::number(h2Taker.port());
    const Fetched upgraded = fetch(proxy.port(), h2Authority, "",
                                   "GET /ws HTTP/1.1\r\nHost: " + h2Authority +
                                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
                                   "ping");
    QVERIFY2(upgraded.answer.endsWith("echo:ping"), upgraded.answer.constData());
}

QTEST_GUILESS_MAIN(TestInterception)
#include "tst_interception.moc"
