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

// A neutralised value of `length` bytes.
QByteArray neutral(qsizetype length) {
    QByteArray bytes(length, ' ');
    neutraliseValue(bytes.data(), length, 0);
    return bytes;
}

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

// The fast filter agrees with the reference on `input`, whole and cut at random.
bool agreesEverywhere(const QByteArray& input, QRandomGenerator& random, int round) {
    QByteArray fast;
    QByteArray reference;
    if (!sameAsReference(input, &fast, &reference)) {
        qWarning() << "round" << round << "input" << input.toPercentEncoding() << "differs at"
                   << firstDifference(fast, reference);
        QTest::qFail("fast filter differs from the reference", __FILE__, __LINE__);
        return false;
    }
    const QList<qsizetype> cuts = randomCuts(input.size(), random);
    if (inPieces(input, cuts, true, true, false) != fast) {
        qWarning() << "round" << round << "input" << input.toPercentEncoding() << "cuts" << cuts;
        QTest::qFail("the filter in pieces differs from the whole", __FILE__, __LINE__);
        return false;
    }
    return true;
}

} // namespace

class TestResponseFilters : public QObject {
    Q_OBJECT

private slots:
    void setCookie_data();
    void setCookie();
    void scripts_data();
    void scripts();
    void tags_data();
    void tags();
    void randomTagsMatchReference();
    void valuesHeldOnlyUntilJudged_data();
    void valuesHeldOnlyUntilJudged();
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

// Script forms the rule has to stop inside tags, and honest markup it has to leave alone.
void TestResponseFilters::tags_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const auto row = [](const char* name, const QByteArray& input, const QByteArray& expected) {
        QTest::newRow(name) << input << expected;
    };
    const auto same = [](const char* name, const QByteArray& input) {
        QTest::newRow(name) << input << input;
    };
    // The value between `before` and `after` overwritten.
    const auto value = [](const char* name, const QByteArray& before, const QByteArray& v,
                          const QByteArray& after) {
        QTest::newRow(name) << before + v + after << before + neutral(v.size()) + after;
    };

    row("body onload", "<body onload=alert(1)>", "<body ZZZZZZ=alert(1)>");
    row("img onerror", "<p><img src=x onerror=alert(1)>", "<p><img src=x ZZZZZZZ=alert(1)>");
    row("svg onload, any case", "<svg OnLoad=alert(1)>", "<svg ZZZZZZ=alert(1)>");
    row("input autofocus onfocus", "<input autofocus onfocus=alert(1)>", "<input autofocus ZZZZZZZ=alert(1)>");
    row("details open ontoggle", "<details open ontoggle=alert(1)>", "<details open ZZZZZZZZ=alert(1)>");
    row("source onerror, quoted", "<video><source onerror=\"alert(1)\">", "<video><source ZZZZZZZ=\"alert(1)\">");
    row("attributes split by /", "<img/src/onerror=alert(1)>", "<img/src/ZZZZZZZ=alert(1)>");
    row("newline between attributes", "<img src=x\nonerror=alert(1)>", "<img src=x\nZZZZZZZ=alert(1)>");
    row("no blank after a quoted value", "<img src='x'onerror=alert(1)>", "<img src='x'ZZZZZZZ=alert(1)>");
    row("handler without a value, end tag", "<p onclick></p onmouseover=x>", "<p ZZZZZZZ></p ZZZZZZZZZZZ=x>");
    row("srcdoc", "<iframe srcdoc=\"&lt;script&gt;alert(1)&lt;/script&gt;\">",
        "<iframe ZZZZZZ=\"&lt;script&gt;alert(1)&lt;/script&gt;\">");

    value("javascript: in iframe src", "<iframe src=\"", "javascript:alert(1)", "\">");
    value("&#58;", "<a href=\"", "javascript&#58;alert(1)", "\">x</a>");
    value("&#x3A; and &colon;", "<a href='", "javascript&#x3A;a&colon;", "'>");
    value("numeric, zero-padded, no ;", "<a href=\"", "javascript&#0000058alert(1)", "\">");
    value("any case", "<a href=\"", "JaVaScRiPt:alert(1)", "\">");
    value("a letter as a reference", "<a href=\"", "&#106;avascript:alert(1)", "\">");
    value("leading &#x20;, tab and \\x01", "<a href=\"", "&#x20;\t\x01javascript:alert(1)", "\">");
    value("tab, &Tab; and &NewLine; inside", "<a href=\"", "jav\tascript&Tab;&NewLine;:x", "\">");
    value("java&#x09;script:", "<a href=\"", "java&#x09;script:alert(1)", "\">");
    value("vbscript:", "<a href=\"", "vbscript:msgbox(1)", "\">");
    value("form action", "<form action=\"", "javascript:alert(1)", "\">");
    value("button formaction, unquoted", "<button formaction=", "javascript:alert(1)", ">x</button>");
    value("any attribute", "<svg><set attributeName=href to=", "javascript:alert(1)", " />");
    value("data: text/html in object", "<object data=\"", "data:text/html,&lt;script&gt;alert(1)&lt;/script&gt;", "\">");
    value("data: svg in embed", "<embed src=\"", "data:image/svg+xml,&lt;svg onload=alert(1)&gt;", "\">");
    value("data: html, base64, iframe", "<iframe src=", "data:text/html;base64,PHNjcmlwdD4=", ">");
    value("data: an xml image type", "<iframe src=\"", "data:image/x+xml,x", "\">");
    value("data: type given by references", "<iframe src=\"", "data&colon;text&#x2F;html,x", "\">");

    same("only=", "<input only=1> only= <b>ontology</b>");
    same("handler names in text", "<p>a onload= b javascript:alert(1)</p>");
    same("data-on-click", "<div data-on-click=\"go()\">");
    same("title on", "<a title=\"on\" href=\"/javascript/\">");
    same("blank inside the scheme", "<a href=\"java script:x\">");
    same("data: png in img", "<img src=\"data:image/png;base64,iVBORw0KGgo=\">");
    same("data: svg in img", "<img src=\"data:image/svg+xml,&lt;svg/&gt;\">");
    same("data: plain text link", "<a href=\"data:,hello\" title=\"data:text/html,x\">");
    same("a comment hides a tag", "<!-- <img src=x onerror=alert(1)> -->");
    same("a quoted value hides a tag", "<a title=\"<img src=x onerror=alert(1)>\">");
    same("so does an end tag's", "</a title=\"><img src=x onerror=alert(1)>\">");

    row("textarea ends inside a quote", "<textarea><a title=\"</textarea><img src=x onerror=alert(1)>\">",
        "<textarea><a title=\"</textarea><img src=x ZZZZZZZ=alert(1)>\">");
    row("style ends inside a comment", "<style><!--</style><img src=x onerror=alert(1)>-->",
        "<style><!--</style><img src=x ZZZZZZZ=alert(1)>-->");
    row("tags inside title are read", "<svg><title><img src=x onerror=alert(1)></title>",
        "<svg><title><img src=x ZZZZZZZ=alert(1)></title>");
    row("<!--> ends a comment", "<!--><img src=x onerror=alert(1)>-->", "<!--><img src=x ZZZZZZZ=alert(1)>-->");
    row("<!---> too", "<!---><img src=x onerror=alert(1)>", "<!---><img src=x ZZZZZZZ=alert(1)>");
    row("--!> too", "<!-- a --!><img src=x onerror=alert(1)>", "<!-- a --!><img src=x ZZZZZZZ=alert(1)>");
    row("bogus comments end at >", "<! a=\"><img src=x onerror=a><? b=\"><img src=x onerror=b>",
        "<! a=\"><img src=x ZZZZZZZ=a><? b=\"><img src=x ZZZZZZZ=b>");
    row("with the script rule", "<b><script>x('<img src=x onerror=a>')</script><img src=x onerror=b>",
        "<b><ZZZZZZ>" + QByteArray(26, ' ') + "</ZZZZZZ><img src=x ZZZZZZZ=b>");
    row("a quote left open in the head", "HTTP/1.1 200 OK\r\nX: <a b='\r\n\r\n<img src=x onerror=alert(1)>",
        "HTTP/1.1 200 OK\r\nX: <a b='\r\n\r\n<img src=x ZZZZZZZ=alert(1)>");
    row("a head ending with LF LF", "HTTP/1.1 200 OK\nX: <a b='\n\n<img onerror=alert(1)>",
        "HTTP/1.1 200 OK\nX: <a b='\n\n<img ZZZZZZZ=alert(1)>");

    // A value is judged by its first 1024 bytes; still undecided there, it is overwritten.
    value("javascript: after 1000 blanks", "<a href=\"", QByteArray(1000, ' ') + "javascript:x", "\">");
    value("undecided at 1025 bytes", "<a title=\"", QByteArray(1025, ' '), "\">");
    same("1024 blanks decided at the end", "<a title=\"" + QByteArray(1024, ' ') + "\">");
    same("a long honest value", "<a href=\"/" + QByteArray(3000, 'x') + "\">");
}

void TestResponseFilters::tags() {
    // Whole, against the reference and cut anywhere, as the SCRIPT rows (same columns).
    scripts();
    if (QTest::currentTestFailed())
        return;
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    if (input.startsWith("HTTP/"))
        return;
    // The same page in chunks of 5 bytes.
    const auto chunked = [](const QByteArray& page) {
        QByteArray wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"_ba;
        for (qsizetype at = 0; at < page.size(); at += 5)
            wire += QByteArray::number(std::min<qsizetype>(5, page.size() - at), 16) + "\r\n" + page.mid(at, 5) + "\r\n";
        return wire + "0\r\n\r\n";
    };
    QByteArray whole = chunked(input);
    HtmlFilter::filterWhole(whole.data(), whole.size(), false, true, true);
    QCOMPARE(whole, chunked(expected));
    QCOMPARE(splitsDiffer(chunked(input), chunked(expected), false, true, true), QString());
}

// Random buffers from the pieces tags, values and references are made of, fast against
// the reference, whole and in pieces.
void TestResponseFilters::randomTagsMatchReference() {
    static const QByteArrayList pieces = {
        "<", "<", "<", ">", ">", "/", "=", "=", "\"", "'", " ", "\t", "\n", "\r\n", "\n\n", "a",
        "img", "onload", "ON", "o", "n", "only", "srcdoc", "src", "SRC", "href", "data", "action",
        "xlink:href", "javascript:", "JavaScript", "vbscript:", ":", "&#58;", "&#x3A", "&#0",
        "&colon;", "&co", "&Tab;", "&NewL", "&#", "&#x", "&", ";", ",", "data:", "text/html",
        "image/png", "image/svg+xml", "+", "\x01", "<!--", "-->", "--!>", "-", "!", "?",
        "<textarea>", "</textarea>", "<style>", "</STYLE ", "<title>", "</title>", "<script>",
        "</script>", "x"};

    QRandomGenerator random(20250301);
    for (int round = 0; round < 5000; ++round) {
        QByteArray input;
        for (int i = random.bounded(1, round < 4500 ? 60 : 400); i > 0; --i)
            input.append(pieces[random.bounded(int(pieces.size()))]);
        if (!agreesEverywhere(input, random, round))
            return;
    }
}

// A value is held only until it is judged, and never more than TagRule::MaxValueHeld bytes
// of it; one judged to go is overwritten as it streams.
void TestResponseFilters::valuesHeldOnlyUntilJudged_data() {
    QTest::addColumn<char>("fill");
    QTest::addColumn<int>("mostHeld");
    QTest::addColumn<char>("sent"); // the value as sent: its byte throughout, or "-" neutralised
    QTest::newRow("judged at its first byte") << 'x' << 16 << 'x';
    QTest::newRow("undecided: overwritten past the bound") << ' ' << int(TagRule::MaxValueHeld) + 16 << '-';
}

void TestResponseFilters::valuesHeldOnlyUntilJudged() {
    QFETCH(char, fill);
    QFETCH(int, mostHeld);
    QFETCH(char, sent);
    HtmlFilter filter(false, true, false);
    const QByteArray start = "HTTP/1.1 200 OK\r\n\r\n<a href=\""_ba;
    qsizetype in = start.size();
    QByteArray out = filter.feed(start);
    const QByteArray piece(1000, fill);
    for (int i = 0; i < 1000; ++i) {
        in += piece.size();
        out += filter.feed(piece);
        QVERIFY2(in - out.size() <= mostHeld, qPrintable(u"%1 bytes held"_s.arg(in - out.size())));
    }
    out += filter.feed("\">");
    out += filter.finish();
    const QByteArray expected =
        start + (sent == '-' ? neutral(piece.size() * 1000) : QByteArray(piece.size() * 1000, sent)) +
        "\">";
    QVERIFY2(out == expected, qPrintable(u"differs at %1"_s.arg(firstDifference(out, expected))));
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
    for (int round = 0; round < 6000; ++round) {
        const int pieceCount = round < 5000 ? random.bounded(1, 80) : random.bounded(80, 1200);
        QByteArray input;
        for (int i = 0; i < pieceCount; ++i)
            input.append(pieces[random.bounded(int(pieces.size()))]);
        if (!agreesEverywhere(input, random, round))
            return;
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
