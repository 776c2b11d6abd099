// The exchanges as playbooks: each is fed the events of its connections and what it
// asks of its relay is written down, without sockets. The request reader on bytes alone.

#include "encoders.h"
#include "monitor/eventmonitor.h"
#include "platform/spillstore.h"
#include "proxy/contentdecoder.h"
#include "proxy/relaylog.h"
#include "proxy/requestreader.h"
#include "proxy/responsefilters.h"
#include "proxy/storedexchange.h"
#include "proxy/streamedexchange.h"
#include "proxy/tunnel.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <unistd.h>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {

// Writes down what an exchange asks for; bytes for the browser are kept apart.
class Playbook final : public ExchangeHost {
public:
    Playbook() : settings(dir.filePath(u"store.ini"_s)), monitor(settings), relayLog(monitor) {
        body.setFileName(dir.filePath(u"body"_s));
        answer.setFileName(dir.filePath(u"answer"_s));
    }

    RelayLog& log() override { return relayLog; }
    int index() const override { return 1; }
    SettingsStore& store() override { return settings; }
    bool send(Peer to, QByteArray bytes) override {
        (to == Peer::Browser ? toBrowser : toServer) += bytes;
        return true;
    }
    bool sendFile(Peer to, int fd, qint64 offset, qint64 length) override {
        QByteArray bytes(length, Qt::Uninitialized);
        const qint64 got = ::pread(fd, bytes.data(), size_t(length), offset);
        return send(to, bytes.left(got));
    }
    qint64 queued(Peer side) const override { return side == Peer::Browser ? browserQueued : 0; }
    bool isOpen(Peer) const override { return true; }
    void pause(Peer side, Connection::Hold) override { note(u"pause "_s + name(side)); }
    void resume(Peer side, Connection::Hold) override { note(u"resume "_s + name(side)); }
    void shutdownWrite(Peer to) override {
        note(u"end to "_s + name(to));
        (to == Peer::Browser ? browserShut : serverShut) = true;
    }
    bool readEnded(Peer side) const override { return ended.contains(side); }
    bool writeShutDown(Peer side) const override {
        return side == Peer::Browser ? browserShut : serverShut;
    }
    void reopenServer(bool shared) override { note(shared ? u"reopen shared"_s : u"reopen"_s); }
    void keepServer() override { note(u"keep server"_s); }
    void closeServer() override { note(u"close server"_s); }
    void arm(int ms) override { note(u"arm "_s + QString::number(ms)); }
    void disarm() override {}
    void done(Ending ending) override {
        static const char* names[] = {"Next",    "Answered", "Streamed",
                                      "Refused", "Tunnel",   "Closed"};
        note(u"done "_s + QLatin1StringView(names[int(ending)]));
    }

    // Plays `events` on `exchange`: "ready", "ready reused", "server BYTES", "server end",
    // "server failed", "browser sent", "body BYTES", "body end", "browser end",
    // "browser slow" (a mebibyte and more waits for the browser), "deadline".
    void play(Exchange& exchange, const QStringList& events) {
        for (const QString& event : events) {
            const QByteArray bytes = event.section(u' ', 1).toLatin1().replace("|", "\r\n");
            if (event == u"ready" || event == u"ready reused")
                exchange.serverReady(event.endsWith(u"reused"));
            else if (event == u"server end")
                ended.append(Peer::Server), exchange.ended(Peer::Server);
            else if (event == u"server failed")
                exchange.failed(Peer::Server, ECONNRESET);
            else if (event == u"browser end")
                ended.append(Peer::Browser), exchange.ended(Peer::Browser);
            else if (event == u"browser sent")
                browserQueued = 0, exchange.sent(Peer::Browser);
            else if (event == u"browser slow")
                browserQueued = Backlog + 1;
            else if (event == u"body end")
                exchange.browserBodyEnd();
            else if (event == u"deadline")
                exchange.deadline();
            else if (event.startsWith(u"server "))
                exchange.serverData(bytes);
            else if (event.startsWith(u"body "))
                exchange.browserBody(bytes);
        }
    }

    QTemporaryDir dir;
    SettingsStore settings;
    EventMonitor monitor;
    RelayLog relayLog;
    SpillStore body;
    SpillStore answer;
    QStringList asks;
    QByteArray toBrowser;
    QByteArray toServer;
    qint64 browserQueued = 0;
    QList<Peer> ended;
    bool browserShut = false;
    bool serverShut = false;

private:
    static QString name(Peer side) { return side == Peer::Browser ? u"browser"_s : u"server"_s; }
    void note(const QString& ask) { asks.append(ask); }
};

Request request(const QByteArray& line, bool keepBrowser = true, bool upgrade = false) {
    Request r;
    r.bytes = line + "\r\nHost: o\r\n\r\n";
    r.headRequest = line.startsWith("HEAD ");
    r.repeatable = mayRepeat(line);
    r.keepBrowser = keepBrowser;
    r.upgrade = upgrade;
    return r;
}

} // namespace

class TestExchanges : public QObject {
    Q_OBJECT
private slots:
    void streamed_data();
    void streamed();
    void decoded_data();
    void decoded();
    void stored_data();
    void stored();
    void tunnel_data();
    void tunnel();
    void requestReader_data();
    void requestReader();
};

void TestExchanges::streamed_data() {
    QTest::addColumn<QByteArray>("line");    // the request line
    QTest::addColumn<QStringList>("events"); // "|" in bytes stands for CR LF
    QTest::addColumn<QStringList>("asks");   // what it asks for, bytes left out

    const QString ok = u"server HTTP/1.1 200 OK|Content-Type: text/plain|Content-Length: 2||ok"_s;
    QTest::newRow("framed by its length: both connections go on")
        << "GET /a HTTP/1.1"_ba << QStringList{u"ready"_s, u"body end"_s, ok}
        << QStringList{u"keep server"_s, u"done Next"_s};
    QTest::newRow("Content-Length 0, the head alone: complete at once")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 204 No Content|Content-Length: 0||"_s}
        << QStringList{u"keep server"_s, u"done Next"_s};
    QTest::newRow("chunked and a length: the chunks frame it")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/plain|Content-Length: 99|"
                       "Transfer-Encoding: chunked||2|ok|0||"_s}
        << QStringList{u"keep server"_s, u"done Next"_s};
    QTest::newRow("Connection: close is not reused")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Connection: close|Content-Type: text/plain|"
                       "Content-Length: 2||ok"_s}
        << QStringList{u"close server"_s, u"done Next"_s};
    QTest::newRow("HTTP/1.0 without keep-alive is not reused")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.0 200 OK|Content-Type: text/plain|Content-Length: 2||ok"_s}
        << QStringList{u"close server"_s, u"done Next"_s};
    QTest::newRow("HTTP/1.0 with keep-alive is")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.0 200 OK|Connection: Keep-Alive|Content-Type: text/plain|"
                       "Content-Length: 2||ok"_s}
        << QStringList{u"keep server"_s, u"done Next"_s};
    QTest::newRow("chunks turned unframed: the browser is not kept")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/plain|"
                       "Transfer-Encoding: chunked||"_s,
                       u"server zz|ok"_s, u"server end"_s}
        << QStringList{u"close server"_s, u"done Streamed"_s};
    QTest::newRow("a chunk's data followed by a line other than its end: unframed")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/plain|"
                       "Transfer-Encoding: chunked||3|abcX\n0||"_s,
                       u"server end"_s}
        << QStringList{u"close server"_s, u"done Streamed"_s};
    // "identity" is decoded as any coding is, and its bytes stay readable here.
    QTest::newRow("a page decoded for an HTTP/1.0 browser ends with the close")
        << "GET /a HTTP/1.0"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/html|"
                       "Content-Encoding: identity|Content-Length: 2||ok"_s}
        << QStringList{u"keep server"_s, u"done Streamed"_s};
    QTest::newRow("answered before the body ended: the server is not kept")
        << "POST /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body GET /x HTTP/1.1|Ho"_s,
                       u"server HTTP/1.1 413 Too Large|Content-Type: text/plain|"
                       "Content-Length: 2||no"_s}
        << QStringList{u"close server"_s, u"done Next"_s};
    QTest::newRow("a kept connection found closed: a GET goes again")
        << "GET /a HTTP/1.1"_ba << QStringList{u"ready reused"_s, u"body end"_s, u"server end"_s}
        << QStringList{u"close server"_s, u"reopen"_s};
    QTest::newRow("a kept connection closed mid-answer: a GET is not sent again")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready reused"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/plain|Content-Length: 9||ab"_s,
                       u"server end"_s}
        << QStringList{u"close server"_s, u"done Streamed"_s};
    QTest::newRow("a kept connection found closed: a POST does not")
        << "POST /a HTTP/1.1"_ba
        << QStringList{u"ready reused"_s, u"body x"_s, u"body end"_s, u"server end"_s}
        << QStringList{u"close server"_s, u"done Refused"_s};
    QTest::newRow("a new connection closed without a word: refused")
        << "GET /a HTTP/1.1"_ba << QStringList{u"ready"_s, u"body end"_s, u"server end"_s}
        << QStringList{u"close server"_s, u"done Refused"_s};
    QTest::newRow("the browser behind: the server waits, and reads again")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s,
                       u"body end"_s,
                       u"browser slow"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: text/plain|Content-Length: 4||ok"_s,
                       u"browser sent"_s,
                       u"server ok"_s}
        << QStringList{u"pause server"_s, u"pause server"_s, u"resume server"_s, u"keep server"_s,
                       u"done Next"_s};
    QTest::newRow("a WebSocket's 101 makes it a tunnel")
        << "GET /ws HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 101 Switching Protocols|Upgrade: websocket||frame"_s}
        << QStringList{u"done Tunnel"_s};
}

void TestExchanges::streamed() {
    QFETCH(QByteArray, line);
    QFETCH(QStringList, events);
    QFETCH(QStringList, asks);
    Playbook host;
    StreamedExchange exchange(host, request(line, true, line.contains("/ws")), host.body);
    host.play(exchange, events);
    QCOMPARE(host.asks.join(u"; "), asks.join(u"; "));
    if (asks.contains(u"done Tunnel"))
        QCOMPARE(exchange.takeEarly(), "frame"_ba);
}

void TestExchanges::decoded_data() {
    QTest::addColumn<QByteArray>("type");     // the answer's Content-Type
    QTest::addColumn<QByteArray>("coding");   // its Content-Encoding
    QTest::addColumn<QByteArray>("framing");  // "length", "chunks", or "none" (a 304)
    QTest::addColumn<bool>("corrupt");        // a byte of the compressed data broken
    QTest::addColumn<QByteArray>("expected"); // the browser's body unchunked ("": as it came)
    QTest::addColumn<QString>("ending");
    const QByteArray page = "<p>a<script>x=1</script></p>";
    const QByteArray chunked = "<p>a<ZZZZZZ>   </ZZZZZZ></p>";
    QTest::newRow("gzip HTML by length: decoded, filtered, in chunks")
        << "text/html"_ba
        << "gzip"_ba
        << "length"_ba << false << chunked << u"done Next"_s;
    QTest::newRow("br and gzip stacked, in chunks")
        << "text/html"_ba
        << "gzip, br"_ba
        << "chunks"_ba << false << chunked << u"done Next"_s;
    QTest::newRow("corrupt data ends the answer short")
        << "text/html"_ba
        << "br"_ba
        << "length"_ba << true << QByteArray() << u"done Streamed"_s;
    QTest::newRow("not HTML: passed encoded")
        << "image/svg+xml"_ba
        << "gzip"_ba
        << "length"_ba << false << QByteArray() << u"done Next"_s;
    QTest::newRow("a coding it does not know: refused, nothing sent")
        << "text/html"_ba
        << "x-unknown, gzip"_ba
        << "length"_ba << false << "refused"_ba << u"done Refused"_s;
    QTest::newRow("TEXT/HTML read in any case")
        << "TEXT/HTML; charset=utf-8"_ba
        << "gzip"_ba
        << "length"_ba << false << chunked << u"done Next"_s;
    QTest::newRow("identity: nothing to undo, filtered")
        << "text/html"_ba
        << "identity"_ba
        << "length"_ba << false << chunked << u"done Next"_s;
    QTest::newRow("a coding on two lines, both undone")
        << "text/html"_ba
        << "gzip\r\nContent-Encoding: gzip"_ba
        << "chunks"_ba << false << chunked << u"done Next"_s;
    QTest::newRow("a 304 naming a coding: its head alone, as it came")
        << "text/html"_ba
        << "gzip"_ba
        << "none"_ba << false << QByteArray() << u"done Next"_s;
}

void TestExchanges::decoded() {
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, coding);
    QFETCH(QByteArray, framing);
    QFETCH(bool, corrupt);
    QFETCH(QByteArray, expected);
    QFETCH(QString, ending);
    const QByteArray page = "<p>a<script>x=1</script></p>";
    // Lines of a coding each applied in their order; one a test cannot make sent as text.
    QByteArray body = page;
    for (const QByteArray& line : coding.split('\n')) {
        const QByteArray named = line.mid(line.indexOf(':') + 1).trimmed();
        body = named.startsWith("x-") || named == "identity" ? body : Encoders::encoded(named, body);
    }
    if (corrupt)
        body[body.size() / 2] = char(body[body.size() / 2] ^ 0x55);
    const QByteArray wire = framing == "none"     ? QByteArray()
                            : framing == "chunks" ? chunkOf(body) + "0\r\n\r\n"
                                                  : body;
    const QByteArray head =
        (framing == "none" ? "HTTP/1.1 304 Not Modified"_ba : "HTTP/1.1 200 OK"_ba) +
        "\r\nContent-Type: " + type + "\r\nContent-Encoding: " + coding +
        (framing == "chunks" ? "\r\nTransfer-Encoding: chunked"_ba
                             : "\r\nContent-Length: " + QByteArray::number(body.size())) +
        "\r\n\r\n";
    Playbook host;
    StreamedExchange exchange(host, request("GET /p HTTP/1.1"), host.body);
    exchange.serverReady(false);
    exchange.browserBodyEnd();
    // In pieces of three bytes: tags, chunk lines and compressed blocks cut anywhere.
    const QByteArray answer = head + wire;
    for (qsizetype at = 0; at < answer.size(); at += 3)
        exchange.serverData(
            QByteArrayView(answer).sliced(at, std::min<qsizetype>(3, answer.size() - at)));
    QCOMPARE(host.asks.last(), ending);
    // Stored whole, the same page is decoded and filtered as one piece, or refused.
    Playbook whole;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(whole.dir.path());
    {
        StoredExchange exchange(whole, request("GET /p HTTP/1.1", false), whole.body, whole.answer);
        exchange.serverReady(false);
        exchange.browserBodyEnd();
        exchange.serverData(answer);
        exchange.ended(Peer::Server);
        exchange.deadline();
    }
    QDir::setCurrent(previous);
    const bool refused = corrupt || expected == "refused";
    QCOMPARE(whole.asks.last(), refused ? u"done Refused"_s : u"done Answered"_s);
    if (!expected.isEmpty() && !refused) {
        QVERIFY(coding == "identity" || !whole.toBrowser.contains("Content-Encoding"));
        QVERIFY(whole.toBrowser.contains(ScriptPolicyLine));
        QCOMPARE(whole.toBrowser.mid(whole.toBrowser.indexOf("\r\n\r\n") + 4), expected);
    }
    QVERIFY(!refused || whole.toBrowser.isEmpty());
    if (expected.isEmpty() && !corrupt) {
        // As it came, an HTML head with the script policy.
        QByteArray asItCame = answer;
        if (namesHtml(type))
            asItCame.insert(answer.indexOf("\r\n\r\n") + 2, ScriptPolicyLine);
        QCOMPARE(host.toBrowser, asItCame);
        QCOMPARE(whole.toBrowser, asItCame);
        return;
    }
    // Never a byte it could not read; the browser's answer ends without its last chunk.
    QVERIFY(!host.toBrowser.contains("<script"));
    if (expected == "refused") {
        QVERIFY(host.toBrowser.isEmpty());
        return;
    }
    QVERIFY(host.toBrowser.contains(ScriptPolicyLine));
    QVERIFY(!host.toBrowser.endsWith("0\r\n\r\n") || !corrupt);
    if (corrupt)
        return;
    // Decoded: no coding, no length, chunks that end where the page ended.
    QVERIFY(!host.toBrowser.contains("Content-Encoding") && !host.toBrowser.contains("Length"));
    QVERIFY(host.toBrowser.contains("\r\nTransfer-Encoding: chunked\r\n\r\n"));
    ChunkReader chunks;
    QByteArray data;
    chunks.read(host.toBrowser.mid(host.toBrowser.indexOf("\r\n\r\n") + 4), &data);
    QVERIFY(chunks.complete());
    QCOMPARE(data, expected);
}

void TestExchanges::stored_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("asks");
    const QString shortAnswer =
        u"server HTTP/1.1 200 OK|Content-Type: image/png|Content-Length: 9||ab"_s;
    QTest::newRow("whole: sent, then the close")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, u"body end"_s,
                       u"server HTTP/1.1 200 OK|Content-Type: image/png|Content-Length: 2||ab"_s,
                       u"server end"_s, u"deadline"_s}
        << QStringList{u"close server"_s, u"arm 100"_s, u"done Answered"_s};
    QTest::newRow("short, a GET: asked again on the same route")
        << "GET /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, shortAnswer, u"server end"_s, u"deadline"_s}
        << QStringList{u"close server"_s, u"arm 100"_s, u"reopen shared"_s};
    QTest::newRow("short, a POST: refused at once, never sent again")
        << "POST /a HTTP/1.1"_ba
        << QStringList{u"ready"_s, shortAnswer, u"server end"_s, u"deadline"_s}
        << QStringList{u"close server"_s, u"arm 100"_s, u"done Refused"_s};
}

void TestExchanges::stored() {
    QFETCH(QByteArray, line);
    QFETCH(QStringList, events);
    QFETCH(QStringList, asks);
    Playbook host;
    // The answer file lies in the current directory.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(host.dir.path());
    {
        StoredExchange exchange(host, request(line, false), host.body, host.answer);
        host.play(exchange, events);
    }
    QDir::setCurrent(previous);
    QCOMPARE(host.asks.join(u"; "), asks.join(u"; "));
}

void TestExchanges::tunnel_data() {
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("asks");
    QTest::newRow("one direction ends: the other has a minute")
        << QStringList{u"ready"_s, u"server end"_s, u"deadline"_s}
        << QStringList{u"arm 900000"_s, u"end to browser"_s, u"arm 60000"_s, u"done Closed"_s};
    QTest::newRow("both ended and everything sent: closed")
        << QStringList{u"ready"_s, u"browser end"_s, u"server end"_s}
        << QStringList{u"arm 900000"_s, u"end to server"_s, u"arm 60000"_s, u"end to browser"_s,
                       u"done Closed"_s};
    QTest::newRow("bytes after one direction ended leave its minute as it was")
        << QStringList{u"ready"_s, u"server end"_s, u"body x"_s, u"deadline"_s}
        << QStringList{u"arm 900000"_s, u"end to browser"_s, u"arm 60000"_s, u"done Closed"_s};
    QTest::newRow("bytes keep an idle tunnel open; silence closes it")
        << QStringList{u"ready"_s, u"server x"_s, u"deadline"_s}
        << QStringList{u"arm 900000"_s, u"arm 900000"_s, u"done Closed"_s};
}

void TestExchanges::tunnel() {
    QFETCH(QStringList, events);
    QFETCH(QStringList, asks);
    Playbook host;
    Tunnel tunnel(host, QByteArray(), host.body);
    host.play(tunnel, events);
    QCOMPARE(host.asks.join(u"; "), asks.join(u"; "));
}

void TestExchanges::requestReader_data() {
    QTest::addColumn<QByteArrayList>("pieces"); // fed one after another
    QTest::addColumn<QByteArrayList>("items");  // "H:" head, "B:" body, "E" its end, "T" too long
    const QByteArray get = "GET /a HTTP/1.1\r\nHost: o\r\n\r\n";
    const QByteArray post = "POST /p HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    const QByteArray chunked = "POST /c HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n";
    QTest::newRow("a head in pieces, then the next")
        << QByteArrayList{"GET /a HTTP/1.1\r\nHo", "st: o\r\n\r\n" + get}
        << QByteArrayList{"H:" + get, "E", "H:" + get, "E"};
    QTest::newRow("a body that reads like a request stays a body")
        << QByteArrayList{post + "GET", " /" + get}
        << QByteArrayList{"H:" + post, "B:GET", "B: /", "E", "H:" + get, "E"};
    QTest::newRow("a chunked body to its last chunk, then the next request")
        << QByteArrayList{chunked + "3\r\nabc\r\n0\r\n", "\r\n" + get}
        << QByteArrayList{"H:" + chunked, "B:3\r\nabc\r\n0\r\n", "B:\r\n", "E", "H:" + get, "E"};
    const QByteArray gzipLast = "POST /g HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n";
    QTest::newRow("chunked not the last coding: the body runs to the close")
        << QByteArrayList{gzipLast + "3\r\nabc\r\n0\r\n\r\n" + get}
        << QByteArrayList{"H:" + gzipLast, "B:3\r\nabc\r\n0\r\n\r\n" + get};
    QTest::newRow("an unreadable length runs to the close")
        << QByteArrayList{"POST /p HTTP/1.1\r\nContent-Length: 5x\r\n\r\n" + get}
        << QByteArrayList{"H:POST /p HTTP/1.1\r\nContent-Length: 5x\r\n\r\n", "B:" + get};
    QTest::newRow("empty lines between requests")
        << QByteArrayList{"\r\n\r\n" + get} << QByteArrayList{"H:" + get, "E"};
    QTest::newRow("a head too long") << QByteArrayList{QByteArray(100, 'x')} << QByteArrayList{"T"};
}

void TestExchanges::requestReader() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, items);
    RequestReader reader(64);
    reader.nextRequest();
    QByteArrayList got;
    for (const QByteArray& piece : pieces) {
        reader.feed(piece);
        while (const std::optional<RequestReader::Item> item = reader.take()) {
            switch (item->kind) {
            case RequestReader::Item::Kind::Head:
                got.append("H:" + item->bytes);
                break;
            case RequestReader::Item::Kind::Body:
                got.append("B:" + item->bytes);
                break;
            case RequestReader::Item::Kind::BodyEnd:
                got.append("E");
                reader.nextRequest();
                break;
            case RequestReader::Item::Kind::TooLong:
                got.append("T");
                break;
            }
            if (got.last() == "T")
                break;
        }
    }
    QCOMPARE(got.join(" ; "), items.join(" ; "));
}

QTEST_GUILESS_MAIN(TestExchanges)
#include "tst_exchanges.moc"
