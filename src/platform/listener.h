#pragma once

#include "platform/reactor.h"

#include <QHostAddress>
#include <QTimer>
#include <functional>

namespace Tarnwick {

// The proxy's listening socket, in the reactor's set. Each waiting client is offered
// to its owner with the address it came from; one the owner does not take is closed at
// once, without a byte sent. Accepting pauses while the relays could not all be given
// their descriptors, and when the process or system runs out of descriptors or memory:
// the shortage is reported once, and accepting resumes when a relay ends
// (resumeAccepting) or after a short rest, whichever comes first.
class Listener final : public Watched {
public:
    struct Client {
        int fd = -1;
        QString address; // as the monitor shows it
        int port = 0;
    };
    // True when the owner took the descriptor.
    using Offer = std::function<bool(const Client&)>;
    // A shortage, as errno.
    using Shortage = std::function<void(int error)>;
    // How many more descriptors the relays already taken may still need.
    using Reserved = std::function<int()>;

    static constexpr int DescriptorsPerRelay = 4;

    Listener(Reactor& reactor, Offer offer, Shortage shortage, Reserved reserved);
    ~Listener();

    // Listens on every IPv4 address at `port` (0 picks a free one).
    bool listen(int port);
    void close();
    bool isListening() const { return m_fd >= 0; }
    int port() const;
    void resumeAccepting();

    void ready(quint32 events) override;

private:
    void pause(int error);

    Reactor& m_reactor;
    Offer m_offer;
    Shortage m_shortage;
    Reserved m_reserved;
    int m_fd = -1;
    // Descriptors the relays may hold in all, beyond what the program had at listening.
    int m_budget = 0;
    bool m_paused = false;
    // Set from a shortage until no client is left waiting, so that one shortage is
    // reported once however often accepting is retried meanwhile.
    bool m_starved = false;
    QTimer m_rest;
};

} // namespace Tarnwick
