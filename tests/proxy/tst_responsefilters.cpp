#include "proxy/answerhead.h"
#include "proxy/referencefilters.h"
#include "proxy/responsefilters.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;
using namespace Tarnwick;

namespace {

QByteArray neutralised(QByteArray bytes) {
    neutraliseSetCookie(bytes.data(), bytes.size());
    return bytes;
}

QByteArray rewritten(QByteArray bytes) {
    rewriteScripts(bytes.data(), bytes.size());
    return bytes;
}

// The first offset at which two buffers differ, for a readable failure.
qsizetype firstDifference(const QByteArray& a, const QByteArray& b) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return i;
    }
    return a.size() == b.size() ? -1 : n;
}

// Runs both filters, fast and reference, on copies of `input` held in buffers of
// exactly its length (so that a sanitiser build catches any read past the end); true
// when they agree.
bool sameAsReference(const QByteArray& input, QByteArray* fast, QByteArray* reference) {
    const qsizetype n = input.size();
    const auto fastBytes = std::make_unique<char[]>(size_t(n));
    const auto referenceBytes = std::make_unique<char[]>(size_t(n));
    std::copy_n(input.constData(), n, fastBytes.get());
    std::copy_n(input.constData(), n, referenceBytes.get());
    neutraliseSetCookie(fastBytes.get(), n);
    Reference::neutraliseSetCookie(referenceBytes.get(), n);
    // Compared between the rules too: the script rule could blank a difference away.
    if (!std::equal(fastBytes.get(), fastBytes.get() + n, referenceBytes.get())) {
        *fast = QByteArray(fastBytes.get(), n);
        *reference = QByteArray(referenceBytes.get(), n);
        return false;
    }
    rewriteScripts(fastBytes.get(), n);
    Reference::rewriteScripts(referenceBytes.get(), n);
    *fast = QByteArray(fastBytes.get(), n);
    *reference = QByteArray(referenceBytes.get(), n);
    return *fast == *reference;
}

// `input` fed to one filter in pieces cut at `cuts` (ascending), then finished.
QByteArray inPieces(QByteArrayView input, const QList<qsizetype>& cuts, bool setCookie,
                    bool script, bool chunked) {
    HtmlFilter filter(setCookie, script, chunked);
    QByteArray out;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        out += filter.feed(input.sliced(from, cut - from));
        from = cut;
    }
    out += filter.feed(input.sliced(from));
    return out + filter.finish();
}

QList<qsizetype> randomCuts(qsizetype length, QRandomGenerator& random) {
    QList<qsizetype> cuts;
    for (int i = random.bounded(1, 8); i > 0; --i)
        cuts.append(random.bounded(qint64(length) + 1));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

// Empty when `input` cut anywhere once, anywhere twice (short inputs), byte by byte and
// at random gives `expected`; else the first cuts that do not.
QString splitsDiffer(QByteArrayView input, const QByteArray& expected, bool setCookie,
                     bool script, bool chunked) {
    QList<QList<qsizetype>> trials;
    QList<qsizetype> everyByte;
    const qsizetype n = input.size();
    for (qsizetype a = 0; a <= n; ++a) {
        everyByte.append(a);
        trials.append(QList<qsizetype>{a});
        for (qsizetype b = a; n <= 160 && b <= n; ++b)
            trials.append(QList<qsizetype>{a, b});
    }
    trials.append(everyByte);
    QRandomGenerator random{quint32(n)};
    for (int i = 0; i < 50; ++i)
        trials.append(randomCuts(n, random));
    for (const QList<qsizetype>& cuts : trials) {
        if (inPieces(input, cuts, setCookie, script, chunked) == expected)
            continue;
        QString at = u"cut at"_s;
        for (const qsizetype cut : cuts)
            at += u' ' + QString::number(cut);
        return at;
    }
    return {};
}

QByteArray repeated(QByteArrayView piece, qsizetype times) {
    QByteArray out;
    out.reserve(piece.size() * times);
    for (qsizetype i = 0; i < times; ++i)
        out.append(piece);
    return out;
}

const QByteArray Html = "text/html; charset=UTF-8"_ba;

struct Span {
    qsizetype offset;
    qsizetype length;
};

} // namespace

class TestResponseFilters : public QObject {
    Q_OBJECT

private slots:
    void setCookie_data();
    void setCookie();
    void scripts_data();
    void scripts();
    void switches_data();
    void switches();
    void outsideValueRemovedOnceThenDefault();
    void randomBuffersMatchReference();
    void adversarialBuffersMatchReference_data();
    void adversarialBuffersMatchReference();
    void chunkedAnswersMatchReferenceOnTheirPayload();
    void chunked_data();
    void chunked();
    void piecesLeaveAsTheyCome();
};

void TestResponseFilters::setCookie_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("value replaced, body untouched")
        << "HTTP/1.0 200 OK\r\nSet-Cookie: id=42\r\nContent-Type: text/html\r\n\r\n"
           "<p>Set-Cookie: x=1\r\n"_ba
        << "HTTP/1.0 200 OK\r\nXXXXXXXXXX: YYYYY\r\nContent-Type: text/html\r\n\r\n"
           "<p>Set-Cookie: x=1\r\n"_ba;
    QTest::newRow("no blank after colon keeps first value byte")
        << "HTTP/1.0 200 OK\r\nset-cookie:id=42\r\n\r\n"_ba
        << "HTTP/1.0 200 OK\r\nXXXXXXXXXX:iYYYY\r\n\r\n"_ba;
    QTest::newRow("empty value") << "HTTP/1.0 200 OK\r\nSET-COOKIE: \r\n\r\n"_ba
                                 << "HTTP/1.0 200 OK\r\nXXXXXXXXXX: \r\n\r\n"_ba;
    QTest::newRow("every line, anywhere in the line")
        << "HTTP/1.0 200\r\nSet-Cookie: a=1\r\nX-Set-Cookie: b=22\r\n\r\n"_ba
        << "HTTP/1.0 200\r\nXXXXXXXXXX: YYY\r\nX-XXXXXXXXXX: YYYY\r\n\r\n"_ba;
    QTest::newRow("offset 0 never tested") << "set-cookie: a=1\r\n\r\n"_ba
                                           << "set-cookie: a=1\r\n\r\n"_ba;
    QTest::newRow("no CR after the value: runs to the end")
        << "HTTP/1.0 200\r\nSet-Cookie: a=1; path=/"_ba
        << "HTTP/1.0 200\r\nXXXXXXXXXX: "_ba + QByteArray(11, 'Y');
    QTest::newRow("LF alone does not end the value")
        << "HTTP/1.0 200\nSet-Cookie: a=1\nX: 2\r\n\r\n"_ba
        << "HTTP/1.0 200\nXXXXXXXXXX: "_ba + QByteArray(8, 'Y') + "\r\n\r\n";
    QTest::newRow("11 bytes left alone") << " set-cookie"_ba << " set-cookie"_ba;
    QTest::newRow("12 bytes") << " set-cookie:"_ba << " XXXXXXXXXX:"_ba;
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestResponseFilters::setCookie() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(neutralised(input), expected);
    QCOMPARE(splitsDiffer(input, expected, true, false, false), QString());
}

void TestResponseFilters::scripts_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("script body blanked")
        << "<p><script>alert(1)</script></p>\r\n"_ba
        << "<p><ZZZZZZ>        </ZZZZZZ></p>\r\n"_ba;
    QTest::newRow("attributes kept")
        << "<p><SCRIPT LANGUAGE=\"JavaScript\">\r\nx=1;\r\n</SCRIPT>\r\n</html>"_ba
        << "<p><ZZZZZZ LANGUAGE=\"JavaScript\">"_ba + QByteArray(8, ' ') + "</ZZZZZZ>\r\n</html>";
    QTest::newRow("no closing tag: blanked to the eighth-last byte")
        << "<html><script>var a = 1; var b = 2;"_ba
        << "<html><ZZZZZZ>"_ba + QByteArray(14, ' ') + " b = 2;";
    QTest::newRow("two scripts, text between kept")
        << "<b><script>1</script>text<Script src=x>2</sCript></b>"_ba
        << "<b><ZZZZZZ> </ZZZZZZ>text<ZZZZZZ src=x> </ZZZZZZ></b>"_ba;
    QTest::newRow("noscript renamed, content kept")
        << "<p><noscript>keep</noscript></p>\r\n"_ba
        << "<p><noZZZZZZ>keep</noZZZZZZ></p>\r\n"_ba;
    QTest::newRow("word after a lone <") << "a < b script c\r\n\r\n"_ba
                                         << "a < b ZZZZZZ c\r\n\r\n"_ba;
    QTest::newRow("stop character before the word")
        << "x<a href=script>script</a>..........."_ba << "x<a href=script>script</a>..........."_ba;
    QTest::newRow("every stop character")
        << "x<a\"script <a-script <a_script <a>script..........."_ba
        << "x<a\"script <a-script <a_script <a>script..........."_ba;
    QTest::newRow("page's own zzzzzz counts as opening")
        << "x<zzzzzz>blank me</zzzzzz>......."_ba << "x<zzzzzz>        </zzzzzz>......."_ba;
    QTest::newRow("opening completed by a renamed name")
        << "x<zzzzzscript>body</script>........"_ba << "x<zzzzzZZZZZZ>    </ZZZZZZ>........"_ba;
    QTest::newRow("markup inside the body blanked")
        << "x<script>ab<x>cd</script>......"_ba << "x<ZZZZZZ>       </ZZZZZZ>......"_ba;
    QTest::newRow("7 bytes left alone") << "<script"_ba << "<script"_ba;
    QTest::newRow("8 bytes: < at offset 1 has nothing after it") << "x<script"_ba << "x<script"_ba;
    QTest::newRow("< at offset 0 not counted") << "<script>.........."_ba
                                               << "<script>.........."_ba;
}

void TestResponseFilters::scripts() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(rewritten(input), expected);
    QByteArray reference = input;
    Reference::rewriteScripts(reference.data(), reference.size());
    QCOMPARE(reference, expected);
    QCOMPARE(splitsDiffer(input, expected, false, true, false), QString());
}

void TestResponseFilters::switches_data() {
    QTest::addColumn<QString>("stored"); // empty: nothing stored
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("filtered");
    QTest::addColumn<bool>("keyKept");

    QTest::newRow("default on") << QString() << Html << true << false;
    QTest::newRow("× on") << u"×"_s << Html << true << true;
    QTest::newRow("○ off") << u"○"_s << Html << false << true;
    QTest::newRow("other value: off, key removed") << u"x"_s << Html << false << false;
    QTest::newRow("empty value: off, key removed") << u""_s << Html << false << false;
    QTest::newRow("exactly html") << u"×"_s << "html"_ba << false << true;
    QTest::newRow("xhtml") << u"×"_s << "application/xhtml+xml"_ba << true << true;
    QTest::newRow("upper case HTML") << u"×"_s << "TEXT/HTML"_ba << true << true;
    QTest::newRow("image") << u"×"_s << "image/png"_ba << false << true;
    QTest::newRow("no content type") << u"×"_s << QByteArray() << false << true;
    QTest::newRow("other value, not HTML: still removed") << u"?"_s << "image/png"_ba << false
                                                          << false;
}

void TestResponseFilters::switches() {
    QFETCH(QString, stored);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, filtered);
    QFETCH(bool, keyKept);

    const QByteArray answer = "HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\n\r\n<script>x</script>\r\n"_ba;
    const QByteArray cookieDone = neutralised(answer);
    const QByteArray scriptDone = rewritten(answer);
    QVERIFY(cookieDone != answer && scriptDone != answer);

    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    SettingsStore store(tempDir.filePath(u"t.ini"_s));
    if (!stored.isNull()) {
        QVERIFY(store.save(Setting::SetCookie, stored));
        QVERIFY(store.save(Setting::Script, stored));
    }

    QByteArray bytes = answer;
    applySetCookieRule(bytes, namesHtml(contentType), store);
    QCOMPARE(bytes, filtered ? cookieDone : answer);
    QCOMPARE(store.contains(Setting::SetCookie), keyKept);
    QCOMPARE(store.contains(Setting::Script), !stored.isNull());

    bytes = answer;
    applyScriptRule(bytes, namesHtml(contentType), store);
    QCOMPARE(bytes, filtered ? scriptDone : answer);
    QCOMPARE(store.contains(Setting::Script), keyKept);
}

void TestResponseFilters::outsideValueRemovedOnceThenDefault() {
    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    SettingsStore store(tempDir.filePath(u"t.ini"_s));
    QVERIFY(store.save(Setting::Script, u"△"_s));
    const QByteArray page = "<p><script>x</script></p>\r\n"_ba;

    QByteArray first = page;
    applyScriptRule(first, true, store);
    QCOMPARE(first, page);
    QByteArray second = page;
    applyScriptRule(second, true, store);
    QCOMPARE(second, rewritten(page));
}

// Random buffers from an alphabet rich in the pieces the filters look for.
void TestResponseFilters::randomBuffersMatchReference() {
    static const QByteArrayList pieces = {
        "<", "<", "<", ">", ">", "/", "script", "SCRIPT", "sCrIpt", "scrip", "zzzzzz", "ZZZZZZ",
        "</zzzzzz", "</ZZZZZZ", "<zzzzzz>", "</script>", "set-cookie:", "Set-Cookie: ",
        "SET-COOKIE:", "\r", "\n", "\r\n", "\r\n\r\n", "\"", "-", "_", "=", " ", "a", "z",
        QByteArray(1, '\0'), "\xC3\xA9", "\xFF", "\x80"};

    QRandomGenerator random(20240611);
    QByteArray fast;
    QByteArray reference;
    for (int round = 0; round < 6000; ++round) {
        const int pieceCount = round < 5000 ? random.bounded(1, 80) : random.bounded(80, 1200);
        QByteArray input;
        for (int i = 0; i < pieceCount; ++i)
            input.append(pieces[random.bounded(int(pieces.size()))]);
        if (!sameAsReference(input, &fast, &reference)) {
            qWarning() << "round" << round << "input" << input.toPercentEncoding() << "differs at"
                       << firstDifference(fast, reference);
            QFAIL("fast filter differs from the reference");
        }
        const QList<qsizetype> cuts = randomCuts(input.size(), random);
        if (inPieces(input, cuts, true, true, false) != fast) {
            qWarning() << "round" << round << "input" << input.toPercentEncoding() << "cuts" << cuts;
            QFAIL("the filter in pieces differs from the whole");
        }
    }
}

void TestResponseFilters::adversarialBuffersMatchReference_data() {
    QTest::addColumn<QByteArray>("input");

    const qsizetype n = 6 * 1024;
    QTest::newRow("all <") << QByteArray(n, '<');
    QTest::newRow("< then letters") << QByteArray(n / 2, '<') + QByteArray(n / 2, 's');
    QTest::newRow("openings without >") << repeated("<zzzzzz", n / 7);
    QTest::newRow("openings before one >, long body, closing")
        << repeated("<zzzzzz", n / 14) + '>' + QByteArray(n / 2, 'b') + "</zzzzzz" + "........";
    QTest::newRow("opening, long body, many openings")
        << "x<zzzzzz>"_ba + QByteArray(n / 2, 'b') + repeated("<zzzzzz", n / 14);
    QTest::newRow("openings, each with > , one closing at the end")
        << repeated("<zzzzzz>ab", n / 10) + "</zzzzzz" + "........";
    QTest::newRow("script words after one <") << "x<"_ba + repeated("script", n / 6) + ">....";
    QTest::newRow("many < before many words") << repeated("<", n / 2) + repeated("script", n / 12);
    QTest::newRow("set-cookie without CR") << "x"_ba + repeated("set-cookie:", n / 11);
    QTest::newRow("set-cookie lines") << "HTTP/1.0 200\r\n"_ba + repeated("Set-Cookie: a=1\r\n", n / 17)
                                      + "\r\n<script>x</script>";
}

void TestResponseFilters::adversarialBuffersMatchReference() {
    QFETCH(QByteArray, input);
    QByteArray fast;
    QByteArray reference;
    QVERIFY2(sameAsReference(input, &fast, &reference),
             qPrintable(u"differs at %1"_s.arg(firstDifference(fast, reference))));
    QRandomGenerator random(3);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(inPieces(input, randomCuts(input.size(), random), true, true, false), fast);
}

// A chunked answer is filtered as its head followed by its chunks' data, with the
// chunk-size lines untouched: the reference rule on the joined payload, put back
// into the same chunks, must equal the fast rule on the answer as it came.
void TestResponseFilters::chunkedAnswersMatchReferenceOnTheirPayload() {
    static const QByteArrayList pieces = {"<", "<", ">", "/", "script", "SCRIPT", "scrip", "t",
                                          "zzzzzz", "</", "</script>", "<script>", "\r\n",
                                          "\r\n\r\n", "\"", "=", " ", "a", "0\r\n"};
    static const QByteArrayList extensions = {"", "", ";x=1", ";n=\"<script>\""};
    const QByteArray head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"_ba;
    QRandomGenerator random(20261207);
    for (int round = 0; round < 3000; ++round) {
        QByteArray payload;
        for (int i = random.bounded(1, 120); i > 0; --i)
            payload.append(pieces[random.bounded(int(pieces.size()))]);
        // The wire form, and where each chunk's data lies in it.
        QByteArray wire = head;
        std::vector<Span> spans{{0, head.size()}};
        for (qsizetype at = 0; at < payload.size();) {
            const qsizetype size = std::min<qsizetype>(random.bounded(1, 24), payload.size() - at);
            QByteArray sizeLine = QByteArray::number(size, 16);
            if (random.bounded(2))
                sizeLine = sizeLine.toUpper();
            wire += sizeLine + extensions[random.bounded(int(extensions.size()))] + "\r\n";
            spans.push_back({wire.size(), size});
            wire += payload.mid(at, size) + "\r\n";
            at += size;
        }
        wire += random.bounded(2) ? "0\r\n\r\n"_ba : "0\r\nX-Tail: <script>a\r\n\r\n"_ba;
        // Now and then the server closes inside the last chunk.
        if (round % 7 == 0) {
            Span& last = spans.back();
            last.length = random.bounded(qint64(1), qint64(last.length) + 1);
            wire.truncate(last.offset + last.length);
        }

        QByteArray expected = wire;
        QByteArray joined;
        for (const Span& span : spans)
            joined += expected.mid(span.offset, span.length);
        Reference::rewriteScripts(joined.data(), joined.size());
        qsizetype taken = 0;
        for (const Span& span : spans) {
            expected.replace(span.offset, span.length, joined.mid(taken, span.length));
            taken += span.length;
        }

        QByteArray whole = wire;
        HtmlFilter::filterWhole(whole.data(), whole.size(), false, true, true);
        const QList<qsizetype> cuts = randomCuts(wire.size(), random);
        const QByteArray pieces = inPieces(wire, cuts, false, true, true);
        if (whole != expected || pieces != expected) {
            qWarning() << "round" << round << "answer" << wire.toPercentEncoding() << "cuts" << cuts
                       << "whole differs at" << firstDifference(whole, expected)
                       << "pieces differ at" << firstDifference(pieces, expected);
            QFAIL("chunked answer filtered differently from its payload");
        }
    }
}

void TestResponseFilters::chunked_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"_ba;
    QTest::newRow("tag, body and closing cut by the chunking, size lines kept")
        << head + "4\r\n<scr\r\na;n=<script>\r\nipt>alert(\r\n9\r\n1)</scrip\r\n9\r\nt>.......\r\n0\r\n\r\n"
        << head + "4\r\n<ZZZ\r\na;n=<script>\r\nZZZ>      \r\n9\r\n  </ZZZZZ\r\n9\r\nZ>.......\r\n0\r\n\r\n";
    QTest::newRow("no closing before the last chunk: blanked to the text's eighth-last byte")
        << head + "17\r\n<p><script>abcdefghijkl\r\n0\r\nX: </script>\r\n\r\n"
        << head + "17\r\n<p><ZZZZZZ>     fghijkl\r\n0\r\nX: </script>\r\n\r\n";
    QTest::newRow("malformed size line: the rest stays")
        << head + "12\r\n<script>aaaaaaaaaa\r\nzz\r\n<script>x</script>"
        << head + "12\r\n<ZZZZZZ>   aaaaaaa\r\nzz\r\n<script>x</script>";
    QTest::newRow("server closed inside a chunk")
        << head + "20\r\n<script>abcdefghijklmnop"
        << head + "20\r\n<ZZZZZZ>         jklmnop";
    // A size line is read up to a bound; past it the line counts as malformed.
    const QByteArray script = "<script>abcdefghijkl\r\n0\r\n\r\n"_ba;
    const QByteArray atBound = "14;" + QByteArray(HtmlFilter::MaxChunkLine - 3, 'x') + "\r\n";
    QTest::newRow("size line at the bound")
        << head + atBound + script << head + atBound + "<ZZZZZZ>     fghijkl\r\n0\r\n\r\n";
    const QByteArray overBound = "14;" + QByteArray(HtmlFilter::MaxChunkLine - 2, 'x') + "\r\n";
    QTest::newRow("size line over the bound: the rest stays")
        << head + overBound + script << head + overBound + script;
}

void TestResponseFilters::chunked() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QByteArray whole = input;
    HtmlFilter::filterWhole(whole.data(), whole.size(), false, true, true);
    QCOMPARE(whole, expected);
    QCOMPARE(splitsDiffer(input, expected, false, true, true), QString());
}

// Streaming holds back only the bytes a later one may change, and nothing once a chunked
// answer's last chunk has come.
void TestResponseFilters::piecesLeaveAsTheyCome() {
    const QByteArray page = "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\n\r\n"
                            + repeated("<p>text</p><script>x()</script>\n", 3000);
    HtmlFilter filter(true, true, false);
    qsizetype in = 0;
    qsizetype out = 0;
    for (qsizetype at = 0; at < page.size(); at += 1000) {
        const QByteArrayView piece = QByteArrayView(page).sliced(at, std::min<qsizetype>(1000, page.size() - at));
        in += piece.size();
        out += filter.feed(piece).size();
        QVERIFY2(in - out <= 16, qPrintable(u"%1 bytes held"_s.arg(in - out)));
    }

    HtmlFilter chunked(true, true, true);
    const QByteArray answer = "HTTP/1.1 200 OK\r\n\r\n5\r\n<p>ab\r\n0\r\n\r\n"_ba;
    QCOMPARE(chunked.feed(answer).size(), answer.size());
    QVERIFY(chunked.finish().isEmpty());
}

QTEST_GUILESS_MAIN(TestResponseFilters)
#include "tst_responsefilters.moc"
