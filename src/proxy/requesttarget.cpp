#include "proxy/requesttarget.h"

#include "proxy/answerhead.h"
#include "settings/settingsstore.h"

namespace Tarnwick {

std::optional<int> parsePort(QStringView text) {
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

std::optional<RequestTarget> parseHostText(QStringView hostText) {
    // Credentials in the URL are not part of the host.
    const qsizetype at = hostText.lastIndexOf(u'@');
    if (at >= 0)
        hostText = hostText.mid(at + 1);
    RequestTarget target;
    QStringView portText;
    bool hasPort = false;
    if (hostText.startsWith(u'[')) {
        const qsizetype close = hostText.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        target.host = hostText.mid(1, close - 1).toString();
        const QStringView rest = hostText.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            portText = rest.mid(1);
            hasPort = true;
        }
    } else {
        const qsizetype colon = hostText.indexOf(u':');
        if (colon >= 0) {
            target.host = hostText.left(colon).toString();
            portText = hostText.mid(colon + 1);
            hasPort = true;
        } else {
            target.host = hostText.toString();
        }
    }
    if (target.host.isEmpty())
        return std::nullopt;
    if (hasPort) {
        const auto port = parsePort(portText);
        if (!port)
            return std::nullopt;
        target.port = *port;
    }
    return target;
}

std::optional<RequestTarget> targetFromRequest(const QByteArray& piece) {
    qsizetype lineEnd = piece.indexOf("\r\n");
    if (lineEnd < 0)
        lineEnd = piece.size();
    const QByteArrayView line = QByteArrayView(piece).first(lineEnd);
    const qsizetype scheme = line.indexOf("://");
    if (scheme < 0)
        return std::nullopt;
    const QByteArrayView rest = line.sliced(scheme + 3);
    qsizetype end = -1;
    for (qsizetype k = 0; k < rest.size(); ++k) {
        // The host ends where its path, query or fragment begins, or at the blank
        // before the version when the URL has none of them.
        if (rest[k] == '/' || rest[k] == ' ' || rest[k] == '?' || rest[k] == '#') {
            end = k;
            break;
        }
    }
    if (end < 0)
        return std::nullopt;
    return parseHostText(QString::fromLatin1(rest.first(end)));
}

std::optional<RequestTarget> upstreamProxyTarget(const SettingsStore& store) {
    const QString host = store.get(Setting::ProxyServer).trimmed();
    const auto port = parsePort(store.get(Setting::ProxyPort).trimmed());
    if (host.isEmpty() || !port)
        return std::nullopt;
    return RequestTarget{host, *port};
}

qint64 requestBodyLength(QByteArrayView head) {
    if (framingHeader(head, "transfer-encoding:"))
        return -1;
    const auto text = framingHeader(head, "content-length:");
    if (!text)
        return 0;
    bool ok = false;
    const qint64 length = text->toLongLong(&ok);
    // A length that cannot be read leaves the body's end to the close.
    return ok && length >= 0 ? length : -1;
}

} // namespace Tarnwick
