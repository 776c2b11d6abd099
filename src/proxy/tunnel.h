#pragma once

#include "proxy/exchange.h"

#include <memory>

namespace Tarnwick {

class SpillStore;

// A byte tunnel: a CONNECT's (once the server side is up, answered here or by the
// upstream proxy), or a WebSocket's after its 101. Bytes pass both ways unread, each
// direction held back while the other side is far behind. The two directions end
// separately: an end read on one side is passed on as an end to the other, once
// everything for it has left; from then on the other direction has HalfClosedMs to end
// too. A tunnel with no byte either way for IdleMs is closed.
class Tunnel final : public Exchange {
public:
    static constexpr int HalfClosedMs = 60 * 1000;
    static constexpr int IdleMs = 15 * 60 * 1000;
    // The answer to a CONNECT the proxy opens itself.
    static constexpr QByteArrayView Established = "HTTP/1.1 200 Connection established\r\n\r\n";

    // `connectHead`: a CONNECT to hand to the upstream proxy once connected, or empty to
    // answer the browser here; `early`: the browser's bytes that came before.
    Tunnel(ExchangeHost& host, QByteArray connectHead, SpillStore& early);
    // A tunnel that is open at once (a WebSocket after its 101).
    static std::unique_ptr<Tunnel> open(ExchangeHost& host, SpillStore& early,
                                        QByteArray fromServer, QByteArray fromBrowser);

    void serverReady(bool reused) override;
    void browserBody(QByteArrayView bytes) override { carry(Peer::Browser, bytes); }
    void serverData(QByteArrayView bytes) override { carry(Peer::Server, bytes); }
    void sent(Peer side) override;
    void ended(Peer side) override;
    void failed(Peer side, int error) override;
    void deadline() override;
    bool carriesBytes() const override { return true; }

    qint64 up() const { return m_up; }
    qint64 down() const { return m_down; }

private:
    void carry(Peer from, QByteArrayView bytes);
    void start();
    // Both directions have ended and everything for either side has left.
    bool finished() const;
    void checkFinished();

    ExchangeHost& m_host;
    QByteArray m_connectHead;
    SpillStore& m_early; // the browser's bytes before the server connection was up
    bool m_open = false;
    bool m_halfClosed = false;
    qint64 m_up = 0;   // bytes from the browser to the server
    qint64 m_down = 0; // and back
};

} // namespace Tarnwick
