#pragma once

#include <QBasicTimer>
#include <QObject>
#include <QtGlobal>
#include <vector>

namespace Tarnwick {

class Reactor;

// Every deadline of the relays on one timer. A deadline is a node its owner keeps
// (one per relay); deadlines of one interval expire in the order they were set, so
// each interval keeps a plain queue and the timer waits for the earliest head.
// Nothing expires before its time: intervals are measured on the monotonic clock in
// nanoseconds, and the timer is only the alarm that makes us look.
class Deadlines : public QObject {
public:
    class Client {
    public:
        virtual void deadlineReached() = 0;

    protected:
        ~Client() = default;
    };

    class Node {
    public:
        explicit Node(Client& client) : m_client(&client) {}
        ~Node();
        Node(const Node&) = delete;
        Node& operator=(const Node&) = delete;

    private:
        friend class Deadlines;
        Client* m_client;
        Deadlines* m_owner = nullptr;
        Node* m_prev = nullptr;
        Node* m_next = nullptr;
        qint64 m_due = 0;
        int m_lane = -1;
    };

    explicit Deadlines(Reactor& reactor, QObject* parent = nullptr);
    ~Deadlines() override;

    // Every interval is multiplied by the scale (tests run the relay's clocks faster).
    void setScale(double scale) { m_scale = scale; }
    // Sets the node to expire `intervalMs` from now, replacing what it was set to.
    void arm(Node& node, int intervalMs);
    void cancel(Node& node);

    static qint64 nowNs();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Lane {
        qint64 intervalNs = 0;
        Node* head = nullptr;
        Node* tail = nullptr;
    };
    static constexpr int Expired = -2;
    void unlink(Node& node);
    void rearm();

    Reactor& m_reactor;
    std::vector<Lane> m_lanes;
    QBasicTimer m_timer;
    qint64 m_timerDue = -1; // when the running timer was set to look
    double m_scale = 1.0;
};

} // namespace Tarnwick
