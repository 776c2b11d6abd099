// Where a request goes and how long its body is: the request line's host text, the
// host text itself, ports, and the head's framing.
// Input: the request piece; its bytes also serve as host text and port text.

#include "fuzzsupport.h"
#include "proxy/requesttarget.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

using namespace Tarnwick;

namespace {

// What every target must satisfy: something to connect to.
void checkTarget(const RequestTarget& target) {
    Fuzz::require(!target.host.isEmpty(), "a target's host is not empty");
    Fuzz::require(target.port >= 1 && target.port <= 65535, "a target's port is 1 to 65535");
    // Credentials written in the URL never become part of the host.
    Fuzz::require(!target.host.contains(u'@'), "a target's host holds no credentials");
}

void checkHostText(const QString& hostText) {
    if (const auto target = parseHostText(hostText))
        checkTarget(*target);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray piece(reinterpret_cast<const char*>(data), qsizetype(size));

    if (const auto target = targetFromRequest(piece)) {
        checkTarget(*target);
        // The host comes from the request line, nowhere else.
        const qsizetype lineEnd = piece.indexOf("\r\n");
        const QByteArray line = lineEnd < 0 ? piece : piece.first(lineEnd);
        Fuzz::require(line.contains(target->host.toLatin1()), "the host is on the request line");
        Fuzz::require(!target->host.contains(u'/') && !target->host.contains(u' '),
                      "the host ends at the path or the blank");
    }

    checkHostText(QString::fromLatin1(piece));
    checkHostText(QString::fromUtf8(piece));

    const QString portText = QString::fromUtf8(piece);
    if (const auto port = parsePort(portText)) {
        Fuzz::require(*port >= 1 && *port <= 65535, "a port is 1 to 65535");
        // A whole decimal number: Qt's own reading of the text agrees.
        bool ok = false;
        Fuzz::require(portText.toInt(&ok, 10) == *port && ok, "the port is the text's number");
    }
    // A length, "until the end" (-1) or none (0): never anything else.
    Fuzz::require(requestBodyLength(piece) >= -1, "a request body length is -1 or more");
    return 0;
}
