#include "platform/hostname.h"

#include <arpa/inet.h>

namespace Tarnwick {

namespace {
bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isDigits(QStringView text) {
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (!isDigit(c))
            return false;
    return true;
}

// A label an IPv4 parser would take as a number: decimal, or hexadecimal after "0x".
bool isNumeric(QStringView label) {
    if (label.startsWith(u"0x", Qt::CaseInsensitive)) {
        for (QChar c : label.sliced(2))
            if (!isDigit(c) && !(c.toLower() >= u'a' && c.toLower() <= u'f'))
                return false;
        return true;
    }
    return isDigits(label);
}

// Four decimal parts from 0 to 255 without leading zeros: the only IPv4 text accepted.
bool isDottedQuad(QStringView text) {
    const QList<QStringView> parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    for (QStringView part : parts)
        if (!isDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == u'0') ||
            part.toInt() > 255)
            return false;
    return true;
}
} // namespace

std::optional<HostName> HostName::parse(QStringView text) {
    if (text.startsWith(u'[') && text.endsWith(u']'))
        text = text.sliced(1, text.size() - 2);
    if (text.isEmpty() || text.size() > 254)
        return std::nullopt;
    HostName host;
    if (text.contains(u':')) {
        // inet_pton refuses zone indexes and IPv4 parts in other than dotted-quad form,
        // but stops at a NUL: what it would not read must not be there.
        for (QChar c : text)
            if (!(isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || c == u':' ||
                  c == u'.'))
                return std::nullopt;
        in6_addr binary{};
        if (::inet_pton(AF_INET6, text.toLatin1().constData(), &binary) != 1)
            return std::nullopt;
        char canonical[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, &binary, canonical, sizeof canonical);
        host.m_text = QString::fromLatin1(canonical);
        host.m_address = QHostAddress(host.m_text);
        return host;
    }
    // Lowered only once it is known to be ASCII: some other letters lower into ASCII.
    for (QChar c : text)
        if (c.unicode() > 127)
            return std::nullopt;
    QString name = text.toString().toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253)
        return std::nullopt;
    const QList<QStringView> labels = QStringView(name).split(u'.');
    if (isNumeric(labels.last())) {
        if (!isDottedQuad(name))
            return std::nullopt;
        host.m_text = name;
        host.m_address = QHostAddress(name);
        return host;
    }
    for (QStringView label : labels) {
        if (label.isEmpty() || label.size() > 63)
            return std::nullopt;
        for (QChar c : label)
            if (!((c >= u'a' && c <= u'z') || isDigit(c) || c == u'-' || c == u'_'))
                return std::nullopt;
    }
    host.m_text = std::move(name);
    return host;
}

} // namespace Tarnwick
