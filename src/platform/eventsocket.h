#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <climits>
#include <list>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpSocket;
class QIODevice;
class QTimer;

namespace Tarnwick {

// An event-driven TCP socket addressed by its element index, the way the relay's
// handlers think of one: set the remote host and port, connect, listen, accept a
// pending connection by its request id, send and take data, close; and events for
// each of those, delivered with the index. Data stay bytes throughout.
class EventSocket : public QObject {
    Q_OBJECT
public:
    enum class State { Closed, Listening, Connecting, Connected, Closing, Error };

    explicit EventSocket(int index, QObject* parent = nullptr);
    ~EventSocket() override;

    int index() const { return m_index; }
    State state() const { return m_state; }

    // Properties.
    void setLocalPort(int port) { m_localPort = port; }
    int localPort() const;
    void setRemoteHost(const QString& host) { m_remoteHost = host; }
    QString remoteHost() const;
    void setRemotePort(int port) { m_remotePort = port; }
    int remotePort() const;
    QString remoteHostIP() const;

    // Listens on every IPv4 address at LocalPort (0 picks a free port). When the
    // process runs out of descriptors (or the kernel of buffers), accepting pauses,
    // the Error event reports it once, and accepting resumes after a short wait or at
    // resumeAccepting(), whichever comes first.
    bool listen();
    // Accepts again at once after a pause for lack of resources (say, a relay ended
    // and gave its descriptors back); nothing otherwise.
    void resumeAccepting();
    // Accepts the pending connection `requestId` of a listening socket's
    // ConnectionRequest. Only valid during that event.
    bool accept(qintptr requestId);
    // Connects to RemoteHost:RemotePort; Connect or Error follows.
    bool connectToRemote();
    // Queues bytes; SendComplete fires once everything queued has been written.
    bool sendData(const QByteArray& data);
    // Queues the rest of a readable device, streamed in pieces so that a large
    // file is never held whole; counts as part of the same send.
    bool sendDevice(std::unique_ptr<QIODevice> device);
    // Bytes handed over by sendData/sendDevice that are not written yet.
    qint64 bytesToWrite() const;
    // Closes once everything queued has been written, gracefully (at once when
    // nothing is queued); no Close event follows.
    void finish();
    // While paused no DataArrival is raised and only a little is read ahead, so a
    // fast peer is held back by TCP itself while the other side catches up.
    void pauseReading();
    // Raises DataArrival for what waited meanwhile.
    void resumeReading();
    bool isReadingPaused() const { return m_readPaused; }
    // Takes everything received so far.
    QByteArray getData();
    qint64 bytesAvailable() const;
    // Closes the connection or the listener; no Close event follows for it.
    void close();
    // Closes and deletes this socket once none of its own events is being handled,
    // so a handler may dispose of the socket whose event it is handling, even when
    // it lets pending events run afterwards.
    void dispose();

signals:
    void connectionRequest(int index, qintptr requestId);
    void connected(int index);
    void dataArrival(int index, qint64 bytesTotal);
    void sendComplete(int index);
    void closed(int index);
    void error(int index, int number, const QString& description, qint32 scode);

private:
    void acceptPending();
    void pauseAccepting(int error);
    void closeListener();
    void incoming(qintptr descriptor);
    void attach(QTcpSocket* socket);
    void releaseSocket(bool graceful = false);
    void scheduleReRead();
    // Marks one of this socket's own signal deliveries in progress.
    struct Dispatch {
        explicit Dispatch(EventSocket* s);
        ~Dispatch();
        QPointer<EventSocket> socket;
    };
    void settle();
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void onSocketError();
    void reportError(int qtSocketError, const QString& description);
    void pump();
    bool hasPendingSend() const;

    int m_index;
    State m_state = State::Closed;
    int m_localPort = 0;
    QString m_remoteHost;
    int m_remotePort = 0;
    QString m_pendingPeerIP;
    int m_pendingPeerPort = 0;
    int m_listenFd = -1;
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer* m_acceptRetry = nullptr;
    // Set from a failed accept until no client is left waiting, so one shortage is
    // reported once however often accepting is retried meanwhile.
    bool m_acceptStarved = false;
    // Accepting pauses while the lowest free descriptor is at or above this.
    int m_acceptCeiling = INT_MAX;
    QTcpSocket* m_socket = nullptr;
    std::list<std::unique_ptr<QIODevice>> m_sendQueue;
    bool m_sending = false;
    bool m_reReadScheduled = false;
    bool m_startingConnect = false;
    bool m_readPaused = false;
    bool m_finishing = false;
    int m_depth = 0;
    bool m_disposed = false;
    // Sockets released while one of their signals was being delivered.
    std::vector<QTcpSocket*> m_released;
};

// Raises the soft limit of open descriptors to the hard limit: each relay holds up
// to three, and the usual soft limit of 1,024 runs out long before 999 relays.
bool raiseDescriptorLimit();

// Winsock-style error numbers for the socket errors the relay reports.
int socketErrorNumber(int qtSocketError);

} // namespace Tarnwick
