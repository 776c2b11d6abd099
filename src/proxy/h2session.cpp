#include "proxy/h2session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>

namespace Tarnwick {

namespace {

std::vector<nghttp2_nv> nameValues(const HeaderList& fields) {
    std::vector<nghttp2_nv> nva;
    nva.reserve(fields.size());
    for (const HeaderField& f : fields) {
        // nghttp2 copies them: the list need not outlive the call.
        nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(f.name.constData())),
                       reinterpret_cast<uint8_t*>(const_cast<char*>(f.value.constData())),
                       static_cast<size_t>(f.name.size()), static_cast<size_t>(f.value.size()),
                       NGHTTP2_NV_FLAG_NONE});
    }
    return nva;
}

QByteArray bytesOf(const uint8_t* data, size_t length) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
}

} // namespace

// What nghttp2 calls while it reads or writes. Each notes what happened for deliver(),
// which raises it once nghttp2 has returned.
struct H2Callbacks {
    static H2Session& of(void* user) { return *static_cast<H2Session*>(user); }

    static int beginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        H2Session& s = of(user);
        s.m_incoming[frame->hd.stream_id].clear();
        s.m_listSizes[frame->hd.stream_id] = 0;
        return 0;
    }

    static int header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                      size_t nameLength, const uint8_t* value, size_t valueLength, uint8_t,
                      void* user) {
        H2Session& s = of(user);
        const qint32 stream = frame->hd.stream_id;
        qsizetype& size = s.m_listSizes[stream];
        size += static_cast<qsizetype>(nameLength + valueLength) + 32;
        if (size > H2Session::MaxHeaderList) {
            // The stream is reset; what was gathered of it goes at once.
            s.m_incoming.erase(stream);
            s.m_listSizes.erase(stream);
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        }
        s.m_incoming[stream].push_back({bytesOf(name, nameLength), bytesOf(value, valueLength)});
        return 0;
    }

    static int frameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        H2Session& s = of(user);
        const qint32 stream = frame->hd.stream_id;
        const bool ended = frame->hd.flags & NGHTTP2_FLAG_END_STREAM;
        using Kind = H2Session::Event::Kind;
        switch (frame->hd.type) {
        case NGHTTP2_HEADERS: {
            H2Session::Event e{Kind::Headers, stream};
            e.fields = std::move(s.m_incoming[stream]);
            e.ended = ended;
            s.m_incoming.erase(stream);
            s.m_listSizes.erase(stream);
            s.m_pending.push_back(std::move(e));
            break;
        }
        case NGHTTP2_DATA:
            if (ended)
                s.m_pending.push_back({Kind::DataEnded, stream});
            break;
        case NGHTTP2_RST_STREAM:
            if (s.m_side == H2Session::Side::Server)
                s.noteReset();
            break;
        case NGHTTP2_GOAWAY: {
            H2Session::Event e{Kind::GoAway, frame->goaway.last_stream_id};
            e.code = frame->goaway.error_code;
            s.m_pending.push_back(std::move(e));
            break;
        }
        default:
            break;
        }
        return 0;
    }

    static int dataChunk(nghttp2_session*, uint8_t, int32_t stream, const uint8_t* data,
                         size_t length, void* user) {
        H2Session::Event e{H2Session::Event::Kind::Data, stream};
        e.bytes = bytesOf(data, length);
        of(user).m_pending.push_back(std::move(e));
        return 0;
    }

    static int streamClosed(nghttp2_session*, int32_t stream, uint32_t error, void* user) {
        H2Session& s = of(user);
        s.m_outgoing.erase(stream);
        s.m_incoming.erase(stream);
        s.m_listSizes.erase(stream);
        H2Session::Event e{H2Session::Event::Kind::Closed, stream};
        e.code = error;
        s.m_pending.push_back(std::move(e));
        return 0;
    }

    // A stream's body as the windows let it go: what is queued, the end once the queue
    // is empty and the owner said so, or a pause until more comes.
    static ssize_t readData(nghttp2_session*, int32_t stream, uint8_t* buffer, size_t length,
                            uint32_t* flags, nghttp2_data_source*, void* user) {
        H2Session& s = of(user);
        const auto it = s.m_outgoing.find(stream);
        if (it == s.m_outgoing.end())
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        H2Session::Outgoing& out = it->second;
        const qsizetype n = std::min(static_cast<qsizetype>(length), out.bytes.size() - out.taken);
        if (n == 0 && !out.ended) {
            out.deferred = true;
            return NGHTTP2_ERR_DEFERRED;
        }
        std::memcpy(buffer, out.bytes.constData() + out.taken, static_cast<size_t>(n));
        out.taken += n;
        if (out.taken == out.bytes.size()) {
            out.bytes.clear();
            out.taken = 0;
        }
        if (out.ended && out.bytes.isEmpty())
            *flags |= NGHTTP2_DATA_FLAG_EOF;
        if (n > 0) {
            H2Session::Event e{H2Session::Event::Kind::DataSent, stream};
            e.count = n;
            s.m_pending.push_back(std::move(e));
        }
        return n;
    }
};

H2Session::H2Session(Side side, Events& events, Clock clock)
    : m_side(side), m_events(events), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return std::chrono::steady_clock::now(); };
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, H2Callbacks::beginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, H2Callbacks::header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, H2Callbacks::frameReceived);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, H2Callbacks::dataChunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, H2Callbacks::streamClosed);
    nghttp2_option* option = nullptr;
    nghttp2_option_new(&option);
    // Windows grow only through consumed(): the back-pressure.
    nghttp2_option_set_no_auto_window_update(option, 1);
    if (side == Side::Server)
        nghttp2_session_server_new2(&m_session, callbacks, this, option);
    else
        nghttp2_session_client_new2(&m_session, callbacks, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);

    // No extended CONNECT is advertised: WebSockets stay on HTTP/1.1 connections. The
    // origin is asked for no pushed streams.
    std::vector<nghttp2_settings_entry> settings{
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, MaxConcurrentStreams},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(InitialStreamWindow)},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<uint32_t>(MaxHeaderList)}};
    if (side == Side::Client)
        settings.push_back({NGHTTP2_SETTINGS_ENABLE_PUSH, 0});
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings.data(), settings.size());
    nghttp2_session_set_local_window_size(m_session, NGHTTP2_FLAG_NONE, 0, ConnectionWindow);
}

H2Session::~H2Session() {
    if (m_gone)
        *m_gone = true;
    nghttp2_session_del(m_session);
}

bool H2Session::feed(QByteArrayView bytes) {
    if (m_failed || m_abusive)
        return false;
    const ssize_t done =
        nghttp2_session_mem_recv(m_session, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<size_t>(bytes.size()));
    if (done < 0)
        m_failed = true;
    const bool goesOn = !m_failed && !m_abusive;
    if (!deliverAll())
        return false;
    return goesOn && nghttp2_session_want_read(m_session);
}

QByteArray H2Session::takeOutput() {
    QByteArray out;
    for (;;) {
        const uint8_t* data = nullptr;
        const ssize_t n = nghttp2_session_mem_send(m_session, &data);
        if (n <= 0) {
            if (n < 0)
                m_failed = true;
            break;
        }
        out.append(reinterpret_cast<const char*>(data), n);
    }
    deliverAll();
    return out;
}

bool H2Session::deliverAll() {
    // The owner may drop the session from a handler; so may a handler further out,
    // when this delivery runs inside one.
    bool gone = false;
    bool* const outer = std::exchange(m_gone, &gone);
    deliver();
    if (gone) {
        if (outer)
            *outer = true;
        return false;
    }
    m_gone = outer;
    return true;
}

bool H2Session::wantsOutput() const {
    return nghttp2_session_want_write(m_session);
}

bool H2Session::wantsInput() const {
    return !m_failed && !m_abusive && nghttp2_session_want_read(m_session);
}

void H2Session::deliver() {
    // A stream the client opened and reset within the same bytes is never reported:
    // the origin sees nothing of it.
    QSet<qint32> resetNow;
    for (const Event& e : m_pending) {
        if (e.kind == Event::Kind::Closed && e.code != NoError && !m_known.contains(e.stream))
            resetNow.insert(e.stream);
    }
    bool* const gone = m_gone;
    while (!m_pending.empty()) {
        Event e = std::move(m_pending.front());
        m_pending.pop_front();
        deliverOne(e, resetNow);
        if (*gone)
            return;
    }
}

void H2Session::deliverOne(Event& e, const QSet<qint32>& resetNow) {
    const bool streamEvent = e.kind != Event::Kind::GoAway && e.kind != Event::Kind::DataSent;
    // A client cut off is heard no more; its streams end with the connection.
    if (m_abusive && streamEvent)
        return;
    if (e.kind == Event::Kind::Headers && m_side == Side::Server && !resetNow.contains(e.stream))
        m_known.insert(e.stream);
    // DATA nobody will take goes back to the windows at once: of a stream the owner
    // does not know, or reset.
    const bool dropped = e.kind == Event::Kind::Data && m_dropped.contains(e.stream);
    if (e.kind == Event::Kind::Closed)
        m_dropped.remove(e.stream);
    if (streamEvent && (!m_known.contains(e.stream) || dropped)) {
        if (e.kind == Event::Kind::Data)
            nghttp2_session_consume(m_session, e.stream, static_cast<size_t>(e.bytes.size()));
        return;
    }
    switch (e.kind) {
    case Event::Kind::Headers:
        m_events.headers(e.stream, std::move(e.fields), e.ended);
        break;
    case Event::Kind::Data:
        m_unconsumed[e.stream] += e.bytes.size();
        m_events.data(e.stream, e.bytes);
        break;
    case Event::Kind::DataEnded:
        m_events.dataEnded(e.stream);
        break;
    case Event::Kind::Closed:
        m_known.remove(e.stream);
        m_events.closed(e.stream, e.code);
        break;
    case Event::Kind::GoAway:
        m_events.goaway(e.code, e.stream);
        break;
    case Event::Kind::DataSent:
        m_events.dataSent(e.stream, e.count);
        break;
    }
}

void H2Session::noteReset() {
    const auto now = m_clock();
    if (now - m_resetStart >= ResetWindow) {
        m_resetStart = now;
        m_resets = 0;
    }
    if (++m_resets <= MaxResets || m_abusive)
        return;
    m_abusive = true;
    // No new stream is taken from here on; the GOAWAY goes with the next output.
    nghttp2_session_terminate_session(m_session, EnhanceYourCalm);
}

qint32 H2Session::request(const HeaderList& fields, bool ended) {
    if (m_side != Side::Client)
        return -1;
    const std::vector<nghttp2_nv> nva = nameValues(fields);
    nghttp2_data_provider body{};
    body.read_callback = H2Callbacks::readData;
    const int32_t stream = nghttp2_submit_request(m_session, nullptr, nva.data(), nva.size(),
                                                  ended ? nullptr : &body, nullptr);
    if (stream <= 0)
        return -1;
    m_known.insert(stream);
    if (!ended)
        m_outgoing[stream];
    return stream;
}

bool H2Session::answer(qint32 stream, const HeaderList& fields, bool ended) {
    if (m_side != Side::Server || !m_known.contains(stream))
        return false;
    const std::vector<nghttp2_nv> nva = nameValues(fields);
    const bool interim =
        !fields.empty() && fields.front().name == ":status" && fields.front().value.startsWith('1');
    if (interim)
        return nghttp2_submit_headers(m_session, NGHTTP2_FLAG_NONE, stream, nullptr, nva.data(),
                                      nva.size(), nullptr) == 0;
    nghttp2_data_provider body{};
    body.read_callback = H2Callbacks::readData;
    if (nghttp2_submit_response(m_session, stream, nva.data(), nva.size(),
                                ended ? nullptr : &body) != 0)
        return false;
    if (!ended)
        m_outgoing[stream];
    return true;
}

bool H2Session::sendData(qint32 stream, QByteArrayView bytes) {
    const auto it = m_outgoing.find(stream);
    if (it == m_outgoing.end() || it->second.ended)
        return false;
    // What already went is let go of before more is queued: a stream fed as fast as
    // it drains never empties its queue, which would otherwise keep all it ever sent.
    Outgoing& out = it->second;
    if (out.taken > 0) {
        out.bytes.remove(0, out.taken);
        out.taken = 0;
    }
    out.bytes.append(bytes);
    resume(stream);
    return true;
}

bool H2Session::endData(qint32 stream) {
    const auto it = m_outgoing.find(stream);
    if (it == m_outgoing.end())
        return false;
    it->second.ended = true;
    resume(stream);
    return true;
}

void H2Session::resume(qint32 stream) {
    Outgoing& out = m_outgoing[stream];
    if (!out.deferred)
        return;
    out.deferred = false;
    nghttp2_session_resume_data(m_session, stream);
}

qsizetype H2Session::queued(qint32 stream) const {
    const auto it = m_outgoing.find(stream);
    return it == m_outgoing.end() ? 0 : it->second.bytes.size() - it->second.taken;
}

bool H2Session::reset(qint32 stream, quint32 error) {
    m_outgoing.erase(stream);
    // The owner takes nothing more of the stream: what it held goes back to the windows
    // now, and what still comes for it as it comes, or the peer's uploads would stall.
    m_dropped.insert(stream);
    if (const auto it = m_unconsumed.find(stream); it != m_unconsumed.end()) {
        nghttp2_session_consume(m_session, stream, static_cast<size_t>(it->second));
        m_unconsumed.erase(it);
    }
    return nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, stream, error) == 0;
}

void H2Session::consumed(qint32 stream, qsizetype bytes) {
    // Only what was reported and not yet given back counts: a mistaken count cannot
    // open the windows wider than the peer filled them.
    const auto it = m_unconsumed.find(stream);
    if (it == m_unconsumed.end() || bytes <= 0)
        return;
    const qsizetype n = std::min(bytes, it->second);
    nghttp2_session_consume(m_session, stream, static_cast<size_t>(n));
    if ((it->second -= n) == 0)
        m_unconsumed.erase(it);
}

void H2Session::goAway(quint32 error) {
    nghttp2_submit_goaway(m_session, NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(m_session), error, nullptr, 0);
}

} // namespace Tarnwick
