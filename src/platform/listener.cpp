#include "platform/listener.h"

#include "platform/connection.h"

#include <cerrno>
#include <climits>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tarnwick {

namespace {
// Clients taken per wake-up, so that the relays under way get their turn.
constexpr int AcceptBatch = 64;
// How long accepting rests after running short.
constexpr int RestMs = 250;
// Descriptors left for everything else the program opens.
constexpr int Spare = 16;
} // namespace

Listener::Listener(Reactor& reactor, Offer offer, Shortage shortage, Reserved reserved)
    : m_reactor(reactor), m_offer(std::move(offer)), m_shortage(std::move(shortage)),
      m_reserved(std::move(reserved)) {
    m_rest.setSingleShot(true);
    QObject::connect(&m_rest, &QTimer::timeout, &m_reactor, [this] { resumeAccepting(); });
}

Listener::~Listener() {
    close();
}

bool Listener::listen(int port) {
    if (m_fd >= 0 || port < 0 || port > 65535)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // IPv4 only, so that a local client reads exactly "127.0.0.1".
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 || !m_reactor.add(fd, EPOLLIN, this)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_paused = false;
    m_starved = false;
    rlimit limit{};
    const rlim_t available = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    m_budget = int(std::min<rlim_t>(INT_MAX, available > rlim_t(fd + Spare)
                                                 ? available - rlim_t(fd) - Spare
                                                 : 0));
    return true;
}

void Listener::close() {
    m_rest.stop();
    if (m_fd >= 0) {
        m_reactor.remove(m_fd);
        ::close(m_fd);
    }
    m_fd = -1;
    m_paused = false;
}

int Listener::port() const {
    if (m_fd < 0)
        return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

void Listener::ready(quint32) {
    for (int n = 0; n < AcceptBatch && m_fd >= 0 && !m_paused; ++n) {
        // Every relay already taken must still find its server connection and files.
        if (m_reserved() + DescriptorsPerRelay > m_budget)
            return pause(EMFILE);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            switch (errno) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                // Every waiting client taken: a shortage, if there was one, is over.
                m_starved = false;
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
                // Out of descriptors or memory: trying again at once would only spin.
                return pause(errno);
            }
        }
        Client client;
        client.fd = fd;
        const QHostAddress address(reinterpret_cast<sockaddr*>(&peer));
        client.address = addressText(address);
        if (peer.ss_family == AF_INET)
            client.port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
        if (!m_offer(client))
            ::close(fd);
    }
}

void Listener::pause(int error) {
    if (m_fd < 0)
        return;
    m_paused = true;
    m_reactor.modify(m_fd, 0);
    m_rest.start(RestMs);
    if (m_starved)
        return;
    m_starved = true;
    m_shortage(error);
}

void Listener::resumeAccepting() {
    if (m_fd < 0 || !m_paused)
        return;
    m_rest.stop();
    m_paused = false;
    m_reactor.modify(m_fd, EPOLLIN);
}

} // namespace Tarnwick
