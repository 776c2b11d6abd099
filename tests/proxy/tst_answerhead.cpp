// The pump's reading of an answer and its plan for it, on bytes alone.

#include "proxy/answerhead.h"
#include "proxy/answerplan.h"
#include "proxy/answerstream.h"

#include <QTest>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(AnswerPlan)

class TestAnswerHead : public QObject {
    Q_OBJECT
private slots:
    void plan_data();
    void plan();
    void html_data();
    void html();
    void chunked_data();
    void chunked();
    void streamedFraming_data();
    void streamedFraming();
    void keptConnections_data();
    void keptConnections();
    void connectionCloseLine();
};

void TestAnswerHead::plan_data() {
    QTest::addColumn<QByteArray>("headerBlock");
    QTest::addColumn<qint64>("bodyLength");
    QTest::addColumn<bool>("headRequest");
    QTest::addColumn<int>("recheckCount");
    QTest::addColumn<AnswerPlan>("plan");

    const QByteArray png = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 100";
    QTest::newRow("whole image streamed") << png << 100LL << false << 0 << AnswerPlan::Stream;
    QTest::newRow("short image asked again") << png << 60LL << false << 0 << AnswerPlan::ReRequest;
    QTest::newRow("short after five re-requests")
        << png << 60LL << false << 5 << AnswerPlan::GiveUp;
    QTest::newRow("length with trailing blanks still checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 123  ")
        << 100LL << false << 0 << AnswerPlan::ReRequest;
    QTest::newRow("length not a number: not checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 1e3") << 0LL
        << false << 0 << AnswerPlan::Stream;
    for (const char* digits : {"9999999999999999999", "99999999999999999999"})
        QTest::addRow("length of %d digits: not checked", int(qstrlen(digits)))
            << "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + QByteArray(digits)
            << 0LL << false << 0 << AnswerPlan::Stream;
    QTest::newRow("answer to HEAD never short") << png << 0LL << true << 0 << AnswerPlan::Stream;
    QTest::newRow("html held whole, never checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 99") << 3LL
        << false << 0 << AnswerPlan::SendWhole;
    QTest::newRow("no head") << QByteArray() << 10LL << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("blanks for a head")
        << QByteArray("   ") << 0LL << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("200 without a type") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5") << 5LL
                                        << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("answer to HEAD without a type")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 512") << 0LL << true << 0
        << AnswerPlan::Stream;
    QTest::newRow("empty 200 without a type: nothing to judge")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0") << 0LL << false << 0
        << AnswerPlan::Stream;
    QTest::newRow("empty 201 without a type, length in any case")
        << QByteArray("HTTP/1.1 201 Created\r\ncontent-length: 0") << 0LL << false << 0
        << AnswerPlan::Stream;
    QTest::newRow("chunked with a zero length: a body may follow")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: chunked") << 5LL
        << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("type only inside another line's value")
        << QByteArray("HTTP/1.1 200 OK\r\nX-Note: Content-Type: text/html") << 3LL << false << 0
        << AnswerPlan::Refuse;
    QTest::newRow("html named in another line: checked as what it is")
        << QByteArray("HTTP/1.1 200 OK\r\nX-Original-Content-Type: text/html\r\nContent-Type: "
                      "image/png\r\nContent-Length: 9")
        << 3LL << false << 0 << AnswerPlan::ReRequest;
    QTest::newRow("type written in lower case")
        << QByteArray("HTTP/1.1 200 OK\r\ncontent-type: text/html") << 0LL << false << 0
        << AnswerPlan::Refuse;
    for (const char* status : {"100", "204", "301", "302", "303", "307", "308"})
        QTest::addRow("%s without a type", status)
            << "HTTP/1.1 " + QByteArray(status) + " X" << 0LL << false << 0 << AnswerPlan::Stream;
    QTest::newRow("304 with the resource's length")
        << QByteArray("HTTP/1.1 304 Not Modified\r\nContent-Length: 500") << 0LL << false << 0
        << AnswerPlan::Stream;
    QTest::newRow("status line too short for a status")
        << QByteArray("HTTP/1.0") << 0LL << false << 0 << AnswerPlan::Refuse;
}

void TestAnswerHead::plan() {
    QFETCH(QByteArray, headerBlock);
    QFETCH(qint64, bodyLength);
    QFETCH(bool, headRequest);
    QFETCH(int, recheckCount);
    QFETCH(AnswerPlan, plan);
    StoredAnswer stored;
    stored.head = readAnswerHead(headerBlock);
    stored.length = headerBlock.size() + 4 + bodyLength;
    stored.headRequest = headRequest;
    stored.recheckCount = recheckCount;
    QCOMPARE(planAnswer(stored), plan);
}

// Whether the HTML rules read an answer: as a browser takes its type, never as the
// first text that looks like one.
void TestAnswerHead::html_data() {
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<bool>("html");
    QTest::newRow("a decoy line before the real one")
        << "X-Original-Content-Type: image/png\r\nContent-Type: text/html"_ba << true;
    QTest::newRow("a value holding a type before the real one")
        << "X-Note: Content-Type: image/png\r\nContent-Type: text/html"_ba << true;
    QTest::newRow("two types, html last") << "Content-Type: image/png\r\nContent-Type: text/html"_ba
                                          << true;
    QTest::newRow("upper case") << "Content-Type: TEXT/HTML"_ba << true;
    QTest::newRow("the name in lower case") << "content-type: text/html"_ba << true;
    QTest::newRow("with a charset") << "Content-Type: text/html; charset=utf-8"_ba << true;
    QTest::newRow("xhtml") << "Content-Type: application/xhtml+xml"_ba << true;
    QTest::newRow("html only in another line") << "X-Type: text/html\r\nContent-Type: image/png"_ba
                                               << false;
    QTest::newRow("exactly html: too short") << "Content-Type: html"_ba << false;
    QTest::newRow("a picture") << "Content-Type: image/png"_ba << false;
}

void TestAnswerHead::html() {
    QFETCH(QByteArray, lines);
    QFETCH(bool, html);
    QCOMPARE(readAnswerHead("HTTP/1.1 200 OK\r\n" + lines).html, html);
}

void TestAnswerHead::chunked_data() {
    QTest::addColumn<QByteArray>("headerBlock");
    QTest::addColumn<bool>("chunked");
    QTest::newRow("chunked") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked") << true;
    QTest::newRow("any case") << QByteArray("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked ")
                              << true;
    QTest::newRow("chunked last") << QByteArray(
                                         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked")
                                  << true;
    QTest::newRow("chunked not last")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip") << false;
    QTest::newRow("named in another header")
        << QByteArray("HTTP/1.1 200 OK\r\nX-Note: Transfer-Encoding: chunked") << false;
    QTest::newRow("none") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5") << false;
}

void TestAnswerHead::chunked() {
    QFETCH(QByteArray, headerBlock);
    QFETCH(bool, chunked);
    QCOMPARE(isChunked(headerBlock), chunked);
}

void TestAnswerHead::streamedFraming_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("headRequest");
    QTest::addColumn<int>("interim");     // interim heads passed first
    QTest::addColumn<QByteArray>("body"); // the final answer's body as passed on
    QTest::addColumn<bool>("complete");   // its framing says it has ended
    QTest::addColumn<int>("excess");      // bytes after that end
    const QByteArray text = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    QTest::newRow("length, whole")
        << text + "Content-Length: 3\r\n\r\nabcXY" << false << 0 << QByteArray("abc") << true << 2;
    QTest::newRow("length, short")
        << text + "Content-Length: 9\r\n\r\nabc" << false << 0 << QByteArray("abc") << false << 0;
    QTest::newRow("chunked with extensions and a trailer")
        << text + "Transfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\nA\r\n0123456789\r\n0\r\nT: "
                  "1\r\n\r\nNEXT"
        << false << 0 << QByteArray("3;x=y\r\nabc\r\nA\r\n0123456789\r\n0\r\nT: 1\r\n\r\n") << true
        << 4;
    QTest::newRow("chunked, cut in a chunk") << text + "Transfer-Encoding: chunked\r\n\r\n9\r\nabc"
                                             << false << 0 << QByteArray("9\r\nabc") << false << 0;
    QTest::newRow("chunked framing unreadable: until the close")
        << text + "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc" << false << 0
        << QByteArray("zz\r\nabc") << false << 0;
    QTest::newRow("HEAD: no body whatever the length") << text + "Content-Length: 5\r\n\r\n"
                                                       << true << 0 << QByteArray() << true << 0;
    QTest::newRow("304 has none") << QByteArray("HTTP/1.1 304 Not Modified\r\n\r\n") << false << 0
                                  << QByteArray() << true << 0;
    QTest::newRow("no length: until the close")
        << text + "\r\nabc" << false << 0 << QByteArray("abc") << false << 0;
    QTest::newRow("interim heads first") << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\n"
                                            "Link: </a>\r\n\r\n" +
                                                text + "Content-Length: 1\r\n\r\nz"
                                         << false << 2 << QByteArray("z") << true << 0;
    QTest::newRow("101 ends the answer: what follows is not HTTP")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x02hi")
        << false << 0 << QByteArray() << true << 4;
    QTest::newRow("a head over 64 KiB is refused, whole or in pieces")
        << text + "X-Pad: " + QByteArray(70000, 'a') + "\r\nContent-Length: 2\r\n\r\nok" << false
        << 0 << QByteArray() << false << 0;
}

void TestAnswerHead::streamedFraming() {
    QFETCH(QByteArray, answer);
    QFETCH(bool, headRequest);
    QFETCH(int, interim);
    QFETCH(QByteArray, body);
    QFETCH(bool, complete);
    QFETCH(int, excess);
    // Whole, and a byte at a time (a large one in smaller pieces): the framing reads the
    // same.
    for (const qsizetype step : {answer.size(), qsizetype(answer.size() > 8192 ? 1000 : 1)}) {
        AnswerStream stream(headRequest);
        for (qsizetype at = 0; at < answer.size(); at += step)
            stream.feed(QByteArrayView(answer).sliced(at, std::min(step, answer.size() - at)));
        int interims = 0;
        QByteArray head, passed;
        for (const AnswerStream::Piece& piece : stream.pieces()) {
            if (piece.kind == AnswerStream::Piece::Kind::Interim)
                ++interims;
            else if (piece.kind == AnswerStream::Piece::Kind::Head)
                head = piece.bytes;
            else
                passed += piece.bytes;
        }
        QCOMPARE(interims, interim);
        QVERIFY(head.isEmpty() ? stream.broken() : head.endsWith("\r\n\r\n"));
        QCOMPARE(passed, body);
        QCOMPARE(stream.complete(), complete);
        QCOMPARE(stream.excess(), excess);
    }
}

void TestAnswerHead::keptConnections_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("kept");      // the browser lets the connection carry another
    QTest::addColumn<bool>("webSocket"); // it asks for an upgrade
    QTest::newRow("HTTP/1.1") << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n") << true << false;
    QTest::newRow("HTTP/1.1, close")
        << QByteArray("GET / HTTP/1.1\r\nconnection: Close\r\n") << false << false;
    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\nHost: h\r\n") << false << false;
    QTest::newRow("HTTP/1.0, keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n") << true << false;
    QTest::newRow("WebSocket") << QByteArray("GET / HTTP/1.1\r\nUpgrade: WebSocket\r\n"
                                             "Connection: keep-alive, Upgrade\r\n")
                               << true << true;
    QTest::newRow("an upgrade the connection line does not name")
        << QByteArray("GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: keep-alive\r\n") << true
        << false;
}

void TestAnswerHead::keptConnections() {
    QFETCH(QByteArray, request);
    QFETCH(bool, kept);
    QFETCH(bool, webSocket);
    QCOMPARE(browserKeepsConnection(request), kept);
    QCOMPARE(asksForWebSocket(request), webSocket);
}

void TestAnswerHead::connectionCloseLine() {
    // An answer after which the connection closes says so, in one line of the head.
    QCOMPARE(withConnectionClose("HTTP/1.1 200 OK\r\nconnection: keep-alive\r\nA: b\r\n"
                                 "Connection: x\r\n\r\nbody connection: y"),
             "HTTP/1.1 200 OK\r\nA: b\r\nConnection: close\r\n\r\nbody connection: y");
}

QTEST_GUILESS_MAIN(TestAnswerHead)
#include "tst_answerhead.moc"
