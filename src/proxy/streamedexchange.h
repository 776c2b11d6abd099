#pragma once

#include "proxy/answerstream.h"
#include "proxy/exchange.h"

#include <memory>
#include <optional>

namespace Tarnwick {

class HtmlFilter;
class SpillStore;

// An answer passed on as it arrives (逐次転送): interim heads at once, the final head
// judged and sent, the body through the one HTML filter. The browser's connection
// carries the next request where the request, the framing and the end allow; the
// server's is kept where the answer allows; a request whose repetition is harmless goes
// again on a new connection when a kept one was found closed.
class StreamedExchange final : public Exchange {
public:
    StreamedExchange(ExchangeHost& host, Request request, SpillStore& body);
    ~StreamedExchange() override;

    void serverReady(bool reused) override;
    void browserBody(QByteArrayView bytes) override;
    void browserBodyEnd() override;
    void serverData(QByteArrayView bytes) override;
    void sent(Peer side) override;
    void ended(Peer side) override;
    void failed(Peer side, int error) override;

    // What the server said after a WebSocket's 101, for the tunnel that follows.
    QByteArray takeEarly() { return std::exchange(m_early, {}); }

private:
    bool head(const QByteArray& bytes);
    void toBrowser(QByteArray bytes);
    void end(bool serverClosed);
    void serverGone();
    bool sendAgain();

    ExchangeHost& m_host;
    Upload m_upload;
    bool m_reused = false;
    bool m_done = false;
    bool m_keepBrowser;
    std::optional<AnswerStream> m_stream;
    std::unique_ptr<HtmlFilter> m_filter;
    qint64 m_bytes = 0; // bytes of the final answer passed on
    int m_pieces = 0;
    QByteArray m_early;
};

} // namespace Tarnwick
