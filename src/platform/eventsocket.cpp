#include "platform/eventsocket.h"

#include <QBuffer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tarnwick {

namespace {
// The descriptor offered by the ConnectionRequest now being delivered, and the one a
// handler accepted: only the offered one can be accepted, and only once, so a stale
// id (already closed, perhaps reused for another file) or a second slot never wraps it.
qintptr g_offeredDescriptor = -1;
qintptr g_claimedDescriptor = -1;

constexpr qint64 SendChunk = 256 * 1024;
constexpr qint64 SendHighWater = 1024 * 1024;
// A close that waits for queued bytes gives up on a peer that never reads.
constexpr int LingerMs = 10000;
// What a paused socket reads ahead at most.
constexpr qint64 PausedReadAhead = 64 * 1024;
// Connections taken per readiness of the listener, so the other sockets get their turn.
constexpr int AcceptBatch = 64;
// How long accepting rests after the process ran out of descriptors.
constexpr int AcceptRetryMs = 250;

QString addressText(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}
} // namespace

bool raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

int socketErrorNumber(int qtSocketError) {
    switch (QAbstractSocket::SocketError(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10053;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::NetworkError:
        return 10050;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    default:
        return 10000 + qtSocketError;
    }
}

EventSocket::EventSocket(int index, QObject* parent) : QObject(parent), m_index(index) {}

EventSocket::~EventSocket() {
    blockSignals(true);
    closeListener();
    releaseSocket();
    for (QTcpSocket* socket : m_released)
        delete socket;
}

EventSocket::Dispatch::Dispatch(EventSocket* s) : socket(s) {
    ++s->m_depth;
}

EventSocket::Dispatch::~Dispatch() {
    if (socket && --socket->m_depth == 0)
        socket->settle();
}

void EventSocket::settle() {
    // Now no frame of ours or of a released socket's signal is left to return into
    // through this object, so deletion can be posted safely.
    for (QTcpSocket* socket : m_released)
        socket->deleteLater();
    m_released.clear();
    if (m_disposed)
        deleteLater();
}

void EventSocket::dispose() {
    blockSignals(true);
    close();
    m_disposed = true;
    if (m_depth == 0)
        settle();
}

int EventSocket::localPort() const {
    if (m_listenFd >= 0) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            return ntohs(address.sin_port);
    }
    if (m_socket)
        return m_socket->localPort();
    return m_localPort;
}

QString EventSocket::remoteHost() const {
    if (!m_remoteHost.isEmpty())
        return m_remoteHost;
    if (m_state == State::Listening)
        return m_pendingPeerIP;
    if (m_socket)
        return addressText(m_socket->peerAddress());
    return {};
}

int EventSocket::remotePort() const {
    if (m_state == State::Listening)
        return m_pendingPeerPort;
    if (m_remotePort != 0 || !m_socket)
        return m_remotePort;
    return m_socket->peerPort();
}

QString EventSocket::remoteHostIP() const {
    if (m_state == State::Listening)
        return m_pendingPeerIP;
    if (m_socket)
        return addressText(m_socket->peerAddress());
    return {};
}

bool EventSocket::listen() {
    if (m_state != State::Closed)
        return false;
    if (m_localPort < 0 || m_localPort > 65535)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // IPv4 only, so that a local client reads exactly "127.0.0.1".
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(m_localPort));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return false;
    }
    m_listenFd = fd;
    m_acceptStarved = false;
    // Each browser connection brings two more descriptors with it (its server
    // connection and its answer file), and a few stay spare for everything else.
    rlimit limit{};
    const rlim_t available = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    constexpr rlim_t Spare = 16;
    m_acceptCeiling = int(std::min<rlim_t>(
        INT_MAX, rlim_t(fd) + (available > rlim_t(fd) + Spare ? (available - fd - Spare) / 3 : 1)));
    m_acceptNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &EventSocket::acceptPending);
    m_state = State::Listening;
    return true;
}

void EventSocket::acceptPending() {
    for (int n = 0; n < AcceptBatch && m_listenFd >= 0; ++n) {
        // Descriptors are handed out lowest first, so the lowest free one tells how
        // full the table is. Past the ceiling, the relays already taken would find no
        // descriptor for their server connection and answer file.
        const int lowestFree = ::fcntl(m_listenFd, F_DUPFD_CLOEXEC, 0);
        if (lowestFree >= 0)
            ::close(lowestFree);
        if (lowestFree < 0 || lowestFree >= m_acceptCeiling) {
            pauseAccepting(EMFILE);
            return;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            incoming(fd);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            // Every waiting client taken: a shortage, if there was one, is over.
            m_acceptStarved = false;
            return;
        // The connection failed before it was taken, not the listener.
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            continue;
        default:
            // Out of descriptors or memory: retrying at once would only spin.
            pauseAccepting(errno);
            return;
        }
    }
}

void EventSocket::pauseAccepting(int error) {
    m_acceptNotifier->setEnabled(false);
    if (!m_acceptRetry) {
        m_acceptRetry = new QTimer(this);
        m_acceptRetry->setSingleShot(true);
        connect(m_acceptRetry, &QTimer::timeout, this, &EventSocket::resumeAccepting);
    }
    m_acceptRetry->start(AcceptRetryMs);
    if (m_acceptStarved)
        return;
    m_acceptStarved = true;
    const bool lackOfResources =
        error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
    Dispatch dispatch(this);
    reportError(lackOfResources ? QAbstractSocket::SocketResourceError
                                : QAbstractSocket::UnknownSocketError,
                QString::fromLocal8Bit(std::strerror(error)));
}

void EventSocket::resumeAccepting() {
    if (m_listenFd < 0 || !m_acceptNotifier || m_acceptNotifier->isEnabled())
        return;
    if (m_acceptRetry)
        m_acceptRetry->stop();
    m_acceptNotifier->setEnabled(true);
}

void EventSocket::closeListener() {
    if (m_acceptRetry)
        m_acceptRetry->stop();
    if (m_acceptNotifier) {
        // Possibly inside its own activation.
        m_acceptNotifier->setEnabled(false);
        m_acceptNotifier->deleteLater();
        m_acceptNotifier = nullptr;
    }
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

void EventSocket::incoming(qintptr descriptor) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    m_pendingPeerIP.clear();
    m_pendingPeerPort = 0;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        QHostAddress address(reinterpret_cast<sockaddr*>(&peer));
        m_pendingPeerIP = addressText(address);
        if (peer.ss_family == AF_INET)
            m_pendingPeerPort = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
        else if (peer.ss_family == AF_INET6)
            m_pendingPeerPort = ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    }
    Dispatch dispatch(this);
    const qintptr previousOffered = g_offeredDescriptor;
    const qintptr previousClaimed = g_claimedDescriptor;
    g_offeredDescriptor = descriptor;
    g_claimedDescriptor = -1;
    emit connectionRequest(m_index, descriptor);
    const bool accepted = g_claimedDescriptor == descriptor;
    g_offeredDescriptor = previousOffered;
    g_claimedDescriptor = previousClaimed;
    // A refused client is closed at once, without a byte sent.
    if (!accepted)
        ::close(int(descriptor));
}

bool EventSocket::accept(qintptr requestId) {
    if (m_state != State::Closed || requestId < 0 || requestId != g_offeredDescriptor ||
        requestId == g_claimedDescriptor)
        return false;
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestId)) {
        delete socket;
        return false;
    }
    g_claimedDescriptor = requestId;
    attach(socket);
    m_state = State::Connected;
    return true;
}

bool EventSocket::connectToRemote() {
    if (m_state == State::Listening)
        return false;
    releaseSocket();
    QString host = m_remoteHost;
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty() || m_remotePort <= 0 || m_remotePort > 65535)
        return false;
    auto* socket = new QTcpSocket(this);
    attach(socket);
    m_state = State::Connecting;
    connect(socket, &QTcpSocket::connected, this, [this] {
        Dispatch dispatch(this);
        m_state = State::Connected;
        emit connected(m_index);
    });
    // Qt reports a connect that fails at once (no descriptor left) from inside
    // connectToHost; the Error event waits until the caller has returned.
    m_startingConnect = true;
    socket->connectToHost(host, quint16(m_remotePort));
    m_startingConnect = false;
    return true;
}

void EventSocket::attach(QTcpSocket* socket) {
    m_socket = socket;
    connect(socket, &QTcpSocket::readyRead, this, &EventSocket::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &EventSocket::onBytesWritten);
    connect(socket, &QTcpSocket::disconnected, this, &EventSocket::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &EventSocket::onSocketError);
}

void EventSocket::releaseSocket(bool graceful) {
    m_sendQueue.clear();
    m_sending = false;
    m_finishing = false;
    m_readPaused = false;
    if (!m_socket)
        return;
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->setParent(nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState &&
        (graceful || socket->bytesToWrite() > 0)) {
        // Let what was already handed over reach the peer, then go.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(LingerMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
        return;
    }
    socket->abort();
    if (m_depth > 0) {
        // Its own signal may still be on the stack: delete it only once that returned.
        socket->setParent(this);
        m_released.push_back(socket);
        return;
    }
    socket->deleteLater();
}

bool EventSocket::sendData(const QByteArray& data) {
    if (!m_socket || m_state != State::Connected)
        return false;
    if (data.isEmpty())
        return true;
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(data);
    buffer->open(QIODevice::ReadOnly);
    return sendDevice(std::move(buffer));
}

bool EventSocket::sendDevice(std::unique_ptr<QIODevice> device) {
    if (!m_socket || m_state != State::Connected || !device || !device->isReadable())
        return false;
    m_sendQueue.push_back(std::move(device));
    m_sending = true;
    pump();
    return true;
}

void EventSocket::pump() {
    while (m_socket && m_socket->bytesToWrite() < SendHighWater && !m_sendQueue.empty()) {
        QIODevice* front = m_sendQueue.front().get();
        const QByteArray chunk = front->read(SendChunk);
        if (chunk.isEmpty()) {
            m_sendQueue.pop_front();
            continue;
        }
        if (m_socket->write(chunk) != chunk.size()) {
            m_sendQueue.clear();
            break;
        }
    }
}

bool EventSocket::hasPendingSend() const {
    return !m_sendQueue.empty() || (m_socket && m_socket->bytesToWrite() > 0);
}

void EventSocket::onBytesWritten() {
    Dispatch dispatch(this);
    pump();
    if (m_sending && !hasPendingSend()) {
        m_sending = false;
        emit sendComplete(m_index);
    }
    if (m_finishing && !hasPendingSend()) {
        releaseSocket(true);
        m_state = State::Closed;
    }
}

qint64 EventSocket::bytesToWrite() const {
    qint64 pending = m_socket ? m_socket->bytesToWrite() : 0;
    for (const auto& device : m_sendQueue)
        pending += device->bytesAvailable();
    return pending;
}

void EventSocket::finish() {
    if (!m_socket || m_state != State::Connected || !hasPendingSend()) {
        releaseSocket(true);
        m_state = State::Closed;
        return;
    }
    // Like close(): no more events from this connection, only its last writes.
    m_finishing = true;
    m_socket->disconnect(this, nullptr);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &EventSocket::onBytesWritten);
    // A peer that never reads must not keep the connection for ever.
    QTimer::singleShot(LingerMs, this, [this] {
        if (m_finishing)
            close();
    });
}

void EventSocket::pauseReading() {
    m_readPaused = true;
    if (m_socket)
        m_socket->setReadBufferSize(PausedReadAhead);
}

void EventSocket::resumeReading() {
    if (!m_readPaused)
        return;
    m_readPaused = false;
    if (!m_socket)
        return;
    m_socket->setReadBufferSize(0);
    if (m_socket->bytesAvailable() > 0)
        scheduleReRead();
}

void EventSocket::scheduleReRead() {
    if (m_reReadScheduled)
        return;
    m_reReadScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_reReadScheduled = false;
        onReadyRead();
    });
}

QByteArray EventSocket::getData() {
    return m_socket ? m_socket->readAll() : QByteArray();
}

qint64 EventSocket::bytesAvailable() const {
    return m_socket ? m_socket->bytesAvailable() : 0;
}

void EventSocket::onReadyRead() {
    if (!m_socket || m_readPaused)
        return;
    const qint64 available = m_socket->bytesAvailable();
    if (available <= 0)
        return;
    QPointer<EventSocket> self(this);
    Dispatch dispatch(this);
    emit dataArrival(m_index, available);
    // Qt does not repeat readyRead while a handler of it runs (say, in a modal
    // question); data that came in meanwhile gets its own event afterwards.
    if (self && m_socket && m_socket->bytesAvailable() > 0)
        scheduleReRead();
}

void EventSocket::onDisconnected() {
    Dispatch dispatch(this);
    if (m_state == State::Error || m_state == State::Closed)
        return;
    m_state = State::Closed;
    emit closed(m_index);
}

void EventSocket::onSocketError() {
    if (!m_socket)
        return;
    if (m_startingConnect) {
        QTimer::singleShot(0, this, [this, socket = QPointer<QTcpSocket>(m_socket)] {
            if (socket && socket == m_socket)
                onSocketError();
        });
        return;
    }
    const auto code = m_socket->error();
    // The peer's orderly close is the Close event, not an error.
    if (code == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_state == State::Closed || m_state == State::Error)
        return;
    Dispatch dispatch(this);
    m_state = State::Error;
    reportError(int(code), m_socket->errorString());
}

void EventSocket::reportError(int qtSocketError, const QString& description) {
    // The error number in Winsock's numbering, with the status code it comes with.
    const int number = socketErrorNumber(qtSocketError);
    emit error(m_index, number, description, qint32(0x800A0000u | quint32(number & 0xFFFF)));
}

void EventSocket::close() {
    closeListener();
    releaseSocket();
    m_state = State::Closed;
}

} // namespace Tarnwick
