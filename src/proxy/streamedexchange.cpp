#include "proxy/streamedexchange.h"

#include "platform/spillstore.h"
#include "proxy/contentdecoder.h"
#include "proxy/headerrewrite.h"
#include "proxy/htmlfilter.h"
#include "proxy/relaylog.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
} // namespace

StreamedExchange::StreamedExchange(ExchangeHost& host, Request request, SpillStore& body)
    : m_host(host), m_upload(host, std::move(request), body),
      m_keepBrowser(m_upload.request().keepBrowser) {}

StreamedExchange::~StreamedExchange() = default;

void StreamedExchange::serverReady(bool reused) {
    m_reused = reused;
    m_stream.emplace(m_upload.request().headRequest);
    m_filter.reset();
    m_bytes = 0;
    m_pieces = 0;
    m_upload.start();
}

void StreamedExchange::browserBody(QByteArrayView bytes) {
    if (!m_done && !m_upload.add(bytes))
        m_host.done(Ending::Refused);
}

void StreamedExchange::browserBodyEnd() {
    m_upload.bodyEnded();
}

void StreamedExchange::serverData(QByteArrayView bytes) {
    if (m_done || !m_stream)
        return;
    m_stream->feed(bytes);
    std::deque<AnswerStream::Piece>& pieces = m_stream->pieces();
    while (!pieces.empty() && !m_done) {
        AnswerStream::Piece piece = std::move(pieces.front());
        pieces.pop_front();
        switch (piece.kind) {
        case AnswerStream::Piece::Kind::Interim:
            // Passed at once, as it came.
            m_host.log().answerSent(m_host.index(), piece.bytes.chopped(BlankLine.size()), false);
            toBrowser(std::move(piece.bytes));
            break;
        case AnswerStream::Piece::Kind::Head:
            if (!head(piece.bytes))
                return;
            break;
        case AnswerStream::Piece::Kind::Body:
            m_bytes += piece.bytes.size();
            ++m_pieces;
            body(std::move(piece.bytes));
            break;
        }
    }
    if (m_done)
        return;
    if (m_stream->broken())
        return m_host.done(Ending::Refused);
    if (m_stream->complete())
        end(false);
}

bool StreamedExchange::head(const QByteArray& bytes) {
    SettingsStore& store = m_host.store();
    const SettingsStore::ReadScope oneLook(store);
    const AnswerHead& read = m_stream->head();
    // The same judgement as for an answer stored whole, made on its head alone.
    if (lacksContentType(read, m_upload.request().headRequest)) {
        m_done = true;
        m_host.done(Ending::Refused);
        return false;
    }
    m_host.log().answerSent(m_host.index(), read.headerBlock, false);
    if (m_upload.request().upgrade && read.statusCode == "101") {
        // A WebSocket: from here on the connection carries bytes both ways, unread.
        toBrowser(bytes);
        m_early = m_stream->takeExcess();
        m_done = true;
        m_host.done(Ending::Tunnel);
        return false;
    }
    m_keepBrowser = m_keepBrowser && m_stream->framing() != AnswerStream::Framing::UntilClose;
    // The rules read their switches for every answer, as for one stored whole.
    HtmlFilter filter = htmlFilterFor(read.html, store, isChunked(read.headerBlock));
    const QByteArray edited =
        answerHeadForBrowser(bytes, filter.readsScripts(), hidesBrowser(store));
    if (read.html)
        m_filter = std::make_unique<HtmlFilter>(std::move(filter));
    if (!startDecoding())
        return false;
    const QByteArray head = m_decoder ? decodedHead(edited, m_rechunk) : edited;
    const QByteArray out = m_keepBrowser ? head : withConnectionClose(head);
    if (m_decoder) {
        m_headLeft = out.size();
        toBrowserDecoded(m_filter->feed(out));
    } else {
        toBrowser(m_filter ? m_filter->feed(out) : out);
    }
    return !m_done;
}

bool StreamedExchange::startDecoding() {
    if (!m_filter || !m_filter->readsScripts() ||
        m_stream->framing() == AnswerStream::Framing::Empty)
        return true;
    m_decoder = decoderForAnswer(m_stream->head().headerBlock, &m_coding);
    if (!m_decoder) {
        if (!namesCoding(m_coding))
            return true;
        // A coding it cannot undo would pass the rule unread: refused, nothing sent.
        m_host.log().undecodable(m_host.index(), m_coding, undecodableCoding());
        m_done = true;
        m_host.closeServer();
        m_host.done(Ending::Refused);
        return false;
    }
    if (m_stream->framing() == AnswerStream::Framing::Chunked)
        m_chunks.emplace();
    // The decoded length is known only at the end: chunks where the browser reads
    // them, the close otherwise.
    m_rechunk =
        m_upload.request().bytes.left(m_upload.request().bytes.indexOf('\r')).endsWith("HTTP/1.1");
    m_keepBrowser = m_keepBrowser && m_rechunk;
    // The filter reads the decoded text, which has no chunks of its own.
    const SettingsStore::ReadScope oneLook(m_host.store());
    m_filter = std::make_unique<HtmlFilter>(htmlFilterFor(true, m_host.store(), false));
    return true;
}

void StreamedExchange::body(QByteArray bytes) {
    if (!m_decoder)
        return toBrowser(m_filter ? m_filter->feed(bytes) : std::move(bytes));
    QByteArray data;
    if (m_chunks) {
        m_chunks->read(bytes, &data);
        if (m_chunks->malformed())
            return undecodable(unreadableChunks());
    } else {
        data = std::move(bytes);
    }
    QByteArray decoded;
    const ContentDecoder::Status status = m_decoder->feed(data, decoded);
    if (status != ContentDecoder::Status::Ok)
        return undecodable(decodingFailure(status));
    toBrowserDecoded(m_filter->feed(decoded));
}

void StreamedExchange::toBrowserDecoded(QByteArray filtered) {
    const qsizetype head = std::min(m_headLeft, filtered.size());
    m_headLeft -= head;
    if (head == filtered.size())
        return toBrowser(std::move(filtered));
    const QByteArrayView body = QByteArrayView(filtered).sliced(head);
    toBrowser(filtered.first(head) + (m_rechunk ? chunkOf(body) : body.toByteArray()));
}

bool StreamedExchange::finishDecoding() {
    if (const ContentDecoder::Status status = m_decoder->finish();
        status != ContentDecoder::Status::Ok) {
        undecodable(decodingFailure(status, true));
        return false;
    }
    toBrowserDecoded(m_filter->finish());
    if (m_rechunk)
        toBrowser(LastChunk.toByteArray());
    return true;
}

void StreamedExchange::undecodable(const QString& why) {
    // Never the bytes it could not read: the browser's answer ends short, and both
    // connections with it.
    m_host.log().undecodable(m_host.index(), m_coding, why);
    m_done = true;
    m_host.closeServer();
    m_host.done(Ending::Streamed);
}

void StreamedExchange::toBrowser(QByteArray bytes) {
    if (bytes.isEmpty() || !m_host.isOpen(Peer::Browser))
        return;
    m_host.send(Peer::Browser, std::move(bytes));
    // Reading from the server waits while the browser is far behind.
    if (m_host.queued(Peer::Browser) > Backlog)
        m_host.pause(Peer::Server, Connection::Hold::PeerBehind);
}

void StreamedExchange::end(bool serverClosed) {
    const bool framed = m_stream->complete();
    const bool complete = framed || m_stream->framing() == AnswerStream::Framing::UntilClose;
    if (m_decoder) {
        if (!finishDecoding())
            return;
    } else if (m_filter) {
        toBrowser(m_filter->finish());
    }
    m_done = true;
    m_host.log().answerEnded(m_host.index(), m_bytes, m_pieces,
                             complete ? std::nullopt
                                      : std::optional(m_stream->announced().value_or(0)),
                             m_stream->received());
    // A server connection goes on only where both the answer and the request ended
    // where their framing says, and nothing came after the answer.
    const bool serverKept = !serverClosed && m_stream->excess() == 0 && m_upload.complete() &&
                            serverKeepsConnection(m_stream->head().headerBlock, framed);
    if (serverKept)
        m_host.keepServer();
    else if (!serverClosed)
        m_host.closeServer();
    // The browser reads the end of an answer without framing from our close.
    const bool next = framed && m_keepBrowser && !m_stream->unframed();
    m_host.done(next ? Ending::Next : Ending::Streamed);
}

void StreamedExchange::sent(Peer side) {
    if (side == Peer::Server)
        return m_upload.serverCaughtUp();
    // The browser caught up: the server may send again.
    m_host.resume(Peer::Server, Connection::Hold::PeerBehind);
}

void StreamedExchange::ended(Peer side) {
    if (side == Peer::Server) {
        m_host.log().serverClosed(m_host.index());
        serverGone();
    }
}

void StreamedExchange::failed(Peer side, int) {
    // The server side has logged the failure.
    if (side == Peer::Server)
        serverGone();
}

void StreamedExchange::serverGone() {
    m_host.closeServer();
    m_upload.stop();
    if (m_done || !m_stream)
        return;
    if (sendAgain())
        return;
    if (!m_stream->headDone()) {
        m_done = true;
        return m_host.done(Ending::Refused);
    }
    end(true);
}

bool StreamedExchange::sendAgain() {
    // A kept connection the server closed meanwhile: a request that got nothing back
    // goes again on a new one where repeating it is harmless, as browsers do.
    if (!m_reused || !m_upload.request().repeatable || m_stream->received() > 0 ||
        !m_stream->pieces().empty())
        return false;
    m_reused = false;
    m_stream.reset();
    m_host.reopenServer(false);
    return true;
}

} // namespace Tarnwick
