#include "proxy/storedexchange.h"

#include "monitor/eventmonitor.h"
#include "platform/spillstore.h"
#include "proxy/chunkreader.h"
#include "proxy/contentdecoder.h"
#include "proxy/finalanswer.h"
#include "proxy/headerrewrite.h"
#include "proxy/htmlfilter.h"
#include "proxy/relaylog.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
constexpr int PumpDelayMs = 100;
} // namespace

StoredExchange::StoredExchange(ExchangeHost& host, Request request, SpillStore& body,
                               SpillStore& answer)
    : m_host(host), m_upload(host, std::move(request), body), m_answer(answer) {}

void StoredExchange::serverReady(bool) {
    m_host.disarm();
    // A fresh store for the answer of this attempt.
    m_answer.clear();
    m_arrivals = 0;
    m_waiting = false;
    m_upload.start();
}

void StoredExchange::browserBody(QByteArrayView bytes) {
    if (m_waiting || m_done)
        return;
    if (!m_upload.add(bytes))
        m_host.done(Ending::Refused);
}

void StoredExchange::serverData(QByteArrayView bytes) {
    if (m_waiting || m_done)
        return;
    // Never relay an answer that could not be stored whole.
    if (!m_answer.append(bytes))
        return m_host.done(Ending::Refused);
    ++m_arrivals;
    m_host.log().serverData(m_host.index(), m_arrivals, bytes.size(), bytes);
}

void StoredExchange::sent(Peer side) {
    if (side == Peer::Server)
        m_upload.serverCaughtUp();
}

void StoredExchange::ended(Peer side) {
    if (side == Peer::Browser)
        return;
    m_host.log().serverClosed(m_host.index());
    m_host.closeServer();
    m_upload.stop();
    if (m_waiting || m_done)
        return;
    // The answer is complete; the pump takes it 100 ms later.
    m_waiting = true;
    m_host.arm(PumpDelayMs);
}

void StoredExchange::failed(Peer, int) {
    // Once the connection was made, nothing more will come, and the browser is not
    // left waiting. (The server side has logged the failure.)
    m_host.closeServer();
    m_host.done(Ending::Refused);
}

void StoredExchange::deadline() {
    if (m_waiting)
        pump();
}

void StoredExchange::pump() {
    m_waiting = false;
    SettingsStore& store = m_host.store();
    const SettingsStore::ReadScope oneLook(store);
    // Interim answers pass as they are; the rules judge the final one alone.
    const QByteArrayView start = m_answer.start();
    const qsizetype finalStart = finalAnswerStart(start);
    QByteArray headerBlock;
    const qsizetype blank = start.sliced(finalStart).indexOf(QByteArrayView(BlankLine));
    if (blank >= 0) {
        headerBlock = start.sliced(finalStart, blank).toByteArray();
    } else if (m_answer.spilled()) {
        // A head longer than what stays in memory: found in the file.
        const qint64 at = m_answer.find(BlankLine, finalStart);
        if (at >= 0)
            headerBlock = m_answer.read(finalStart, at - finalStart);
    }
    StoredAnswer stored;
    stored.head = readAnswerHead(headerBlock);
    stored.length = m_answer.size() - finalStart;
    stored.headRequest = m_upload.request().headRequest;
    stored.recheckCount = m_rechecks;
    stored.showWhole =
        stored.head.statusCode == "302" && m_host.log().monitor().isChecked(MonitorBox::LanSend);
    AnswerPlan plan = planAnswer(stored);
    // A request whose repetition is not harmless gets at once what the last try gives.
    if (plan == AnswerPlan::ReRequest && !m_upload.request().repeatable)
        plan = AnswerPlan::GiveUp;
    switch (plan) {
    case AnswerPlan::Refuse:
        return m_host.done(Ending::Refused);
    case AnswerPlan::ReRequest:
    case AnswerPlan::GiveUp:
        return recheck(stored, plan == AnswerPlan::GiveUp);
    case AnswerPlan::SendWhole:
    case AnswerPlan::Stream:
        return sendAnswer(stored, finalStart, plan);
    }
}

void StoredExchange::recheck(const StoredAnswer& stored, bool giveUp) {
    m_host.log().shortAnswer(m_host.index(), announcedSize(stored.head).value_or(0), stored.length);
    if (giveUp)
        return m_host.done(Ending::Refused);
    m_answer.clear();
    m_arrivals = 0;
    m_rechecks += 1;
    // The same server again; the reconnections left are shared with the first request.
    m_host.reopenServer(true);
}

void StoredExchange::sendAnswer(const StoredAnswer& stored, qsizetype finalStart, AnswerPlan plan) {
    const AnswerHead& head = stored.head;
    SettingsStore& store = m_host.store();
    // Only answers the HTML rules may rewrite, or a redirect shown whole, are held
    // whole in memory; everything else goes as it lies, a large one from its file.
    const bool holdWhole = plan == AnswerPlan::SendWhole;
    QByteArray answer;
    if (holdWhole && !m_answer.readAll(answer))
        return m_host.done(Ending::Refused);
    // The rules read their settings for every answer (and drop a bad value); they
    // change only an answer held whole, and only its final part.
    const bool chunked = isChunked(head.headerBlock);
    const HtmlFilter rules = htmlFilterFor(head.html, store, chunked);
    const bool hideHints = hidesBrowser(store);
    if (holdWhole) {
        QByteArray finalPart = answer.mid(finalStart);
        if (!ruled(finalPart, head, rules, hideHints))
            return;
        answer = answer.first(finalStart) + finalPart;
    } else if (!m_answer.spilled()) {
        answer = m_answer.memory();
        if (hideHints) {
            const qsizetype end = finalStart + head.headerBlock.size() + BlankLine.size();
            answer = answer.first(finalStart) +
                     answerHeadForBrowser(answer.sliced(finalStart, end - finalStart), false, true) +
                     answer.sliced(end);
        }
    }

    if (holdWhole || !m_answer.spilled()) {
        m_host.send(Peer::Browser, answer);
    } else {
        // Nothing is left behind if the program ends while the file is being sent.
        m_answer.removeName();
        m_host.sendFile(Peer::Browser, m_answer.fd(), 0, m_answer.size());
    }
    m_done = true;
    if (head.statusCode == "302")
        m_host.log().answerSent(m_host.index(), answer, true);
    else
        m_host.log().answerSent(m_host.index(), head.headerBlock, false);
    m_host.done(Ending::Answered);
}

bool StoredExchange::ruled(QByteArray& finalPart, const AnswerHead& head, const HtmlFilter& rules,
                           bool hideHints) {
    const qsizetype headEnd = head.headerBlock.size() + BlankLine.size();
    bool chunked = isChunked(head.headerBlock);
    QByteArray outHead = finalPart.first(std::min(headEnd, finalPart.size()));
    QByteArray body = finalPart.mid(headEnd);
    QByteArray coding;
    std::unique_ptr<ContentDecoder> decoder;
    const bool bodyless = m_upload.request().headRequest || statusHasNoBody(head.statusCode);
    if (rules.readsScripts() && !bodyless)
        decoder = decoderForAnswer(head.headerBlock, &coding);
    if (namesCoding(coding)) {
        // The page came compressed although it was asked for as it is: read it as the
        // streamed answers are, or refuse it, never pass what the rule could not read.
        QString why = undecodableCoding();
        if (decoder && decodedWhole(*decoder, chunked, body, why)) {
            outHead = decodedHead(outHead, false);
            chunked = false;
        } else {
            m_host.log().undecodable(m_host.index(), coding, why);
            m_host.done(Ending::Refused);
            return false;
        }
    }
    finalPart = answerHeadForBrowser(outHead, rules.readsScripts(), hideHints) + body;
    HtmlFilter::filterWhole(finalPart.data(), finalPart.size(), rules.setsCookie(),
                            rules.readsScripts(), chunked);
    return true;
}

bool StoredExchange::decodedWhole(ContentDecoder& decoder, bool chunked, QByteArray& body,
                                  QString& why) {
    QByteArray data;
    if (chunked) {
        ChunkReader chunks;
        chunks.read(body, &data);
        if (chunks.malformed()) {
            why = unreadableChunks();
            return false;
        }
    } else {
        data = std::move(body);
    }
    QByteArray decoded;
    ContentDecoder::Status status = decoder.feed(data, decoded);
    const bool fed = status == ContentDecoder::Status::Ok;
    if (fed)
        status = decoder.finish();
    if (status != ContentDecoder::Status::Ok) {
        why = decodingFailure(status, fed);
        return false;
    }
    body = std::move(decoded);
    return true;
}

} // namespace Tarnwick
