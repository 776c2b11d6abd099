#pragma once

// Every key of the section "設定" with the default its readers pass.
// Readers never pass literals: they take the name and default from here.

#include <QStringView>

namespace Tarnwick {

// The three choice values a choice setting holds.
namespace Choice {
inline constexpr QStringView Allow = u"○";
inline constexpr QStringView Block = u"×";
inline constexpr QStringView Third = u"△";
} // namespace Choice

// A stored value read as a choice: anything but the three marks is Other.
enum class ChoiceValue { Allow, Block, Third, Other };
inline ChoiceValue choiceOf(QStringView value) {
    if (value == Choice::Allow)
        return ChoiceValue::Allow;
    if (value == Choice::Block)
        return ChoiceValue::Block;
    if (value == Choice::Third)
        return ChoiceValue::Third;
    return ChoiceValue::Other;
}

struct SettingKey {
    QStringView name;
    QStringView defaultValue;
};

namespace Setting {
// Start-up and listening.
inline constexpr SettingKey AutoStart{u"AutoStart", u"×"};
inline constexpr SettingKey LocalPort{u"Local_Port", u"8080"};
// Upstream proxy.
inline constexpr SettingKey Proxy{u"Proxy", u"×"};
inline constexpr SettingKey ProxyServer{u"Proxy_Server", u""};
inline constexpr SettingKey ProxyPort{u"Proxy_Port", u""};
// Admission.
inline constexpr SettingKey Connect{u"Connect", u"×"};
inline constexpr SettingKey AllowedMachines[10] = {
    {u"接続許可マシン名０", u""}, {u"接続許可マシン名１", u""}, {u"接続許可マシン名２", u""},
    {u"接続許可マシン名３", u""}, {u"接続許可マシン名４", u""}, {u"接続許可マシン名５", u""},
    {u"接続許可マシン名６", u""}, {u"接続許可マシン名７", u""}, {u"接続許可マシン名８", u""},
    {u"接続許可マシン名９", u""}};
// Monitor list limits.
inline constexpr SettingKey EventCountLan{u"ｲﾍﾞﾝﾄ表示件数Lan", u"100"};
inline constexpr SettingKey EventCountWan{u"ｲﾍﾞﾝﾄ表示件数Wan", u"100"};
// Request headers.
inline constexpr SettingKey Referer{u"Referer", u"×"};
inline constexpr SettingKey RefererFake{u"Referer偽装", u"http://www.tarnwick-fictitious.example/"};
inline constexpr SettingKey UserAgent{u"UserAgent", u"×"};
inline constexpr SettingKey UserAgentFake{u"UserAgent偽装",
                                          u"Mozilla/9.0 (compatible; MSIE 9.0; Windows NT 9.0)"};
inline constexpr SettingKey IfModifiedSince{u"IfModifiedSince", u"×"};
inline constexpr SettingKey IfModifiedSinceFake{u"IfModifiedSince偽装",
                                                u"Mon, 27 Jan 2003 01:01:01 GMT; length=9999"};
inline constexpr SettingKey Cookie{u"Cookie", u"×"};
// Answers.
inline constexpr SettingKey SetCookie{u"SetCookie", u"×"};
inline constexpr SettingKey Script{u"Script", u"×"};
// Request blocking. The dialog shows "×" for an absent key; for the request reader an
// absent key fails the request (it has nothing to remove) and refuses it unlogged.
inline constexpr SettingKey Post{u"POST", u"×"};
inline constexpr SettingKey IcoGet{u"icoGET", u"×"};
inline constexpr SettingKey CabGet{u"cabGET", u"×"};
// HTTPS tunnels: "○" to port 443 only, "×" none, "△" to any port. Anything else
// counts as "○".
inline constexpr SettingKey ConnectTunnel{u"CONNECT", u"○"};
// HTTPS interception: "○" opens the CONNECTs the rule above admits with the user's own
// CA so that every rule applies inside; anything else carries them as tunnels.
inline constexpr SettingKey HttpsInterception{u"HTTPS検査", u"×"};
// Hosts never intercepted, separated by blanks or commas; "*.example.test" covers every
// subdomain of example.test.
inline constexpr SettingKey InterceptionExclusions{u"検査除外", u""};
// A PEM file of CA certificates that origins may also be verified against, besides the
// system's.
inline constexpr SettingKey InterceptionExtraCa{u"検査用追加CA", u""};
// Answers that stream while they arrive, with kept connections and WebSockets: "△"
// inside intercepted HTTPS only, "○" for plain HTTP too, "×" never (every answer is
// stored whole first). Anything else counts as "△".
inline constexpr SettingKey StreamAnswers{u"逐次転送", u"△"};
// Handed in by another program: "HH:mm:ss|URL".
inline constexpr SettingKey OutsideReferer{u"@Referer", u""};

// Keys whose value is one of the choices ○, × and △; anything else stored under them
// is removed by the program at its first use.
inline constexpr const SettingKey* ChoiceKeys[] = {
    &AutoStart, &Proxy,     &Connect, &Referer, &UserAgent, &IfModifiedSince, &Cookie,
    &SetCookie, &Script,    &Post,    &IcoGet,  &CabGet,    &ConnectTunnel, &HttpsInterception,
    &StreamAnswers};
inline bool isChoiceKey(QStringView name) {
    for (const SettingKey* key : ChoiceKeys)
        if (key->name == name)
            return true;
    return false;
}
inline bool isChoice(QStringView value) {
    return value == Choice::Allow || value == Choice::Block || value == Choice::Third;
}

} // namespace Setting

// What the version box and --version say.
inline constexpr QStringView ProgramVersion = u"Tarnwick(Lite) Ver 4.1.01";

// Application name and section of the store.
inline constexpr QStringView StoreApplication = u"Tarnwick";
inline constexpr QStringView StoreSection = u"設定";

// Time-of-day format of the "@Referer" stamp, 24-hour and locale independent.
inline constexpr QStringView OutsideRefererTimeFormat = u"HH:mm:ss";

} // namespace Tarnwick
