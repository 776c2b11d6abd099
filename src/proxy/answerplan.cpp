#include "proxy/answerplan.h"

#include "proxy/responsefilters.h"

namespace Tarnwick {

AnswerPlan planAnswer(const StoredAnswer& answer) {
    const AnswerHead& head = answer.head;
    if (trimBlanks(head.headerBlock).isEmpty())
        return AnswerPlan::Refuse;
    if (lacksContentType(head, answer.headRequest))
        return AnswerPlan::Refuse;
    // An answer to HEAD, and a status that never has a body, ends with its head
    // whatever its Content-Length says.
    const bool bodyless = answer.headRequest || statusHasNoBody(head.statusCode);
    if (const auto announced = announcedSize(head);
        !bodyless && announced && answer.length < *announced)
        return answer.recheckCount >= RecheckLimit ? AnswerPlan::GiveUp : AnswerPlan::ReRequest;
    if (head.html || answer.showWhole)
        return AnswerPlan::SendWhole;
    return AnswerPlan::Stream;
}

} // namespace Tarnwick
