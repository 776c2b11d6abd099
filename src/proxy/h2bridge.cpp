#include "proxy/h2bridge.h"

#include "proxy/answerstream.h"
#include "proxy/contentdecoder.h"

namespace Tarnwick {

namespace {
// The relay writes heads no longer than it reads them.
constexpr qsizetype MaxHead = 64 * 1024;
} // namespace

H2Bridge::H2Bridge(Link& link)
    : m_link(link), m_session(H2Session::Side::Client, *this), m_reader(MaxHead) {
    flush();
}

H2Bridge::~H2Bridge() = default;

qsizetype H2Bridge::waiting() const {
    return m_stream > 0 ? m_session.queued(m_stream) : 0;
}

void H2Bridge::send(QByteArrayView bytes) {
    m_reader.feed(bytes);
    while (!m_detached) {
        std::optional<RequestReader::Item> item = m_reader.take();
        if (!item)
            break;
        switch (item->kind) {
        case RequestReader::Item::Kind::Head:
            startStream(item->bytes);
            break;
        case RequestReader::Item::Kind::Body: {
            QByteArray data;
            if (m_chunks)
                m_chunks->read(item->bytes, &data);
            else
                data = std::move(item->bytes);
            if (!data.isEmpty())
                m_session.sendData(m_stream, data);
            break;
        }
        case RequestReader::Item::Kind::BodyEnd:
            m_session.endData(m_stream);
            m_reader.nextRequest();
            break;
        case RequestReader::Item::Kind::TooLong:
            return fail();
        }
    }
    flush();
}

void H2Bridge::startStream(const QByteArray& head) {
    qint64 length = 0;
    const RequestReader::Framing framing = RequestReader::framingOf(head, &length);
    const bool body = framing == RequestReader::Framing::Chunked ||
                      (framing == RequestReader::Framing::Length && length > 0);
    const std::optional<HeaderList> fields = listFromRequestHead(head);
    // A body that only the close would end has no place in a stream.
    if (!fields || framing == RequestReader::Framing::UntilClose)
        return fail();
    m_closeAfter = !browserKeepsConnection(QByteArrayView(head).chopped(2));
    m_headRequest = head.startsWith("HEAD ");
    m_chunks.reset();
    if (framing == RequestReader::Framing::Chunked)
        m_chunks.emplace();
    m_answered = false;
    m_stream = m_session.request(*fields, !body);
    if (m_stream < 0)
        return fail();
    if (!body)
        m_reader.nextRequest();
}

void H2Bridge::arrived(QByteArrayView bytes) {
    if (!m_session.feed(bytes)) {
        flush();
        return fail();
    }
    flush();
}

void H2Bridge::flush() {
    if (m_detached)
        return;
    QByteArray out = m_session.takeOutput();
    if (!out.isEmpty() && !m_detached)
        m_link.toOrigin(std::move(out));
}

void H2Bridge::fail() {
    if (m_detached)
        return;
    m_detached = true;
    m_link.broken();
}

void H2Bridge::headers(qint32 stream, HeaderList fields, bool ended) {
    if (stream != m_stream || m_detached)
        return;
    const bool answer = !fields.empty() && fields.front().name == ":status";
    if (answer && !m_answered) {
        const bool interim = fields.front().value.startsWith('1');
        std::optional<QByteArray> head = answerHeadFromList(fields, !interim && !ended);
        if (!head)
            return fail();
        if (!interim) {
            m_answered = true;
            m_chunkedAnswer = !ended && isChunked(QByteArrayView(*head).chopped(2));
            // An answer that ended with its head has no body: an HTTP/1.1 reader learns
            // that from its length, or it would wait for a close that a kept
            // connection never brings.
            if (ended && !m_headRequest && !statusHasNoBody(fields.front().value) &&
                !framingHeader(*head, "content-length:"))
                head->insert(head->size() - 2, "Content-Length: 0\r\n");
        }
        m_link.toRelay(*head);
    }
    if (ended && !m_detached)
        dataEnded(stream);
}

void H2Bridge::data(qint32 stream, QByteArrayView bytes) {
    // The relay's own back-pressure holds the connection's reading, so the window
    // is given back as soon as the bytes were handed on.
    m_session.consumed(stream, bytes.size());
    if (stream != m_stream || m_detached || !m_answered || bytes.isEmpty())
        return;
    m_link.toRelay(m_chunkedAnswer ? chunkOf(bytes) : bytes.toByteArray());
}

void H2Bridge::dataEnded(qint32 stream) {
    if (stream != m_stream || m_detached || !m_answered)
        return;
    m_stream = -1;
    if (m_chunkedAnswer)
        m_link.toRelay(LastChunk);
    if (m_closeAfter && !m_detached) {
        m_detached = true;
        m_link.finished();
    }
}

void H2Bridge::goaway(quint32, qint32 lastStream) {
    // An origin going away between requests, or before it took the one under way, ends
    // the connection as an HTTP/1.1 origin's close would: a kept connection is not
    // used again, and a request it never saw may go again on a new one.
    if (m_stream < 0 || m_stream > lastStream)
        fail();
}

void H2Bridge::closed(qint32 stream, quint32 error) {
    // A stream reset before its answer ended takes the connection with it, as an
    // HTTP/1.1 origin that stops in the middle does.
    if (stream == m_stream && error != H2Session::NoError)
        fail();
}

} // namespace Tarnwick
