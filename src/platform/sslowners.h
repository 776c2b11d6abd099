#pragma once

#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>

namespace Tarnwick {

// OpenSSL objects held by owners that free them with the library's own functions.
template <auto Free> struct OpenSslFree {
    template <typename T> void operator()(T* object) const noexcept { Free(object); }
};
template <typename T, auto Free> using OpenSslOwner = std::unique_ptr<T, OpenSslFree<Free>>;

using X509Owner = OpenSslOwner<X509, X509_free>;
using KeyOwner = OpenSslOwner<EVP_PKEY, EVP_PKEY_free>;
using SslOwner = OpenSslOwner<SSL, SSL_free>;
using SslContextOwner = OpenSslOwner<SSL_CTX, SSL_CTX_free>;
using SessionOwner = OpenSslOwner<SSL_SESSION, SSL_SESSION_free>;
using NameOwner = OpenSslOwner<X509_NAME, X509_NAME_free>;
using BioOwner = OpenSslOwner<BIO, BIO_free>;
using ExtensionOwner = OpenSslOwner<X509_EXTENSION, X509_EXTENSION_free>;
using GeneralNamesOwner = OpenSslOwner<GENERAL_NAMES, GENERAL_NAMES_free>;
using BigNumberOwner = OpenSslOwner<BIGNUM, BN_free>;
using IntegerOwner = OpenSslOwner<ASN1_INTEGER, ASN1_INTEGER_free>;
using TimeOwner = OpenSslOwner<ASN1_TIME, ASN1_TIME_free>;
using OcspResponseOwner = OpenSslOwner<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicOwner = OpenSslOwner<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspIdOwner = OpenSslOwner<OCSP_CERTID, OCSP_CERTID_free>;

} // namespace Tarnwick
