#pragma once

#include "proxy/answerplan.h"
#include "proxy/exchange.h"

namespace Tarnwick {

class ContentDecoder;
class HtmlFilter;
class SpillStore;

// The design's store-and-forward: the answer is stored whole until the server closes,
// looked at 100 ms later, asked for again while it is shorter than its head announces
// (a request whose repetition is harmless only), and sent to the browser, whose
// connection then closes.
class StoredExchange final : public Exchange {
public:
    StoredExchange(ExchangeHost& host, Request request, SpillStore& body, SpillStore& answer);

    void serverReady(bool reused) override;
    void browserBody(QByteArrayView bytes) override;
    void browserBodyEnd() override { m_upload.bodyEnded(); }
    void serverData(QByteArrayView bytes) override;
    void sent(Peer side) override;
    void ended(Peer side) override;
    void failed(Peer side, int error) override;
    void deadline() override;

private:
    void pump();
    void recheck(const StoredAnswer& stored, bool giveUp);
    void sendAnswer(const StoredAnswer& stored, qsizetype finalStart, AnswerPlan plan);
    // The final answer held whole as the browser gets it: decoded where the Script rule
    // must read a compressed page, its head as the rules want it, its bytes filtered.
    // False when it was refused instead.
    bool ruled(QByteArray& finalPart, const AnswerHead& head, const HtmlFilter& rules,
               bool hideHints);
    static bool decodedWhole(ContentDecoder& decoder, bool chunked, QByteArray& body,
                             QString& why);

    ExchangeHost& m_host;
    Upload m_upload;
    SpillStore& m_answer;
    bool m_waiting = false; // the server closed: the pump runs 100 ms later
    bool m_done = false;
    int m_rechecks = 0;
    int m_arrivals = 0; // server-side arrivals of the current attempt
};

} // namespace Tarnwick
