#pragma once

// The options dialog as designed: every control with its place in twips, and the
// rows and columns that must stay lined up once the captions have been measured.
// The controls are made in this order, which is also their tab order.

#include <QHash>
#include <QString>
#include <QStringView>

class QWidget;

namespace Tarnwick {

enum class ControlKind { Frame, Option, Check, Label, Box, Button };

// One control: its name (tests and tools find it by this name), the frame it sits
// in (empty: the dialog itself), its place in twips relative to that, and what it
// says.
struct ControlPlace {
    QStringView name;
    ControlKind kind;
    QStringView frame;
    int left;
    int top;
    int width;
    int height;
    QStringView caption = {};
    QStringView toolTip = {};
};

// Client area in twips: the right-most edge is 9855 and the lowest 8850, the bottom
// of the interception frame under the right column's buttons and of the streaming
// frame at the foot of the left column.
inline constexpr int OptionsDialogWidth = 9975;
inline constexpr int OptionsDialogHeight = 8970;
// Room between the controls and the dialog's edges.
inline constexpr int OptionsDialogMargin = 120;
// The least room between neighbours in a row, in twips.
inline constexpr int OptionsDialogRowGap = 105;

namespace OptionsCaption {
inline constexpr QStringView AllowSend = u"送信を許可する";
inline constexpr QStringView BlockHeader = u"送信をﾌﾞﾛｯｸする　（HTTPﾍｯﾀﾞｰから削除する）";
inline constexpr QStringView Fake = u"偽装して送信する";
inline constexpr QStringView Allow = u"許可する";
inline constexpr QStringView Favourites = u"『お気に入り』への登録時にも要求されます";
} // namespace OptionsCaption

// Deleting or faking the User-Agent also keeps back the client hints that tell the same.
inline constexpr QStringView UserAgentHintsTip =
    u"ﾌﾞﾗｳｻﾞの銘柄・版・機種・OSを伝えるｸﾗｲｱﾝﾄﾋﾝﾄ(Sec-CH-UA、Sec-CH-UA-*)も削除し、"
    u"ｻｲﾄがそれを求める応答ﾍｯﾀﾞｰ(Accept-CH、Critical-CH、Delegate-CH)も取り除く。"
    u"Origin・Sec-Fetch-*などﾌﾞﾗｳｻﾞ自身の保護に使うﾍｯﾀﾞｰはそのまま送る";

// clang-format off
inline constexpr ControlPlace OptionsDialogControls[] = {
    // Left column.
    {u"Frame_AutoStart", ControlKind::Frame, {}, 120, 120, 3495, 1140, u"起動方法"},
    {u"Option_AutoStart_Yes", ControlKind::Option, u"Frame_AutoStart", 120, 240, 1455, 255, u"自動起動"},
    {u"Option_AutoStart_No", ControlKind::Option, u"Frame_AutoStart", 1680, 240, 1455, 255, u"手動起動"},
    {u"Label1", ControlKind::Label, u"Frame_AutoStart", 120, 510, 975, 270, u"ﾎﾟｰﾄ番号"},
    {u"Text_Local_Port", ControlKind::Box, u"Frame_AutoStart", 1200, 510, 1095, 270},
    // The desktop's own proxy setting pointed at the port above, or put back.
    {u"Check_DesktopProxy", ControlKind::Check, u"Frame_AutoStart", 120, 810, 3255, 255, u"デスクトップのプロキシに設定する", u"FirefoxとChromiumが従うﾃﾞｽｸﾄｯﾌﾟ(GNOME、KDE)のﾌﾟﾛｷｼ設定をこのﾎﾟｰﾄに向ける。外すと元に戻す"},

    {u"Frame_Proxy", ControlKind::Frame, {}, 120, 1365, 3495, 1095, u"ﾌﾟﾛｷｼの設定"},
    {u"Option_Proxy_Yes", ControlKind::Option, u"Frame_Proxy", 120, 240, 1455, 255, u"ﾌﾟﾛｷｼを通す"},
    {u"Option_Proxy_No", ControlKind::Option, u"Frame_Proxy", 1680, 240, 1695, 255, u"ﾌﾟﾛｷｼを通さない"},
    {u"Label_Proxy_Server", ControlKind::Label, u"Frame_Proxy", 120, 510, 975, 270, u"ｻｰﾊﾞｰ名"},
    {u"Text_Proxy_Server", ControlKind::Box, u"Frame_Proxy", 1200, 510, 2175, 270},
    {u"Label_Proxy_Port", ControlKind::Label, u"Frame_Proxy", 120, 780, 975, 270, u"ﾎﾟｰﾄ番号"},
    {u"Text_Proxy_Port", ControlKind::Box, u"Frame_Proxy", 1200, 780, 1095, 270},

    {u"Frame_Connect", ControlKind::Frame, {}, 120, 2565, 3495, 3495, u"接続許可の設定　（　IPｱﾄﾞﾚｽを指定　）"},
    {u"Option_Connect_Ok", ControlKind::Option, u"Frame_Connect", 120, 240, 3255, 255, u"他のﾏｼﾝからの接続を全て許可する"},
    {u"Option_Connect_Xxx", ControlKind::Option, u"Frame_Connect", 120, 480, 3255, 255, u"他のﾏｼﾝからの接続を全て許可しない"},
    {u"Option_Connect_List", ControlKind::Option, u"Frame_Connect", 120, 720, 3255, 255, u"下のﾏｼﾝ(IP)からの接続を許可する"},
    {u"Text_マシン名0", ControlKind::Box, u"Frame_Connect", 360, 1020, 1575, 240},
    {u"Text_マシン名1", ControlKind::Box, u"Frame_Connect", 360, 1260, 1575, 240},
    {u"Text_マシン名2", ControlKind::Box, u"Frame_Connect", 360, 1500, 1575, 240},
    {u"Text_マシン名3", ControlKind::Box, u"Frame_Connect", 360, 1740, 1575, 240},
    {u"Text_マシン名4", ControlKind::Box, u"Frame_Connect", 360, 1980, 1575, 240},
    {u"Text_マシン名5", ControlKind::Box, u"Frame_Connect", 360, 2220, 1575, 240},
    {u"Text_マシン名6", ControlKind::Box, u"Frame_Connect", 360, 2460, 1575, 240},
    {u"Text_マシン名7", ControlKind::Box, u"Frame_Connect", 360, 2700, 1575, 240},
    {u"Text_マシン名8", ControlKind::Box, u"Frame_Connect", 360, 2940, 1575, 240},
    {u"Text_マシン名9", ControlKind::Box, u"Frame_Connect", 360, 3180, 1575, 240},

    {u"Frame_EventCount", ControlKind::Frame, {}, 120, 6165, 3495, 615, u"ｲﾍﾞﾝﾄの表示件数"},
    {u"Label2", ControlKind::Label, u"Frame_EventCount", 120, 240, 495, 270, u"Lan"},
    {u"Text_表示件数_Lan", ControlKind::Box, u"Frame_EventCount", 600, 240, 975, 270},
    {u"Label3", ControlKind::Label, u"Frame_EventCount", 1800, 240, 495, 270, u"Wan"},
    {u"Text_表示件数_Wan", ControlKind::Box, u"Frame_EventCount", 2280, 240, 975, 270},

    // HTTPS tunnels: the three choices one below the other, as in the admission frame.
    {u"Frame_CONNECT", ControlKind::Frame, {}, 120, 6885, 3495, 1035, u"HTTPS(CONNECT)ﾘｸｴｽﾄ"},
    {u"Option_CONNECT_Ok", ControlKind::Option, u"Frame_CONNECT", 120, 240, 3255, 255, u"443番ﾎﾟｰﾄのみ許可する"},
    {u"Option_CONNECT_Xxx", ControlKind::Option, u"Frame_CONNECT", 120, 480, 3255, 255, u"許可しない"},
    {u"Option_CONNECT_Zzz", ControlKind::Option, u"Frame_CONNECT", 120, 720, 3255, 255, u"全ﾎﾟｰﾄを許可する"},

    // Answers that stream while they arrive: the default, inside interception only, on a
    // row of its own, always and never under it on the columns of the frames above; the
    // frame ends where the interception frame does.
    {u"Frame_逐次転送", ControlKind::Frame, {}, 120, 8025, 3495, 825, u"逐次転送", u"応答を受信しながらﾌﾞﾗｳｻﾞへ送る。接続を続けて使い、WebSocketも通す"},
    {u"Option_逐次転送_Zzz", ControlKind::Option, u"Frame_逐次転送", 120, 240, 3255, 255, u"HTTPS検査の中だけ行う"},
    {u"Option_逐次転送_Ok", ControlKind::Option, u"Frame_逐次転送", 120, 480, 1455, 255, u"常に行う"},
    {u"Option_逐次転送_Xxx", ControlKind::Option, u"Frame_逐次転送", 1680, 480, 1455, 255, u"行わない"},

    // Right column.
    {u"Frame_Send", ControlKind::Frame, {}, 3720, 120, 6135, 3225, u"送信情報の設定"},
    {u"Frame_Referer", ControlKind::Frame, u"Frame_Send", 120, 225, 5895, 780, u"Referer"},
    {u"Option_Referer_Ok", ControlKind::Option, u"Frame_Referer", 120, 210, 1575, 255, OptionsCaption::AllowSend},
    {u"Option_Referer_Xxx", ControlKind::Option, u"Frame_Referer", 1800, 210, 3975, 255, OptionsCaption::BlockHeader},
    {u"Option_Referer_Zzz", ControlKind::Option, u"Frame_Referer", 120, 465, 1575, 255, OptionsCaption::Fake},
    {u"Text_Referer", ControlKind::Box, u"Frame_Referer", 1800, 465, 3975, 270},
    {u"Frame_UserAgent", ControlKind::Frame, u"Frame_Send", 120, 1020, 5895, 780, u"User-Agent"},
    {u"Option_UserAgent_Ok", ControlKind::Option, u"Frame_UserAgent", 120, 210, 1575, 255, OptionsCaption::AllowSend},
    {u"Option_UserAgent_Xxx", ControlKind::Option, u"Frame_UserAgent", 1800, 210, 3975, 255, OptionsCaption::BlockHeader, UserAgentHintsTip},
    {u"Option_UserAgent_Zzz", ControlKind::Option, u"Frame_UserAgent", 120, 465, 1575, 255, OptionsCaption::Fake, UserAgentHintsTip},
    {u"Text_UserAgent", ControlKind::Box, u"Frame_UserAgent", 1800, 465, 3975, 270},
    {u"Frame_IfModifiedSince", ControlKind::Frame, u"Frame_Send", 120, 1815, 5895, 780, u"If-Modified-Since"},
    {u"Option_IfModifiedSince_Ok", ControlKind::Option, u"Frame_IfModifiedSince", 120, 210, 1575, 255, OptionsCaption::AllowSend},
    {u"Option_IfModifiedSince_Xxx", ControlKind::Option, u"Frame_IfModifiedSince", 1800, 210, 3975, 255, OptionsCaption::BlockHeader},
    {u"Option_IfModifiedSince_Zzz", ControlKind::Option, u"Frame_IfModifiedSince", 120, 465, 1575, 255, OptionsCaption::Fake},
    {u"Text_IfModifiedSince", ControlKind::Box, u"Frame_IfModifiedSince", 1800, 465, 3975, 270},
    {u"Frame_Cookie", ControlKind::Frame, u"Frame_Send", 120, 2610, 5895, 510, u"Cookie"},
    {u"Option_Cookie_Ok", ControlKind::Option, u"Frame_Cookie", 120, 210, 1575, 255, OptionsCaption::AllowSend},
    {u"Option_Cookie_Xxx", ControlKind::Option, u"Frame_Cookie", 1800, 210, 3975, 255, OptionsCaption::BlockHeader},

    {u"Frame_Recv", ControlKind::Frame, {}, 3720, 3360, 6135, 1335, u"受信情報の設定"},
    {u"Frame_SetCookie", ControlKind::Frame, u"Frame_Recv", 120, 225, 5895, 510, u"Set-Cookie"},
    {u"Option_SetCookie_Ok", ControlKind::Option, u"Frame_SetCookie", 120, 210, 1575, 255, u"受信を許可する"},
    {u"Option_SetCookie_Xxx", ControlKind::Option, u"Frame_SetCookie", 1800, 210, 3975, 255, u"受信をﾌﾞﾛｯｸする　（HTTPﾍｯﾀﾞｰを書き換える）"},
    {u"Frame_Script", ControlKind::Frame, u"Frame_Recv", 120, 750, 5895, 510, u"SCRIPTタグ"},
    {u"Option_Script_Ok", ControlKind::Option, u"Frame_Script", 120, 210, 1575, 255, u"使用を許可する"},
    {u"Option_Script_Xxx", ControlKind::Option, u"Frame_Script", 1800, 210, 3975, 255, u"使用を許可しない （HTMLを書き換える）"},

    {u"Frame_POST", ControlKind::Frame, {}, 3720, 4800, 6135, 495, u"POSTﾘｸｴｽﾄ", u"怪しいデータを送信している場合があります"},
    {u"Option_POST_Ok", ControlKind::Option, u"Frame_POST", 120, 210, 1575, 255, OptionsCaption::AllowSend},
    {u"Option_POST_Xxx", ControlKind::Option, u"Frame_POST", 1800, 210, 3975, 255, u"送信をﾌﾞﾛｯｸする　（POSTﾘｸｴｽﾄを送信しない）"},

    {u"Frame_icoGET", ControlKind::Frame, {}, 3720, 5400, 6135, 495, u"ｱｲｺﾝﾌｧｲﾙ(*.ico)のﾀﾞｳﾝﾛｰﾄﾞ", OptionsCaption::Favourites},
    {u"Option_icoGET_Ok", ControlKind::Option, u"Frame_icoGET", 120, 210, 1575, 255, OptionsCaption::Allow},
    {u"Option_icoGET_Xxx", ControlKind::Option, u"Frame_icoGET", 1800, 210, 3975, 255, u"許可しない  （当GETﾘｸｴｽﾄは送信しない）"},

    {u"Frame_cabGET", ControlKind::Frame, {}, 3720, 6000, 6135, 735, u"ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ", OptionsCaption::Favourites},
    {u"Option_cabGET_Ok", ControlKind::Option, u"Frame_cabGET", 120, 210, 1575, 255, OptionsCaption::Allow},
    {u"Option_cabGET_Xxx", ControlKind::Option, u"Frame_cabGET", 1800, 210, 3975, 255, u"許可しない　（当GETﾘｸｴｽﾄは送信しない）"},
    {u"Option_cabGET_Zzz", ControlKind::Option, u"Frame_cabGET", 120, 450, 3255, 255, u"確認ﾒｯｾｰｼﾞを出力する"},

    {u"Command_All_Reset", ControlKind::Button, {}, 3720, 6840, 1815, 375, u"全ての設定をﾘｾｯﾄ"},
    {u"Command_Send_Reset", ControlKind::Button, {}, 5640, 6840, 2055, 375, u"送信情報の設定をﾘｾｯﾄ"},
    {u"Command_Recv_Reset", ControlKind::Button, {}, 7800, 6840, 2055, 375, u"受信情報の設定をﾘｾｯﾄ"},

    // HTTPS interception, under the buttons: the choice as in the frames above, the two
    // boxes on the second buttons' edge, the export button under the boxes' right end and
    // the button that has the browsers trust the CA beside it, on the boxes' left edge.
    {u"Frame_HTTPS検査", ControlKind::Frame, {}, 3720, 7320, 6135, 1530, u"HTTPSﾘｸｴｽﾄの検査"},
    {u"Option_HTTPS検査_Ok", ControlKind::Option, u"Frame_HTTPS検査", 120, 210, 1575, 255, u"検査する"},
    {u"Option_HTTPS検査_Xxx", ControlKind::Option, u"Frame_HTTPS検査", 1800, 210, 3975, 255, u"検査しない"},
    {u"Label_検査除外", ControlKind::Label, u"Frame_HTTPS検査", 120, 495, 1575, 270, u"検査除外"},
    {u"Text_検査除外", ControlKind::Box, u"Frame_HTTPS検査", 1800, 495, 3975, 270, {}, u"検査しないﾎｽﾄ名　（空白かｶﾝﾏで区切る。*.example.test はｻﾌﾞﾄﾞﾒｲﾝ全て）"},
    {u"Label_検査用追加CA", ControlKind::Label, u"Frame_HTTPS検査", 120, 765, 1575, 270, u"検査用追加CA"},
    {u"Text_検査用追加CA", ControlKind::Box, u"Frame_HTTPS検査", 1800, 765, 3975, 270, {}, u"接続先の検証にｼｽﾃﾑのものと併せて使うCA証明書のPEMﾌｧｲﾙ"},
    {u"Command_CA_Trust", ControlKind::Button, u"Frame_HTTPS検査", 1800, 1095, 1815, 375, u"ブラウザに登録", u"CA証明書をChromiumとFirefoxの証明書ﾃﾞｰﾀﾍﾞｰｽに登録する（certutilを使う）"},
    {u"Command_CA_Export", ControlKind::Button, u"Frame_HTTPS検査", 3720, 1095, 2055, 375, u"CA証明書の書き出し"},
};

// Controls side by side, left to right: a caption wider than designed pushes its
// right-hand neighbours along.
inline constexpr QStringView OptionsDialogRows[][4] = {
    {u"Option_AutoStart_Yes", u"Option_AutoStart_No"},
    {u"Label1", u"Text_Local_Port"},
    {u"Option_Proxy_Yes", u"Option_Proxy_No"},
    {u"Label_Proxy_Server", u"Text_Proxy_Server"},
    {u"Label_Proxy_Port", u"Text_Proxy_Port"},
    {u"Label2", u"Text_表示件数_Lan", u"Label3", u"Text_表示件数_Wan"},
    {u"Option_逐次転送_Ok", u"Option_逐次転送_Xxx"},
    {u"Option_Referer_Ok", u"Option_Referer_Xxx"},
    {u"Option_Referer_Zzz", u"Text_Referer"},
    {u"Option_UserAgent_Ok", u"Option_UserAgent_Xxx"},
    {u"Option_UserAgent_Zzz", u"Text_UserAgent"},
    {u"Option_IfModifiedSince_Ok", u"Option_IfModifiedSince_Xxx"},
    {u"Option_IfModifiedSince_Zzz", u"Text_IfModifiedSince"},
    {u"Option_Cookie_Ok", u"Option_Cookie_Xxx"},
    {u"Option_SetCookie_Ok", u"Option_SetCookie_Xxx"},
    {u"Option_Script_Ok", u"Option_Script_Xxx"},
    {u"Option_POST_Ok", u"Option_POST_Xxx"},
    {u"Option_icoGET_Ok", u"Option_icoGET_Xxx"},
    {u"Option_cabGET_Ok", u"Option_cabGET_Xxx"},
    {u"Command_All_Reset", u"Command_Send_Reset", u"Command_Recv_Reset"},
    {u"Option_HTTPS検査_Ok", u"Option_HTTPS検査_Xxx"},
    {u"Label_検査除外", u"Text_検査除外"},
    {u"Label_検査用追加CA", u"Text_検査用追加CA"},
    {u"Command_CA_Trust", u"Command_CA_Export"},
};

// Controls in different rows that start at one left edge: the column moves as far as
// its furthest member had to. The right column's second buttons and fake-value boxes
// share one edge, and so do the interception frame's.
inline constexpr QStringView OptionsDialogColumns[][16] = {
    {u"Text_Proxy_Server", u"Text_Proxy_Port"},
    {u"Option_Referer_Xxx", u"Text_Referer", u"Option_UserAgent_Xxx", u"Text_UserAgent",
     u"Option_IfModifiedSince_Xxx", u"Text_IfModifiedSince", u"Option_Cookie_Xxx",
     u"Option_SetCookie_Xxx", u"Option_Script_Xxx", u"Option_POST_Xxx", u"Option_icoGET_Xxx",
     u"Option_cabGET_Xxx", u"Option_HTTPS検査_Xxx", u"Text_検査除外", u"Text_検査用追加CA",
     u"Command_CA_Trust"},
};
// clang-format on

// Makes every control of the table in `dialog`, at its designed place and no
// narrower than its caption, then lines up the rows and columns. Returns the
// controls by name.
QHash<QString, QWidget*> createOptionsDialogControls(QWidget* dialog);

} // namespace Tarnwick
