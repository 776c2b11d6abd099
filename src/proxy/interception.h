#pragma once

#include "platform/tls.h"

#include <QByteArray>
#include <QStringView>

namespace Tarnwick {

// Whether `host` is one the user never wants intercepted: `exclusions` lists names
// separated by blanks or commas, compared without regard to case; "*.example.test"
// covers every subdomain of example.test (not example.test itself).
bool interceptionExcluded(QStringView host, QStringView exclusions);

// Whether a CONNECT's host can be intercepted at all: a DNS name or an IP address, so
// that a certificate can name it.
bool interceptableHost(QStringView host);

// The answer an intercepted request gets when the origin's TLS did not pass: status 502
// and a short page that says in Japanese which check failed.
QByteArray unverifiedAnswer(TlsCheck check, QStringView authority, QStringView reason);

} // namespace Tarnwick
