#pragma once

#include <QByteArray>
#include <QString>

namespace Tarnwick {

// Everything one admitted browser connection carries, addressed by its slot index.
// Request data are kept as the bytes the browser sent (as rewritten).
struct RelaySlot {
    QString lanHost;          // client host at admission
    QString lanHostIP;        // client address at admission
    qint32 lanPort = 0;       // client port at admission
    QString lanState;         // "", "Close" or "Error": the browser side's end mark
    QByteArray request;       // the rewritten request; non-empty once a request was taken
    QByteArray requestMore;   // the request body that came after the head's pieces
    QString wanHost;          // where the server-side socket connects
    QString spareText;        // cleared at admission; unused
    qint32 wanPort = 0;       // port the server-side socket connects to
    qint32 wanOpened = 0;     // 1 once connected and the answer file is prepared
    qint32 reconnectCount = 0;
    QString wanState;         // "", "Close" or "Error": the server side's end mark
    qint32 recheckCount = 0;  // re-requests of an incomplete answer
    QString tempFileName;     // "~tarnwick-temp-" + slot index
    qint32 tempFileNo = 0;    // handle of the open answer file
    qint32 arrivalCount = 0;  // server-side data arrivals of the current attempt
    QByteArray pendingHead;   // a request head still waiting for its blank line
    qint64 bodyRemaining = 0; // request body bytes still to come; -1: until the close
};

inline constexpr int SlotTableSize = 1000;
inline constexpr int LastSlotIndex = 999;

// A request head that grows past this without its blank line is refused.
inline constexpr qsizetype MaxRequestHead = 64 * 1024;

// What the proxy answers when it refuses or fails a request.
inline constexpr char RefusalAnswer[] = "HTTP/1.0 999";

// The answer file of a slot, relative to the current directory.
inline QString tempFileNameFor(int index) {
    return QStringLiteral("~tarnwick-temp-") + QString::number(index);
}
inline constexpr char16_t TempFilePattern[] = u"~tarnwick-temp-*";

} // namespace Tarnwick
