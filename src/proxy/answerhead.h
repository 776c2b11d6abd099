#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <initializer_list>
#include <optional>

namespace Tarnwick {

// What the pump reads from an answer's head before deciding what to do with it.
struct AnswerHead {
    QByteArray headerBlock;       // status line and header lines, without the blank line
    QByteArray statusCode;        // three characters, or empty
    QByteArray contentLengthText; // first "Content-Length" line's value, "0" when none
    QByteArray contentTypeText;   // first "Content-Type" line's value, empty when none
    // Some Content-Type line (its name in any case) names an HTML type: the HTML rules
    // apply, whichever of several lines a browser goes by.
    bool html = false;
};

// Reads the head from the header block (the bytes before the answer's first
// CR LF CR LF). Only header lines count, never text inside another line's value. The
// length and type texts need their names in exact case (an answer whose only type is
// written "content-type" has none, and is refused); the HTML question reads every
// Content-Type line in any case, as a browser does.
AnswerHead readAnswerHead(const QByteArray& headerBlock);

// The value of the first header line named `name` (without its colon, exact case),
// blanks trimmed; nothing when there is none.
std::optional<QByteArray> headerLineValue(QByteArrayView headerBlock, QByteArrayView name);
// Every header line named `name` (lower case, without its colon; matched in any case),
// their values in order, blanks and tabs trimmed.
QList<QByteArray> fieldValues(QByteArrayView headerBlock, QByteArrayView name);

// Trims blanks (spaces only) at both ends.
QByteArray trimBlanks(QByteArrayView text);

// A content length the completeness check can use: a whole decimal number that
// fits. Anything else makes the answer uncheckable.
std::optional<qint64> contentLengthValue(QByteArrayView text);

// The size the head announces (header block, CR LF CR LF and content length), when
// the answer is checkable at all: not HTML and with a length that is a whole number.
std::optional<qint64> announcedSize(const AnswerHead& head);

// Statuses whose answers never carry a body: 1xx, 204 and 304.
bool statusHasNoBody(QByteArrayView statusCode);
// Answers a browser needs even without a content type: the redirects (301, 302,
// 303, 307, 308) and the statuses without a body.
bool mayLackContentType(QByteArrayView statusCode);
// An answer without the content type the browser needs: refused, stored or streamed.
// An answer that has no body needs none, as the bodyless statuses do: `noBody` (the
// answer to HEAD, or a stream that ended with its head), or framing that says so
// ("Content-Length: 0", not chunked).
bool lacksContentType(const AnswerHead& head, bool noBody = false);
// The content type names HTML: longer than 4 characters and holding "html" in any case.
bool namesHtml(QByteArrayView contentType);
// The value of the first header line named `name` (given in lower case, with its
// colon), the name matched in any case at a line start, blanks trimmed; nothing when
// there is none. For framing, which HTTP spells in any case; the filters match
// names exactly.
std::optional<QByteArray> framingHeader(QByteArrayView headerBlock, QByteArrayView name);
// True when the header block says the body comes in chunks: the last coding named
// by a "Transfer-Encoding" line (name and value in any case) is "chunked".
bool isChunked(QByteArrayView headerBlock);

// A head (up to and with its blank line) without the header lines named in `names`
// (lower case, with their colon; matched in any case), with `added` (whole lines) put
// before the blank line. The first line is never a header line.
QByteArray withoutHeaderLines(const QByteArray& head, std::initializer_list<QByteArrayView> names,
                              QByteArrayView added = {});

} // namespace Tarnwick
