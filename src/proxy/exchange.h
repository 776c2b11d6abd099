#pragma once

#include "platform/connection.h"
#include "platform/tls.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace Tarnwick {

class RelayLog;
class SettingsStore;
class SpillStore;

// The two connections of a relay.
enum class Peer { Browser, Server };

// Bytes one side lets wait for the other before it stops reading the faster one.
inline constexpr qint64 Backlog = 1024 * 1024;

// How an exchange ends, as it tells its relay.
enum class Ending {
    Next,     // the browser's connection carries its next request
    Answered, // what the browser was sent ends the connection, 100 ms after it left
    Streamed, // likewise, closed as soon as it has left
    Refused,  // the refusal goes to the browser, then the close
    Tunnel,   // from here on the connection carries bytes both ways, unread
    Closed,   // a tunnel ended, or a side failed: everything closes without a word
};

// What an exchange may ask of the relay that owns the connections. Nothing here ends
// or replaces the exchange at once: the relay acts on done() once the exchange's
// handler has returned.
class ExchangeHost {
public:
    virtual RelayLog& log() = 0;
    virtual int index() const = 0;
    virtual SettingsStore& store() = 0;

    // Queues bytes (or a stretch of an open file) for a side; true when sent() follows.
    virtual bool send(Peer to, QByteArray bytes) = 0;
    virtual bool sendFile(Peer to, int fd, qint64 offset, qint64 length) = 0;
    // Bytes handed to a side that have not left yet.
    virtual qint64 queued(Peer side) const = 0;
    virtual bool isOpen(Peer side) const = 0;
    // Reading a side waits while any reason holds.
    virtual void pause(Peer side, Connection::Hold why) = 0;
    virtual void resume(Peer side, Connection::Hold why) = 0;
    // The peer reads an end once everything queued for it has left.
    virtual void shutdownWrite(Peer to) = 0;
    virtual bool readEnded(Peer side) const = 0;
    virtual bool writeShutDown(Peer side) const = 0;

    // The server connection: a new one on the same route (`sharedAttempts`: with the
    // reconnections left from the first), kept for the next request, or closed.
    virtual void reopenServer(bool sharedAttempts) = 0;
    virtual void keepServer() = 0;
    virtual void closeServer() = 0;

    // The exchange's one deadline, in milliseconds; deadline() follows.
    virtual void arm(int ms) = 0;
    virtual void disarm() = 0;

    virtual void done(Ending ending) = 0;

protected:
    ~ExchangeHost() = default;
};

// One request and its answer, or a tunnel: what the relay hands every event of its
// connections to while it lasts.
class Exchange {
public:
    virtual ~Exchange() = default;
    // The server connection is up; `reused`: it carried an earlier request.
    virtual void serverReady(bool reused) = 0;
    // The request's body as the browser sends it, and its end.
    virtual void browserBody(QByteArrayView bytes) = 0;
    virtual void browserBodyEnd() {}
    virtual void serverData(QByteArrayView bytes) = 0;
    virtual void sent(Peer side) = 0;
    virtual void ended(Peer side) = 0;
    virtual void failed(Peer side, int error) = 0;
    virtual void deadline() {}
    // Carries the browser's bytes as they are (a tunnel) instead of reading requests.
    virtual bool carriesBytes() const { return false; }
};

// A request as the exchanges need it: the rewritten head with the body bytes that came
// with it, and what its method and lines say.
struct Request {
    QByteArray bytes;
    bool headRequest = false;
    bool repeatable = false;  // sending it again is harmless
    bool keepBrowser = false; // the browser lets its connection carry another request
    bool upgrade = false;     // it asks for a WebSocket
};

// Only a request whose repetition is harmless is sent again, by the completeness check
// or because a kept connection was found closed: GET, HEAD and OPTIONS. An order placed
// by a POST is never placed twice.
bool mayRepeat(QByteArrayView requestLine);

// Whether the server lets its connection carry another request after this answer:
// not after "Connection: close", nor an HTTP/1.0 answer without keep-alive, nor an
// answer whose end only the close tells.
bool serverKeepsConnection(QByteArrayView answerHead, bool framedEnd);

} // namespace Tarnwick

namespace Tarnwick {

// The request's side of an HTTP exchange: the head and the body go to the server as
// they come, the body kept whole (in the slot's request file beyond a mebibyte) so that
// the request can go again with its head.
class Upload {
public:
    Upload(ExchangeHost& host, Request request, SpillStore& body);

    const Request& request() const { return m_request; }
    // Sends the head and the body so far on a connection that is up (again).
    void start();
    // A piece of the body; false when it could not be kept.
    bool add(QByteArrayView piece);
    void bodyEnded() { m_bodyEnded = true; }
    // The whole body has come and was handed to the server.
    bool complete() const { return m_bodyEnded && m_up; }
    // The server took what it was sent: the browser may send more.
    void serverCaughtUp();
    void stop() { m_up = false; }

private:
    void sendBody();
    void sentAtOnce();

    ExchangeHost& m_host;
    Request m_request;
    SpillStore& m_body;
    bool m_up = false;
    bool m_bodyEnded = false;
};

} // namespace Tarnwick
