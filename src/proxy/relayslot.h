#pragma once

#include <QByteArray>
#include <QString>

namespace Tarnwick {

// How one side of a relay ended, if it has.
enum class EndMark {
    Live,   // still open
    Closed, // the peer closed it
    Failed, // a socket error ended it
};

// Everything one admitted browser connection carries, addressed by its slot index.
// Request data are kept as the bytes the browser sent (as rewritten).
struct RelaySlot {
    QString lanHost;          // client host at admission
    QString lanHostIP;        // client address at admission
    qint32 lanPort = 0;       // client port at admission
    EndMark lanState = EndMark::Live; // the browser side
    QByteArray request;       // the rewritten request; non-empty once a request was taken
    QByteArray requestMore;   // the request body that came after the head's pieces
    QString wanHost;          // where the server-side socket connects
    qint32 wanPort = 0;       // port the server-side socket connects to
    bool wanOpened = false;   // connected, and the answer file prepared
    qint32 reconnectCount = 0;
    EndMark wanState = EndMark::Live; // the server side
    qint32 recheckCount = 0;  // re-requests of an incomplete answer
    QString tempFileName;     // "~tarnwick-temp-" + slot index
    qint32 tempFileNo = 0;    // the slot's own index while its answer file is open, else 0
    bool tempFileOnDisk = false; // the answer file still has its name
    qint32 arrivalCount = 0;  // server-side data arrivals of the current attempt
    QByteArray pendingHead;   // a request head still waiting for its blank line
    qint64 bodyRemaining = 0; // request body bytes still to come; -1: until the close
    // An HTTPS tunnel carries bytes both ways unchanged instead of an answer.
    bool tunnel = false;
    bool tunnelViaProxy = false; // the upstream proxy answers the CONNECT itself
    QByteArray tunnelAuthority;  // "host:port" as the browser asked
    qint64 tunnelUp = 0;         // bytes from the browser to the server
    qint64 tunnelDown = 0;       // bytes from the server to the browser
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
