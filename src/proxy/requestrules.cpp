#include "proxy/requestrules.h"

#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

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

bool tunnelAllowed(ChoiceValue stored, int port) {
    if (stored == ChoiceValue::Block)
        return false;
    if (stored == ChoiceValue::Third)
        return true;
    return port == 443;
}

RuleVerdict ruleVerdict(std::optional<ChoiceValue> stored, bool mayAsk) {
    switch (stored.value_or(ChoiceValue::Other)) {
    case ChoiceValue::Allow:
        return RuleVerdict::Send;
    case ChoiceValue::Block:
        return RuleVerdict::Refuse;
    case ChoiceValue::Third:
        return mayAsk ? RuleVerdict::Ask : RuleVerdict::DropValue;
    case ChoiceValue::Other:
        break;
    }
    return RuleVerdict::DropValue;
}

QString cabinetQuestion(QByteArrayView requestLine) {
    // The line shows one character per byte, as the monitor shows requests.
    return QStringLiteral("ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ要求がありました。") + u'\r' +
           QStringLiteral("ﾘｸｴｽﾄ（ ") + QString::fromLatin1(requestLine) + QStringLiteral(" ）") +
           u'\r' + QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞを行いますか？");
}

RuleOutcome blockingRules(const RequestLine& line, SettingsStore& store) {
    // Asks the rule of `key` about this request; a value outside its set is removed.
    auto verdict = [&](const SettingKey& key, bool mayAsk) -> std::optional<RuleOutcome> {
        const std::optional<QString> stored = store.stored(key);
        switch (ruleVerdict(stored ? std::optional(choiceOf(*stored)) : std::nullopt, mayAsk)) {
        case RuleVerdict::Send:
            return std::nullopt;
        case RuleVerdict::Refuse:
            return key.name == Setting::Post.name ? RuleOutcome::RefuseWithClose
                                                  : RuleOutcome::Refuse;
        case RuleVerdict::Ask:
            return RuleOutcome::Ask;
        case RuleVerdict::DropValue:
            if (!store.remove(key))
                return RuleOutcome::Failed;
            return std::nullopt;
        }
        return std::nullopt;
    };
    std::optional<RuleOutcome> outcome;
    if (line.post)
        outcome = verdict(Setting::Post, false);
    if (!outcome && line.icon)
        outcome = verdict(Setting::IcoGet, false);
    if (!outcome && line.cabinet)
        outcome = verdict(Setting::CabGet, true);
    return outcome.value_or(RuleOutcome::Send);
}

} // namespace Tarnwick
