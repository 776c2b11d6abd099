#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/ssl.h>

// What the authority (tls.cpp), the contexts (tlscontexts.cpp) and the stapled OCSP
// check (ocspstaple.cpp) share; not for use outside them.
namespace Tarnwick::TlsInternal {

// A path as the file system spells it.
QByteArray encoded(const QString& path);
// What a file is now, to tell whether it changed: missing, or its identity, size,
// time stamps, mode and owner.
QByteArray stampOf(const QString& path);

// OpenSSL's status callback for the origin context: fails the handshake on a stapled
// OCSP answer that calls the certificate revoked.
int checkStapledStatus(SSL* ssl, void* unused);

} // namespace Tarnwick::TlsInternal
