#include "proxy/finalanswer.h"

namespace Tarnwick {

namespace {
// "HTTP/1.x 1yz" with y z digits, and not 101 (the protocol switches: what follows
// is not an answer).
bool isInterimHead(QByteArrayView head) {
    if (head.size() < 12 || !(head.startsWith("HTTP/1.0 ") || head.startsWith("HTTP/1.1 ")))
        return false;
    const QByteArrayView status = head.sliced(9, 3);
    for (char c : status)
        if (c < '0' || c > '9')
            return false;
    return status[0] == '1' && status != "101";
}
} // namespace

qsizetype finalAnswerStart(QByteArrayView answer) {
    qsizetype start = 0;
    while (start < answer.size()) {
        const QByteArrayView rest = answer.sliced(start);
        const qsizetype blank = rest.indexOf(QByteArrayView("\r\n\r\n"));
        if (blank < 0 || !isInterimHead(rest.first(blank)))
            return start;
        start += blank + 4;
    }
    return start;
}

} // namespace Tarnwick
