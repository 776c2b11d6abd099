#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <vector>

namespace Tarnwick {

// A control array of timers addressed by slot index: created, set and destroyed at
// run time, each tick delivered with its index on the event loop. Every interval is
// multiplied by the scale, which tests use to run the relay's clocks faster.
class SlotTimers : public QObject {
    Q_OBJECT
public:
    SlotTimers(int size, double scale = 1.0, QObject* parent = nullptr);

    bool exists(int index) const;
    // Fails when the element already exists.
    bool create(int index, int intervalMs, bool enabled);
    // Fail when the element does not exist.
    bool setInterval(int index, int intervalMs);
    bool setEnabled(int index, bool enabled);
    bool destroy(int index);
    bool isEnabled(int index) const;

    void setScale(double scale) { m_scale = scale; }

signals:
    void tick(int index);

private:
    int scaled(int ms) const;
    std::vector<QPointer<QTimer>> m_timers;
    double m_scale;
};

} // namespace Tarnwick
