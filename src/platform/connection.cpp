#include "platform/connection.h"
#include "platform/connectioninternal.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tarnwick {

using ConnectionInternal::setNoDelay;

namespace {
using ConnectionInternal::ReadCap;

// Handed to sendfile at a time.
constexpr qint64 FileChunk = 1024 * 1024;
constexpr quint32 Interest = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

// One buffer for every connection's reads: a read's bytes are handed on before the
// next read happens, on the one thread there is.
char* readBuffer() {
    static char* buffer = new char[ReadCap];
    return buffer;
}

int socketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}
} // namespace

void ConnectionInternal::setNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

QString addressText(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

Connection::Connection(Reactor& reactor, Events& events) : m_reactor(reactor), m_events(events) {}

Connection::~Connection() {
    close();
}

bool Connection::adopt(int fd) {
    close();
    if (!m_reactor.add(fd, Interest, this)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_state = State::Connected;
    return true;
}

int Connection::connectTo(const QHostAddress& address, quint16 port) {
    close();
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *v4;
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::copy(std::begin(bytes.c), std::end(bytes.c), v6->sin6_addr.s6_addr);
        v6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof *v6;
    } else {
        return EAFNOSUPPORT;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    // A request's head and its body, or TLS's small records, leave at once instead of
    // waiting for the server's delayed acknowledgement.
    setNoDelay(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    // Whether it connected at once or not, the first writable edge says so.
    if (!m_reactor.add(fd, Interest, this)) {
        const int error = errno ? errno : ENOMEM;
        ::close(fd);
        return error;
    }
    m_fd = fd;
    m_state = State::Connecting;
    return 0;
}

void Connection::close() {
    if (m_ssl) {
        // A TLS peer is told that nothing more comes, as far as the socket takes it now.
        if (m_tls == Tls::Open && m_fd >= 0 && !m_writeShut) {
            ERR_clear_error();
            SSL_shutdown(m_ssl.get());
            sendCipher();
        }
        m_ssl.reset();
        ERR_clear_error();
    }
    m_tls = Tls::None;
    m_cipher.clear();
    m_cipherDone = 0;
    if (m_fd >= 0) {
        m_reactor.remove(m_fd);
        ::close(m_fd);
    }
    m_fd = -1;
    m_state = State::Closed;
    m_queue.clear();
    m_queued = 0;
    m_sending = false;
    m_shutdownPending = false;
    m_writeShut = false;
    m_readEnded = false;
    m_holds = 0;
    m_readWaiting = false;
    m_peerEnding = false;
    m_error = 0;
    ++m_generation;
}

void Connection::fail(int error) {
    close();
    m_events.failed(*this, error);
}

void Connection::ready(quint32 events) {
    if (m_fd < 0)
        return;
    m_visiting = m_generation;
    if (m_error)
        return fail(m_error);
    if (m_state == State::Connecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            return;
        // Writable without an error: connected. A failed attempt says why.
        if (events & (EPOLLERR | EPOLLHUP)) {
            const int error = socketError(m_fd);
            return fail(error ? error : ECONNREFUSED);
        }
        m_state = State::Connected;
        m_events.connected(*this);
        if (replaced())
            return;
    }
    if (events & EPOLLERR) {
        if (const int error = socketError(m_fd))
            return fail(error);
    }
    if ((events & EPOLLOUT) && !idle()) {
        if (!flush())
            return fail(m_error);
        if (!owedSent())
            return;
    }
    // The peer's end, once reported, is not reported again by an edge-triggered set.
    if (events & (EPOLLRDHUP | EPOLLHUP))
        m_peerEnding = true;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        readSome();
}

bool Connection::owedSent() {
    if (m_sending && idle()) {
        m_sending = false;
        m_events.sent(*this);
    }
    return !replaced();
}

Connection::Read Connection::readInto(char* buffer) {
    Read read;
    while (read.got < ReadCap) {
        const qsizetype want = ReadCap - read.got;
        const ssize_t n = ::read(m_fd, buffer + read.got, size_t(want));
        if (n > 0) {
            read.got += n;
            // A short read took everything there was; more would bring a new edge.
            if (n < want) {
                read.drained = true;
                break;
            }
            continue;
        }
        if (n == 0) {
            read.end = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            read.drained = true;
        else
            read.error = errno;
        break;
    }
    // The peer had shut down its side before we looked, and everything before that
    // has been read now: no need to read once more for the end.
    if (read.drained && !read.error && m_peerEnding)
        read.end = true;
    return read;
}

void Connection::readSome() {
    if (m_readEnded)
        return;
    if (m_holds) {
        m_readWaiting = true;
        return;
    }
    char* buffer = readBuffer();
    Read read = readInto(buffer);
    if (m_ssl) {
        if (read.got > 0)
            BIO_write(SSL_get_rbio(m_ssl.get()), buffer, int(read.got));
        if (!takeTls(read.end))
            return;
    } else if (read.got > 0) {
        m_events.arrived(*this, QByteArrayView(buffer, read.got));
        if (replaced())
            return;
    }
    if (read.error)
        return fail(read.error);
    if (read.end) {
        m_readEnded = true;
        m_events.ended(*this);
        return;
    }
    if (!read.drained) {
        if (m_holds)
            m_readWaiting = true;
        else
            m_reactor.again(m_fd);
    }
}

void Connection::sendPromptly() {
    if (m_fd >= 0)
        setNoDelay(m_fd);
}

void Connection::resumeReading(Hold why) {
    if (!(m_holds & quint8(why)))
        return;
    m_holds &= quint8(~quint8(why));
    if (m_holds)
        return;
    if (m_readWaiting && m_fd >= 0) {
        m_readWaiting = false;
        m_reactor.again(m_fd);
    }
}

bool Connection::send(QByteArray bytes) {
    Piece piece;
    piece.bytes = std::move(bytes);
    piece.left = piece.bytes.size();
    return queueAndFlush(std::move(piece));
}

bool Connection::sendFile(int fd, qint64 offset, qint64 length) {
    Piece piece;
    piece.fileFd = fd;
    piece.offset = offset;
    piece.left = length;
    return queueAndFlush(std::move(piece));
}

bool Connection::queueAndFlush(Piece piece) {
    if (m_fd < 0 || m_state != State::Connected || m_writeShut || m_shutdownPending)
        return false;
    if (piece.left <= 0)
        return m_sending;
    const bool wasIdle = idle();
    m_queued += piece.left;
    m_queue.push_back(std::move(piece));
    if (wasIdle && !m_error) {
        if (!flush()) {
            // Reported from ready(), after the caller has returned.
            m_reactor.again(m_fd);
            return true;
        }
        if (idle())
            return m_sending; // a sent() owed for what was queued before still comes
    }
    m_sending = true;
    return true;
}

bool Connection::flush() {
    while (true) {
        if (!m_queue.empty() && (!m_ssl || m_queue.front().plain)) {
            Piece& piece = m_queue.front();
            if (!writePlain(piece))
                return false;
            if (piece.left > 0)
                return true; // the socket is full
            m_queue.pop_front();
            continue;
        }
        if (!m_ssl)
            break;
        if (!sendCipher())
            return false;
        if (m_cipherDone < m_cipher.size())
            return true; // the socket is full
        if (m_queue.empty() || m_tls != Tls::Open)
            break;
        if (!encrypt(m_queue.front()))
            return false;
        if (m_queue.front().left == 0)
            m_queue.pop_front();
    }
    if (m_shutdownPending && m_queue.empty()) {
        if (m_ssl && m_tls == Tls::Open) {
            ERR_clear_error();
            SSL_shutdown(m_ssl.get());
            if (!sendCipher())
                return false;
            if (m_cipherDone < m_cipher.size())
                return true;
        }
        m_shutdownPending = false;
        m_writeShut = true;
        ::shutdown(m_fd, SHUT_WR);
    }
    return true;
}

bool Connection::writePlain(Piece& piece) {
    while (piece.left > 0) {
        ssize_t n;
        if (piece.fileFd >= 0) {
            off_t offset = off_t(piece.offset);
            n = ::sendfile(m_fd, piece.fileFd, &offset, size_t(std::min(piece.left, FileChunk)));
            if (n == 0) { // the file is shorter than promised
                m_error = EIO;
                return false;
            }
            if (n > 0)
                piece.offset += n;
        } else {
            n = ::send(m_fd, piece.bytes.constData() + piece.done, size_t(piece.left),
                       MSG_NOSIGNAL);
            if (n > 0)
                piece.done += n;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            m_error = errno;
            return false;
        }
        piece.left -= n;
        m_queued -= n;
    }
    return true;
}

void Connection::shutdownWrite() {
    if (m_fd < 0 || m_writeShut || m_shutdownPending || m_state != State::Connected)
        return;
    m_shutdownPending = true;
    if (idle() && !flush())
        m_reactor.again(m_fd);
}

} // namespace Tarnwick
