#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringView>
#include <optional>

namespace Tarnwick {

// A host in the one form in which it is compared, looked up, connected to and checked
// against a certificate: a DNS name in lower case without a final dot, or an IPv4 or
// IPv6 address in its canonical text. Forms that resolvers and certificate checks read
// differently ("0177.0.0.1", "127.1", "0x7f.1", a zone index, a name that ends in a
// number) have no HostName, so nothing can be connected as one host and checked as
// another.
class HostName {
public:
    // `text` as a CONNECT names it; an IPv6 address may stand in brackets.
    static std::optional<HostName> parse(QStringView text);

    const QString& text() const { return m_text; }
    bool isAddress() const { return !m_address.isNull(); }
    // The address itself (null for a DNS name).
    const QHostAddress& address() const { return m_address; }

    bool operator==(const HostName& other) const { return m_text == other.m_text; }

private:
    QString m_text;
    QHostAddress m_address;
};

} // namespace Tarnwick
