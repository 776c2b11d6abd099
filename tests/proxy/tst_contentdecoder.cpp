#include "proxy/contentdecoder.h"
#include "proxy/encoders.h"
#include "proxy/htmlfilter.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Tarnwick;
using Status = ContentDecoder::Status;

namespace {

const QByteArray Head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Cookie: a=1\r\n\r\n"_ba;

// A page whose scripts, tags and closings fall across the decoder's pieces, and whose
// decoding takes more than one of the decoders' output buffers.
QByteArray page() {
    QByteArray body = "<html><head><script>alert(1)</script></head><body>\n"_ba;
    for (int i = 0; i < 2500; ++i) {
        body += "<p>row " + QByteArray::number(i * 7919 % 1000) + " &amp; <b>text</b></p>\n";
        if (i % 37 == 0)
            body +=
                "<SCRIPT src=\"/a.js\">var s = '<p>' + " + QByteArray::number(i) + ";</SCRIPT>\n";
    }
    return body + "<noscript>off</noscript></body></html>\n";
}

struct Run {
    Status status = Status::Ok;
    QByteArray decoded;
    QByteArray filtered; // Head and the decoded body through the HTML rules
};

// `encoded` fed to a decoder in pieces of `step` bytes, its output to the filter as it
// comes; the first status that is not Ok ends the run.
Run decodeInPieces(QByteArrayView codings, QByteArrayView encoded, qsizetype step) {
    Run run;
    const std::unique_ptr<ContentDecoder> decoder = ContentDecoder::forCodings(codings);
    if (!decoder)
        return {Status::Corrupt, {}, {}};
    HtmlFilter filter(true, true, false);
    run.filtered = filter.feed(Head);
    for (qsizetype at = 0; at < encoded.size() && run.status == Status::Ok; at += step) {
        QByteArray out;
        run.status = decoder->feed(encoded.sliced(at, std::min(step, encoded.size() - at)), out);
        run.decoded += out;
        run.filtered += filter.feed(out);
    }
    if (run.status == Status::Ok)
        run.status = decoder->finish();
    run.filtered += filter.finish();
    return run;
}

} // namespace

class TestContentDecoder : public QObject {
    Q_OBJECT

private slots:
    void decodedThenFiltered_data();
    void decodedThenFiltered();
    void failures_data();
    void failures();
    void bombCutOff();
    void knownCodings_data();
    void knownCodings();
    void chunkFraming();
};

void TestContentDecoder::decodedThenFiltered_data() {
    QTest::addColumn<QByteArray>("codings");
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("body");

    const QByteArray body = page();
    for (const char* coding : {"gzip", "deflate", "br", "zstd", "gzip, br", "x-gzip, zstd"})
        QTest::newRow(coding) << QByteArray(coding) << Encoders::encoded(coding, body) << body;
    QTest::newRow("raw deflate sent as deflate")
        << "deflate"_ba << Encoders::encoded("raw-deflate", body) << body;
    QTest::newRow("gzip members one after another")
        << "gzip"_ba
        << Encoders::encoded("gzip", body.first(1000)) +
               Encoders::encoded("gzip", body.sliced(1000))
        << body;
    QTest::newRow("gzip with trailing garbage ignored")
        << "gzip"_ba << Encoders::encoded("gzip", body) + "\0\0\n"_ba << body;
    QTest::newRow("zstd frames one after another")
        << "zstd"_ba
        << Encoders::encoded("zstd", body.first(3000)) +
               Encoders::encoded("zstd", body.sliced(3000))
        << body;
    QTest::newRow("names in any case, identity skipped")
        << "identity, GZip"_ba << Encoders::encoded("gzip", body) << body;
    QTest::newRow("identity alone passes the bytes") << "identity"_ba << body << body;
    QTest::newRow("empty body") << "br"_ba << QByteArray() << QByteArray();
    const QByteArray zeros(4 * 1024 * 1024, '\0');
    QTest::newRow("over 100 times smaller but under 64 MiB: not cut off")
        << "gzip"_ba << Encoders::encoded("gzip", zeros) << zeros;
}

void TestContentDecoder::decodedThenFiltered() {
    QFETCH(QByteArray, codings);
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, body);

    QByteArray expected = Head + body;
    HtmlFilter::filterWhole(expected.data(), expected.size(), true, true, false);
    for (const qsizetype step : {qsizetype(1), qsizetype(7), qsizetype(4096), encoded.size() + 1}) {
        if (step == 1 && encoded.size() > 100000)
            continue;
        const Run run = decodeInPieces(codings, encoded, step);
        QCOMPARE(run.status, Status::Ok);
        QCOMPARE(run.decoded, body);
        QCOMPARE(run.filtered, expected);
    }
}

void TestContentDecoder::failures_data() {
    QTest::addColumn<QByteArray>("codings");
    QTest::addColumn<QByteArray>("encoded");

    const QByteArray body = page();
    for (const char* coding : {"gzip", "deflate", "br", "zstd"}) {
        QByteArray corrupt = Encoders::encoded(coding, body);
        corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x55);
        QTest::newRow(qPrintable(u"corrupt %1"_s.arg(QLatin1StringView(coding))))
            << QByteArray(coding) << corrupt;
        QTest::newRow(qPrintable(u"truncated %1"_s.arg(QLatin1StringView(coding))))
            << QByteArray(coding) << Encoders::encoded(coding, body).chopped(5);
    }
    QTest::newRow("second gzip member truncated")
        << "gzip"_ba
        << Encoders::encoded("gzip", body) + Encoders::encoded("gzip", body).chopped(20);
    QTest::newRow("bytes after the br stream") << "br"_ba << Encoders::encoded("br", body) + "x"_ba;
    QTest::newRow("raw deflate is not gzip") << "gzip"_ba << Encoders::encoded("raw-deflate", body);
    QTest::newRow("gzip, br undone in the wrong order")
        << "gzip, br"_ba << Encoders::encoded("br, gzip", body);
    QTest::newRow("more codings than a server has reason to stack")
        << "gzip, gzip, gzip, gzip, gzip"_ba
        << Encoders::encoded("gzip, gzip, gzip, gzip, gzip", body);
    QTest::newRow("zstd frame asking a window over 8 MiB")
        << "zstd"_ba << Encoders::zstdWideWindow(body);
}

// However the data is cut, a fault is found (the caller then ends the answer short).
void TestContentDecoder::failures() {
    QFETCH(QByteArray, codings);
    QFETCH(QByteArray, encoded);

    for (const qsizetype step : {qsizetype(1), qsizetype(4096), encoded.size()})
        QCOMPARE(decodeInPieces(codings, encoded, step).status, Status::Corrupt);
}

// A gzip of 1 GiB of zeros (about 1 MiB) stops just past 64 MiB of output, long before
// its end, and no feed of 4 KiB gives more than a few MiB.
void TestContentDecoder::bombCutOff() {
    const QByteArray bomb = Encoders::gzipOfZeros(qint64(1) << 30);
    const std::unique_ptr<ContentDecoder> decoder = ContentDecoder::forCodings("gzip");
    Status status = Status::Ok;
    qsizetype largest = 0;
    QByteArray out;
    for (qsizetype at = 0; at < bomb.size() && status == Status::Ok; at += 4096) {
        out.clear();
        status = decoder->feed(
            QByteArrayView(bomb).sliced(at, std::min<qsizetype>(4096, bomb.size() - at)), out);
        largest = std::max(largest, out.size());
    }
    QCOMPARE(status, Status::TooLarge);
    QCOMPARE(decoder->finish(), Status::TooLarge);
    QVERIFY(decoder->given() > ContentDecoder::MaxOutputFloor);
    QVERIFY(decoder->given() < ContentDecoder::MaxOutputFloor + 64 * 1024);
    QVERIFY(decoder->taken() < bomb.size() / 10);
    QVERIFY(largest < 8 * 1024 * 1024);
    out.clear();
    QCOMPARE(decoder->feed("more", out), Status::TooLarge);
    QVERIFY(out.isEmpty());
}

void TestContentDecoder::knownCodings_data() {
    QTest::addColumn<QByteArray>("codings");
    QTest::addColumn<bool>("known");

    QTest::newRow("all four") << "gzip, deflate, br, zstd"_ba << true;
    QTest::newRow("blanks and empty items") << " gzip ,, br "_ba << true;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("compress") << "compress"_ba << false;
    QTest::newRow("unknown after known") << "gzip, dcb"_ba << false;
    QTest::newRow("a parameter") << "gzip;q=1"_ba << false;
}

void TestContentDecoder::knownCodings() {
    QFETCH(QByteArray, codings);
    QFETCH(bool, known);
    QCOMPARE(ContentDecoder::forCodings(codings) != nullptr, known);
}

void TestContentDecoder::chunkFraming() {
    QCOMPARE(chunkOf("abc"), "3\r\nabc\r\n"_ba);
    QCOMPARE(chunkOf(QByteArray(300, 'x')), "12c\r\n"_ba + QByteArray(300, 'x') + "\r\n"_ba);
    QVERIFY(chunkOf({}).isEmpty());
}

QTEST_GUILESS_MAIN(TestContentDecoder)
#include "tst_contentdecoder.moc"
