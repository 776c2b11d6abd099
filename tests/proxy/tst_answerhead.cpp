// The pump's reading of an answer and its plan for it, on bytes alone.

#include "proxy/answerhead.h"
#include "proxy/answerplan.h"

#include <QTest>

using namespace Tarnwick;

Q_DECLARE_METATYPE(AnswerPlan)

class TestAnswerHead : public QObject {
    Q_OBJECT
private slots:
    void plan_data();
    void plan();
    void chunked_data();
    void chunked();
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
    QTest::newRow("short after five re-requests") << png << 60LL << false << 5 << AnswerPlan::GiveUp;
    QTest::newRow("length with trailing blanks still checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 123  ")
        << 100LL << false << 0 << AnswerPlan::ReRequest;
    QTest::newRow("length not a number: not checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 1e3")
        << 0LL << false << 0 << AnswerPlan::Stream;
    for (const char* digits : {"9999999999999999999", "99999999999999999999"})
        QTest::addRow("length of %d digits: not checked", int(qstrlen(digits)))
            << "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + QByteArray(digits)
            << 0LL << false << 0 << AnswerPlan::Stream;
    QTest::newRow("answer to HEAD never short") << png << 0LL << true << 0 << AnswerPlan::Stream;
    QTest::newRow("html held whole, never checked")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 99")
        << 3LL << false << 0 << AnswerPlan::SendWhole;
    QTest::newRow("no head") << QByteArray() << 10LL << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("blanks for a head") << QByteArray("   ") << 0LL << false << 0 << AnswerPlan::Refuse;
    QTest::newRow("200 without a type")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0") << 0LL << false << 0
        << AnswerPlan::Refuse;
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

void TestAnswerHead::chunked_data() {
    QTest::addColumn<QByteArray>("headerBlock");
    QTest::addColumn<bool>("chunked");
    QTest::newRow("chunked") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked") << true;
    QTest::newRow("any case") << QByteArray("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked ") << true;
    QTest::newRow("chunked last") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked")
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

QTEST_GUILESS_MAIN(TestAnswerHead)
#include "tst_answerhead.moc"
