#include "platform/signalwatch.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace Tarnwick {

namespace {

constexpr int Watched[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction g_previous[std::size(Watched)];
// Read end, write end. Static: the handler sees nothing else.
int g_pipe[2] = {-1, -1};

// Only async-signal-safe calls here. The write end does not block, so a flood of
// signals cannot hang the process; losing bytes beyond a full pipe loses nothing.
void onSignal(int number) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto n = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatch::SignalWatch(QObject* parent) : QObject(parent) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte;
        while (::read(g_pipe[0], &byte, 1) == 1)
            emit endRequested(byte);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // The event loop's system calls go on as if nothing had happened.
    action.sa_flags = SA_RESTART;
    for (size_t k = 0; k < std::size(Watched); ++k)
        ::sigaction(Watched[k], &action, &g_previous[k]);
}

SignalWatch::~SignalWatch() {
    if (!m_notifier)
        return;
    for (size_t k = 0; k < std::size(Watched); ++k)
        ::sigaction(Watched[k], &g_previous[k], nullptr);
    // The notifier goes before the descriptor it watches.
    delete m_notifier;
    m_notifier = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

} // namespace Tarnwick
