#pragma once

#include <QByteArrayView>

namespace Tarnwick {

// Where the final answer starts in what a server sent: interim answers (a 1xx head
// other than 101, such as "100 Continue" or "103 Early Hints") come before it in the
// same stream and are passed on as they are; the rules judge the answer after them as
// if it had come alone. Returns the offset after the last interim head (0 when there
// is none), or the stream's size when it holds interim heads only.
qsizetype finalAnswerStart(QByteArrayView answer);

} // namespace Tarnwick
