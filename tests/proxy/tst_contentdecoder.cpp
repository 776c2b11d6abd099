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
    void decode_data();
    void decode();
    void bombCutOff();
    void unknownCodings_data();
    void unknownCodings();
    void chunkFraming();
};

void TestContentDecoder::decode_data() {
    QTest::addColumn<QByteArray>("codings");
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("body"); // null: corrupt

    const QByteArray body = page();
    const auto row = [](const QString& name, QByteArrayView codings, const QByteArray& encoded,
                        const QByteArray& body) {
        QTest::newRow(qPrintable(name)) << codings.toByteArray() << encoded << body;
    };
    for (const char* coding : {"gzip", "deflate", "br", "zstd", "gzip, br", "x-gzip, zstd"}) {
        const QByteArray encoded = Encoders::encoded(coding, body);
        QByteArray corrupt = encoded;
        corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x55);
        row(QLatin1StringView(coding), coding, encoded, body);
        row(u"corrupt "_s + QLatin1StringView(coding), coding, corrupt, {});
        row(u"truncated "_s + QLatin1StringView(coding), coding, encoded.chopped(5), {});
    }
    const auto gzip = [](QByteArrayView b) { return Encoders::encoded("gzip", b); };
    const auto zstd = [](QByteArrayView b) { return Encoders::encoded("zstd", b); };
    row(u"raw deflate sent as deflate"_s, "deflate", Encoders::encoded("raw-deflate", body), body);
    row(u"gzip members one after another"_s, "gzip", gzip(body.first(999)) + gzip(body.sliced(999)),
        body);
    row(u"second gzip member truncated"_s, "gzip", gzip(body) + gzip(body).chopped(20), {});
    row(u"gzip with trailing garbage ignored"_s, "gzip", gzip(body) + "\0\0\n"_ba, body);
    row(u"zstd frames one after another"_s, "zstd", zstd(body.first(999)) + zstd(body.sliced(999)),
        body);
    row(u"zstd frame asking a window over 8 MiB"_s, "zstd", Encoders::zstdWideWindow(body), {});
    row(u"bytes after the br stream"_s, "br", Encoders::encoded("br", body) + "x"_ba, {});
    row(u"more codings than a server has reason to stack"_s, "gzip, gzip, gzip, gzip, gzip",
        Encoders::encoded("gzip, gzip, gzip, gzip, gzip", body), {});
    row(u"four codings, the most allowed"_s, "gzip, br, zstd, deflate",
        Encoders::encoded("gzip, br, zstd, deflate", body), body);
    row(u"names in any case, identity skipped"_s, "identity, GZip", gzip(body), body);
    row(u"empty body"_s, "br", {}, ""_ba);
    row(u"empty gzip body"_s, "gzip", {}, ""_ba);
    row(u"empty deflate body"_s, "deflate", {}, ""_ba);
    const QByteArray zeros(4 * 1024 * 1024, '\0');
    row(u"over 100 times smaller but under 64 MiB: not cut off"_s, "gzip", gzip(zeros), zeros);
}

// However the body is cut, it decodes and filters as the plain page, or is found corrupt
// (the caller then ends the answer short).
void TestContentDecoder::decode() {
    QFETCH(QByteArray, codings);
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, body);

    QByteArray expected = Head + body;
    HtmlFilter::filterWhole(expected.data(), expected.size(), true, true, false);
    for (const qsizetype step : {qsizetype(1), qsizetype(7), qsizetype(4096), encoded.size() + 1}) {
        const Run run = decodeInPieces(codings, encoded, step);
        QCOMPARE(run.status, body.isNull() ? Status::Corrupt : Status::Ok);
        if (!body.isNull()) {
            QCOMPARE(run.decoded, body);
            QCOMPARE(run.filtered, expected);
        }
    }
}

// A gzip of 1 GiB of zeros (about 1 MiB) stops just past 64 MiB of output, long before
// its end, and no feed of 4 KiB gives more than a few MiB.
void TestContentDecoder::bombCutOff() {
    const QByteArray bomb = Encoders::gzipOfZeros(qint64(1) << 30);
    const std::unique_ptr<ContentDecoder> decoder = ContentDecoder::forCodings("gzip");
    Status status = Status::Ok;
    qsizetype largest = 0;
    for (qsizetype at = 0; at < bomb.size() && status == Status::Ok; at += 4096) {
        QByteArray out;
        status = decoder->feed(
            QByteArrayView(bomb).sliced(at, std::min<qsizetype>(4096, bomb.size() - at)), out);
        largest = std::max(largest, out.size());
    }
    QCOMPARE(status, Status::TooLarge);
    QVERIFY(decoder->given() > ContentDecoder::MaxOutputFloor);
    QVERIFY(decoder->given() < ContentDecoder::MaxOutputFloor + 64 * 1024);
    QVERIFY(decoder->taken() < bomb.size() / 10);
    QVERIFY(largest < 8 * 1024 * 1024);
    QCOMPARE(decoder->finish(), Status::TooLarge);
}

void TestContentDecoder::unknownCodings_data() {
    QTest::addColumn<QByteArray>("codings");
    QTest::newRow("unknown after known") << "gzip, compress"_ba;
    QTest::newRow("a parameter") << "gzip;q=1"_ba;
}

void TestContentDecoder::unknownCodings() {
    QFETCH(QByteArray, codings);
    QVERIFY(!ContentDecoder::forCodings(codings));
}

void TestContentDecoder::chunkFraming() {
    QCOMPARE(chunkOf("abc"), "3\r\nabc\r\n"_ba);
    QCOMPARE(chunkOf(QByteArray(300, 'x')), "12c\r\n"_ba + QByteArray(300, 'x') + "\r\n"_ba);
    QVERIFY(chunkOf({}).isEmpty());
}

QTEST_GUILESS_MAIN(TestContentDecoder)
#include "tst_contentdecoder.moc"
