#pragma once

#include "proxy/answerhead.h"

namespace Tarnwick {

// What the pump does with a stored answer.
enum class AnswerPlan {
    Refuse,    // no head, or no content type where one is needed
    ReRequest, // shorter than its head announces: ask the server again
    GiveUp,    // still short after the last re-request
    SendWhole, // read into memory: the HTML rules may rewrite it, or it is shown whole
    Stream,    // sent from the file in pieces
};

struct StoredAnswer {
    AnswerHead head;
    qint64 length = 0;      // bytes in the file
    bool headRequest = false; // the request was a HEAD: no body follows any head
    int recheckCount = 0;   // re-requests made so far
    bool showWhole = false; // a relayed 302 is logged whole, so it is held whole
};

inline constexpr int RecheckLimit = 5;

AnswerPlan planAnswer(const StoredAnswer& answer);

} // namespace Tarnwick
