#include "proxy/requestrules.h"

#include "settings/settingskeys.h"

namespace Tarnwick {

RequestLine readRequestLine(QByteArrayView head) {
    RequestLine line;
    const qsizetype end = head.indexOf(QByteArrayView("\r\n"));
    line.text = (end < 0 ? head : head.first(end)).toByteArray();
    line.post = line.text.startsWith("POST ");
    line.get = line.text.startsWith("GET ");
    if (line.get) {
        const QByteArray lower = line.text.toLower();
        // ".ico" alone, not the start of a longer name.
        line.icon = lower.contains(".ico ") || lower.contains(".ico?");
        line.cabinet = lower.contains(".cab ") || lower.contains(".cab?");
    }
    return line;
}

std::optional<RequestTarget> connectTarget(QByteArrayView requestLine) {
    constexpr QByteArrayView Method = "CONNECT ";
    if (!requestLine.startsWith(Method))
        return std::nullopt;
    const QByteArrayView rest = requestLine.sliced(Method.size());
    const qsizetype blank = rest.indexOf(' ');
    if (blank <= 0 || !rest.sliced(blank + 1).startsWith("HTTP/1."))
        return std::nullopt;
    const QByteArrayView authority = rest.first(blank);
    // The port is not optional here, and there is no room for login details.
    const qsizetype colon = authority.lastIndexOf(':');
    if (colon < 0 || authority.contains('@') || authority.contains('/') ||
        (authority.startsWith('[') && authority[colon - 1] != ']'))
        return std::nullopt;
    return parseHostText(QString::fromLatin1(authority));
}

bool tunnelAllowed(QStringView stored, int port) {
    if (stored == Choice::Block)
        return false;
    if (stored == Choice::Third)
        return true;
    return port == 443;
}

RuleVerdict ruleVerdict(QStringView stored, bool mayAsk) {
    if (stored == Choice::Allow)
        return RuleVerdict::Send;
    if (stored == Choice::Block)
        return RuleVerdict::Refuse;
    if (mayAsk && stored == Choice::Third)
        return RuleVerdict::Ask;
    return RuleVerdict::DropValue;
}

QString cabinetQuestion(QByteArrayView requestLine) {
    // The line shows one character per byte, as the monitor shows requests.
    return QStringLiteral("ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ要求がありました。") + u'\r' +
           QStringLiteral("ﾘｸｴｽﾄ（ ") + QString::fromLatin1(requestLine) + QStringLiteral(" ）") +
           u'\r' + QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞを行いますか？");
}

} // namespace Tarnwick
