#pragma once

#include "proxy/tagrule.h"

#include <QByteArray>
#include <QByteArrayView>
#include <vector>

namespace Tarnwick {

// The HTML rules over one answer, fed in pieces as they arrive or whole: the Set-Cookie
// rule over the bytes as they come, then the Script rule over the text it reads (the
// whole answer, or for a chunked one its head and then its chunks' data, the framing
// left as it is). However the answer is cut, the pieces returned joined are the same
// bytes as the whole answer filtered at once, and of the same length. Only a few
// bytes are held between pieces: those a later byte may still change (a tag name or a
// closing cut in two, the last bytes whose fate depends on where the answer ends, an
// attribute value not yet judged, up to TagRule::MaxValueHeld bytes of it), and for a
// chunked answer the framing between them.
class HtmlFilter {
public:
    // A chunk-size line with more than this many bytes before its CR LF is read as
    // malformed: the text ends before it and nothing after it is changed. It bounds
    // what is held while such a line is awaited; real servers send a few bytes.
    static constexpr qsizetype MaxChunkLine = 4096;

    // Which rules are on for this answer (the caller decides from the settings and the
    // content type), and whether its body is chunked.
    HtmlFilter(bool setCookie, bool script, bool chunked);

    // The next bytes of the final answer, from its first byte (the head) on. Returns the
    // bytes that are final now, filtered, in order; what may still change is held back.
    // After the last chunk of a chunked answer nothing is held any more.
    QByteArray feed(QByteArrayView piece);
    // The answer has ended (the server closed, or its framing says it is complete):
    // everything still held, filtered as the end decides.
    QByteArray finish();
    // Whether the Script rule reads the body (which then has to be plain text).
    bool readsScripts() const { return m_script; }
    bool setsCookie() const { return m_setCookie; }

    // A whole answer in place: the same bytes as feed(answer) followed by finish().
    static void filterWhole(char* data, qsizetype length, bool setCookie, bool script,
                            bool chunked);

private:
    struct Run { // text bytes in m_wire
        qsizetype offset;
        qsizetype length;
    };
    enum class Frame { Head, SizeLine, Data, DataCr, DataLf, Rest };
    enum class Body { Opening, Gt, Blank };

    QByteArray pass(QByteArrayView piece, bool ended);
    qsizetype cookies(char* data, qsizetype length, bool ended);
    void frame(const char* wire, qsizetype from, qsizetype to);
    qsizetype scriptsOver(char* wire, qsizetype length, bool ended);
    qsizetype scripts(char* text, qsizetype length, bool ended);

    bool m_setCookie;
    bool m_script;
    bool m_chunked;

    // Set-Cookie rule: bytes from position m_cookieAt on are held in m_cookieHeld.
    QByteArray m_cookieHeld;
    qsizetype m_cookieAt = 0;
    bool m_cookieDone = false; // past the blank line: nothing more changes
    bool m_inValue = false;    // inside a value, overwritten from m_valueFrom to its CR
    qsizetype m_valueFrom = 0;

    // Script rule: m_wire holds the answer from its first text byte not yet final on,
    // and m_text says where the text lies in it.
    QByteArray m_wire;
    std::vector<Run> m_text;
    Frame m_frame = Frame::Head;
    int m_blankSeen = 0; // bytes of the head's "\r\n\r\n" seen
    qsizetype m_lineBytes = 0;
    bool m_inDigits = true;
    bool m_lineCr = false;
    qsizetype m_digits = 0;
    qsizetype m_chunkLeft = 0; // the size as read so far, then the data still to come
    bool m_textEnded = false;

    // Script rule over the text, all positions counted from the answer's first byte.
    qsizetype m_base = 0;    // the first text byte held
    qsizetype m_tagAt = 0;   // tag names: the next position to look at
    qsizetype m_waiting = 0; // "<" still looking for their name
    qsizetype m_bodyAt = 0;  // script bodies: the next position to look at
    Body m_body = Body::Opening;
    TagRule m_tags;          // inside tags, over what the two above leave final
};

} // namespace Tarnwick
