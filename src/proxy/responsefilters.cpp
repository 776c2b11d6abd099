#include "proxy/responsefilters.h"

#include "proxy/answerhead.h"
#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {

// Reads a rule's switch once. A value outside its set is removed from the store (the
// next answer reads the default) and the rule stays off for this answer.
bool ruleIsOn(SettingsStore& store, const SettingKey& key) {
    const ChoiceValue value = store.choice(key);
    if (value == ChoiceValue::Block)
        return true;
    if (value != ChoiceValue::Allow)
        store.remove(key);
    return false;
}

} // namespace

void applySetCookieRule(QByteArray& answer, bool html, SettingsStore& store) {
    if (!ruleIsOn(store, Setting::SetCookie) || !html)
        return;
    HtmlFilter::filterWhole(answer.data(), answer.size(), true, false, false);
}

void applyScriptRule(QByteArray& answer, bool html, SettingsStore& store, bool chunked) {
    if (!ruleIsOn(store, Setting::Script) || !html)
        return;
    HtmlFilter::filterWhole(answer.data(), answer.size(), false, true, chunked);
}

HtmlFilter htmlFilterFor(bool html, SettingsStore& store, bool chunked) {
    const bool setCookie = ruleIsOn(store, Setting::SetCookie);
    const bool script = ruleIsOn(store, Setting::Script);
    return HtmlFilter(setCookie && html, script && html, chunked);
}

QByteArray answerHeadForBrowser(const QByteArray& head, bool scriptsRewritten, bool hideHints) {
    if (!scriptsRewritten && !hideHints)
        return head;
    const QByteArrayView policy = scriptsRewritten ? ScriptPolicyLine : QByteArrayView();
    if (!hideHints)
        return withoutHeaderLines(head, {}, policy);
    return withoutHeaderLines(head, {"accept-ch:", "critical-ch:", "delegate-ch:"}, policy);
}

void neutraliseSetCookie(char* data, qsizetype length) {
    HtmlFilter::filterWhole(data, length, true, false, false);
}

void rewriteScripts(char* data, qsizetype length) {
    HtmlFilter::filterWhole(data, length, false, true, false);
}

} // namespace Tarnwick
