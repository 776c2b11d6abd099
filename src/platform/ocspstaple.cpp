#include "platform/sslowners.h"
#include "platform/tlsinternal.h"

#include <openssl/err.h>

namespace Tarnwick {

// A stapled OCSP answer that the origin's issuer signed and that calls the
// certificate revoked fails the handshake; any other (none, unreadable, unsigned,
// out of date, "good") is no reason to refuse, since nothing else is asked.
int TlsInternal::checkStapledStatus(SSL* ssl, void*) {
    const unsigned char* der = nullptr;
    const long size = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
    if (!der || size <= 0)
        return 1;
    const OcspResponseOwner response(d2i_OCSP_RESPONSE(nullptr, &der, size));
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return 1;
    const OcspBasicOwner basic(OCSP_response_get1_basic(response.get()));
    STACK_OF(X509)* chain = SSL_get0_verified_chain(ssl);
    if (!basic || !chain || sk_X509_num(chain) < 2)
        return 1;
    X509_STORE* store = SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl));
    if (OCSP_basic_verify(basic.get(), chain, store, 0) != 1) {
        ERR_clear_error();
        return 1;
    }
    const OcspIdOwner id(
        OCSP_cert_to_id(nullptr, sk_X509_value(chain, 0), sk_X509_value(chain, 1)));
    int status = V_OCSP_CERTSTATUS_UNKNOWN;
    int reason = 0;
    ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    if (!id || OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revoked,
                                     &thisUpdate, &nextUpdate) != 1 ||
        OCSP_check_validity(thisUpdate, nextUpdate, 5 * 60, -1) != 1) {
        ERR_clear_error();
        return 1;
    }
    if (status != V_OCSP_CERTSTATUS_REVOKED)
        return 1;
    SSL_set_verify_result(ssl, X509_V_ERR_CERT_REVOKED);
    return 0;
}

} // namespace Tarnwick
