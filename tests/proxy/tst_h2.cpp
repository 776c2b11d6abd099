#include "encoders.h"
#include "proxy/answerhead.h"
#include "proxy/h2bridge.h"
#include "proxy/h2headers.h"
#include "proxy/h2session.h"
#include "proxy/headerrewrite.h"
#include "proxy/requestrules.h"
#include "proxy/responsefilters.h"
#include "proxy/streamanswer.h"
#include "settings/settingsstore.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::StringLiterals;
using namespace Tarnwick;

namespace {

// A header list written one "name: value" a line, so that rows read like heads.
HeaderList fields(QByteArrayView text) {
    HeaderList list;
    for (const QByteArray& line : text.toByteArray().split('\n')) {
        const qsizetype sep = line.indexOf(": ", 1);
        if (sep > 0)
            list.push_back({line.first(sep), line.sliced(sep + 2)});
    }
    return list;
}

QByteArray text(const std::optional<HeaderList>& list) {
    QByteArray out;
    for (const HeaderField& f : list.value_or(HeaderList{}))
        out += f.name + ": " + f.value + '\n';
    return out;
}

// Stores each "key=value" of a row.
bool saved(SettingsStore& store, const QStringList& settings) {
    for (const QString& entry : settings)
        if (!store.saveByName(entry.section(u'=', 0, 0), entry.section(u'=', 1)))
            return false;
    return true;
}

QByteArray head(QByteArrayView lines) {
    return lines.toByteArray().replace('\n', "\r\n") + "\r\n\r\n";
}

// One side's view of its streams, as an owner would keep it.
struct Recorder final : H2Session::Events {
    struct Stream {
        QByteArray fields, body;
        bool ended = false;
        std::optional<quint32> closed;
    };
    explicit Recorder(H2Session* s = nullptr) : session(s) {}
    H2Session* session;
    std::map<qint32, Stream> streams;
    bool consumes = true;        // gives DATA back as it comes
    int resetAfter = -1;         // resets each stream once it has this many body bytes
    std::optional<quint32> gone; // the GOAWAY heard

    void headers(qint32 s, HeaderList list, bool ended) override {
        streams[s].fields += text(list);
        streams[s].ended = ended;
        if (resetAfter == 0 && !ended)
            reset(s);
    }
    void data(qint32 s, QByteArrayView bytes) override {
        if (dropped.contains(s))
            return; // forgotten, as an owner forgets what it reset
        streams[s].body += bytes;
        if (resetAfter > 0 && streams[s].body.size() >= resetAfter)
            reset(s); // what it held, never given back
        else if (consumes)
            session->consumed(s, bytes.size());
    }
    void reset(qint32 s) {
        dropped.insert(s);
        session->reset(s, H2Session::InternalError);
    }
    QSet<qint32> dropped;
    void dataEnded(qint32 s) override { streams[s].ended = true; }
    void closed(qint32 s, quint32 error) override { streams[s].closed = error; }
    void goaway(quint32 error, qint32) override { gone = error; }
};

// A browser's session and the proxy's, fed each other's output in memory.
struct Pair {
    Recorder browserSide{&client}, proxySide{&server};
    H2Session client{H2Session::Side::Client, browserSide};
    H2Session server{H2Session::Side::Server, proxySide};
    void pump() {
        for (int round = 0; round < 10000; ++round) {
            const QByteArray up = client.takeOutput(), down = server.takeOutput();
            if (up.isEmpty() && down.isEmpty())
                return;
            server.feed(up);
            client.feed(down);
        }
    }
    qint32 request(QByteArrayView method, bool ended = true) {
        return client.request(fields(":method: " + method.toByteArray() +
                                     "\n:scheme: https\n:authority: a\n:path: /"),
                              ended);
    }
    // An answer with a body, sent whole or begun.
    void answer(qint32 s, QByteArrayView body, bool ended = true) {
        QVERIFY(server.answer(s, fields(":status: 200"), false) && server.sendData(s, body));
        QVERIFY(!ended || server.endData(s));
    }
};

QByteArray bodyOf(qint32 stream, qsizetype size) {
    return QByteArray::number(stream).repeated(size).first(size);
}

// One HTTP/2 frame as a client would write it.
QByteArray frame(quint8 type, quint8 flags, qint32 stream, QByteArrayView payload) {
    char h[9];
    qToBigEndian<quint32>(quint32(payload.size()) << 8 | type, h);
    h[4] = char(flags);
    qToBigEndian<quint32>(quint32(stream), h + 5);
    return QByteArray(h, 9) + payload.toByteArray();
}

// A client's preface and empty SETTINGS, and a GET that ends its stream, in HPACK: three
// fields from the static table and ":authority: a" written out.
// The field every HTML answer gets while the Script rule rewrites it.
const QByteArray Policy = "content-security-policy: script-src 'none'; object-src 'none'\n"_ba;

const QByteArray Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"_ba + frame(4, 0, 0, {});
QByteArray get(qint32 stream) {
    return frame(1, 0x5, stream, "\x82\x87\x84\x01\x01\x61"_ba);
}

} // namespace

enum class Way { ToHead, ToProxyHead, ToHeadWithBody, ToList };
Q_DECLARE_METATYPE(Way)

class TestH2 : public QObject {
    Q_OBJECT

private slots:
    void mapping_data();
    void mapping();
    void rules_data();
    void rules();
    void answers_data();
    void answers();
    void bridge_data();
    void bridge();
    void exchanges_data();
    void exchanges();
    void flowControl_data();
    void flowControl();
    void limits_data();
    void limits();
    void refusedUploads_data();
    void refusedUploads();
};

void TestH2::mapping_data() {
    QTest::addColumn<Way>("way");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("expected"); // empty: refused

    QTest::newRow("crumbs joined where the first was, host from :authority")
        << Way::ToHead
        << ":method: GET\n:authority: a.test\n:path: /x?y\ncookie: a=1\nuser-agent: UA\n"
           "cookie: b=2\nhost: other.test"_ba
        << head("GET /x?y HTTP/1.1\nHost: a.test\nCookie: a=1; b=2\nUser-Agent: UA");
    QTest::newRow("proxy form") << Way::ToProxyHead
                                << ":method: GET\n:scheme: https\n:authority: a:8443\n:path: /f"_ba
                                << head("GET https://a:8443/f HTTP/1.1\nHost: a:8443");
    QTest::newRow("connection-specific fields and those Connection names dropped; a body "
                  "without length comes in chunks")
        << Way::ToHeadWithBody
        << ":method: POST\n:authority: a\n:path: /\nconnection: x-hop\nx-hop: 1\nkeep-alive: 5\n"
           "proxy-connection: close\nupgrade: h2c\nte: gzip\ntransfer-encoding: chunked\n"
           "content-length: 3"_ba
        << head("POST / HTTP/1.1\nHost: a\nTransfer-Encoding: chunked");
    QTest::newRow("a carriage return in a value")
        << Way::ToHead << ":method: GET\n:authority: a\n:path: /\nx: 1\rhost: evil"_ba
        << QByteArray();
    QTest::newRow("a path naming a host of its own")
        << Way::ToHead << ":method: GET\n:authority: a\n:path: http://b/"_ba << QByteArray();
    QTest::newRow("a path with a blank, which would end the request line early")
        << Way::ToHead << ":method: GET\n:authority: a\n:path: /a HTTP/1.0"_ba << QByteArray();
    QTest::newRow("CONNECT") << Way::ToHead << ":method: CONNECT\n:authority: a:443"_ba
                             << QByteArray();
    QTest::newRow("an HTTP/1.1 head: Host to :authority, connection fields dropped")
        << Way::ToList
        << head("POST /p HTTP/1.1\nHost: a\nConnection: keep-alive, X-Hop\nX-Hop: 1\n"
                "Proxy-Connection: keep-alive\nKeep-Alive: 5\nUpgrade: websocket\n"
                "Transfer-Encoding: chunked\nContent-Length: 9\nTE: trailers, deflate\n"
                "X-Long: one\n two")
        << ":method: POST\n:scheme: https\n:authority: a\n:path: /p\nx-long: one two\n"_ba;
    QTest::newRow("an HTTP/1.1 head in proxy form, te: trailers kept")
        << Way::ToList << head("GET http://b:81?q HTTP/1.1\nHost: c\nTE: trailers")
        << ":method: GET\n:scheme: http\n:authority: b:81\n:path: /?q\nte: trailers\n"_ba;
    QTest::newRow("te: trailers in any case kept")
        << Way::ToHead << ":method: GET\n:authority: a\n:path: /\nte: Trailers"_ba
        << head("GET / HTTP/1.1\nHost: a\nTe: trailers");
}

void TestH2::mapping() {
    QFETCH(Way, way);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, expected);
    const auto form = way == Way::ToProxyHead ? RequestForm::Proxy : RequestForm::Origin;
    QCOMPARE(way == Way::ToList
                 ? text(listFromRequestHead(from))
                 : requestHeadFromList(fields(from), form, way == Way::ToHeadWithBody).value_or(""),
             expected);
}

void TestH2::rules_data() {
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QByteArray>("from");  // the browser's request or the origin's answer
    QTest::addColumn<QByteArray>("heard"); // what the session on the far side hears

    const QByteArray request = ":method: GET\n:scheme: https\n:authority: a\n:path: /favicon.ico\n"
                               "referer: https://a/\nuser-agent: UA/1\ncookie: a=1\ncookie: b=2\n"
                               "accept: */*"_ba;
    QTest::newRow("a request, nothing stored: referer, user-agent and cookie go")
        << QStringList{} << request
        << ":method: GET\n:scheme: https\n:authority: a\n:path: /favicon.ico\naccept: */*\n"_ba;
    QTest::newRow("a request: referer and user-agent faked, crumbs passed as one cookie")
        << QStringList{u"Referer=△"_s, u"Referer偽装=https://f/"_s, u"UserAgent=△"_s,
                       u"UserAgent偽装=Fake/2"_s, u"Cookie=○"_s}
        << request
        << ":method: GET\n:scheme: https\n:authority: a\n:path: /favicon.ico\n"
           "referer: https://f/\nuser-agent: Fake/2\ncookie: a=1; b=2\naccept: */*\n"_ba;
    const QByteArray hinted = ":method: GET\n:scheme: https\n:authority: a\n:path: /a.ico\n"
                              "user-agent: UA/1\nsec-ch-ua: \"B\";v=\"1\"\nsec-ch-ua-mobile: ?0\n"
                              "user-agent: UA/2\nsec-ch-ua-platform: \"Linux\"\norigin: https://a\n"
                              "sec-fetch-site: same-origin\nsec-ch-prefers-color-scheme: dark"_ba;
    QTest::newRow("two user-agent fields faked as one, the hints gone, the rest kept")
        << QStringList{u"UserAgent=△"_s, u"UserAgent偽装=Fake/2"_s} << hinted
        << ":method: GET\n:scheme: https\n:authority: a\n:path: /a.ico\nuser-agent: Fake/2\n"
           "origin: https://a\nsec-fetch-site: same-origin\nsec-ch-prefers-color-scheme: dark\n"_ba;
    QTest::newRow("user-agent passed: the hints pass")
        << QStringList{u"UserAgent=○"_s} << hinted
        << ":method: GET\n:scheme: https\n:authority: a\n:path: /a.ico\nuser-agent: UA/1\n"
           "sec-ch-ua: \"B\";v=\"1\"\nsec-ch-ua-mobile: ?0\nuser-agent: UA/2\n"
           "sec-ch-ua-platform: \"Linux\"\norigin: https://a\nsec-fetch-site: same-origin\n"
           "sec-ch-prefers-color-scheme: dark\n"_ba;
    QTest::newRow("an HTML answer: Set-Cookie neutralised, still a valid field")
        << QStringList{} << ":status: 200\ncontent-type: text/html\nset-cookie: id=42; Path=/"_ba
        << ":status: 200\ncontent-type: text/html\nxxxxxxxxxx: YYYYYYYYYYYYY\n" + Policy;
    QTest::newRow("a picture: Set-Cookie passes, each its own field")
        << QStringList{}
        << ":status: 404\ncontent-type: image/png\nset-cookie: a=b\nset-cookie: c=d\n"
           "connection: close"_ba
        << ":status: 404\ncontent-type: image/png\nset-cookie: a=b\nset-cookie: c=d\n"_ba;
}

// The rules read each list as an HTTP/1.1 head; what they leave goes on through a session.
void TestH2::rules() {
    QFETCH(QStringList, settings);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, heard);
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(u"t.ini"_s));
    QVERIFY(saved(store, settings));
    Pair p;
    if (from.startsWith(":status")) {
        const qint32 s = p.request("GET");
        p.pump();
        const QByteArray head = answerHeadFromList(fields(from), true).value_or(QByteArray());
        StreamAnswer answer;
        QVERIFY(p.server.answer(s, answer.head(head, store, true).value_or(HeaderList{}), true));
        p.pump();
        QCOMPARE(p.browserSide.streams[s].fields, heard);
        return;
    }
    const QByteArray head = requestHeadFromList(fields(from), RequestForm::Origin, false).value();
    // The blocking rules read the request line as they read a browser's.
    QVERIFY(readRequestLine(head).icon);
    const QByteArray rewritten = rewriteRequestHeaders(
        head, store, [] { return QTime(12, 0); }, ConnectionLines::KeepAlive);
    const qint32 s = p.client.request(listFromRequestHead(rewritten).value_or(HeaderList{}), true);
    p.pump();
    QCOMPARE(p.proxySide.streams[s].fields, heard);
}

void TestH2::answers_data() {
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QByteArray>("head");     // the origin's, as HTTP/1.1 writes it
    QTest::addColumn<QByteArray>("body");     // its body, unframed
    QTest::addColumn<QByteArray>("fields");   // the browser's stream gets these
    QTest::addColumn<QByteArray>("expected"); // and this body; "corrupt" when it ends short

    const QByteArray page = "<p>a</p><script>alert(1)</script><p>b</p>"_ba;
    const QByteArray blanked = "<p>a</p><ZZZZZZ>        </ZZZZZZ><p>b</p>"_ba;
    QTest::newRow("chunked HTML: framing fields go, the length stays unknown, scripts blanked")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nTransfer-Encoding: chunked\n"
                "Connection: keep-alive\nSet-Cookie: id=1")
        << page << ":status: 200\ncontent-type: text/html\nxxxxxxxxxx: YYYY\n" + Policy << blanked;
    QTest::newRow("HTML with a length: kept, as filtering keeps it")
        << QStringList{} << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Length: 41")
        << page << ":status: 200\ncontent-type: text/html\ncontent-length: 41\n" + Policy << blanked;
    QTest::newRow("gzip, br: decoded, coding and length gone")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Encoding: gzip, br\n"
                "Content-Length: 99")
        << Encoders::encoded("gzip, br", page) << ":status: 200\ncontent-type: text/html\n" + Policy
        << blanked;
    QTest::newRow("gzip on two lines over a page gzipped twice: both undone")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Encoding: gzip\n"
                "Content-Encoding: gzip")
        << Encoders::encoded("gzip", Encoders::encoded("gzip", page))
        << ":status: 200\ncontent-type: text/html\n" + Policy << blanked;
    QTest::newRow("a coding it cannot undo: refused")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Encoding: x-unknown, gzip")
        << Encoders::encoded("gzip", page) << ""_ba << ""_ba;
    QTest::newRow("identity: filtered as it is")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html; charset=utf-8\nContent-Encoding: identity")
        << page << ":status: 200\ncontent-type: text/html; charset=utf-8\n" + Policy << blanked;
    QTest::newRow("html named in another field only: passed")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nX-Original-Content-Type: text/html\nContent-Type: image/png")
        << page << ":status: 200\nx-original-content-type: text/html\ncontent-type: image/png\n"_ba
        << page;
    QTest::newRow("a second type names html: filtered")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nContent-Type: image/png\nContent-Type: TEXT/HTML")
        << page << ":status: 200\ncontent-type: image/png\ncontent-type: TEXT/HTML\n" + Policy
        << blanked;
    QTest::newRow("a decoy type before the real one: filtered")
        << QStringList{}
        << head("HTTP/1.1 200 OK\nX-Original-Content-Type: image/png\nContent-Type: text/html")
        << page
        << ":status: 200\nx-original-content-type: image/png\ncontent-type: text/html\n" + Policy
        << blanked;
    QTest::newRow("empty, without a type: passed")
        << QStringList{} << head("HTTP/1.1 201 Created\nContent-Length: 0") << ""_ba
        << ":status: 201\ncontent-length: 0\n"_ba << ""_ba;
    QTest::newRow("xhtml: filtered")
        << QStringList{} << head("HTTP/1.1 200 OK\nContent-Type: application/xhtml+xml")
        << page << ":status: 200\ncontent-type: application/xhtml+xml\n" + Policy << blanked;
    QTest::newRow("User-Agent hidden: no hints asked for")
        << QStringList{u"Script=○"_s, u"UserAgent=△"_s}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nAccept-CH: Sec-CH-UA-Full-Version-List\n"
                "Critical-CH: Sec-CH-UA-Model\nDelegate-CH: sec-ch-ua https://x\nVary: Accept")
        << page << ":status: 200\ncontent-type: text/html\nvary: Accept\n"_ba << page;
    QTest::newRow("User-Agent passed: the hints asked for pass")
        << QStringList{u"Script=○"_s, u"UserAgent=○"_s}
        << head("HTTP/1.1 200 OK\nContent-Type: image/png\nAccept-CH: Sec-CH-UA-Model")
        << page << ":status: 200\ncontent-type: image/png\naccept-ch: Sec-CH-UA-Model\n"_ba << page;
    QTest::newRow("gzip while the Script rule is off: passed encoded")
        << QStringList{u"Script=○"_s}
        << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Encoding: gzip")
        << Encoders::encoded("gzip", page)
        << ":status: 200\ncontent-type: text/html\ncontent-encoding: gzip\n"_ba
        << Encoders::encoded("gzip", page);
    QTest::newRow("corrupt br: ends short")
        << QStringList{} << head("HTTP/1.1 200 OK\nContent-Type: text/html\nContent-Encoding: br")
        << "not brotli at all"_ba
        << ":status: 200\ncontent-type: text/html\n" + Policy
        << "corrupt"_ba;
    QTest::newRow("no content type on a 200: refused")
        << QStringList{} << head("HTTP/1.1 200 OK\nContent-Length: 2") << "ok"_ba
        << ""_ba
        << ""_ba;
}

// A stream's answer on its way to the browser: the head as a header list, the body fed in
// pieces of three bytes, as DATA frames cut it.
void TestH2::answers() {
    QFETCH(QStringList, settings);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, fields);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(u"t.ini"_s));
    QVERIFY(saved(store, settings));
    StreamAnswer answer;
    QCOMPARE(text(answer.head(head, store, false)), fields);
    if (fields.isEmpty())
        return;
    QByteArray got, out;
    StreamAnswer::Status status = StreamAnswer::Status::Ok;
    for (qsizetype at = 0; at < body.size() && status == StreamAnswer::Status::Ok; at += 3) {
        status = answer.body(
            QByteArrayView(body).sliced(at, std::min<qsizetype>(3, body.size() - at)), out);
        got += out;
    }
    if (status == StreamAnswer::Status::Ok)
        status = answer.finish(out);
    got += out;
    QCOMPARE(status == StreamAnswer::Status::Ok ? got : "corrupt"_ba, expected);
}

// An HTTP/1.1 relay and an HTTP/2 origin with the bridge between them, in memory.
struct Bridged final : H2Bridge::Link {
    Recorder originSide{&origin};
    H2Session origin{H2Session::Side::Server, originSide};
    QByteArray toOriginBytes, relay;
    QByteArray ending = "open";
    H2Bridge bridge{*this}; // says its preface at once
    void toOrigin(QByteArray bytes) override { toOriginBytes += bytes; }
    void toRelay(QByteArrayView bytes) override { relay += bytes; }
    void broken() override { ending = "broken"; }
    void finished() override { ending = "finished"; }
    void pump() {
        for (int round = 0; round < 1000; ++round) {
            const QByteArray up = std::exchange(toOriginBytes, {}), down = origin.takeOutput();
            if (up.isEmpty() && down.isEmpty())
                return;
            origin.feed(up);
            bridge.arrived(down);
        }
    }
};

void TestH2::bridge_data() {
    QTest::addColumn<QByteArray>("request"); // as the relay writes it
    QTest::addColumn<QByteArray>("answer");  // the origin's fields
    QTest::addColumn<QByteArray>("body");    // and body
    QTest::addColumn<bool>("reset");         // the origin resets the stream after its head
    QTest::addColumn<QByteArray>("heard");   // what the origin hears: fields, "|", body
    QTest::addColumn<QByteArray>("relayed"); // what the relay reads back
    QTest::addColumn<QByteArray>("ending");

    const QByteArray get = "GET /a HTTP/1.1\r\nHost: o\r\nConnection: keep-alive\r\n\r\n"_ba;
    QTest::newRow("a GET, an answer with its length: kept for the next")
        << get << ":status: 200\ncontent-length: 2"_ba
        << "ok"_ba << false << ":method: GET\n:scheme: https\n:authority: o\n:path: /a\n|"_ba
        << "HTTP/1.1 200 \r\nContent-Length: 2\r\n\r\nok"_ba
        << "open"_ba;
    QTest::newRow("a chunked POST; an answer without a length comes in chunks")
        << "POST /p HTTP/1.1\r\nHost: o\r\nTransfer-Encoding: chunked\r\n\r\n"
           "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"_ba
        << ":status: 201"_ba
        << "made"_ba << false
        << ":method: POST\n:scheme: https\n:authority: o\n:path: /p\n|abcde"_ba
        << "HTTP/1.1 201 \r\nTransfer-Encoding: chunked\r\n\r\n4\r\nmade\r\n0\r\n\r\n"_ba
        << "open"_ba;
    QTest::newRow("a redirect that ends with its head: its length said, kept")
        << get << ":status: 302\nlocation: /b"_ba << ""_ba << false
        << ":method: GET\n:scheme: https\n:authority: o\n:path: /a\n|"_ba
        << "HTTP/1.1 302 \r\nLocation: /b\r\nContent-Length: 0\r\n\r\n"_ba << "open"_ba;
    QTest::newRow("a request asking for the close: closed after its answer")
        << "GET / HTTP/1.1\r\nHost: o\r\nConnection: close\r\n\r\n"_ba
        << ":status: 204"_ba
        << ""_ba << false << ":method: GET\n:scheme: https\n:authority: o\n:path: /\n|"_ba
        << "HTTP/1.1 204 \r\n\r\n"_ba
        << "finished"_ba;
    QTest::newRow("a stream reset mid-answer breaks the connection, as a cut one does")
        << get << ":status: 200\ncontent-length: 9"_ba
        << "par"_ba << true << ":method: GET\n:scheme: https\n:authority: o\n:path: /a\n|"_ba
        << "HTTP/1.1 200 \r\nContent-Length: 9\r\n\r\npar"_ba
        << "broken"_ba;
}

void TestH2::bridge() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, body);
    QFETCH(bool, reset);
    QFETCH(QByteArray, heard);
    QFETCH(QByteArray, relayed);
    QFETCH(QByteArray, ending);
    Bridged b;
    // The relay writes the request in two pieces, cut inside its head.
    b.bridge.send(QByteArrayView(request).first(10));
    b.bridge.send(QByteArrayView(request).sliced(10));
    b.pump();
    QCOMPARE(b.originSide.streams.size(), size_t(1));
    const auto& [stream, seen] = *b.originSide.streams.begin();
    QCOMPARE(seen.fields + "|" + seen.body, heard);
    QVERIFY(b.origin.answer(stream, fields(answer), body.isEmpty() && !reset));
    if (!body.isEmpty())
        QVERIFY(b.origin.sendData(stream, body) && (reset || b.origin.endData(stream)));
    b.pump();
    if (reset) {
        QVERIFY(b.origin.reset(stream, H2Session::InternalError));
        b.pump();
    }
    QCOMPARE(b.relay, relayed);
    QCOMPARE(b.ending, ending);
}

void TestH2::exchanges_data() {
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("resetFirst"); // the browser resets the first stream mid-answer
    QTest::newRow("a request whose body outgrows a window, and its answer") << 1 << 200000 << false;
    QTest::newRow("forty parallel streams") << 40 << 3000 << false;
    QTest::newRow("a stream reset mid-answer, its neighbours served") << 3 << 3000 << true;
}

// Bodies both ways; the answer's in two pieces, the second after the first has gone.
void TestH2::exchanges() {
    QFETCH(int, streams);
    QFETCH(int, size);
    QFETCH(bool, resetFirst);
    Pair p;
    std::vector<qint32> ids;
    for (int i = 0; i < streams; ++i) {
        const qint32 s = p.request("POST", false);
        QVERIFY(p.client.sendData(s, bodyOf(s, size)) && p.client.endData(s));
        ids.push_back(s);
    }
    p.pump();
    for (const qint32 s : ids) {
        QCOMPARE(p.proxySide.streams[s].body, bodyOf(s, size));
        QVERIFY(p.proxySide.streams[s].ended);
        p.answer(s, bodyOf(s + 1, size).first(size / 2), false);
    }
    p.pump();
    const qint32 gone = resetFirst ? ids.front() : 0;
    QVERIFY(!gone || p.client.reset(gone));
    p.pump();
    for (const qint32 s : ids) {
        QCOMPARE(p.server.sendData(s, bodyOf(s + 1, size).sliced(size / 2)), s != gone);
        QCOMPARE(p.server.endData(s), s != gone);
    }
    p.pump();
    for (const qint32 s : ids) {
        const bool reset = s == gone;
        QCOMPARE(p.browserSide.streams[s].fields, ":status: 200\n"_ba);
        QCOMPARE(p.browserSide.streams[s].body, bodyOf(s + 1, reset ? size / 2 : size));
        QCOMPARE(p.proxySide.streams[s].closed, reset ? H2Session::Cancel : H2Session::NoError);
    }
}

void TestH2::flowControl_data() {
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("stalledAt"); // bytes the browser's side holds, none given back
    QTest::newRow("a stream stops at its window") << 1 << 300000 << H2Session::InitialStreamWindow;
    QTest::newRow("twenty streams stop at the connection's window")
        << 20 << 100000 << H2Session::ConnectionWindow;
}

void TestH2::flowControl() {
    QFETCH(int, streams);
    QFETCH(int, size);
    QFETCH(int, stalledAt);
    Pair p;
    p.browserSide.consumes = false;
    std::map<qint32, qsizetype> given;
    for (int i = 0; i < streams; ++i)
        given[p.request("GET")] = 0;
    p.pump();
    for (const auto& [s, n] : given)
        p.answer(s, bodyOf(s, size));
    // Given back only as the other side takes it, the rest follows.
    for (int round = 0; round < 100; ++round) {
        p.pump();
        qsizetype held = 0;
        for (auto& [s, n] : given) {
            const qsizetype got = p.browserSide.streams[s].body.size();
            held += got - n;
            p.client.consumed(s, got - std::exchange(n, got));
        }
        if (round == 0)
            QCOMPARE(held, stalledAt);
    }
    for (const auto& [s, n] : given)
        QCOMPARE(p.browserSide.streams[s].body, bodyOf(s, size));
}

void TestH2::refusedUploads_data() {
    QTest::addColumn<int>("resetAfter"); // body bytes the proxy's side had when it reset
    QTest::newRow("reset at their head, the body come with it") << 0;
    QTest::newRow("reset mid-body, what it held not given back") << 20000;
}

// Uploads the proxy's side resets (a refused POST) give their window back whatever it
// took of them, so that the connection's later uploads still go.
void TestH2::refusedUploads() {
    QFETCH(int, resetAfter);
    Pair p;
    p.proxySide.resetAfter = resetAfter;
    const QByteArray body = bodyOf(1, 60000);
    for (int i = 0; i < 40; ++i) {
        const qint32 s = p.request("POST", false);
        QVERIFY(p.client.sendData(s, body) && p.client.endData(s));
        p.pump();
    }
    p.proxySide.resetAfter = -1;
    const qint32 s = p.request("POST", false);
    const QByteArray large = bodyOf(s, 3 * H2Session::ConnectionWindow);
    QVERIFY(p.client.sendData(s, large) && p.client.endData(s));
    p.pump();
    QCOMPARE(p.proxySide.streams[s].body.size(), large.size());
}

void TestH2::limits_data() {
    QTest::addColumn<int>("streams");       // opened and reset at once
    QTest::addColumn<bool>("frameByFrame"); // else in one read
    QTest::addColumn<bool>("cutOff");
    QTest::addColumn<int>("reportedAtMost");
    QTest::newRow("a flood in one read: cut off, none reported") << 5000 << false << true << 0;
    QTest::newRow("a flood a frame at a time: cut off after a few")
        << 5000 << true << true << H2Session::MaxResets + 1;
    QTest::newRow("fifty cancelled streams are a browser's") << 50 << true << false << 51;
    QTest::newRow("streams opened and reset in one read are never reported")
        << 50 << false << false << 1;
    QTest::newRow("a header list too large is reset unseen") << 0 << false << false << 1;
}

// A client writes frames of its own; the session's answer is read by a browser's session.
// The stream after the flood (or the large list) is a browser's and is served.
void TestH2::limits() {
    QFETCH(int, streams);
    QFETCH(bool, frameByFrame);
    QFETCH(bool, cutOff);
    QFETCH(int, reportedAtMost);
    // The flood comes within one moment however slowly the test runs.
    Recorder proxy, browser;
    H2Session session(H2Session::Side::Server, proxy,
                      [] { return std::chrono::steady_clock::time_point(std::chrono::hours(1)); });
    proxy.session = &session;
    QByteArrayList pieces{Preface};
    qint32 s = 1;
    for (; s < 2 * streams; s += 2)
        pieces << get(s) << frame(3, 0, s, "\0\0\0\x08"_ba);
    if (streams == 0) {
        // Over 64 KiB of fields in a few bytes: "x-big: a…" kept in the table, then
        // named by its index 600 times.
        const QByteArray big = "\x40\x05x-big\x64"_ba + QByteArray(100, 'a');
        pieces << frame(1, 0x5, s, get(s).sliced(9) + big + QByteArray(600, '\xbe'));
        s += 2;
    }
    pieces << get(s);
    if (!frameByFrame)
        pieces = {pieces.join()};
    bool goesOn = true;
    for (qsizetype i = 0; i < pieces.size() && goesOn; ++i)
        goesOn = session.feed(pieces[i]);
    QCOMPARE(!goesOn, cutOff);
    QCOMPARE(session.abusive(), cutOff);
    QVERIFY(proxy.streams.size() <= size_t(reportedAtMost));
    QCOMPARE(proxy.streams.count(s), size_t(!cutOff));
    H2Session client(H2Session::Side::Client, browser);
    client.feed(session.takeOutput());
    QCOMPARE(browser.gone,
             cutOff ? std::optional(quint32(H2Session::EnhanceYourCalm)) : std::nullopt);
}

QTEST_GUILESS_MAIN(TestH2)
#include "tst_h2.moc"
