#pragma once

#include "platform/connection.h"
#include "platform/deadlines.h"
#include "proxy/h2session.h"
#include "proxy/originlink.h"
#include "proxy/outermost.h"
#include "proxy/streamanswer.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace Tarnwick {

// An intercepted connection on which the browser speaks HTTP/2: each stream is one
// request and its answer, judged by the same rules as an HTTP/1.1 request (its header
// list read as an HTTP/1.1 head), sent to the origin over HTTP/2 when the origin
// speaks it, else over up to six kept HTTP/1.1 connections; the answer comes back
// through the same filters. Flow control is the back-pressure: a stream's window
// grows again only as the other side takes the bytes.
class H2Front final : public H2Session::Events, public OriginLink::Owner, public Deadlines::Client {
public:
    // HTTP/1.1 connections to one origin at most, as browsers open.
    static constexpr int MaxH1Links = 6;

    // `route`: where the CONNECT leads. `wake`: the front has ended (over() says so);
    // its relay acts on it from the event loop, never inside the front's calls.
    H2Front(RelayContext& context, int index, quint64 serial, Connection& browser,
            ServerSide::Route route, std::function<void()> wake);
    ~H2Front();
    H2Front(const H2Front&) = delete;
    H2Front& operator=(const H2Front&) = delete;

    // The browser's bytes, and that what it was sent has left.
    void arrived(QByteArrayView bytes);
    void sent();
    // Nothing more will be said: the browser's connection closes once its bytes left.
    bool over() const { return m_over; }
    // An origin connection by its id, for late name lookups.
    ServerSide* serverSide(int id);
    // The user's answer about a cabinet download on one of the streams.
    void cabinetAnswered(int question, bool yes);

    void deadlineReached() override;

private:
    struct Stream {
        QByteArray head; // the request as the origin gets it, rewritten
        bool headRequest = false;
        bool repeatable = false; // sending it again is harmless
        bool bodyFollows = false;
        bool bodyEnded = false;
        bool triedAgain = false;
        QByteArray early; // body bytes that came before an origin connection took it
        OriginLink* link = nullptr;
        bool answered = false; // its final head went to the browser
        bool bodyless = false;
        bool ended = false; // the answer ended
        StreamAnswer answer;
        qint64 bytes = 0;
        // Answer bytes handed to the browser's stream (as sent, as they came), in order,
        // and how much of the first has left: the origin may send as much more.
        std::deque<std::pair<qsizetype, qsizetype>> inFlight;
        qsizetype left = 0;
    };

    // H2Session::Events, from the browser.
    void headers(qint32 stream, HeaderList fields, bool ended) override;
    void data(qint32 stream, QByteArrayView bytes) override;
    void dataEnded(qint32 stream) override;
    void closed(qint32 stream, quint32 error) override;
    void dataSent(qint32 stream, qsizetype bytes) override;
    void goaway(quint32 error, qint32 lastStream) override;

    // OriginLink::Owner.
    void linkReady(OriginLink& link) override;
    void linkUnreachable(OriginLink& link, TlsCheck check, const QString& why) override;
    void linkIdle(OriginLink& link) override;
    void linkClosed(OriginLink& link) override;
    void answerHead(qint32 stream, const QByteArray& head, bool bodyless) override;
    void answerData(qint32 stream, QByteArrayView bytes) override;
    void answerEnded(qint32 stream) override;
    void answerFailed(qint32 stream, bool again) override;
    void bodyTaken(qint32 stream, qsizetype bytes) override;

    void request(qint32 stream, Stream& s);
    void dispatch();
    void startOn(OriginLink& link, qint32 stream);
    void openLink();
    void refuse(qint32 stream, QByteArray answer = {});
    void shortened(qint32 stream, Stream& s);
    Stream* find(qint32 stream);
    void flush();
    void takeOutput();
    void idleCheck();
    void end();

    RelayContext& m_ctx;
    const int m_index;
    const quint64 m_serial;
    Connection& m_browser;
    const ServerSide::Route m_route;
    std::function<void()> m_wake;
    H2Session m_session;
    Deadlines::Node m_deadline;
    std::map<qint32, Stream> m_streams;
    std::deque<qint32> m_waiting; // streams no origin connection has taken yet
    std::vector<std::unique_ptr<OriginLink>> m_links;
    OriginLink::Protocol m_originSpeaks = OriginLink::Protocol::Unknown;
    int m_nextLink = 1;
    std::map<int, qint32> m_questions; // cabinet questions open, by number
    int m_question = 0;
    bool m_over = false;
    Outermost m_outer; // takes the session's output outside nested calls
};

} // namespace Tarnwick
