#pragma once

#include <QObject>
#include <QBasicTimer>
#include <QHash>
#include <vector>

namespace Tarnwick {

// A control array of timers addressed by slot index: created, set and destroyed at
// run time, each tick delivered with its index on the event loop. Every interval is
// multiplied by the scale, which tests use to run the relay's clocks faster. One
// object serves all elements, each running element one basic timer, so a thousand
// slots cost no thousand objects and creating an element allocates nothing.
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

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Element {
        bool exists = false;
        int intervalMs = 0; // scaled
        QBasicTimer timer;
    };
    int scaled(int ms) const;
    void start(int index);
    void stop(int index);
    std::vector<Element> m_elements;
    QHash<int, int> m_indexOfTimer; // running timers by id
    double m_scale;
};

} // namespace Tarnwick
