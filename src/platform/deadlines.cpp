#include "platform/deadlines.h"

#include "platform/reactor.h"

#include <QTimerEvent>

#include <cmath>
#include <ctime>

namespace Tarnwick {

namespace {
constexpr qint64 NsPerMs = 1000000;
} // namespace

Deadlines::Node::~Node() {
    if (m_owner)
        m_owner->cancel(*this);
}

Deadlines::Deadlines(Reactor& reactor, QObject* parent) : QObject(parent), m_reactor(reactor) {}

Deadlines::~Deadlines() {
    for (Lane& lane : m_lanes)
        while (lane.head)
            unlink(*lane.head);
}

qint64 Deadlines::nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Deadlines::arm(Node& node, int intervalMs) {
    if (node.m_owner)
        unlink(node);
    const qint64 interval = qint64(std::llround(double(intervalMs) * m_scale * double(NsPerMs)));
    int lane = 0;
    while (lane < int(m_lanes.size()) && m_lanes[size_t(lane)].intervalNs != interval)
        ++lane;
    if (lane == int(m_lanes.size()))
        m_lanes.push_back({interval, nullptr, nullptr});
    Lane& queue = m_lanes[size_t(lane)];
    node.m_owner = this;
    node.m_lane = lane;
    node.m_due = nowNs() + interval;
    node.m_prev = queue.tail;
    node.m_next = nullptr;
    (queue.tail ? queue.tail->m_next : queue.head) = &node;
    queue.tail = &node;
    if (m_timerDue < 0 || node.m_due < m_timerDue)
        rearm();
}

void Deadlines::cancel(Node& node) {
    if (node.m_owner == this)
        unlink(node);
    node.m_lane = -1; // also when it has expired and waits for its turn
}

void Deadlines::unlink(Node& node) {
    Lane& queue = m_lanes[size_t(node.m_lane)];
    (node.m_prev ? node.m_prev->m_next : queue.head) = node.m_next;
    (node.m_next ? node.m_next->m_prev : queue.tail) = node.m_prev;
    node.m_prev = node.m_next = nullptr;
    node.m_owner = nullptr;
    node.m_lane = -1;
}

void Deadlines::rearm() {
    qint64 earliest = -1;
    for (const Lane& lane : m_lanes)
        if (lane.head && (earliest < 0 || lane.head->m_due < earliest))
            earliest = lane.head->m_due;
    if (earliest < 0) {
        m_timer.stop();
        m_timerDue = -1;
        return;
    }
    if (earliest == m_timerDue && m_timer.isActive())
        return;
    const qint64 wait = earliest - nowNs();
    // Rounded up: the timer never rings before the deadline it was set for.
    const int ms = wait <= 0 ? 0 : int((wait + NsPerMs - 1) / NsPerMs);
    m_timerDue = earliest;
    m_timer.start(ms, Qt::PreciseTimer, this);
}

void Deadlines::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timer.timerId())
        return QObject::timerEvent(event);
    m_timer.stop();
    m_timerDue = -1;
    const Reactor::Busy busy(m_reactor);
    const qint64 now = nowNs();
    // Take every expired node first: a client's handler may set or cancel others.
    std::vector<Node*> expired;
    for (Lane& lane : m_lanes)
        while (lane.head && lane.head->m_due <= now) {
            Node* node = lane.head;
            unlink(*node);
            node->m_lane = Expired;
            expired.push_back(node);
        }
    // Owners are let go of only once no handler runs, so every node is still there;
    // one a handler before it cancelled or set again is skipped.
    for (Node* node : expired)
        if (node->m_lane == Expired) {
            node->m_lane = -1;
            node->m_client->deadlineReached();
        }
    rearm();
}

} // namespace Tarnwick
