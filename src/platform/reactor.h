#pragma once

#include <QObject>
#include <QtGlobal>
#include <functional>
#include <vector>

class QSocketNotifier;

namespace Tarnwick {

// Something whose descriptor is in the readiness set. The events are hints (EPOLLIN,
// EPOLLOUT, EPOLLRDHUP, EPOLLHUP, EPOLLERR): a handler finds out from the descriptor
// itself what really happened.
class Watched {
public:
    virtual void ready(quint32 events) = 0;

protected:
    ~Watched() = default;
};

// One epoll set for every connection of the proxy, watched by the event loop through a
// single socket notifier: a wake-up costs one epoll_wait, however many connections are
// open, and only the ready ones are visited. Everything runs on the event loop's thread.
class Reactor : public QObject {
public:
    Reactor();
    ~Reactor() override;

    bool isValid() const { return m_epoll >= 0; }

    // Adds a descriptor. `first`: its events are handled before any other of the same
    // wake-up (a settings change must be seen before the request that follows it).
    bool add(int fd, quint32 events, Watched* watched, bool first = false);
    bool modify(int fd, quint32 events);
    // Forgets a descriptor; call it before closing the descriptor (which takes it out
    // of the set), so that an event already collected for it never reaches whoever
    // gets the number next. A descriptor that stays open must be modified to 0 first.
    void remove(int fd);
    // Visits `fd` again with EPOLLIN once the current wake-up's events are handled:
    // its data was not all read, and an edge-triggered set will not say so again.
    void again(int fd);

    // Runs whenever the outermost handler has returned: things a handler may still be
    // using are let go of there.
    void setIdle(std::function<void()> idle) { m_idle = std::move(idle); }

    // Marks a handler running for as long as it lives.
    class Busy {
    public:
        explicit Busy(Reactor& reactor) : m_reactor(reactor) { ++m_reactor.m_depth; }
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        Reactor& m_reactor;
    };

    // Handles whatever is ready now (the notifier's activation calls it).
    void dispatch();

private:
    struct Entry {
        Watched* watched = nullptr;
        quint32 serial = 0;
        bool first = false;
    };
    Entry* entryFor(quint64 token);
    void runAgain();
    // Runs dispatch() once more from the event loop, soon.
    void comeBack();

    int m_epoll = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::vector<Entry> m_entries; // by descriptor
    quint32 m_serial = 0;
    std::vector<quint64> m_again;
    std::vector<quint64> m_againRunning;
    int m_depth = 0;
    bool m_comingBack = false;
    std::function<void()> m_idle;
};

} // namespace Tarnwick
