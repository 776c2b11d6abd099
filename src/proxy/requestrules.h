#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

#include "proxy/requesttarget.h"
#include "settings/settingskeys.h"

namespace Tarnwick {

// A request line as the blocking rules see it.
struct RequestLine {
    QByteArray text;      // up to its CR LF
    bool post = false;    // begins with "POST "
    bool get = false;     // begins with "GET "
    bool icon = false;    // a GET naming a ".ico" file, in any case
    bool cabinet = false; // a GET naming a ".cab" file, in any case
};

// Reads the first line of a complete request head.
RequestLine readRequestLine(QByteArrayView head);

// The authority of a "CONNECT host:port HTTP/1.x" request line (host name, IPv4
// address or [IPv6], and a port); nothing for any other line.
std::optional<RequestTarget> connectTarget(QByteArrayView requestLine);
// Whether the stored "CONNECT" value lets a tunnel reach `port`.
bool tunnelAllowed(ChoiceValue stored, int port);

// What a blocking rule ("POST", "icoGET", "cabGET") does with its stored value.
enum class RuleVerdict {
    Send,      // "○"
    Refuse,    // "×"
    Ask,       // "△", where the user may be asked (cabinet downloads)
    DropValue, // anything else: the value is removed and the request sent; a value
               // that cannot be removed (nothing is stored) fails the request
};
RuleVerdict ruleVerdict(std::optional<ChoiceValue> stored, bool mayAsk);

class SettingsStore;

// What the blocking rules make of a request: sent, refused (a refused POST with the
// connection closed), asked about (a cabinet download under "△"), or failed (a value
// outside its set that could not be removed). The first rule that has a word decides.
enum class RuleOutcome { Send, Refuse, RefuseWithClose, Ask, Failed };
RuleOutcome blockingRules(const RequestLine& line, SettingsStore& store);

// The question asked before a cabinet download.
QString cabinetQuestion(QByteArrayView requestLine);

} // namespace Tarnwick
