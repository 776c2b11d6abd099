#pragma once

#include "proxy/contentdecoder.h"
#include "proxy/h2headers.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>
#include <optional>

namespace Tarnwick {

class HtmlFilter;
class SettingsStore;

// The answer of one HTTP/2 stream on its way to the browser: its final head as an
// HTTP/1.1 head, its body without any framing. The head is judged as any streamed
// answer's is, and an HTML answer goes through the same filter (Set-Cookie neutralised
// in the head, SCRIPT blanked in the body, byte for byte), decoded first when it is
// compressed and the Script rule reads it. Pure apart from the settings it reads.
class StreamAnswer {
public:
    // A decoding that fails ends the stream short.
    using Status = ContentDecoder::Status;

    StreamAnswer();
    ~StreamAnswer();
    StreamAnswer(StreamAnswer&&) noexcept;
    StreamAnswer& operator=(StreamAnswer&&) noexcept;

    // The final head, up to and with its blank line. Nothing when the answer is refused
    // (no content type where one is needed, or a head that maps to no header list).
    // `bodyless`: no body follows (HEAD, 204, 304, or the stream ended with its head).
    std::optional<HeaderList> head(const QByteArray& head, SettingsStore& store, bool bodyless);
    // The head as it went, filtered, for the monitor.
    const QByteArray& shownHead() const { return m_shown; }
    // Body bytes in, what the browser gets out.
    Status body(QByteArrayView bytes, QByteArray& out);
    Status finish(QByteArray& out);
    // The coding being undone, for the monitor when it fails.
    const QByteArray& coding() const { return m_coding; }
    // The head was refused for a coding the Script rule cannot read through.
    bool undecodable() const { return m_undecodable; }

private:
    QByteArray withoutHead(QByteArray filtered);

    std::unique_ptr<HtmlFilter> m_filter;
    std::unique_ptr<ContentDecoder> m_decoder;
    QByteArray m_coding;
    QByteArray m_shown;
    qsizetype m_headLeft = 0; // head bytes the filter still holds
    bool m_undecodable = false;
};

} // namespace Tarnwick
