#include "proxy/interception.h"

namespace Tarnwick {

bool interceptionExcluded(const HostName& host, QStringView exclusions) {
    const QString& name = host.text();
    for (QStringView entry : exclusions.tokenize(u' ', Qt::SkipEmptyParts)) {
        for (QStringView item : entry.tokenize(u',', Qt::SkipEmptyParts)) {
            QStringView pattern = item.trimmed();
            const bool wildcard = pattern.startsWith(u"*.");
            const std::optional<HostName> listed =
                HostName::parse(wildcard ? pattern.sliced(2) : pattern);
            if (!listed)
                continue;
            if (!wildcard) {
                if (name == listed->text())
                    return true;
            } else if (!host.isAddress() && !listed->isAddress() &&
                       name.size() > listed->text().size() &&
                       name.endsWith(listed->text()) &&
                       name[name.size() - listed->text().size() - 1] == u'.') {
                return true;
            }
        }
    }
    return false;
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
    case TlsCheck::NotYetValid:
        what = QStringLiteral("サーバー証明書の有効期間がまだ始まっていません。");
        break;
    case TlsCheck::Revoked:
        what = QStringLiteral("サーバー証明書は失効しています（サーバーが添えたOCSP応答による）。");
        break;
    case TlsCheck::TimedOut:
        what = QStringLiteral("サーバーが時間内にTLSハンドシェイクを終えませんでした。");
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
