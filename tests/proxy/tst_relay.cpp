// The relay end to end through real loopback sockets: a browser connection, the
// proxy engine, and a stub standing in for the web server.

#include "relayharness.h"

#include "proxy/responsefilters.h"
#include "settings/settingskeys.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace Tarnwick;
using namespace Qt::StringLiterals;
using namespace Tarnwick::Testing;

namespace {
const QByteArray Refusal = QByteArrayLiteral("HTTP/1.0 999");

QByteArray randomBytes(qsizetype n) {
    QByteArray bytes(n, Qt::Uninitialized);
    QRandomGenerator gen(42);
    for (qsizetype k = 0; k < n; ++k)
        bytes[k] = char(gen.bounded(256));
    // Make sure the body holds the bytes that trip naive handling.
    if (n > 16)
        bytes.replace(0, 8, QByteArray("\r\n\r\n\0\xff\x80\0", 8));
    return bytes;
}

QByteArray firstLine(const QByteArray& request) {
    return request.left(request.indexOf("\r\n"));
}

QByteArray okAnswer(const QByteArray& body = "ok") {
    return answerBytes(
        "HTTP/1.1 200 OK",
        "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n",
        body);
}

// Where the first request in `bytes` ends, its body too (a length, or chunks to the
// last) unless `headOnly`; -1 while it is incomplete.
qsizetype requestEnd(const QByteArray& bytes, bool headOnly) {
    const qsizetype blank = bytes.indexOf("\r\n\r\n");
    if (blank < 0 || headOnly)
        return blank < 0 ? -1 : blank + 4;
    const QByteArray head = bytes.left(blank).toLower();
    if (head.contains("transfer-encoding: chunked")) {
        const qsizetype last = bytes.indexOf("\r\n0\r\n\r\n", blank);
        return last < 0 ? -1 : last + 7;
    }
    const qsizetype length = head.indexOf("content-length: ");
    const qsizetype body = length < 0 ? 0 : head.mid(length + 16).split('\r').first().toLongLong();
    return bytes.size() >= blank + 4 + body ? blank + 4 + body : -1;
}

// An origin that answers each request of a kept connection in pieces 150 ms apart,
// closing after the answer or not, and echoes what comes after a 101.
class ScriptedOrigin : public QObject {
public:
    ScriptedOrigin() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            ++connections;
            auto buffer = std::make_shared<QByteArray>();
            auto upgraded = std::make_shared<bool>(false);
            connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
                if (*upgraded)
                    return void(socket->write("echo:" + socket->readAll()));
                const QByteArray got = socket->readAll();
                bytesIn += got.size();
                *buffer += got;
                for (qsizetype end; (end = requestEnd(*buffer, answersAtHead)) >= 0;) {
                    const int n = int(requests.size());
                    requests.append(buffer->left(end));
                    buffer->remove(0, end);
                    const QByteArrayList pieces = answer(n);
                    *upgraded = pieces.value(0).startsWith("HTTP/1.1 101");
                    if (pieces.isEmpty() && closeAfter(n))
                        socket->disconnectFromHost(); // no answer at all
                    for (int k = 0; k < pieces.size(); ++k) {
                        const bool last = k + 1 == pieces.size();
                        QTimer::singleShot(150 * k, socket, [=, this] {
                            socket->write(pieces[k]);
                            if (last && closeAfter(n))
                                socket->disconnectFromHost();
                            done = last ? n + 1 : done;
                        });
                    }
                }
            });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    // Stops listening, and starts again on `port` after `ms`.
    void listenAgainAfter(int ms) {
        const quint16 was = port();
        m_server.close();
        QTimer::singleShot(ms, this,
                           [this, was] { m_server.listen(QHostAddress::LocalHost, was); });
    }

    std::function<QByteArrayList(int)> answer;
    std::function<bool(int)> closeAfter = [](int) { return false; };
    // Answers at a request's head, taking what follows for the next request.
    bool answersAtHead = false;
    qint64 bytesIn = 0; // every byte the proxy sent, requests or not
    QList<QByteArray> requests;
    int connections = 0;
    int done = 0; // answers whose last piece has left

private:
    QTcpServer m_server;
};
} // namespace

class TestRelay : public QObject {
    Q_OBJECT
private slots:
    void requestReachesServerRewritten_data();
    void requestReachesServerRewritten();
    void anotherWritersSaveAppliesToTheNextRequest();
    void continuationPieceIsSentSecond();
    void requestHeadInPieces_data();
    void requestHeadInPieces();
    void oversizedHeadIsRefused();
    void headAnswerIsNeverChecked();
    void answerWaitsForThePump();
    void chunkedHtmlKeepsItsFraming();
    void upstreamProxyGetsEveryRequest();
    void binaryBodyOfRequestArrivesUnchanged();
    void refusedRequests_data();
    void refusedRequests();
    void refusedPostClosesWithoutAnswer();
    void badTargetsAreRefusedAtOnce_data();
    void badTargetsAreRefusedAtOnce();
    void cabinetQuestion_data();
    void cabinetQuestion();
    void cabinetQuestionOutlivedByItsSlot_data();
    void cabinetQuestionOutlivedByItsSlot();
    void cabinetQuestionsOpenSideBySide();
    void admission_data();
    void admission();
    void machineNameCountsAsThisMachine();
    void thousandthAdmissionTakesSlotOne_data();
    void thousandthAdmissionTakesSlotOne();
    void unreachableServerIsRetriedTenTimes();
    void binaryAnswerIsRelayedByteExact();
    void htmlAnswerIsRewrittenInPlace();
    void shortAnswerIsRequestedSixTimes();
    void answersWithoutContentType_data();
    void answersWithoutContentType();
    void interimAnswers_data();
    void interimAnswers();
    void largeBodyIsSentWholeAgain_data();
    void largeBodyIsSentWholeAgain();
    void emptyAnswerIsRefused();
    void browserClosingEarlyGetsNothing();
    void browserIsClosedAfterTheSend();
    void serverErrorAfterConnectAnswersRefusal();
    void answerFileProblems_data();
    void answerFileProblems();
    void monitorEntriesOfARelay();
    void streamedAnswers_data();
    void streamedAnswers();
    void keptConnections_data();
    void keptConnections();
    void keptConnectionIdleIsClosed();
    void largeAnswerReadSlowlyThenTheNext();
    void newRouteGetsEveryTry();
    void requestBodiesOnAKeptConnection_data();
    void requestBodiesOnAKeptConnection();
    void bodyAnsweredEarlyIsNeverARequest();
    void pipelinedToOriginsThatClose();
    void webSockets_data();
    void webSockets();
    void stopClosesEverything();
};

void TestRelay::requestReachesServerRewritten_data() {
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("expectedHeaders");
    QTest::newRow("defaults strip four headers, force connection")
        << QByteArray("Referer: http://a/\r\nUser-Agent: UA\r\nIf-Modified-Since: x\r\n"
                      "Cookie: c=1\r\nAccept: */*\r\nProxy-Connection: keep-alive\r\n")
        << QByteArray("Accept: */*\r\nProxy-Connection: Close\r\nConnection: Close\r\n");
    QTest::newRow("nothing to strip")
        << QByteArray("Accept: */*\r\n")
        << QByteArray("Accept: */*\r\nProxy-Connection: Close\r\nConnection: Close\r\n");
}

void TestRelay::requestReachesServerRewritten() {
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, expectedHeaders);
    TestProxy relay;
    OriginStub origin;
    origin.answer = [](int) {
        return answerBytes("HTTP/1.1 200 OK", "Content-Type: text/plain\r\nContent-Length: 2\r\n",
                           "ok");
    };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/x", headers));
    QTRY_COMPARE(origin.connections(), 1);
    QTRY_VERIFY(origin.requests[0].endsWith("\r\n\r\n"));
    QCOMPARE(origin.requests[0], getRequest(origin.port(), "/x", expectedHeaders));
    QTRY_VERIFY(browser.closedByPeer);
    QVERIFY(browser.received.endsWith("ok"));
}

// The relay looks at the settings file only when its folder reports a change; a save
// by another program must still apply to the very next request.
void TestRelay::anotherWritersSaveAppliesToTheNextRequest() {
    TestProxy relay;
    OriginStub origin;
    origin.answer = [](int) { return okAnswer(); };
    SettingsStore other(relay.store->fileName());
    for (int n = 0; n < 10; ++n) {
        const bool pass = n % 2 == 0;
        QVERIFY(other.save(Setting::Cookie, pass ? u"○"_s : u"×"_s));
        Browser browser(relay.port());
        QVERIFY(browser.waitConnected());
        browser.send(getRequest(origin.port(), "/c", "Cookie: c=1\r\n"));
        QTRY_VERIFY(browser.closedByPeer);
        QCOMPARE(origin.requests.value(n).contains("Cookie: c=1"), pass);
    }
}

void TestRelay::continuationPieceIsSentSecond() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray head = getRequest(origin.port(), "/form", "Content-Length: 9\r\n", "POST");
    const QByteArray more = QByteArray("a=1\r\nb=22");
    relay.store->save(Setting::Post, Choice::Allow.toString());
    origin.behaviour = OriginStub::Behaviour::Hold;
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(head);
    // The continuation comes after the head was taken.
    QTRY_COMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
    browser.send(more);
    QTRY_COMPARE(origin.connections(), 1);
    const QByteArray rewritten =
        getRequest(origin.port(), "/form",
                   "Content-Length: 9\r\nProxy-Connection: Close\r\nConnection: Close\r\n", "POST");
    QTRY_COMPARE(origin.requests[0], rewritten + more);
    QTRY_COMPARE(relay.entries(Side::Wan, u"【Send】").size(), 2);
}

void TestRelay::requestHeadInPieces_data() {
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("expected");
    // "ORIGIN" stands for the stub's address.
    QTest::newRow("cut inside a Cookie line")
        << QByteArrayList{"GET http://ORIGIN/c HTTP/1.1\r\nHost: ORIGIN\r\nCookie: a=1; b",
                          "=2\r\nUser-Agent: UA\r\nConnection: keep-alive\r\n\r\n"}
        << "GET http://ORIGIN/c HTTP/1.1\r\nHost: ORIGIN\r\nConnection: Close\r\n"
           "Proxy-Connection: Close\r\n\r\n"_ba;
    QTest::newRow("request line cut, head ends alone")
        << QByteArrayList{"GET http://ORIGIN/l H", "TTP/1.1\r\nHost: ORIGIN\r\n", "\r\n"}
        << "GET http://ORIGIN/l HTTP/1.1\r\nHost: ORIGIN\r\nProxy-Connection: Close\r\n"
           "Connection: Close\r\n\r\n"_ba;
    QTest::newRow("body in pieces, with a blank line and a header name")
        << QByteArrayList{"POST http://ORIGIN/f HTTP/1.1\r\nContent-Length: 32\r\n\r\na=1",
                          "\r\n\r\nCookie: x", "\r\nGET / HTTP/1.1"}
        << "POST http://ORIGIN/f HTTP/1.1\r\nContent-Length: 32\r\nProxy-Connection: Close\r\n"
           "Connection: Close\r\n\r\na=1\r\n\r\nCookie: x\r\nGET / HTTP/1.1"_ba;
}

void TestRelay::requestHeadInPieces() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, expected);
    TestProxy relay;
    relay.store->save(Setting::Post, Choice::Allow.toString());
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::Hold;
    const QByteArray address = "127.0.0.1:" + QByteArray::number(origin.port());
    expected.replace("ORIGIN", address);
    origin.expectBytes = expected.size();
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    for (QByteArray piece : pieces) {
        browser.send(piece.replace("ORIGIN", address));
        QTest::qWait(30); // each piece its own arrival
    }
    QTRY_COMPARE(origin.connections(), 1);
    QTRY_COMPARE(origin.requests[0], expected);
    QVERIFY(browser.received.isEmpty());
}

void TestRelay::oversizedHeadIsRefused() {
    TestProxy relay;
    OriginStub origin;
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/big").replace("\r\n\r\n", "\r\n"));
    for (int k = 0; k < 3; ++k) {
        QTest::qWait(20);
        browser.send("X-Pad: " + QByteArray(30 * 1024, 'p') + "\r\n");
    }
    QTRY_COMPARE(browser.received, Refusal);
    QTest::qWait(50);
    QCOMPARE(origin.connections(), 0);
}

void TestRelay::headAnswerIsNeverChecked() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray answer =
        "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 5000\r\n\r\n"_ba;
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/i.png", {}, "HEAD"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, answer);
    QCOMPARE(origin.connections(), 1);
}

void TestRelay::answerWaitsForThePump() {
    TestProxy relay(1.0); // the relay's real clocks
    QTcpServer origin;
    QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
    qint64 serverClosedAt = -1;
    connect(&origin, &QTcpServer::newConnection, &origin, [&] {
        QTcpSocket* socket = origin.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [&serverClosedAt, socket] {
            if (!socket->readAll().contains("\r\n\r\n"))
                return;
            socket->write(okAnswer("timed"));
            socket->disconnectFromHost();
            serverClosedAt = harnessClockMs();
        });
    });
    Browser browser(relay.port());
    qint64 firstByteAt = -1;
    connect(&browser.socket, &QTcpSocket::readyRead, &browser, [&] {
        if (firstByteAt < 0)
            firstByteAt = harnessClockMs();
    });
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.serverPort(), "/t"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, okAnswer("timed"));
    // The pump runs 100 ms after the server's close: not sooner, and not a second later.
    const qint64 waited = firstByteAt - serverClosedAt;
    QVERIFY2(waited >= 90 && waited < 900, qPrintable(QString::number(waited)));
}

void TestRelay::chunkedHtmlKeepsItsFraming() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"_ba;
    // The script's tag and body are cut by the chunking.
    const QByteArray answer =
        head + "6\r\n<p><sc\r\n9\r\nript>var \r\n10\r\nx=1;</script><b>\r\n0\r\n\r\n";
    const QByteArray expected =
        withPolicy(head + "6\r\n<p><ZZ\r\n9\r\nZZZZ>    \r\n10\r\n    </ZZZZZZ><b>\r\n0\r\n\r\n");
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/chunked"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, expected);
}

void TestRelay::upstreamProxyGetsEveryRequest() {
    TestProxy relay;
    OriginStub upstream;
    upstream.answer = [](int) {
        return answerBytes("HTTP/1.0 200 OK", "Content-Type: text/plain\r\n", "via upstream");
    };
    relay.store->save(Setting::Proxy, Choice::Allow.toString());
    relay.store->save(Setting::ProxyServer, QStringLiteral(" 127.0.0.1 "));
    relay.store->save(Setting::ProxyPort, QStringLiteral(" ") + QString::number(upstream.port()));
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    // The URL names a host that does not exist: only the upstream proxy is asked.
    browser.send("GET http://nowhere.invalid/page HTTP/1.1\r\nHost: nowhere.invalid\r\n\r\n");
    QTRY_VERIFY(browser.closedByPeer);
    QVERIFY(browser.received.endsWith("via upstream"));
    QCOMPARE(firstLine(upstream.requests.value(0)),
             QByteArray("GET http://nowhere.invalid/page HTTP/1.1"));
}

void TestRelay::binaryBodyOfRequestArrivesUnchanged() {
    TestProxy relay;
    OriginStub origin;
    relay.store->save(Setting::Post, Choice::Allow.toString());
    // Bytes a text codec would mangle; no blank line, which the rewriting treats as
    // the end of the headers.
    const QByteArray body("\0\x01\xff\xfe\r\n\0\n\x80zz\r\n", 12);
    const QByteArray request =
        getRequest(origin.port(), "/up", "Content-Length: 12\r\n", "POST") + body;
    origin.expectBytes = request.size() + QByteArray("Connection: Close\r\n").size() +
                         QByteArray("Proxy-Connection: Close\r\n").size();
    origin.answer = [](int) { return okAnswer(); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(request);
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(origin.requests.size(), 1);
    QCOMPARE(origin.requests[0],
             getRequest(origin.port(), "/up",
                        "Content-Length: 12\r\nProxy-Connection: Close\r\nConnection: Close\r\n",
                        "POST") +
                 body);
}

void TestRelay::refusedRequests_data() {
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // empty: absent
    QTest::addColumn<bool>("logged");
    QTest::newRow("icon blocked") << QByteArray("GET http://h/favicon.ico HTTP/1.1") << u"icoGET"_s
                                  << u"×"_s << true;
    QTest::newRow("icon with query, capitals")
        << QByteArray("GET http://h/A.ICO?x=1 HTTP/1.1") << u"icoGET"_s << u"×"_s << true;
    QTest::newRow("icon rule absent")
        << QByteArray("GET http://h/favicon.ico HTTP/1.1") << u"icoGET"_s << QString() << false;
    QTest::newRow("cabinet blocked")
        << QByteArray("GET http://h/X.CAB HTTP/1.1") << u"cabGET"_s << u"×"_s << true;
    QTest::newRow("post rule absent")
        << QByteArray("POST http://h/f HTTP/1.1") << u"POST"_s << QString() << false;
}

void TestRelay::refusedRequests() {
    QFETCH(QByteArray, requestLine);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, logged);
    TestProxy relay;
    if (!value.isEmpty())
        relay.store->saveByName(key, value);
    relay.monitor->setAllChecked(true);
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(requestLine + "\r\nHost: h\r\n\r\n");
    QTRY_COMPARE(browser.received, Refusal);
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), logged ? 1 : 0);
    // Nothing went towards a server.
    QVERIFY(relay.monitor->entries(Side::Wan).isEmpty());
}

void TestRelay::refusedPostClosesWithoutAnswer() {
    TestProxy relay;
    relay.store->save(Setting::Post, Choice::Block.toString());
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send("POST http://h/f HTTP/1.1\r\nHost: h\r\n\r\nbody");
    QTRY_VERIFY(browser.closedByPeer);
    QVERIFY(browser.received.isEmpty());
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
}

void TestRelay::badTargetsAreRefusedAtOnce_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<QString>("proxyPort");
    QTest::newRow("CONNECT to a port other than 443")
        << QByteArray("CONNECT example.test:25 HTTP/1.1\r\n\r\n") << false << QString();
    QTest::newRow("origin-form") << QByteArray(
                                        "GET /index.html HTTP/1.1\r\nReferer: http://a/\r\n\r\n")
                                 << false << QString();
    QTest::newRow("port zero") << QByteArray("GET http://h:0/ HTTP/1.1\r\n\r\n") << false
                               << QString();
    QTest::newRow("port too big") << QByteArray("GET http://h:65536/ HTTP/1.1\r\n\r\n") << false
                                  << QString();
    QTest::newRow("port not a number")
        << QByteArray("GET http://h:8x/ HTTP/1.1\r\n\r\n") << false << QString();
    QTest::newRow("no host") << QByteArray("GET http:///x HTTP/1.1\r\n\r\n") << false << QString();
    QTest::newRow("no slash after host")
        << QByteArray("GET http://h\r\n\r\n") << false << QString();
    QTest::newRow("upstream without port")
        << QByteArray("GET http://h/ HTTP/1.1\r\n\r\n") << true << QString();
    QTest::newRow("upstream port text")
        << QByteArray("GET http://h/ HTTP/1.1\r\n\r\n") << true << u"80a"_s;
}

void TestRelay::badTargetsAreRefusedAtOnce() {
    QFETCH(QByteArray, request);
    QFETCH(bool, viaProxy);
    QFETCH(QString, proxyPort);
    TestProxy relay;
    if (viaProxy) {
        relay.store->save(Setting::Proxy, Choice::Allow.toString());
        relay.store->save(Setting::ProxyServer, u"127.0.0.1"_s);
        if (!proxyPort.isEmpty())
            relay.store->save(Setting::ProxyPort, proxyPort);
    }
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(request);
    QTRY_COMPARE(browser.received, Refusal);
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
    QTRY_VERIFY(browser.closedByPeer);
    QTest::qWait(100); // two reconnect intervals at this scale
    QVERIFY(relay.entries(Side::Wan, u"【ReConnect】").isEmpty());
}

void TestRelay::cabinetQuestion_data() {
    QTest::addColumn<bool>("yes");
    QTest::addColumn<bool>("later"); // answered from the event loop, not at once
    QTest::newRow("yes relays") << true << false;
    QTest::newRow("no refuses") << false << false;
    QTest::newRow("yes later relays") << true << true;
    QTest::newRow("no later refuses") << false << true;
}

void TestRelay::cabinetQuestion() {
    QFETCH(bool, yes);
    QFETCH(bool, later);
    TestProxy relay;
    OriginStub origin;
    origin.answer = [](int) { return okAnswer("cab"); };
    relay.store->save(Setting::CabGet, Choice::Third.toString());
    QString asked;
    relay.engine->setCabinetQuestion([&](const QString& text, ProxyEngine::CabinetAnswer answer) {
        asked = text;
        if (later)
            QTimer::singleShot(50, [answer, yes] { answer(yes); });
        else
            answer(yes);
    });
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    const QByteArray line =
        "GET http://127.0.0.1:" + QByteArray::number(origin.port()) + "/SETUP.CAB HTTP/1.1";
    browser.send(line + "\r\nHost: h\r\n\r\n");
    QTRY_VERIFY(!asked.isEmpty());
    QCOMPARE(asked, u"ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ要求がありました。\rﾘｸｴｽﾄ（ "_s +
                        QString::fromLatin1(line) + u" ）\rﾀﾞｳﾝﾛｰﾄﾞを行いますか？"_s);
    if (yes) {
        QTRY_VERIFY(browser.received.endsWith("cab"));
        QCOMPARE(origin.connections(), 1);
    } else {
        QTRY_COMPARE(browser.received, Refusal);
        QCOMPARE(origin.connections(), 0);
    }
    QCOMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
}

void TestRelay::cabinetQuestionOutlivedByItsSlot_data() {
    QTest::addColumn<bool>("later");
    QTest::newRow("stopped while asking, answered at once") << false;
    QTest::newRow("stopped while the question is open, answered later") << true;
}

void TestRelay::cabinetQuestionOutlivedByItsSlot() {
    QFETCH(bool, later);
    TestProxy relay;
    OriginStub origin;
    relay.store->save(Setting::CabGet, Choice::Third.toString());
    auto browser = std::make_unique<Browser>(relay.port());
    QVERIFY(browser->waitConnected());
    ProxyEngine::CabinetAnswer open;
    relay.engine->setCabinetQuestion([&](const QString&, ProxyEngine::CabinetAnswer answer) {
        if (later)
            return void(open = std::move(answer));
        // The browser gives up and the slot is stopped before the user says Yes.
        browser->socket.abort();
        relay.engine->stop();
        answer(true);
    });
    browser->send(getRequest(origin.port(), "/a.cab"));
    if (later) {
        QTRY_VERIFY(open);
        browser->socket.abort();
        relay.engine->stop();
        open(true);
    }
    QTRY_COMPARE(relay.monitor->status(Side::Wan), u"切断要求中 : 999"_s);
    QTest::qWait(100);
    // The request the user said Yes to is void: its slot was stopped meanwhile.
    QCOMPARE(origin.connections(), 0);
    QVERIFY(relay.entries(Side::Wan, u"【ReConnect】").isEmpty());
}

void TestRelay::cabinetQuestionsOpenSideBySide() {
    TestProxy relay;
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::Hold;
    relay.store->save(Setting::CabGet, Choice::Third.toString());
    QList<ProxyEngine::CabinetAnswer> open;
    relay.engine->setCabinetQuestion(
        [&](const QString&, ProxyEngine::CabinetAnswer answer) { open << std::move(answer); });
    Browser first(relay.port());
    Browser second(relay.port());
    QVERIFY(first.waitConnected());
    QVERIFY(second.waitConnected());
    first.send(getRequest(origin.port(), "/first.cab"));
    QTRY_COMPARE(open.size(), 1);
    second.send(getRequest(origin.port(), "/second.cab", "Content-Length: 4\r\n"));
    QTRY_COMPARE(open.size(), 2);
    // Its body comes while both questions are open; answered the other way round.
    second.send("body");
    QTRY_COMPARE(relay.entries(Side::Lan, u"【DataArrival】").size(), 1);
    open[1](true);
    open[0](false);
    QTRY_COMPARE(first.received, Refusal);
    QTRY_VERIFY(origin.requests.value(0).endsWith("\r\n\r\nbody"));
    QVERIFY(origin.requests[0].startsWith(
        "GET http://127.0.0.1:" + QByteArray::number(origin.port()) + "/second.cab "));
    QCOMPARE(origin.connections(), 1);
    QVERIFY(second.received.isEmpty());
}

void TestRelay::admission_data() {
    QTest::addColumn<QString>("mode"); // empty: absent
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<bool>("admitted");
    QTest::newRow("default refuses 127.0.0.2") << QString() << QStringList() << false;
    QTest::newRow("all admitted") << u"○"_s << QStringList() << true;
    QTest::newRow("listed") << u"△"_s << QStringList{u""_s, u"127.0.0.2"_s} << true;
    QTest::newRow("listed with a blank") << u"△"_s << QStringList{u" 127.0.0.2"_s} << false;
    QTest::newRow("unknown value means the list") << u"?"_s << QStringList{u"127.0.0.2"_s} << true;
    QTest::newRow("list empty") << u"△"_s << QStringList() << false;
}

void TestRelay::admission() {
    QFETCH(QString, mode);
    QFETCH(QStringList, listed);
    QFETCH(bool, admitted);
    TestProxy relay;
    relay.monitor->setChecked(MonitorBox::LanConnectionRequest, true);
    if (!mode.isEmpty())
        relay.store->save(Setting::Connect, mode);
    for (int k = 0; k < listed.size(); ++k)
        relay.store->save(Setting::AllowedMachines[k], listed[k]);

    Browser other(relay.port(), QHostAddress(u"127.0.0.2"_s));
    QVERIFY(other.waitConnected());
    QTRY_COMPARE(relay.entries(Side::Lan, u"【ConnectionRequest】").size(), 1);
    if (admitted) {
        QCOMPARE(relay.engine->connectionCounter(), 1);
        QTest::qWait(50);
        QVERIFY(!other.closedByPeer);
    } else {
        QTRY_VERIFY(other.closedByPeer);
        QVERIFY(other.received.isEmpty());
        QCOMPARE(relay.engine->connectionCounter(), 0);
        const QString expected =
            mode.isEmpty() ? u"現在、他のﾏｼﾝからの接続は許可されていません。 : 127.0.0.2"_s
                           : u"このﾏｼﾝ(IPｱﾄﾞﾚｽ)からの接続は許可されていません。 : 127.0.0.2"_s;
        QCOMPARE(relay.monitor->status(Side::Lan), expected);
    }
    // The local machine is always admitted.
    Browser local(relay.port());
    QVERIFY(local.waitConnected());
    QTRY_COMPARE(relay.engine->connectionCounter(), admitted ? 2 : 1);
    const QString entry = relay.entries(Side::Lan, u"【ConnectionRequest】").constLast();
    QVERIFY(entry.startsWith(u"【ConnectionRequest】\r\nNo. : 0\r\nrequestID : "_s));
    QVERIFY(entry.contains(u"\r\nHostIP : 127.0.0.1\r\nPort : "_s));
    QVERIFY(entry.endsWith(u"\r\ncntNo. : "_s + QString::number(admitted ? 2 : 1)));
}

void TestRelay::machineNameCountsAsThisMachine() {
    TestProxy relay; // "×": only this machine
    Browser named(relay.port(), QHostAddress(u"127.0.1.1"_s));
    QVERIFY(named.waitConnected());
    QTRY_COMPARE(relay.engine->connectionCounter(), 1);
}

void TestRelay::thousandthAdmissionTakesSlotOne_data() {
    QTest::addColumn<bool>("answered");
    // The first relay still waits for its server when its slot comes round again.
    QTest::newRow("while waiting for its server") << false;
    // Its answer has left, and the browser's close is still to come.
    QTest::newRow("while its close is pending") << true;
}

void TestRelay::thousandthAdmissionTakesSlotOne() {
    QFETCH(bool, answered);
    // Slow clocks: the close comes 4 s after the send, time enough to go round.
    TestProxy relay(answered ? 40.0 : 0.05);
    OriginStub origin;
    origin.behaviour = answered ? OriginStub::Behaviour::Answer : OriginStub::Behaviour::Hold;
    origin.answer = [](int) { return okAnswer("first"); };
    qint64 sentAt = -1;
    connect(relay.monitor.get(), &EventMonitor::entryAppended, this,
            [&](Side side, const QString& entry) {
                if (side == Side::Lan && entry.startsWith(u"【SendComplete】"))
                    sentAt = harnessClockMs();
            });
    Browser first(relay.port());
    QVERIFY(first.waitConnected());
    first.send(getRequest(origin.port(), "/first"));
    if (answered)
        QTRY_VERIFY_WITH_TIMEOUT(sentAt >= 0, 10000);
    else
        QTRY_COMPARE(origin.connections(), 1);
    for (int n = 2; n <= 999; n += 100) {
        std::vector<std::unique_ptr<Browser>> batch;
        for (int k = n; k < std::min(n + 100, 1000); ++k)
            batch.push_back(std::make_unique<Browser>(relay.port()));
        QTRY_COMPARE(relay.engine->connectionCounter(), std::min(n + 99, 999));
    }
    Browser thousandth(relay.port());
    QVERIFY(thousandth.waitConnected());
    QTRY_COMPARE(relay.engine->connectionCounter(), 1);
    QTRY_VERIFY(first.closedByPeer);
    QCOMPARE(first.received, answered ? okAnswer("first") : QByteArray());
    // Its server connection went with it.
    QTRY_COMPARE(origin.closed, 1);
    if (!answered)
        return;
    // The first relay's close, once due, does not close the newcomer.
    QVERIFY(sentAt + 4000 > harnessClockMs());
    QTest::qWait(int(sentAt + 4500 - harnessClockMs()));
    QVERIFY(!thousandth.closedByPeer);
}

void TestRelay::unreachableServerIsRetriedTenTimes() {
    TestProxy relay(0.02);
    quint16 deadPort;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        deadPort = probe.serverPort();
    }
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(deadPort, "/"));
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, Refusal, 10000);
    const QStringList reconnects = relay.entries(Side::Wan, u"【ReConnect】");
    QCOMPARE(reconnects.size(), 10);
    QCOMPARE(reconnects.first(),
             u"【ReConnect】        \r\nNo. : 1\r\nHost Name : 127.0.0.1\r\nPort No. : "_s +
                 QString::number(deadPort));
    QTRY_VERIFY(browser.closedByPeer);
    QTest::qWait(100);
    QCOMPARE(relay.entries(Side::Wan, u"【ReConnect】").size(), 10);
}

void TestRelay::binaryAnswerIsRelayedByteExact() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray body = randomBytes(1 << 20);
    const QByteArray answer = answerBytes(
        "HTTP/1.1 200 OK",
        "Content-Type: application/octet-stream\r\nContent-Length: 1048576\r\nSet-Cookie: a=1\r\n",
        body);
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/blob"));
    QTRY_VERIFY_WITH_TIMEOUT(browser.closedByPeer, 10000);
    QCOMPARE(browser.received.size(), answer.size());
    QVERIFY(browser.received == answer);
    QCOMPARE(relay.entries(Side::Lan, u"【SendComplete】").size(), 1);
    QVERIFY(relay.tempFiles().isEmpty());
}

void TestRelay::htmlAnswerIsRewrittenInPlace() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray body = "<html><script>alert(1)</script>set-cookie: body</html>";
    const QByteArray answer =
        answerBytes("HTTP/1.1 200 OK",
                    "Content-Type: text/html\r\nSet-Cookie: id=42\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\n",
                    body);
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/page"));
    QTRY_VERIFY(browser.closedByPeer);
    // The body keeps its length; the head gains the script policy.
    QCOMPARE(browser.received.size(), answer.size() + ScriptPolicyLine.size());
    QVERIFY(browser.received.contains("\r\nXXXXXXXXXX: YYYYY\r\n"));
    QVERIFY(browser.received.endsWith("<html><ZZZZZZ>        </ZZZZZZ>set-cookie: body</html>"));
    // With the rules off the page passes untouched.
    relay.store->save(Setting::SetCookie, Choice::Allow.toString());
    relay.store->save(Setting::Script, Choice::Allow.toString());
    Browser again(relay.port());
    QVERIFY(again.waitConnected());
    again.send(getRequest(origin.port(), "/page"));
    QTRY_VERIFY(again.closedByPeer);
    QCOMPARE(again.received, answer);
}

void TestRelay::shortAnswerIsRequestedSixTimes() {
    TestProxy relay;
    OriginStub origin;
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 100";
    origin.answer = [&](int) { return head + "\r\n\r\n" + QByteArray(60, 'g'); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/img.gif"));
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, Refusal, 10000);
    QCOMPARE(origin.connections(), 6);
    for (const QByteArray& request : std::as_const(origin.requests))
        QCOMPARE(firstLine(request), firstLine(getRequest(origin.port(), "/img.gif")));
    const QStringList checks = relay.entries(Side::Wan, u"【DataCheck】");
    QCOMPARE(checks.size(), 6);
    QCOMPARE(checks.first(), u"【DataCheck】        \r\nNo. : 1\r\nData Size : "_s +
                                 QString::number(head.size() + 100 + 4) + u"\r\nFile Size : "_s +
                                 QString::number(head.size() + 4 + 60));
    QCOMPARE(relay.entries(Side::Wan, u"【ReTry】").size(), 6);
}

void TestRelay::answersWithoutContentType_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("relayed");
    QTest::newRow("302 relayed") << QByteArray("HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n")
                                 << true;
    QTest::newRow("304 relayed") << QByteArray("HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n")
                                 << true;
    QTest::newRow("304 with the resource's length relayed")
        << QByteArray("HTTP/1.1 304 Not Modified\r\nContent-Length: 500\r\n\r\n") << true;
    QTest::newRow("204 relayed") << QByteArray("HTTP/1.1 204 No Content\r\n\r\n") << true;
    QTest::newRow("301 relayed") << QByteArray("HTTP/1.1 301 Moved\r\nLocation: /n\r\n\r\n")
                                 << true;
    QTest::newRow("307 relayed") << QByteArray("HTTP/1.1 307 Temp\r\nLocation: /n\r\n\r\n") << true;
    QTest::newRow("308 relayed") << QByteArray("HTTP/1.1 308 Perm\r\nLocation: /n\r\n\r\n") << true;
    QTest::newRow("200 without a type refused") << QByteArray("HTTP/1.1 200 OK\r\n\r\nx") << false;
    QTest::newRow("lower-case name refused")
        << QByteArray("HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n<p>") << false;
    QTest::newRow("status line alone") << QByteArray("HTTP/1.0\r\n\r\n") << false;
    QTest::newRow("length not a number is not checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 12x\r\n\r\nab")
        << true;
    QTest::newRow("html is never checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 99\r\n\r\n<p>")
        << true;
    QTest::newRow("an empty 201 needs no type")
        << QByteArray("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n") << true;
}

void TestRelay::answersWithoutContentType() {
    QFETCH(QByteArray, answer);
    QFETCH(bool, relayed);
    TestProxy relay;
    relay.monitor->setChecked(MonitorBox::LanSend, true);
    OriginStub origin;
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received,
             !relayed ? Refusal : answer.contains("text/html") ? withPolicy(answer) : answer);
    QCOMPARE(origin.connections(), 1);
    if (relayed && answer.contains(" 302 ")) {
        const QStringList sends = relay.entries(Side::Lan, u"【Send】");
        QCOMPARE(sends.size(), 1);
        QCOMPARE(sends.first(), u"【Send】             \r\nNo. : 1\r\n≪Header + Data≫ : "_s +
                                    QString::fromLatin1(answer));
    }
}

void TestRelay::interimAnswers_data() {
    QTest::addColumn<QByteArray>("interim");
    QTest::addColumn<QByteArray>("final");
    QTest::addColumn<bool>("filtered"); // the final answer is judged by the rules
    const QByteArray page =
        answerBytes("HTTP/1.1 200 OK", "Content-Type: text/html\r\nSet-Cookie: id=42\r\n",
                    "<p><script>alert(1)</script></p>");
    QTest::newRow("100 then an HTML page") << "HTTP/1.1 100 Continue\r\n\r\n"_ba << page << true;
    QTest::newRow("103 then an HTML page")
        << "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"_ba << page << true;
    QTest::newRow("two interim heads")
        << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 P\r\n\r\n"_ba << page << true;
    QTest::newRow("100 alone, then the close")
        << "HTTP/1.1 100 Continue\r\n\r\n"_ba << QByteArray() << false;
    // What follows a 101 is another protocol, not an answer.
    QTest::newRow("101 is not interim")
        << QByteArray() << "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"_ba + page
        << false;
}

void TestRelay::interimAnswers() {
    QFETCH(QByteArray, interim);
    QFETCH(QByteArray, final);
    QFETCH(bool, filtered);
    TestProxy relay;
    OriginStub origin;
    origin.answer = [&](int) { return interim + final; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(browser.closedByPeer);
    QByteArray expected = interim + final;
    if (filtered) {
        neutraliseSetCookie(expected.data() + interim.size(), final.size());
        rewriteScripts(expected.data() + interim.size(), final.size());
        QVERIFY(expected.endsWith("<p><ZZZZZZ>        </ZZZZZZ></p>"));
        expected = withPolicy(expected, interim.size());
    }
    QCOMPARE(browser.received, final.isEmpty() ? Refusal : expected);
}

// A body past what is kept in memory is sent whole again when the answer has to be
// asked for again, and its file is gone afterwards.
void TestRelay::largeBodyIsSentWholeAgain_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<int>("connections");
    // Only a request whose repetition is harmless goes again; an order is never placed
    // twice.
    QTest::newRow("OPTIONS, sent again whole") << "OPTIONS"_ba << 2;
    QTest::newRow("POST, refused after one try") << "POST"_ba << 1;
}

void TestRelay::largeBodyIsSentWholeAgain() {
    QFETCH(QByteArray, method);
    QFETCH(int, connections);
    TestProxy relay;
    relay.store->save(Setting::Post, Choice::Allow.toString());
    OriginStub origin;
    const QByteArray body = randomBytes(1536 * 1024 + 7);
    const QByteArray head =
        getRequest(origin.port(), "/up",
                   "Content-Length: " + QByteArray::number(body.size()) + "\r\n", method);
    const QByteArray rewritten =
        getRequest(origin.port(), "/up",
                   "Content-Length: " + QByteArray::number(body.size()) +
                       "\r\nProxy-Connection: Close\r\nConnection: Close\r\n",
                   method);
    origin.expectBytes = rewritten.size() + body.size();
    // The first answer is cut short of its length.
    origin.answer = [](int n) {
        return n == 0
                   ? "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 9\r\n\r\nab"_ba
                   : okAnswer("stored");
    };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(head);
    for (qsizetype at = 0; at < body.size(); at += 256 * 1024) {
        browser.send(body.mid(at, 256 * 1024));
        QTest::qWait(5);
    }
    QTRY_VERIFY_WITH_TIMEOUT(browser.closedByPeer, 20000);
    QCOMPARE(browser.received, connections == 2 ? okAnswer("stored") : QByteArray(RefusalAnswer));
    QCOMPARE(origin.connections(), connections);
    for (const QByteArray& request : origin.requests)
        QVERIFY(request == rewritten + body);
    QVERIFY(relay.tempFiles().isEmpty());
}

void TestRelay::emptyAnswerIsRefused() {
    TestProxy relay;
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::CloseSilently;
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, Refusal);
    QVERIFY(relay.tempFiles().isEmpty());
}

void TestRelay::browserClosingEarlyGetsNothing() {
    TestProxy relay(1.0); // the pump's real 100 ms leave room to close before it runs
    relay.monitor->setChecked(MonitorBox::LanClose, true);
    relay.monitor->setChecked(MonitorBox::WanClose, true);
    // The server is still sending an answer large enough for its file.
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::AnswerAndHold;
    origin.answer = [](int) {
        return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 9000000\r\n\r\n" +
               QByteArray(1536 * 1024, 'p');
    };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/slow"));
    QTRY_COMPARE(relay.tempFiles(), QStringList{u"~tarnwick-temp-1"_s});
    browser.socket.disconnectFromHost();
    QTRY_COMPARE(relay.entries(Side::Lan, u"【Close】").size(), 1);
    // The server side and the answer file go with the browser.
    QTRY_COMPARE(origin.closed, 1);
    QVERIFY(relay.tempFiles().isEmpty());

    // Closing while the pump is already scheduled: nothing is sent.
    OriginStub quick;
    quick.answer = [](int) { return okAnswer(); };
    Browser second(relay.port());
    QVERIFY(second.waitConnected());
    second.send(getRequest(quick.port(), "/q"));
    QTRY_COMPARE(relay.entries(Side::Wan, u"【Close】").size(), 1);
    second.socket.abort();
    QTRY_COMPARE(relay.entries(Side::Lan, u"【Close】").size(), 2);
    QTest::qWait(150);
    QVERIFY(second.received.isEmpty());
    QVERIFY(relay.entries(Side::Lan, u"【SendComplete】").isEmpty());
}

void TestRelay::browserIsClosedAfterTheSend() {
    TestProxy relay(1.0);
    OriginStub origin;
    origin.answer = [](int) { return okAnswer("done"); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    qint64 completedAt = -1;
    connect(relay.monitor.get(), &EventMonitor::entryAppended, this,
            [&](Side side, const QString& entry) {
                if (side == Side::Lan && entry.startsWith(u"【SendComplete】"))
                    completedAt = harnessClockMs();
            });
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(browser.closedByPeer);
    QVERIFY(completedAt >= 0);
    const qint64 delay = browser.closedAtMs - completedAt;
    QVERIFY2(delay >= 90 && delay < 400, qPrintable(QString::number(delay)));
}

void TestRelay::serverErrorAfterConnectAnswersRefusal() {
    TestProxy relay;
    OriginStub origin;
    // A network failure on the established server connection: a reset.
    origin.behaviour = OriginStub::Behaviour::ResetAfterRequest;
    relay.monitor->setChecked(MonitorBox::WanError, true);
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(browser.received, Refusal);
    QVERIFY(relay.tempFiles().isEmpty());
    QCOMPARE(relay.entries(Side::Wan, u"【Error : Close】").value(0),
             u"【Error : Close】    \r\nNo. : 1\r\nScode : -2146818234 , Number : 10054"_s);
}

void TestRelay::answerFileProblems_data() {
    QTest::addColumn<QString>("problem");
    QTest::newRow("leftover file") << u"leftover"_s;
    QTest::newRow("planted link") << u"link"_s;
    QTest::newRow("directory in the way") << u"directory"_s;
}

void TestRelay::answerFileProblems() {
    QFETCH(QString, problem);
    TestProxy relay;
    OriginStub origin;
    // Large enough to be kept in the answer file.
    const QByteArray fresh = okAnswer(QByteArray(1536 * 1024, 'f'));
    origin.answer = [&](int) { return fresh; };
    const QString name = relay.dir() + u"/~tarnwick-temp-1"_s;
    const QString target = relay.dir() + u"/victim"_s;
    if (problem == u"leftover") {
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(5000, 'S'));
    } else if (problem == u"link") {
        QFile victim(target);
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("keep");
        victim.close();
        QVERIFY(QFile::link(target, name));
    } else {
        QVERIFY(QDir(relay.dir()).mkdir(u"~tarnwick-temp-1"_s));
    }
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY_WITH_TIMEOUT(browser.closedByPeer, 10000);
    if (problem == u"directory") {
        QCOMPARE(browser.received, Refusal);
    } else {
        QVERIFY(browser.received == fresh);
        QVERIFY(relay.tempFiles().isEmpty());
    }
    if (problem == u"link") {
        QFile victim(target);
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("keep"));
    }
}

void TestRelay::monitorEntriesOfARelay() {
    TestProxy relay;
    relay.monitor->setAllChecked(true);
    OriginStub origin;
    const QByteArray answer = okAnswer("hello");
    origin.answer = [&](int) { return answer; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    const QByteArray request = getRequest(origin.port(), "/m");
    browser.send(request);
    QTRY_VERIFY(browser.closedByPeer);
    const QString n = u"\r\nNo. : 1"_s;
    const QByteArray sent =
        getRequest(origin.port(), "/m", "Proxy-Connection: Close\r\nConnection: Close\r\n");
    const QStringList lan = relay.monitor->entries(Side::Lan);
    QCOMPARE(lan.value(1), u"【DataArrival】      "_s + n + u"\r\nSize : "_s +
                               QString::number(request.size()) + u"\r\nData : "_s +
                               QString::fromLatin1(request));
    QCOMPARE(lan.value(2), u"【Send】             "_s + n + u"\r\n≪Header≫ : "_s +
                               QString::fromLatin1(answer.left(answer.indexOf("\r\n\r\n"))));
    QCOMPARE(lan.value(3), u"【SendComplete】     "_s + n);
    const QStringList wan = relay.monitor->entries(Side::Wan);
    QCOMPARE(wan.value(0), u"【Connect】          "_s + n);
    QCOMPARE(wan.value(1),
             u"【Send】             "_s + n + u"\r\nSend Data : "_s + QString::fromLatin1(sent));
    QVERIFY(wan.contains(u"【SendComplete】     "_s + n));
    QVERIFY(wan.contains(u"【DataArrival】      "_s + n + u"\r\nCount : 1\r\nSize : "_s +
                         QString::number(answer.size()) + u"\r\nHeader : "_s +
                         QString::fromLatin1(answer.left(answer.indexOf("\r\n\r\n")))));
    QVERIFY(wan.contains(u"【Close】            "_s + n));
    QCOMPARE(relay.monitor->status(Side::Wan), u"切断完了 : 1"_s);
}

void TestRelay::stopClosesEverything() {
    TestProxy relay;
    OriginStub origin;
    origin.behaviour = OriginStub::Behaviour::AnswerAndHold;
    origin.answer = [](int) { return okAnswer(QByteArray(1536 * 1024, 'h')).chopped(10); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/"));
    QTRY_VERIFY(!relay.tempFiles().isEmpty());
    const quint16 port = relay.port();
    relay.engine->stop();
    QTRY_VERIFY(browser.closedByPeer);
    QCOMPARE(relay.monitor->status(Side::Lan), u"切断要求中 : 999"_s);
    QCOMPARE(relay.monitor->status(Side::Wan), u"切断要求中 : 999"_s);
    // Both sides and the answer file are gone, and nothing of the relay runs on.
    QTRY_COMPARE(origin.closed, 1);
    QVERIFY(relay.tempFiles().isEmpty());
    const qsizetype entries = relay.monitor->entries(Side::Wan).size();
    QTest::qWait(100);
    QCOMPARE(relay.monitor->entries(Side::Wan).size(), entries);
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!refused.waitForConnected(1000));
    QVERIFY(relay.engine->listen(port));
    Browser after(relay.port());
    QVERIFY(after.waitConnected());
    QTRY_COMPARE(relay.engine->connectionCounter(), 2);
}

// ---- answers that stream (逐次転送 ○) ---------------------------------------------

void TestRelay::streamedAnswers_data() {
    QTest::addColumn<QByteArrayList>("pieces"); // the origin's, 150 ms apart; then it closes
    QTest::addColumn<QByteArray>("early");      // the browser has this before the last piece
    QTest::addColumn<QByteArray>("expected");   // and this in the end
    QTest::addColumn<bool>("closed");           // the proxy closes the browser after it
    const QByteArray events = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n";
    QTest::newRow("an event stream, ended by the close")
        << QByteArrayList{events, "data: 1\n\n", "data: 2\n\n", "data: 3\n\n"}
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: "
                      "close\r\n\r\ndata: 1\n\n")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: "
                      "close\r\n\r\ndata: 1\n\ndata: 2\n\ndata: 3\n\n")
        << true;
    const QByteArray download =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 9\r\n\r\n";
    QTest::newRow("a download, framed") << QByteArrayList{download + "abc", "def", "ghi"}
                                        << download + "abc" << download + "abcdefghi" << false;
    // The Script rule (on by default) in flight: cut inside a tag, a chunk-size line and
    // a closing, the same bytes as the whole answer filtered at once.
    const QByteArray html =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
    QTest::newRow("HTML in pieces, tags and chunk lines cut")
        << QByteArrayList{html + "6\r\n<p><s", "c\r\n9\r\nrip", "t>var \r\n1", "0\r\nx=1;</scr",
                          "ipt><b>\r\n0\r\n\r\n"}
        << QByteArray("HTTP/1.1 200 OK")
        << withPolicy(html + "6\r\n<p><ZZ\r\n9\r\nZZZZ>    \r\n10\r\n    </ZZZZZZ><b>\r\n0\r\n\r\n")
        << false;
    QTest::newRow("the Set-Cookie rule on a head cut in two")
        << QByteArrayList{"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Coo",
                          "kie: a=b\r\nContent-Length: 2\r\n\r\nhi"}
        << QByteArray()
        << withPolicy("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nXXXXXXXXXX: YYY\r\n"
                      "Content-Length: 2\r\n\r\nhi")
        << false;
    const QByteArray cut =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n";
    QTest::newRow("an answer the server ends short")
        << QByteArrayList{cut + "12345", "678"} << cut + "12345" << cut + "12345678" << true;
    QTest::newRow("no content type")
        << QByteArrayList{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"} << QByteArray()
        << Refusal << true;
}

void TestRelay::streamedAnswers() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, early);
    QFETCH(QByteArray, expected);
    QFETCH(bool, closed);
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    ScriptedOrigin origin;
    origin.answer = [&](int) { return pieces; };
    origin.closeAfter = [](int) { return true; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/s"));
    if (!early.isEmpty()) {
        // Passed on as it arrives, not when the server has finished.
        QTRY_VERIFY(browser.received.startsWith(early));
        QCOMPARE(origin.done, 0);
    }
    QTRY_COMPARE(browser.received, expected);
    QTRY_COMPARE(browser.closedByPeer, closed);
    // The monitor says when the browser got less than the head announced.
    const bool isShort = QByteArrayView(QTest::currentDataTag()).endsWith("short");
    QTRY_COMPARE(relay.entries(Side::Lan, u"【Send : Short】").size(), isShort ? 1 : 0);
}

void TestRelay::keptConnections_data() {
    QTest::addColumn<bool>("pipelined");    // both requests sent at once
    QTest::addColumn<bool>("originCloses"); // after its first answer
    QTest::addColumn<bool>("unanswered");   // it closes on the second instead
    QTest::addColumn<int>("connections");   // the origin saw
    QTest::newRow("one request after another") << false << false << false << 1;
    QTest::newRow("pipelined, answered in order") << true << false << false << 1;
    QTest::newRow("the origin closes between two requests") << false << true << false << 2;
    // A GET that got nothing back on a kept connection goes again on a new one.
    QTest::newRow("the origin closes on the second request") << false << false << true << 2;
}

void TestRelay::keptConnections() {
    QFETCH(bool, pipelined);
    QFETCH(bool, originCloses);
    QFETCH(bool, unanswered);
    QFETCH(int, connections);
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    relay.monitor->setChecked(MonitorBox::LanSend, true);
    ScriptedOrigin origin;
    origin.answer = [&](int n) {
        if (unanswered && n == 1)
            return QByteArrayList{};
        return QByteArrayList{okAnswer("answer " + QByteArray::number(n))};
    };
    origin.closeAfter = [&](int n) { return originCloses || (unanswered && n == 1); };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    const QByteArray both = okAnswer("answer 0") + okAnswer(unanswered ? "answer 2" : "answer 1");
    if (pipelined) {
        browser.send(getRequest(origin.port(), "/a") + getRequest(origin.port(), "/b"));
    } else {
        browser.send(getRequest(origin.port(), "/a"));
        QTRY_COMPARE(browser.received, okAnswer("answer 0"));
        QTest::qWait(100); // the origin's close, where it closes, has arrived
        browser.send(getRequest(origin.port(), "/b"));
    }
    QTRY_COMPARE(browser.received, both);
    QCOMPARE(origin.connections, connections);
    QCOMPARE(origin.requests.size(), unanswered ? 3 : 2);
    // Each request passed the rules on its own, and the browser's connection stays.
    QVERIFY(origin.requests.last().startsWith(
        "GET http://127.0.0.1:" + QByteArray::number(origin.port()) + "/b "));
    QVERIFY(origin.requests.last().contains("\r\nConnection: keep-alive\r\n"));
    QCOMPARE(relay.entries(Side::Lan, u"【Send : End】").size(), 2);
    QVERIFY(!browser.closedByPeer);
}

void TestRelay::keptConnectionIdleIsClosed() {
    TestProxy relay; // 60 s of idleness are 3 s here
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    ScriptedOrigin origin;
    origin.answer = [](int) { return QByteArrayList{okAnswer()}; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/a"));
    QTRY_COMPARE(browser.received, okAnswer());
    const qint64 answeredAt = harnessClockMs();
    QTRY_VERIFY_WITH_TIMEOUT(browser.closedByPeer, 10000);
    QVERIFY(browser.closedAtMs - answeredAt > 2500);
}

void TestRelay::largeAnswerReadSlowlyThenTheNext() {
    // The origin is held back while the browser is behind. The browser reads nothing for
    // a while, so that an answer's end may come in while the origin is held back; the
    // kept connection must not be handed to the next request still held back.
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    ScriptedOrigin origin;
    origin.answer = [&](int n) {
        return QByteArrayList{n % 2 ? okAnswer("next")
                                    : okAnswer(QByteArray((6 + n / 2) * 1024 * 1024, 'x'))};
    };
    Browser browser(relay.port());
    QObject::disconnect(&browser.socket, &QTcpSocket::readyRead, &browser, nullptr);
    browser.socket.setReadBufferSize(64 * 1024);
    QVERIFY(browser.waitConnected());
    QByteArray got;
    auto readUntil = [&](qsizetype size) {
        for (QElapsedTimer waited; got.size() < size && waited.elapsed() < 3000;) {
            QTest::qWait(1);
            got += browser.socket.readAll();
        }
        return got.size();
    };
    for (int round = 0; round < 3; ++round) {
        const qsizetype size = okAnswer(QByteArray((6 + round) * 1024 * 1024, 'x')).size();
        got.clear();
        browser.send(getRequest(origin.port(), "/large"));
        QTest::qWait(300);
        QCOMPARE(readUntil(size), size);
        browser.send(getRequest(origin.port(), "/next"));
        QCOMPARE(readUntil(size + okAnswer("next").size()), size + okAnswer("next").size());
    }
    QCOMPARE(origin.connections, 1);
}

void TestRelay::newRouteGetsEveryTry() {
    // Each origin takes seven tries to reach; the second, on the browser's kept
    // connection, still has all ten.
    TestProxy relay; // a try every 50 ms
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    ScriptedOrigin first;
    ScriptedOrigin second;
    first.answer = [](int) { return QByteArrayList{okAnswer("first")}; };
    second.answer = [](int) { return QByteArrayList{okAnswer("second")}; };
    const quint16 firstPort = first.port();
    const quint16 secondPort = second.port();
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    first.listenAgainAfter(350);
    browser.send(getRequest(firstPort, "/a"));
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, okAnswer("first"), 5000);
    second.listenAgainAfter(350);
    browser.send(getRequest(secondPort, "/b"));
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, okAnswer("first") + okAnswer("second"), 5000);
}

void TestRelay::requestBodiesOnAKeptConnection_data() {
    QTest::addColumn<QByteArray>("framing"); // the POST's header line
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("a length") << "Content-Length: 9\r\n"_ba
                              << "a=1&b=234"_ba;
    QTest::newRow("chunks") << "Transfer-Encoding: chunked\r\n"_ba
                            << "3\r\na=1\r\n6\r\n&b=234\r\n0\r\n\r\n"_ba;
    // The chunks frame it; the length, which would frame it otherwise, is not passed.
    QTest::newRow("chunks and a length") << "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n"_ba
                                         << "3\r\na=1\r\n6\r\n&b=234\r\n0\r\n\r\n"_ba;
}

void TestRelay::requestBodiesOnAKeptConnection() {
    // The body goes with its request and never with the next one; the connections stay.
    QFETCH(QByteArray, framing);
    QFETCH(QByteArray, body);
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    relay.store->save(Setting::Post, Choice::Allow.toString());
    ScriptedOrigin origin;
    origin.answer = [](int n) { return QByteArrayList{okAnswer(QByteArray::number(n))}; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/post", framing, "POST") + body);
    QTRY_COMPARE(browser.received, okAnswer("0"));
    browser.send(getRequest(origin.port(), "/get"));
    QTRY_COMPARE(browser.received, okAnswer("0") + okAnswer("1"));
    QCOMPARE(origin.connections, 1);
    QVERIFY(origin.requests[0].endsWith("\r\n\r\n" + body));
    QCOMPARE(origin.requests[0].contains("Content-Length"), !framing.contains("chunked"));
    QVERIFY(origin.requests[1].startsWith("GET "));
    QCOMPARE(origin.bytesIn, origin.requests[0].size() + origin.requests[1].size());
    QVERIFY(!browser.closedByPeer);
}

void TestRelay::bodyAnsweredEarlyIsNeverARequest() {
    // The origin refuses an upload at its head; the rest of the body, which reads like
    // a request for another host, is read and dropped.
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    relay.store->save(Setting::Post, Choice::Allow.toString());
    ScriptedOrigin origin;
    origin.answer = [](int n) {
        return QByteArrayList{
            n == 0 ? answerBytes("HTTP/1.1 413 Too Large",
                                 "Content-Type: text/plain\r\nContent-Length: 2\r\n", "no")
                   : okAnswer("after")};
    };
    origin.answersAtHead = true;
    ScriptedOrigin other;
    other.answer = [](int) { return QByteArrayList{okAnswer("smuggled")}; };
    const QByteArray body = getRequest(other.port(), "/smuggled") + QByteArray(100, 'x');
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(getRequest(origin.port(), "/up",
                            "Content-Length: " + QByteArray::number(body.size()) + "\r\n", "POST"));
    QTRY_VERIFY(browser.received.endsWith("no"));
    browser.send(body);
    browser.send(getRequest(origin.port(), "/after"));
    QTRY_VERIFY(browser.received.endsWith(okAnswer("after")));
    QTest::qWait(100);
    QCOMPARE(other.connections, 0);
    QVERIFY(!browser.received.contains("smuggled"));
}

void TestRelay::pipelinedToOriginsThatClose() {
    // Each answer ends its server connection; the next request opens another to the
    // other origin while the closed one's end is still being read.
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, Choice::Allow.toString());
    ScriptedOrigin first;
    ScriptedOrigin second;
    for (ScriptedOrigin* origin : {&first, &second}) {
        origin->answer = [origin](int) {
            return QByteArrayList{okAnswer(QByteArray::number(origin->port()))};
        };
        origin->closeAfter = [](int) { return true; };
    }
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    QByteArray requests;
    QByteArray answers;
    for (int n = 0; n < 8; ++n) {
        const quint16 port = (n % 2 ? second : first).port();
        requests += getRequest(port, "/" + QByteArray::number(n));
        answers += okAnswer(QByteArray::number(port));
    }
    browser.send(requests);
    QTRY_COMPARE_WITH_TIMEOUT(browser.received, answers, 10000);
    QCOMPARE(first.connections + second.connections, 8);
}

void TestRelay::webSockets_data() {
    QTest::addColumn<QString>("streaming"); // 逐次転送
    QTest::addColumn<QByteArray>("answer"); // the origin's to the upgrade
    QTest::addColumn<QByteArray>("asked");  // the origin's request says
    QTest::addColumn<bool>("carried");      // bytes go both ways after it
    const QByteArray switching =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
    QTest::newRow("101, then both ways")
        << u"○"_s << switching << QByteArray("\r\nConnection: Upgrade\r\n") << true;
    QTest::newRow("400, relayed as an answer")
        << u"○"_s
        << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: "
                      "2\r\n\r\nno")
        << QByteArray("\r\nConnection: Upgrade\r\n") << false;
    // Plain HTTP streams only under ○: under △ the request asks for the close as ever.
    QTest::newRow("ws:// under △")
        << u"△"_s << switching << QByteArray("\r\nConnection: Close\r\n") << false;
}

void TestRelay::webSockets() {
    QFETCH(QString, streaming);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, asked);
    QFETCH(bool, carried);
    TestProxy relay(1.0);
    relay.store->save(Setting::StreamAnswers, streaming);
    ScriptedOrigin origin;
    origin.answer = [&](int) { return QByteArrayList{answer}; };
    Browser browser(relay.port());
    QVERIFY(browser.waitConnected());
    browser.send(
        getRequest(origin.port(), "/ws",
                   "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"));
    QTRY_COMPARE(origin.requests.size(), 1);
    QVERIFY2(origin.requests[0].contains(asked), origin.requests[0].constData());
    QVERIFY(origin.requests[0].contains("\r\nUpgrade: websocket\r\n"));
    if (streaming == u"○")
        QTRY_COMPARE(browser.received, answer);
    if (!carried)
        return;
    browser.send("ping");
    QTRY_COMPARE(browser.received, answer + "echo:ping");
    // Its end is a tunnel's, with the bytes each way.
    browser.socket.disconnectFromHost();
    QTRY_COMPARE(relay.entries(Side::Wan, u"【Tunnel : Close】").size(), 1);
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
