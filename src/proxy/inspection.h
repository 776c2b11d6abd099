#pragma once

#include "platform/tls.h"

#include <QByteArray>
#include <QStringView>

namespace Tarnwick {

// Whether `host` is one the user never wants inspected: `exclusions` lists names
// separated by blanks or commas, compared without regard to case; "*.example.test"
// covers every subdomain of example.test (not example.test itself).
bool inspectionExcluded(QStringView host, QStringView exclusions);

// Whether a CONNECT's host can be inspected at all: a DNS name or an IP address, so
// that a certificate can name it.
bool inspectableHost(QStringView host);

// The answer an inspected request gets when the origin's TLS did not pass: status 502
// and a short page that says in Japanese which check failed.
QByteArray unverifiedAnswer(TlsCheck check, QStringView authority, QStringView reason);

} // namespace Tarnwick
