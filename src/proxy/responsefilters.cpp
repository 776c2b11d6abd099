#include "proxy/responsefilters.h"

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

bool htmlRulesApply(QByteArrayView contentType) {
    return contentType.size() > 4 && contentType.indexOf(QByteArrayView("html")) >= 0;
}

void applySetCookieRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store) {
    if (!ruleIsOn(store, Setting::SetCookie) || !htmlRulesApply(contentType))
        return;
    HtmlFilter::filterWhole(answer.data(), answer.size(), true, false, false);
}

void applyScriptRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store,
                     bool chunked) {
    if (!ruleIsOn(store, Setting::Script) || !htmlRulesApply(contentType))
        return;
    HtmlFilter::filterWhole(answer.data(), answer.size(), false, true, chunked);
}

HtmlFilter htmlFilterFor(QByteArrayView contentType, SettingsStore& store, bool chunked) {
    const bool setCookie = ruleIsOn(store, Setting::SetCookie);
    const bool script = ruleIsOn(store, Setting::Script);
    const bool html = htmlRulesApply(contentType);
    return HtmlFilter(setCookie && html, script && html, chunked);
}

void neutraliseSetCookie(char* data, qsizetype length) {
    HtmlFilter::filterWhole(data, length, true, false, false);
}

void rewriteScripts(char* data, qsizetype length) {
    HtmlFilter::filterWhole(data, length, false, true, false);
}

} // namespace Tarnwick
