#include "platform/slottimers.h"

#include <cmath>

namespace Tarnwick {

SlotTimers::SlotTimers(int size, double scale, QObject* parent)
    : QObject(parent), m_timers(size_t(size)), m_scale(scale) {}

int SlotTimers::scaled(int ms) const {
    return std::max(0, int(std::lround(ms * m_scale)));
}

bool SlotTimers::exists(int index) const {
    return index >= 0 && size_t(index) < m_timers.size() && m_timers[size_t(index)];
}

bool SlotTimers::create(int index, int intervalMs, bool enabled) {
    if (index < 0 || size_t(index) >= m_timers.size() || exists(index))
        return false;
    auto* timer = new QTimer(this);
    // Never early: a coarse timer may fire 5 % before its interval.
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(scaled(intervalMs));
    connect(timer, &QTimer::timeout, this, [this, index] { emit tick(index); });
    m_timers[size_t(index)] = timer;
    if (enabled)
        timer->start();
    return true;
}

bool SlotTimers::setInterval(int index, int intervalMs) {
    if (!exists(index))
        return false;
    QTimer* timer = m_timers[size_t(index)];
    const bool active = timer->isActive();
    timer->setInterval(scaled(intervalMs));
    if (active)
        timer->start(); // a new interval counts from now
    return true;
}

bool SlotTimers::setEnabled(int index, bool enabled) {
    if (!exists(index))
        return false;
    QTimer* timer = m_timers[size_t(index)];
    if (enabled)
        timer->start();
    else
        timer->stop();
    return true;
}

bool SlotTimers::destroy(int index) {
    if (!exists(index))
        return false;
    QTimer* timer = m_timers[size_t(index)];
    m_timers[size_t(index)] = nullptr;
    timer->stop();
    // May be called from this timer's own tick.
    timer->deleteLater();
    return true;
}

bool SlotTimers::isEnabled(int index) const {
    return exists(index) && m_timers[size_t(index)]->isActive();
}

} // namespace Tarnwick
