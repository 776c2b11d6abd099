#include "platform/reactor.h"

#include <QSocketNotifier>
#include <QTimerEvent>

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace Tarnwick {

namespace {
// Events taken per epoll_wait; more wait for the next wake-up.
constexpr int Batch = 256;

quint64 tokenOf(int fd, quint32 serial) {
    return (quint64(serial) << 32) | quint32(fd);
}
} // namespace

Reactor::Busy::~Busy() {
    if (--m_reactor.m_depth != 0)
        return;
    if (m_reactor.m_idle)
        m_reactor.m_idle();
    // Left over by a handler that ran outside a wake-up (a deadline, say).
    if (!m_reactor.m_again.empty())
        m_reactor.comeBack();
}

Reactor::Reactor() {
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0)
        return;
    m_notifier = new QSocketNotifier(qintptr(m_epoll), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Reactor::dispatch);
}

Reactor::~Reactor() {
    delete m_notifier;
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool Reactor::add(int fd, quint32 events, Watched* watched, bool first) {
    if (m_epoll < 0 || fd < 0)
        return false;
    if (size_t(fd) >= m_entries.size())
        m_entries.resize(size_t(fd) + 64);
    Entry& entry = m_entries[size_t(fd)];
    entry = {watched, ++m_serial, first};
    if (m_serial == 0)
        entry.serial = m_serial = 1;
    epoll_event event{};
    event.events = events;
    event.data.u64 = tokenOf(fd, entry.serial);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        entry = {};
        return false;
    }
    return true;
}

bool Reactor::modify(int fd, quint32 events) {
    if (fd < 0 || size_t(fd) >= m_entries.size() || !m_entries[size_t(fd)].watched)
        return false;
    epoll_event event{};
    event.events = events;
    event.data.u64 = tokenOf(fd, m_entries[size_t(fd)].serial);
    return ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) == 0;
}

void Reactor::remove(int fd) {
    if (fd < 0 || size_t(fd) >= m_entries.size() || !m_entries[size_t(fd)].watched)
        return;
    // Closing the descriptor takes it out of the set (nothing here duplicates one);
    // an event already collected for it finds no entry, or another serial.
    m_entries[size_t(fd)] = {};
}

void Reactor::again(int fd) {
    if (fd < 0 || size_t(fd) >= m_entries.size() || !m_entries[size_t(fd)].watched)
        return;
    m_again.push_back(tokenOf(fd, m_entries[size_t(fd)].serial));
    // Outside any handler nobody would run the list: come back at once.
    if (m_depth == 0)
        comeBack();
}

void Reactor::comeBack() {
    if (m_comingBack)
        return;
    m_comingBack = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_comingBack = false;
            dispatch();
        },
        Qt::QueuedConnection);
}

Reactor::Entry* Reactor::entryFor(quint64 token) {
    const quint32 fd = quint32(token);
    if (fd >= m_entries.size())
        return nullptr;
    Entry& entry = m_entries[fd];
    if (!entry.watched || entry.serial != quint32(token >> 32))
        return nullptr;
    return &entry;
}

void Reactor::dispatch() {
    if (m_epoll < 0)
        return;
    const Busy busy(*this);
    epoll_event events[Batch];
    int n = ::epoll_wait(m_epoll, events, Batch, 0);
    if (n < 0)
        n = 0;
    // Two passes: the descriptors that must come first, then the rest.
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = 0; k < n; ++k) {
            Entry* entry = entryFor(events[k].data.u64);
            if (!entry || entry->first != (pass == 0))
                continue;
            entry->watched->ready(events[k].events);
        }
    }
    runAgain();
}

void Reactor::runAgain() {
    if (m_again.empty())
        return;
    m_againRunning.swap(m_again);
    for (const quint64 token : m_againRunning)
        if (Entry* entry = entryFor(token))
            entry->watched->ready(EPOLLIN);
    m_againRunning.clear();
    // Still more than one visit could take: the event loop gets its turn first.
    if (!m_again.empty())
        comeBack();
}

} // namespace Tarnwick
