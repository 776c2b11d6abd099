#include "proxy/streamanswer.h"

#include "proxy/answerhead.h"
#include "proxy/contentdecoder.h"
#include "proxy/headerrewrite.h"
#include "proxy/htmlfilter.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
} // namespace

StreamAnswer::StreamAnswer() = default;
StreamAnswer::~StreamAnswer() = default;
StreamAnswer::StreamAnswer(StreamAnswer&&) noexcept = default;
StreamAnswer& StreamAnswer::operator=(StreamAnswer&&) noexcept = default;

std::optional<HeaderList> StreamAnswer::head(const QByteArray& head, SettingsStore& store,
                                             bool bodyless) {
    const SettingsStore::ReadScope oneLook(store);
    const AnswerHead read = readAnswerHead(head.chopped(BlankLine.size()));
    // The same judgement as for an HTTP/1.1 answer that streams.
    if (lacksContentType(read, bodyless))
        return std::nullopt;
    HtmlFilter rules = htmlFilterFor(read.html, store, false);
    QByteArray out = answerHeadForBrowser(head, rules.readsScripts(), hidesBrowser(store));
    if (read.html) {
        // The body comes without framing, whatever the head says of its chunks.
        m_filter = std::make_unique<HtmlFilter>(std::move(rules));
        if (!bodyless && m_filter->readsScripts()) {
            m_decoder = decoderForAnswer(read.headerBlock, &m_coding);
            // A coding it cannot undo would pass the rule unread: refused.
            if (!m_decoder && namesCoding(m_coding)) {
                m_undecodable = true;
                return std::nullopt;
            }
        }
        if (m_decoder)
            out = decodedHead(out, false);
        // The head goes at once, filtered as the whole answer's first bytes are; the
        // filter reads it too, so that the body is read as the same answer's.
        m_headLeft = out.size() - m_filter->feed(out).size();
        HtmlFilter::filterWhole(out.data(), out.size(), m_filter->setsCookie(),
                                m_filter->readsScripts(), false);
    }
    m_shown = out.chopped(BlankLine.size());
    return listFromAnswerHead(out);
}

StreamAnswer::Status StreamAnswer::body(QByteArrayView bytes, QByteArray& out) {
    if (!m_filter) {
        out = bytes.toByteArray();
        return Status::Ok;
    }
    if (!m_decoder) {
        out = withoutHead(m_filter->feed(bytes));
        return Status::Ok;
    }
    QByteArray decoded;
    const Status status = m_decoder->feed(bytes, decoded);
    if (status == Status::Ok)
        out = withoutHead(m_filter->feed(decoded));
    return status;
}

StreamAnswer::Status StreamAnswer::finish(QByteArray& out) {
    out.clear();
    if (!m_filter)
        return Status::Ok;
    if (m_decoder) {
        if (const Status status = m_decoder->finish(); status != Status::Ok)
            return status;
    }
    out = withoutHead(m_filter->finish());
    return Status::Ok;
}

QByteArray StreamAnswer::withoutHead(QByteArray filtered) {
    // The head went already; what the filter held of it comes out first.
    const qsizetype head = std::min(m_headLeft, filtered.size());
    m_headLeft -= head;
    return head ? filtered.sliced(head) : filtered;
}

} // namespace Tarnwick
