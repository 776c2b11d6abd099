#include "platform/slottimers.h"

#include <QTimerEvent>
#include <cmath>

namespace Tarnwick {

SlotTimers::SlotTimers(int size, double scale, QObject* parent)
    : QObject(parent), m_elements(size_t(size)), m_scale(scale) {}

int SlotTimers::scaled(int ms) const {
    return std::max(0, int(std::lround(ms * m_scale)));
}

bool SlotTimers::exists(int index) const {
    return index >= 0 && size_t(index) < m_elements.size() && m_elements[size_t(index)].exists;
}

void SlotTimers::start(int index) {
    Element& element = m_elements[size_t(index)];
    stop(index);
    // Never early: a coarse timer may fire 5 % before its interval.
    element.timer.start(element.intervalMs, Qt::PreciseTimer, this);
    m_indexOfTimer.insert(element.timer.timerId(), index);
}

void SlotTimers::stop(int index) {
    Element& element = m_elements[size_t(index)];
    if (!element.timer.isActive())
        return;
    m_indexOfTimer.remove(element.timer.timerId());
    element.timer.stop();
}

bool SlotTimers::create(int index, int intervalMs, bool enabled) {
    if (index < 0 || size_t(index) >= m_elements.size() || exists(index))
        return false;
    Element& element = m_elements[size_t(index)];
    element.exists = true;
    element.intervalMs = scaled(intervalMs);
    if (enabled)
        start(index);
    return true;
}

bool SlotTimers::setInterval(int index, int intervalMs) {
    if (!exists(index))
        return false;
    Element& element = m_elements[size_t(index)];
    element.intervalMs = scaled(intervalMs);
    if (element.timer.isActive())
        start(index); // a new interval counts from now
    return true;
}

bool SlotTimers::setEnabled(int index, bool enabled) {
    if (!exists(index))
        return false;
    if (enabled)
        start(index);
    else
        stop(index);
    return true;
}

bool SlotTimers::destroy(int index) {
    if (!exists(index))
        return false;
    stop(index);
    m_elements[size_t(index)].exists = false;
    return true;
}

bool SlotTimers::isEnabled(int index) const {
    return exists(index) && m_elements[size_t(index)].timer.isActive();
}

void SlotTimers::timerEvent(QTimerEvent* event) {
    const auto found = m_indexOfTimer.constFind(event->timerId());
    if (found == m_indexOfTimer.constEnd())
        return QObject::timerEvent(event);
    emit tick(*found);
}

} // namespace Tarnwick
