#include "proxy/interception.h"

#include <QHostAddress>

namespace Tarnwick {

bool interceptionExcluded(QStringView host, QStringView exclusions) {
    const QString name = host.toString().toLower();
    for (QStringView entry : exclusions.tokenize(u' ', Qt::SkipEmptyParts)) {
        for (QStringView item : entry.tokenize(u',', Qt::SkipEmptyParts)) {
            const QString pattern = item.trimmed().toString().toLower();
            if (pattern.isEmpty())
                continue;
            if (pattern.startsWith(u"*.")) {
                const QStringView suffix = QStringView(pattern).sliced(1); // ".example.test"
                if (name.size() > suffix.size() && name.endsWith(suffix))
                    return true;
            } else if (name == pattern) {
                return true;
            }
        }
    }
    return false;
}

bool interceptableHost(QStringView host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    if (!QHostAddress(host.toString()).isNull())
        return true;
    for (QChar c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'.' && c != u'_')
            return false;
    return true;
}

namespace {
QString escaped(QStringView text) {
    return text.toString().toHtmlEscaped();
}
} // namespace

QByteArray unverifiedAnswer(TlsCheck check, QStringView authority, QStringView reason) {
    QString what;
    switch (check) {
    case TlsCheck::Expired:
        what = QStringLiteral("サーバー証明書の有効期限が切れています。");
        break;
    case TlsCheck::WrongHost:
        what = QStringLiteral("サーバー証明書が、このホスト名のものではありません。");
        break;
    case TlsCheck::UnknownIssuer:
        what = QStringLiteral("サーバー証明書の発行者を信頼できません。");
        break;
    case TlsCheck::HandshakeFailed:
        what = QStringLiteral("サーバーとのTLSハンドシェイクに失敗しました。");
        break;
    case TlsCheck::Passed:
    case TlsCheck::Other:
        what = QStringLiteral("サーバー証明書を確認できませんでした。");
        break;
    }
    const QByteArray body =
        (QStringLiteral("<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\">"
                        "<title>502 接続先を確認できません</title></head>\n<body><h1>接続先を確認できません</h1>\n<p>") +
         what + QStringLiteral("</p>\n<p>接続先: ") + escaped(authority) +
         QStringLiteral("</p>\n<p>詳細: ") + escaped(reason) +
         QStringLiteral("</p>\n<p>Tarnwick(Lite) はこのサーバーへの要求を送っていません。</p></body></html>\n"))
            .toUtf8();
    return "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace Tarnwick
