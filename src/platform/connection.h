#pragma once

#include "platform/reactor.h"
#include "platform/tls.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <deque>

namespace Tarnwick {

// One TCP connection on a non-blocking descriptor in the reactor's set, edge-triggered
// and registered once. It tells its owner what happened through plain calls — no
// signals, no queued events — and owns nothing but its descriptor, what waits to be
// sent, and its TLS when it speaks TLS. The two directions end separately: the peer
// may stop sending while we go on, and we may stop sending (once everything queued has
// left) while it goes on. With TLS, the owner sends and receives plain bytes as before.
class Connection final : public Watched {
public:
    class Events {
    public:
        virtual void connected(Connection& c) = 0;
        // The TLS handshake is done: plain bytes from now on.
        virtual void secured(Connection& c) = 0;
        // The bytes are good for the call only: keep what you need before anything that
        // may let other events run.
        virtual void arrived(Connection& c, QByteArrayView bytes) = 0;
        // Everything handed over has left, after a send that could not leave at once.
        virtual void sent(Connection& c) = 0;
        // The peer sends nothing more (its close or half-close); sending may go on.
        virtual void ended(Connection& c) = 0;
        // The connection failed (errno; EPROTO for TLS, see tlsCheck()); it is closed
        // already.
        virtual void failed(Connection& c, int error) = 0;

    protected:
        ~Events() = default;
    };

    enum class State { Closed, Connecting, Connected };

    Connection(Reactor& reactor, Events& events);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Takes over an accepted descriptor (closed here when that fails).
    bool adopt(int fd);
    // Starts connecting; connected() or failed() follows. A failure at once (no
    // descriptor left, say) is returned as its errno, and nothing follows.
    int connectTo(const QHostAddress& address, quint16 port);

    // Speaks TLS from now on, as the server or the client, once what is already queued
    // has left as it is. `ssl` is handed over; `alreadyRead`: bytes of the peer's that
    // came before. secured() follows the handshake, or failed().
    void startTls(SslOwner ssl, QByteArrayView alreadyRead = {});
    bool isSecured() const { return m_tls == Tls::Open; }
    // After a TLS failure: what the check came to, its reason, and the protocol.
    TlsCheck tlsCheck() const { return m_tlsCheck; }
    const QString& tlsReason() const { return m_tlsReason; }
    const QString& tlsVersion() const { return m_tlsVersion; }
    // The protocol both ends agreed on in the TLS handshake ("h2", "http/1.1"), or
    // nothing.
    QByteArray alpn() const;

    State state() const { return m_state; }
    bool isOpen() const { return m_fd >= 0; }

    // Queues bytes, or a stretch of an open file. True when sent() will follow, once
    // everything queued has left (or failed() will); false when nothing more will be
    // said of these bytes: they all left at once, or the connection could not take
    // them (closed, or its sending shut down).
    bool send(QByteArray bytes);
    bool sendFile(int fd, qint64 offset, qint64 length);
    // A sent() is owed: something handed over has not left yet.
    bool sending() const { return m_sending; }
    // Bytes handed over that have not left yet.
    qint64 queued() const { return m_queued + (m_cipher.size() - m_cipherDone); }
    // Stops sending once everything queued has left: the peer reads an end.
    void shutdownWrite();
    bool writeShutDown() const { return m_writeShut; }
    bool readEnded() const { return m_readEnded; }

    // Small writes leave at once (a tunnel's TLS records): no waiting for the peer's
    // acknowledgement of the one before. Connections made here and TLS ones do so anyway.
    void sendPromptly();

    // Why reading waits. Each holder pauses for its own reason and resumes only that
    // one: the peer is read again once no reason holds.
    enum class Hold : quint8 {
        PeerBehind = 1,  // the other side has not taken what this one sent
        Question = 2,    // the user is asked about the request
        Pipelined = 4,   // the next request waits for the answer under way
        Descriptors = 8, // no descriptor left for the other side
    };
    // While paused, nothing is read: the peer is held back by TCP itself.
    void pauseReading(Hold why) { m_holds |= quint8(why); }
    void resumeReading(Hold why);
    bool readingPaused() const { return m_holds != 0; }
    bool holds(Hold why) const { return m_holds & quint8(why); }

    // Counts the descriptors this object has had: an event of a socket that was closed
    // never reaches the one opened after it, even inside the closed one's callback.
    quint64 generation() const { return m_generation; }

    // Closes at once (a TLS connection says so first); what was not sent is dropped.
    // Nothing follows.
    void close();

    void ready(quint32 events) override;

private:
    enum class Tls { None, Handshaking, Open };
    struct Piece {
        QByteArray bytes;
        qsizetype done = 0;
        int fileFd = -1;
        qint64 offset = 0;
        qint64 left = 0;
        bool plain = false; // goes out as it is, queued before TLS began
    };
    bool idle() const { return m_queue.empty() && m_cipherDone == m_cipher.size(); }
    bool queueAndFlush(Piece piece);
    // Writes what it can; false on failure (errno in m_error).
    bool flush();
    bool writePlain(Piece& piece);
    bool encrypt(Piece& piece);
    // Moves what TLS has to say to the socket; false on failure.
    bool sendCipher();
    // What one visit read from the socket.
    struct Read {
        qsizetype got = 0;
        bool drained = false; // nothing more until the next edge
        bool end = false;     // the peer's end
        int error = 0;
    };
    Read readInto(char* buffer);
    void readSome();
    // Runs the handshake or takes the records that arrived; false when the connection
    // failed or closed meanwhile. `end`: the socket's end; set also when TLS said
    // goodbye.
    bool takeTls(bool& end);
    // The handshake went on with what came; false when it failed or the connection
    // closed meanwhile.
    bool goOnHandshaking(bool end);
    // Goes on with the handshake; false when it failed.
    bool handshake();
    void noteTlsFailure(unsigned long openSslError);
    // Raises a sent() that is owed once nothing waits; false when closed meanwhile.
    bool owedSent();
    // The descriptor being handled was closed (and maybe replaced) by a callback.
    bool replaced() const { return m_fd < 0 || m_generation != m_visiting; }
    void fail(int error);

    Reactor& m_reactor;
    Events& m_events;
    int m_fd = -1;
    State m_state = State::Closed;
    std::deque<Piece> m_queue;
    qint64 m_queued = 0;
    bool m_sending = false; // sent() is owed
    bool m_shutdownPending = false;
    bool m_writeShut = false;
    bool m_readEnded = false;
    quint8 m_holds = 0;
    quint64 m_generation = 0;
    quint64 m_visiting = 0;     // the generation ready() was called for
    bool m_readWaiting = false; // something arrived while paused
    bool m_peerEnding = false;  // the peer shut down its side; what came before is readable
    int m_error = 0;            // a failure found while sending, reported from ready()

    SslOwner m_ssl;
    Tls m_tls = Tls::None;
    QByteArray m_cipher; // what TLS wrote that the socket has not taken yet
    qsizetype m_cipherDone = 0;
    TlsCheck m_tlsCheck = TlsCheck::Passed;
    QString m_tlsReason;
    QString m_tlsVersion;
};

// Raises the soft limit of open descriptors to the hard limit: each relay holds up to
// four (its two connections and two spill files), and the usual soft limit of 1,024
// runs out long before 999 relays.
bool raiseDescriptorLimit();

// The address as the monitor shows it ("127.0.0.1" for an IPv4 peer, also one mapped
// into IPv6).
QString addressText(const QHostAddress& address);

} // namespace Tarnwick
