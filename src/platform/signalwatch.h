#pragma once

#include <QObject>

class QSocketNotifier;

namespace Tarnwick {

// The signals that ask a program to end (SIGTERM at logout or a service stop, SIGHUP
// when its terminal closes, SIGINT on Ctrl+C), delivered by the event loop instead
// of ending the process on the spot, so the program ends by its own path: sockets
// closed, answer files removed, instance lock released. The handler only writes the
// signal's number into a pipe. One watch per process at a time; while it lives, the
// signals no longer end the process by themselves.
class SignalWatch : public QObject {
    Q_OBJECT
public:
    explicit SignalWatch(QObject* parent = nullptr);
    // The signals get back the actions they had before.
    ~SignalWatch() override;
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // False when no pipe could be made: the signals keep their actions.
    bool isWatching() const { return m_notifier != nullptr; }

signals:
    // Once per signal received; a second one may come while the first is handled.
    void endRequested(int signalNumber);

private:
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace Tarnwick
