// An answer's head as the pump reads it: status, Content-Length, Content-Type, the
// size the head announces, whether the body comes in chunks, and the pump's plan.
// Input: the header block. Its first line also serves as a content-length text on its
// own, so lengths are tried without a whole head around them; its last two bytes also
// pick the stored answer's length and its request's kind for the plan.

#include "fuzzsupport.h"
#include "proxy/answerhead.h"
#include "proxy/answerplan.h"

#include <QByteArray>
#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace Tarnwick;

namespace {

bool isTrimmed(const QByteArray& text) {
    return !text.startsWith(' ') && !text.endsWith(' ');
}

// A header value: trimmed, one line.
void checkValue(const QByteArray& value) {
    Fuzz::require(isTrimmed(value), "a header value is trimmed");
    Fuzz::require(!value.contains("\r\n"), "a header value ends at its line's CR LF");
}

// A usable length is the text's decimal number: never negative, never wrapped.
void checkLength(const QByteArray& text) {
    const auto length = contentLengthValue(text);
    if (!length)
        return;
    Fuzz::require(*length >= 0, "a content length is not negative");
    bool ok = false;
    Fuzz::require(text.toLongLong(&ok, 10) == *length && ok,
                  "a content length is the text's number");
}

// The announced size is the block, its CR LF CR LF and the length, and nothing wraps.
void checkAnnounced(const AnswerHead& head) {
    const auto size = announcedSize(head);
    if (!size)
        return;
    const auto length = contentLengthValue(head.contentLengthText);
    Fuzz::require(length.has_value(), "an announced size has a usable length");
    Fuzz::require(*size == qint64(head.headerBlock.size()) + 4 + *length,
                  "the announced size is block, blank line and length");
    Fuzz::require(!head.html, "HTML answers announce no size");
}

// The plan never sends what has no head, nor asks again for a body that cannot come.
void checkPlan(const AnswerHead& head, const uint8_t* data, size_t size) {
    const uint8_t knobs = size > 0 ? data[size - 1] : 0;
    const qint64 shift = size > 1 ? qint64(data[size - 2]) - 128 : 0;
    const qint64 minimum = qint64(head.headerBlock.size()) + 4;
    StoredAnswer stored;
    stored.head = head;
    stored.length = std::max(minimum, announcedSize(head).value_or(minimum) + shift);
    stored.headRequest = knobs & 1;
    stored.showWhole = knobs & 2;
    stored.recheckCount = (knobs >> 2) & 7;
    const AnswerPlan plan = planAnswer(stored);
    if (trimBlanks(head.headerBlock).isEmpty())
        Fuzz::require(plan == AnswerPlan::Refuse, "an answer without a head is refused");
    if (plan == AnswerPlan::ReRequest || plan == AnswerPlan::GiveUp) {
        Fuzz::require(!stored.headRequest && !statusHasNoBody(head.statusCode),
                      "an answer that has no body is never short");
        Fuzz::require(stored.length < announcedSize(head).value_or(0),
                      "only a short answer is asked again");
        Fuzz::require((plan == AnswerPlan::GiveUp) == (stored.recheckCount >= RecheckLimit),
                      "asked again until the last re-request, then given up");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray block(reinterpret_cast<const char*>(data), qsizetype(size));

    const AnswerHead head = readAnswerHead(block);
    Fuzz::require(head.statusCode.size() <= 3, "a status code is at most three characters");
    checkValue(head.contentLengthText);
    checkValue(head.contentTypeText);
    checkLength(head.contentLengthText);
    checkAnnounced(head);

    for (const QByteArrayView name :
         {QByteArrayView("Content-Length"), QByteArrayView(":"), QByteArrayView("")}) {
        if (const auto value = headerLineValue(block, name))
            checkValue(*value);
    }

    (void)isChunked(block);

    const QByteArray trimmed = trimBlanks(block);
    Fuzz::require(isTrimmed(trimmed) && block.contains(trimmed),
                  "trimming only cuts blanks at the ends");

    // The first line alone as a length, under a head of the same block.
    const qsizetype lineEnd = block.indexOf("\r\n");
    const QByteArray lengthText = lineEnd < 0 ? block : block.first(lineEnd);
    checkLength(lengthText);
    AnswerHead synthetic = head;
    synthetic.contentLengthText = lengthText;
    checkAnnounced(synthetic);

    checkPlan(head, data, size);
    checkPlan(synthetic, data, size);
    return 0;
}
