#pragma once

#include "platform/tls.h"

#include <QByteArray>
#include <QStringView>

namespace Tarnwick {

// Whether `host` is one the user never wants intercepted: `exclusions` lists names
// separated by blanks or commas, each compared in the host's own form (case and a final
// dot do not matter); "*.example.test" covers every subdomain of example.test (not
// example.test itself).
bool interceptionExcluded(const HostName& host, QStringView exclusions);

// The answer an intercepted request gets when the origin's TLS did not pass: status 502
// and a short page that says in Japanese which check failed.
QByteArray unverifiedAnswer(TlsCheck check, QStringView authority, QStringView reason);

} // namespace Tarnwick
