#pragma once

#include "monitor/eventmonitor.h"

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace Tarnwick {

// A name lookup that found nothing, reported as an error number of its own.
inline constexpr int HostNotFoundError = 0x10000;

// The number the monitor shows for a failure: Winsock's numbering, which the monitor
// has always used ("Number : 10061" for a refused connection).
int errorNumber(int error);

// What the relay tells the monitor, as it happens: every entry and status line of
// the relay is built here, from what the relay says happened, and only when its box
// is checked (or when no box gates it).
class RelayLog {
public:
    explicit RelayLog(EventMonitor& monitor) : m_monitor(monitor) {}

    // The listener.
    void connectionRequest(int requestId, const QString& address, int port, int counter);
    void notAdmitted(const QString& address, bool onlyThisMachine);
    void listenerShort(int error);
    void stopping(Side side, int index);

    // The browser side.
    void browserDataStatus(int index);
    void browserData(int index, qsizetype size, QByteArrayView piece);
    void answerSent(int index, QByteArrayView shown, bool whole);
    // An answer that streamed has ended: its body's bytes and pieces, and when the
    // server ended it short, the size its head announced against what came.
    void answerEnded(int index, qint64 bytes, int pieces, std::optional<qint64> announced,
                     qint64 received);
    void browserSent(int index);
    void browserClosed(int index);
    void browserFailed(int index, int error);

    // The server side.
    void serverConnected(int index);
    void requestSent(int index, QByteArrayView bytes);
    void serverSent(int index);
    void serverDataStatus(int index);
    // `piece`: the bytes that arrived; the attempt's first piece shows its head.
    void serverData(int index, int count, qsizetype size, QByteArrayView piece);
    void serverClosed(int index);
    void serverFailed(int index, int error);
    void reconnecting(int index, const QString& host, int port);
    void shortAnswer(int index, qint64 announced, qint64 stored);
    // A compressed answer could not be decoded to be filtered: it ended short.
    void undecodable(int index, QByteArrayView coding, const QString& why);
    void tunnelClosed(int index, QByteArrayView authority, qint64 up, qint64 down);

    // HTTPS interception: the TLS of one side of an intercepted connection, and a CONNECT
    // that could not be intercepted (it goes on as a tunnel).
    void tlsChecked(Side side, int index, QByteArrayView authority, const QString& protocol,
                    const QString& result);
    void notIntercepted(int index, QByteArrayView authority, const QString& why);

    // The streams of an HTTP/2 connection, each shown as its request and answer would be
    // over HTTP/1.1 (heads as HTTP/1.1 writes them) with the stream they came on. On
    // the server side `stream` is 0 when the origin speaks HTTP/1.1.
    void streamArrived(int index, qint32 stream, QByteArrayView head);
    void streamAnswered(int index, qint32 stream, QByteArrayView head);
    void streamEnded(int index, qint32 stream, qint64 bytes, bool whole);
    void streamSent(int index, qint32 stream, QByteArrayView head);

    EventMonitor& monitor() { return m_monitor; }

private:
    EventMonitor& m_monitor;
};

} // namespace Tarnwick
