#pragma once

#include "proxy/answerstream.h"
#include "proxy/chunkreader.h"
#include "proxy/exchange.h"

#include <memory>
#include <optional>

namespace Tarnwick {

class ContentDecoder;
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
    // A compressed HTML page the Script rule reads is decoded on the way. Starts undoing the codings of an HTML answer the Script rule reads; false when the
    // answer was refused for a coding it cannot undo.
    bool startDecoding();
    void body(QByteArray bytes);
    // Filtered bytes of a decoded answer: the head as it is, the body in chunks.
    void toBrowserDecoded(QByteArray filtered);
    bool finishDecoding();
    void undecodable(const QString& why);
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

    // Decoding a compressed page.
    std::unique_ptr<ContentDecoder> m_decoder;
    QByteArray m_coding;
    std::optional<ChunkReader> m_chunks; // the answer's chunks, undone before decoding
    bool m_rechunk = false;              // the decoded body goes in chunks
    qsizetype m_headLeft = 0;            // filtered bytes still to come of the head
};

} // namespace Tarnwick
