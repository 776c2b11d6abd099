#include "proxy/answerhead.h"
#include "proxy/h2headers.h"
#include "proxy/h2session.h"
#include "proxy/headerrewrite.h"
#include "proxy/requestrules.h"
#include "proxy/responsefilters.h"
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

QByteArray head(QByteArrayView lines) {
    return lines.toByteArray().replace('\n', "\r\n") + "\r\n\r\n";
}

// One side's view of its streams, as an owner would keep it.
struct Recorder final : H2Session::Events {
    struct Stream {
        QByteArray fields;
        QByteArray body;
        bool ended = false;
        std::optional<quint32> closed;
    };
    std::map<qint32, Stream> streams;
    H2Session* session = nullptr;
    bool consumes = true; // gives DATA back as it comes
    int heads = 0;

    void headers(qint32 s, HeaderList list, bool ended) override {
        ++heads;
        streams[s].fields += text(list);
        streams[s].ended = ended;
    }
    void data(qint32 s, QByteArrayView bytes) override {
        streams[s].body += bytes;
        if (consumes)
            session->consumed(s, bytes.size());
    }
    void dataEnded(qint32 s) override { streams[s].ended = true; }
    void closed(qint32 s, quint32 error) override { streams[s].closed = error; }
};

// A browser's session and the proxy's, fed each other's output in memory.
struct Pair {
    Recorder browserSide, proxySide;
    H2Session client{H2Session::Side::Client, browserSide};
    H2Session server{H2Session::Side::Server, proxySide};
    Pair() {
        browserSide.session = &client;
        proxySide.session = &server;
    }
    void pump() {
        for (int round = 0; round < 10000; ++round) {
            const QByteArray up = client.takeOutput();
            const QByteArray down = server.takeOutput();
            if (up.isEmpty() && down.isEmpty())
                return;
            server.feed(up);
            client.feed(down);
        }
        QFAIL("the sessions never fell quiet");
    }
    qint32 get(QByteArrayView path) {
        return client.request(fields(":method: GET\n:scheme: https\n:authority: a.test\n:path: " +
                                     path.toByteArray()),
                              true);
    }
};

QByteArray bodyOf(qint32 stream, qsizetype size) {
    QByteArray body = QByteArray::number(stream).repeated(size);
    body.truncate(size);
    return body;
}

// One HTTP/2 frame as a client would write it.
QByteArray frame(quint8 type, quint8 flags, qint32 stream, QByteArrayView payload) {
    QByteArray f(9, '\0');
    f[0] = char(payload.size() >> 16), f[1] = char(payload.size() >> 8),
    f[2] = char(payload.size());
    f[3] = char(type), f[4] = char(flags);
    for (int i = 0; i < 4; ++i)
        f[5 + i] = char(stream >> (24 - 8 * i));
    return f.append(payload);
}

// A client's first bytes: the preface and empty SETTINGS.
QByteArray preface() {
    return "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"_ba + frame(4, 0, 0, {});
}

// A header field in HPACK, written literally with its name.
QByteArray literal(QByteArrayView name, QByteArrayView value) {
    const auto length = [](qsizetype n) {
        if (n < 127)
            return QByteArray(1, char(n));
        QByteArray out(1, '\x7f');
        for (n -= 127; n >= 128; n >>= 7)
            out += char((n & 0x7f) | 0x80);
        return out + char(n);
    };
    return '\0' + length(name.size()) + name.toByteArray() + length(value.size()) +
           value.toByteArray();
}

// GET https://a.test/ with nothing after it: HEADERS with END_STREAM and END_HEADERS.
QByteArray get(qint32 stream) {
    return frame(1, 0x5, stream, "\x82\x87\x84"_ba + literal(":authority", "a.test"));
}

struct Frame {
    quint8 type;
    qint32 stream;
    QByteArray payload;
};

std::vector<Frame> framesOf(QByteArrayView out) {
    std::vector<Frame> frames;
    for (qsizetype at = 0; at + 9 <= out.size();) {
        const auto byte = [&](qsizetype i) { return quint8(out[at + i]); };
        const qsizetype length = (byte(0) << 16) | (byte(1) << 8) | byte(2);
        const qint32 stream = qint32(qFromBigEndian<quint32>(out.data() + at + 5) & 0x7fffffff);
        frames.push_back({byte(3), stream, out.sliced(at + 9, length).toByteArray()});
        at += 9 + length;
    }
    return frames;
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QByteArray>)

class TestH2 : public QObject {
    Q_OBJECT

private slots:
    void requestHeads_data();
    void requestHeads();
    void requestLists_data();
    void requestLists();
    void rulesOnStreams_data();
    void rulesOnStreams();
    void answers_data();
    void answers();
    void exchanges_data();
    void exchanges();
    void resetMidAnswer();
    void flowControl_data();
    void flowControl();
    void oversizedHeaderList();
    void rapidReset_data();
    void rapidReset();
};

void TestH2::requestHeads_data() {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<bool>("proxyForm");
    QTest::addColumn<bool>("body");
    QTest::addColumn<QByteArray>("expected"); // empty: refused

    QTest::newRow("crumbs joined where the first was, host from :authority")
        << ":method: GET\n:scheme: https\n:authority: a.test\n:path: /x?y\ncookie: a=1\n"
           "user-agent: UA\ncookie: b=2\nhost: other.test"_ba
        << false << false
        << head("GET /x?y HTTP/1.1\nHost: a.test\nCookie: a=1; b=2\nUser-Agent: UA");
    QTest::newRow("proxy form; a body without length comes in chunks")
        << ":method: POST\n:scheme: https\n:authority: a.test:8443\n:path: /f\nte: trailers"_ba
        << true << true
        << head("POST https://a.test:8443/f HTTP/1.1\nHost: a.test:8443\nTe: trailers\n"
                "Transfer-Encoding: chunked");
    QTest::newRow("connection-specific fields and those Connection names dropped")
        << ":method: POST\n:authority: a.test\n:path: /\nconnection: x-hop\nx-hop: 1\n"
           "keep-alive: 5\nproxy-connection: close\nupgrade: h2c\nte: gzip\n"
           "transfer-encoding: chunked\ncontent-length: 3"_ba
        << false << true << head("POST / HTTP/1.1\nHost: a.test\nTransfer-Encoding: chunked");
    QTest::newRow("a length kept")
        << ":method: PUT\n:authority: a\n:path: /\ncontent-length: 3"_ba << false << true
        << head("PUT / HTTP/1.1\nHost: a\nContent-Length: 3");
    QTest::newRow("a carriage return in a value") << ":method: GET\n:authority: a\n:path: /\n"
                                                     "x: 1\rhost: evil"_ba
                                                  << false << false << QByteArray();
    QTest::newRow("an upper-case name")
        << ":method: GET\n:authority: a\n:path: /\nX-A: 1"_ba << false << false << QByteArray();
    QTest::newRow("CONNECT") << ":method: CONNECT\n:authority: a:443"_ba << false << false
                             << QByteArray();
    QTest::newRow("no authority") << ":method: GET\n:path: /"_ba << false << false << QByteArray();
    QTest::newRow("unknown pseudo-header")
        << ":method: GET\n:authority: a\n:path: /\n:protocol: websocket"_ba << false << false
        << QByteArray();
}

void TestH2::requestHeads() {
    QFETCH(QByteArray, list);
    QFETCH(bool, proxyForm);
    QFETCH(bool, body);
    QFETCH(QByteArray, expected);
    const auto result = requestHeadFromList(
        fields(list), proxyForm ? RequestForm::Proxy : RequestForm::Origin, body);
    QCOMPARE(result.value_or(QByteArray()), expected);
}

void TestH2::requestLists_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("expected"); // empty: refused

    QTest::newRow("Host becomes :authority, names lower case, connection fields dropped")
        << head("POST /p HTTP/1.1\nHost: a.test\nConnection: keep-alive, X-Hop\nX-Hop: 1\n"
                "Proxy-Connection: keep-alive\nKeep-Alive: 5\nUpgrade: websocket\n"
                "Transfer-Encoding: chunked\nContent-Length: 9\nTE: trailers, deflate\n"
                "Cookie: a=1; b=2")
        << ":method: POST\n:scheme: https\n:authority: a.test\n:path: /p\n"
           "cookie: a=1; b=2\n"_ba;
    QTest::newRow("proxy form: the line's scheme and host, a query alone")
        << head("GET http://b.test:81?q HTTP/1.1\nHost: c.test\nTE: trailers")
        << ":method: GET\n:scheme: http\n:authority: b.test:81\n:path: /?q\nte: trailers\n"_ba;
    QTest::newRow("a folded line continues its value")
        << head("GET / HTTP/1.1\nHost: a\nX-Long: one\n two")
        << ":method: GET\n:scheme: https\n:authority: a\n:path: /\nx-long: one two\n"_ba;
    QTest::newRow("a blank in a name")
        << head("GET / HTTP/1.1\nHost: a\nBad Name: 1") << QByteArray();
    QTest::newRow("CONNECT") << head("CONNECT a:443 HTTP/1.1\nHost: a:443") << QByteArray();
}

void TestH2::requestLists() {
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, expected);
    QCOMPARE(text(listFromRequestHead(head)), expected);
}

void TestH2::rulesOnStreams_data() {
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("icon");

    QTest::newRow("nothing stored: referer, user-agent and cookie go")
        << QStringList{} << "/"_ba
        << ":method: GET\n:scheme: https\n:authority: a.test\n"
           ":path: /\naccept: */*\n"_ba
        << false;
    QTest::newRow("faked referer and user-agent, crumbs passed as one cookie")
        << QStringList{u"Referer=△"_s, u"Referer偽装=https://f.test/"_s, u"UserAgent=△"_s,
                       u"UserAgent偽装=Fake/2"_s, u"Cookie=○"_s}
        << "/favicon.ico"_ba
        << ":method: GET\n:scheme: https\n:authority: a.test\n:path: /favicon.ico\n"
           "referer: https://f.test/\nuser-agent: Fake/2\ncookie: a=1; b=2\naccept: */*\n"_ba
        << true;
}

void TestH2::rulesOnStreams() {
    QFETCH(QStringList, settings);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, sent);
    QFETCH(bool, icon);
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(u"t.ini"_s));
    for (const QString& entry : std::as_const(settings))
        QVERIFY(store.saveByName(entry.section(u'=', 0, 0), entry.section(u'=', 1)));
    const HeaderList list =
        fields(":method: GET\n:scheme: https\n:authority: a.test\n:path: " + path +
               "\nreferer: https://a.test/\nuser-agent: UA/1\ncookie: a=1\ncookie: b=2\n"
               "accept: */*");
    const std::optional<QByteArray> asHead = requestHeadFromList(list, RequestForm::Origin, false);
    QVERIFY(asHead);
    QCOMPARE(readRequestLine(*asHead).icon, icon);
    const QByteArray rewritten = rewriteRequestHeaders(
        *asHead, store, [] { return QTime(12, 0); }, ConnectionLines::KeepAlive);
    QCOMPARE(text(listFromRequestHead(rewritten)), sent);
}

void TestH2::answers_data() {
    QTest::addColumn<QByteArray>("origin");  // the origin's list
    QTest::addColumn<QByteArray>("head");    // what the rules read; empty: refused
    QTest::addColumn<QByteArray>("browser"); // what the browser's session hears

    QTest::newRow("HTML: Set-Cookie neutralised, still a field both sessions pass")
        << ":status: 200\ncontent-type: text/html\nset-cookie: id=42; Path=/\nconnection: close"_ba
        << head("HTTP/1.1 200 \nContent-Type: text/html\nSet-Cookie: id=42; Path=/\n"
                "Transfer-Encoding: chunked")
        << ":status: 200\ncontent-type: text/html\nxxxxxxxxxx: YYYYYYYYYYYYY\n"_ba;
    QTest::newRow("not HTML: Set-Cookie passes, each its own field")
        << ":status: 404\ncontent-type: image/png\nset-cookie: a=b\nset-cookie: c=d\n"
           "keep-alive: 5\nvary: cookie"_ba
        << head("HTTP/1.1 404 \nContent-Type: image/png\nSet-Cookie: a=b\nSet-Cookie: c=d\n"
                "Vary: cookie\nTransfer-Encoding: chunked")
        << ":status: 404\ncontent-type: image/png\nset-cookie: a=b\nset-cookie: c=d\n"
           "vary: cookie\n"_ba;
    QTest::newRow("a status that is none")
        << ":status: 20\ncontent-type: text/html"_ba << QByteArray() << QByteArray();
}

void TestH2::answers() {
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, browser);
    const std::optional<QByteArray> asHead = answerHeadFromList(fields(origin), true);
    QCOMPARE(asHead.value_or(QByteArray()), head);
    if (!asHead)
        return;
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(u"t.ini"_s));
    QByteArray filtered = *asHead;
    applySetCookieRule(filtered, readAnswerHead(filtered).contentTypeText, store);
    const std::optional<HeaderList> list = listFromAnswerHead(filtered);
    QVERIFY(list);
    Pair p;
    const qint32 stream = p.get("/");
    p.pump();
    QVERIFY(p.server.answer(stream, *list, true));
    p.pump();
    QCOMPARE(p.browserSide.streams[stream].fields, browser);
    QCOMPARE(p.browserSide.streams[stream].closed, H2Session::NoError);
}

void TestH2::exchanges_data() {
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("size");
    QTest::newRow("a request whose body outgrows a window, and its answer") << 1 << 200000;
    QTest::newRow("forty parallel streams") << 40 << 3000;
}

void TestH2::exchanges() {
    QFETCH(int, streams);
    QFETCH(int, size);
    Pair p;
    std::vector<qint32> ids;
    for (int i = 0; i < streams; ++i) {
        const qint32 s = p.client.request(
            fields(":method: POST\n:scheme: https\n:authority: a.test\n:path: /up"), false);
        QVERIFY(s > 0);
        // The body comes in two pieces, the second after the first has gone.
        QVERIFY(p.client.sendData(s, bodyOf(s, size / 2)));
        p.pump();
        QVERIFY(p.client.sendData(s, bodyOf(s, size).sliced(size / 2)));
        QVERIFY(p.client.endData(s));
        ids.push_back(s);
    }
    p.pump();
    for (const qint32 s : ids) {
        QCOMPARE(p.proxySide.streams[s].body, bodyOf(s, size));
        QVERIFY(p.proxySide.streams[s].ended);
        QVERIFY(p.server.answer(s, fields(":status: 200"), false));
        QVERIFY(p.server.sendData(s, bodyOf(s + 1, size)));
        QVERIFY(p.server.endData(s));
    }
    p.pump();
    for (const qint32 s : ids) {
        const Recorder::Stream& got = p.browserSide.streams[s];
        QCOMPARE(got.fields, ":status: 200\n"_ba);
        QCOMPARE(got.body, bodyOf(s + 1, size));
        QCOMPARE(got.closed, H2Session::NoError);
        QCOMPARE(p.proxySide.streams[s].closed, H2Session::NoError);
    }
}

void TestH2::resetMidAnswer() {
    Pair p;
    const qint32 a = p.get("/a");
    const qint32 b = p.get("/b");
    p.pump();
    for (const qint32 s : {a, b}) {
        QVERIFY(p.server.answer(s, fields(":status: 200"), false));
        QVERIFY(p.server.sendData(s, bodyOf(s, 10000)));
    }
    p.pump();
    QVERIFY(p.client.reset(a));
    p.pump();
    QCOMPARE(p.proxySide.streams[a].closed, H2Session::Cancel);
    QCOMPARE(p.browserSide.streams[a].closed, H2Session::Cancel);
    QVERIFY(!p.server.sendData(a, "late"));
    QCOMPARE(p.server.queued(a), 0);
    QVERIFY(p.server.sendData(b, bodyOf(b, 10000)));
    QVERIFY(p.server.endData(b));
    p.pump();
    QCOMPARE(p.browserSide.streams[b].body, bodyOf(b, 10000).repeated(2));
    QCOMPARE(p.browserSide.streams[b].closed, H2Session::NoError);
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
        given[p.get("/big")] = 0;
    p.pump();
    for (const auto& [s, n] : given) {
        QVERIFY(p.server.answer(s, fields(":status: 200"), false));
        QVERIFY(p.server.sendData(s, bodyOf(s, size)));
        QVERIFY(p.server.endData(s));
    }
    p.pump();
    qsizetype held = 0;
    for (const auto& [s, n] : given)
        held += p.browserSide.streams[s].body.size();
    QCOMPARE(held, stalledAt);
    // Given back as the other side takes it, the rest follows.
    for (int round = 0; round < 100 && held < qsizetype(streams) * size; ++round) {
        held = 0;
        for (auto& [s, n] : given) {
            const qsizetype got = p.browserSide.streams[s].body.size();
            p.client.consumed(s, got - n);
            n = got;
            held += got;
        }
        p.pump();
    }
    for (const auto& [s, n] : given) {
        QCOMPARE(p.browserSide.streams[s].body, bodyOf(s, size));
        QCOMPARE(p.browserSide.streams[s].closed, H2Session::NoError);
    }
}

void TestH2::oversizedHeaderList() {
    Recorder proxy;
    H2Session server(H2Session::Side::Server, proxy);
    proxy.session = &server;
    QByteArray block = "\x82\x87\x84"_ba + literal(":authority", "a.test");
    for (int i = 0; i < 4; ++i)
        block += literal("x-big", QByteArray(20000, 'a'));
    QByteArray bytes = preface();
    for (qsizetype at = 0; at < block.size(); at += 16384) {
        const bool last = at + 16384 >= block.size();
        bytes +=
            frame(at == 0 ? 1 : 9, (at == 0 ? 0x1 : 0) | (last ? 0x4 : 0), 1,
                  QByteArrayView(block).sliced(at, std::min<qsizetype>(16384, block.size() - at)));
    }
    QVERIFY(server.feed(bytes + get(3)));
    // The large list's stream is reset unseen; the next one is served.
    QCOMPARE(proxy.heads, 1);
    QVERIFY(proxy.streams.count(3));
    const std::vector<Frame> out = framesOf(server.takeOutput());
    QVERIFY(std::any_of(out.begin(), out.end(),
                        [](const Frame& f) { return f.type == 3 && f.stream == 1; }));
}

void TestH2::rapidReset_data() {
    QTest::addColumn<int>("streams");
    QTest::addColumn<bool>("frameByFrame");
    QTest::addColumn<bool>("cutOff");
    QTest::addColumn<int>("reportedAtMost");
    QTest::newRow("a flood in one read: cut off, none reported") << 5000 << false << true << 0;
    QTest::newRow("a flood a frame at a time: cut off after a few")
        << 5000 << true << true << H2Session::MaxResets + 1;
    QTest::newRow("fifty cancelled streams are a browser's") << 50 << true << false << 50;
    QTest::newRow("streams opened and reset in one read are never reported")
        << 50 << false << false << 0;
}

void TestH2::rapidReset() {
    QFETCH(int, streams);
    QFETCH(bool, frameByFrame);
    QFETCH(bool, cutOff);
    QFETCH(int, reportedAtMost);
    Recorder proxy;
    // The flood comes within one moment however slowly the test runs.
    H2Session server(H2Session::Side::Server, proxy,
                     [] { return std::chrono::steady_clock::time_point(std::chrono::hours(1)); });
    proxy.session = &server;
    QByteArrayList pieces{preface()};
    for (qint32 s = 1; s < 2 * streams; s += 2) {
        pieces += get(s);
        pieces += frame(3, 0, s, "\0\0\0\x08"_ba);
    }
    if (!frameByFrame)
        pieces = {pieces.join()};
    bool goesOn = true;
    for (const QByteArray& piece : std::as_const(pieces)) {
        if (!(goesOn = server.feed(piece)))
            break;
    }
    QCOMPARE(!goesOn, cutOff);
    QCOMPARE(server.abusive(), cutOff);
    QVERIFY2(proxy.heads <= reportedAtMost, QByteArray::number(proxy.heads).constData());
    const std::vector<Frame> out = framesOf(server.takeOutput());
    const bool calmDown = std::any_of(out.begin(), out.end(), [](const Frame& f) {
        return f.type == 7 &&
               qFromBigEndian<quint32>(f.payload.constData() + 4) == H2Session::EnhanceYourCalm;
    });
    QCOMPARE(calmDown, cutOff);
}

QTEST_GUILESS_MAIN(TestH2)
#include "tst_h2.moc"
