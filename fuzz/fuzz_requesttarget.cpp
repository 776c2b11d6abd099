// Where a request goes and how long its body is: the request line's host text, the
// host text itself, ports, and the head's framing; what the blocking rules read from
// the request line, and a tunnel's authority.
// Input: the request piece; its bytes also serve as host text, port text and a stored
// rule value.

#include "fuzzsupport.h"
#include "proxy/requestrules.h"
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

    const RequestLine line = readRequestLine(piece);
    Fuzz::require(piece.startsWith(line.text) && !line.text.contains("\r\n"),
                  "the request line is the head up to its first CR LF");
    Fuzz::require(line.get || (!line.icon && !line.cabinet),
                  "only a GET names a file the rules block");
    (void)cabinetQuestion(line.text);
    if (const auto authority = connectTarget(line.text)) {
        checkTarget(*authority);
        const QByteArray text = line.text.mid(8, line.text.indexOf(' ', 8) - 8);
        Fuzz::require(!text.contains('@') && !text.contains('/'),
                      "a tunnel's authority holds no login details and no path");
        const int port = authority->port;
        Fuzz::require(tunnelAllowed(ChoiceValue::Third, port) &&
                          !tunnelAllowed(ChoiceValue::Block, port) &&
                          tunnelAllowed(ChoiceValue::Allow, port) == (port == 443) &&
                          tunnelAllowed(ChoiceValue::Other, port) == (port == 443),
                      "○ and any other value tunnel to 443 only, △ anywhere, × nowhere");
    }
    // A stored value outside the three marks is removed, wherever it is read.
    const QString stored = QString::fromUtf8(piece);
    for (const bool mayAsk : {false, true}) {
        const RuleVerdict verdict = ruleVerdict(choiceOf(stored), mayAsk);
        Fuzz::require(verdict != RuleVerdict::Ask || mayAsk,
                      "the user is asked only where possible");
        Fuzz::require(Setting::isChoice(stored) || verdict == RuleVerdict::DropValue,
                      "a value outside the marks is removed");
    }
    return 0;
}
