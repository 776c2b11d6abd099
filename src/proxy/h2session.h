#pragma once

#include "proxy/h2headers.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <chrono>
#include <deque>
#include <functional>
#include <map>

struct nghttp2_session;

namespace Tarnwick {

// One HTTP/2 connection's protocol, without I/O, as the TLS layer is: the owner feeds
// it the bytes that arrived, sends what takeOutput() gives, and hears of requests,
// answers, DATA and ends through Events. The server side speaks to the browser, the
// client side to the origin; each stream is one exchange.
//
// Flow control is the back-pressure. The peer may send a stream only as many bytes as
// the owner has not yet given back with consumed(), at most InitialStreamWindow per
// stream and ConnectionWindow for all streams together; the owner gives them back once
// the other side took them. Sending, each stream's bytes wait in a queue until the
// peer's windows let them go; dataSent() says when they went.
//
// Events are raised once the bytes fed (or the output taken) have been read whole,
// never from inside nghttp2: the owner may submit, feed the other session, or drop
// this one from a handler (nothing more is raised then).
class H2Session {
public:
    // Error codes of RST_STREAM and GOAWAY.
    enum Error : quint32 {
        NoError = 0,
        ProtocolError = 1,
        InternalError = 2,
        RefusedStream = 7,
        Cancel = 8,
        EnhanceYourCalm = 11,
    };

    // Streams a peer may have open at once toward this side.
    static constexpr quint32 MaxConcurrentStreams = 100;
    // Bytes a peer may send one stream before the owner has given any back. 64 KiB:
    // what one stream holds in the relay at most.
    static constexpr qint32 InitialStreamWindow = 64 * 1024;
    // Bytes a peer may send all streams together before any are given back: 1 MiB, as
    // much as one HTTP/1.1 side lets wait for the other (Backlog).
    static constexpr qint32 ConnectionWindow = 1024 * 1024;
    // The largest header list taken from a peer, counted as HTTP/2 counts it (name,
    // value and 32 bytes per field): as large as an HTTP/1.1 request head may be.
    static constexpr qsizetype MaxHeaderList = 64 * 1024;
    // Streams a client may reset within ResetWindow before it is cut off: twice what it
    // may have open at once. A browser cancels a few when the user leaves a page; a
    // flood of opened and reset streams (CVE-2023-44487) makes the origin work for
    // nothing.
    static constexpr int MaxResets = 2 * MaxConcurrentStreams;
    static constexpr std::chrono::milliseconds ResetWindow{1000};

    enum class Side { Server, Client };

    class Events {
    public:
        // A stream's header block, whole: a request (server side), an answer — an
        // interim one (1xx) or the final one — (client side), or trailers (no
        // pseudo-header). `ended`: nothing follows on the stream from the peer.
        virtual void headers(qint32 stream, HeaderList fields, bool ended) = 0;
        // DATA for a stream; give the bytes back with consumed() once they have gone on.
        virtual void data(qint32 stream, QByteArrayView bytes) = 0;
        // The peer's side of the stream ended after its DATA.
        virtual void dataEnded(qint32 stream) = 0;
        // The stream is over: NoError when both sides ended, else the reset's code
        // (the peer's, or this side's). Raised only for streams the owner knows: those
        // whose request was reported (server side), or submitted (client side).
        virtual void closed(qint32 stream, quint32 error) = 0;
        // Bytes of a stream's queue went into the output.
        virtual void dataSent(qint32 /*stream*/, qsizetype /*bytes*/) {}
        // The peer is going away: streams above `lastStream` were not processed.
        virtual void goaway(quint32 /*error*/, qint32 /*lastStream*/) {}

    protected:
        ~Events() = default;
    };

    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The local SETTINGS and connection window go out with the first output.
    H2Session(Side side, Events& events, Clock clock = {});
    ~H2Session();
    H2Session(const H2Session&) = delete;
    H2Session& operator=(const H2Session&) = delete;

    // Bytes that arrived (on the server side from the client's preface on). False when
    // the session cannot go on: the peer broke the protocol or is abusive. What it
    // still has to say (a GOAWAY) is in takeOutput(); then close the connection.
    bool feed(QByteArrayView bytes);
    // What is to be sent now; empty when nothing is.
    QByteArray takeOutput();
    // More to send, or more to read: false when the connection has nothing left to do.
    bool wantsOutput() const;
    bool wantsInput() const;
    // A client that reset streams faster than a browser would was cut off.
    bool abusive() const { return m_abusive; }

    // Client side: a request; returns its stream, or -1. `ended`: no body follows.
    qint32 request(const HeaderList& fields, bool ended);
    // Server side: an answer to a stream's request. An interim one (1xx) goes at once
    // and the final one follows later. `ended`: no body follows.
    bool answer(qint32 stream, const HeaderList& fields, bool ended);
    // Body bytes for a stream that was given a body; they go as the windows allow.
    bool sendData(qint32 stream, QByteArrayView bytes);
    // The body ends once what is queued has gone.
    bool endData(qint32 stream);
    // Bytes queued for a stream that have not gone yet.
    qsizetype queued(qint32 stream) const;
    // Ends a stream at once, dropping what is queued for it. The owner is given no more of
    // its DATA: what it was given and has not given back, and whatever still comes, go
    // back to the windows at once. closed() follows as for any stream.
    bool reset(qint32 stream, quint32 error = Cancel);
    // The owner's other side took `bytes` of what data() reported for the stream (or it
    // dropped them): the peer may send that many more. Also after closed().
    void consumed(qint32 stream, qsizetype bytes);
    // Says goodbye: no new streams; `error` says why.
    void goAway(quint32 error = NoError);

private:
    struct Outgoing {
        QByteArray bytes;
        qsizetype taken = 0;
        bool ended = false;
        bool deferred = false;
    };
    struct Event {
        enum class Kind { Headers, Data, DataEnded, Closed, GoAway, DataSent };
        Event(Kind k, qint32 s) : kind(k), stream(s) {}
        Kind kind;
        qint32 stream;
        HeaderList fields;
        QByteArray bytes;
        quint32 code = 0;
        qsizetype count = 0;
        bool ended = false;
    };

    // Raises what is pending; false when the session was destroyed meanwhile.
    bool deliverAll();
    void deliver();
    void deliverOne(Event& e, const QSet<qint32>& resetNow);
    void resume(qint32 stream);
    void noteReset();

    // The nghttp2 callbacks, each given the session as user data.
    friend struct H2Callbacks;

    const Side m_side;
    Events& m_events;
    Clock m_clock;
    nghttp2_session* m_session = nullptr;
    std::deque<Event> m_pending; // raised once nghttp2 has returned
    std::map<qint32, Outgoing> m_outgoing;
    std::map<qint32, HeaderList> m_incoming;  // header blocks being received
    std::map<qint32, qsizetype> m_listSizes;  // their sizes so far
    std::map<qint32, qsizetype> m_unconsumed; // reported DATA not given back yet
    QSet<qint32> m_known;                     // streams the owner knows of
    QSet<qint32> m_dropped;                   // streams the owner reset, until closed
    std::chrono::steady_clock::time_point m_resetStart{};
    int m_resets = 0;
    bool m_abusive = false;
    bool m_failed = false;
    bool* m_gone = nullptr; // set when the session is destroyed while raising events
};

} // namespace Tarnwick
