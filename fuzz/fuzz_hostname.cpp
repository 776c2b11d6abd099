// A host as a CONNECT or a URL names it, read by HostName::parse: it accepts printable
// ASCII only, and whatever it accepts, its text is lower-case ASCII and reads back as
// the same host (the same text, the same address or none), also in brackets when it is
// an IPv6 address, so that the name connected to, looked up and checked against a
// certificate is one and the same.
// Input: the text, read as UTF-8, as Latin-1 and as UTF-16.

#include "fuzzsupport.h"
#include "platform/hostname.h"

#include <QString>
#include <cstdint>
#include <cstring>

using namespace Tarnwick;

namespace {

constexpr size_t MaxLength = 1024;

void check(QStringView text) {
    const std::optional<HostName> host = HostName::parse(text);
    if (!host)
        return;
    for (const QChar c : text)
        Fuzz::require(c.unicode() > 32 && c.unicode() < 127,
                      "a host is read from printable ASCII only");
    const QString& printed = host->text();
    Fuzz::require(!printed.isEmpty() && printed.size() <= 253, "a host is 1 to 253 characters");
    for (const QChar c : printed)
        Fuzz::require(c.unicode() > 32 && c.unicode() < 127 && !c.isUpper(),
                      "a host is printable lower-case ASCII");
    const std::optional<HostName> again = HostName::parse(printed);
    Fuzz::require(again.has_value(), "a host's text parses again");
    Fuzz::require(again->text() == printed, "a host's text parses to the same text");
    Fuzz::require(again->isAddress() == host->isAddress() && again->address() == host->address(),
                  "a host's text parses to the same address");
    Fuzz::require(!host->isAddress() || QHostAddress(printed) == host->address(),
                  "an address's text is that address");
    if (host->address().protocol() == QAbstractSocket::IPv6Protocol) {
        const std::optional<HostName> bracketed = HostName::parse(u'[' + printed + u']');
        Fuzz::require(bracketed && bracketed->text() == printed,
                      "an IPv6 address in brackets is the same host");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxLength)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    check(QString::fromUtf8(bytes, qsizetype(size)));
    check(QString::fromLatin1(bytes, qsizetype(size)));
    QString utf16(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, size_t(utf16.size()) * 2);
    check(utf16);
    return 0;
}
