#include "platform/tls.h"
#include "platform/tlsinternal.h"

#include <openssl/err.h>

namespace Tarnwick {

namespace {
using TlsInternal::encoded;
using TlsInternal::stampOf;

constexpr size_t SessionsKept = 1000;
// Toward origins, TLS 1.2 only with forward secrecy and an AEAD cipher; TLS 1.3 has
// nothing else.
constexpr char OriginSuites[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// The index under which an origin connection keeps the key of its session cache.
int sessionKeyIndex() {
    static const int index = SSL_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<std::string*>(data);
        });
    return index;
}
} // namespace

TlsContexts::TlsContexts(CertificateAuthority& authority) : m_authority(authority) {}

TlsContexts::~TlsContexts() = default;

SslOwner TlsContexts::forBrowser(const HostName& host, QString* why) {
    if (m_authority.prepare(why) != CertificateAuthority::State::Usable)
        return nullptr;
    if (!m_browser) {
        m_browser.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX* browser = m_browser.get();
        SSL_CTX_set_min_proto_version(browser, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(browser, TLS1_3_VERSION);
        SSL_CTX_set_options(browser, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
        SSL_CTX_set_mode(browser,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Every request is a new connection: resumed from tickets, it costs little.
        static const unsigned char Context[] = "tarnwick-interception";
        SSL_CTX_set_session_id_context(browser, Context, sizeof Context - 1);
        // HTTP/2 where the browser offers it, else HTTP/1.1.
        SSL_CTX_set_alpn_select_cb(
            browser,
            [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
                static const unsigned char Offer[] = "\x02h2\x08http/1.1";
                unsigned char* selected = nullptr;
                if (SSL_select_next_proto(&selected, outLength, Offer, sizeof Offer - 1, in,
                                          inLength) != OPENSSL_NPN_NEGOTIATED)
                    return SSL_TLSEXT_ERR_NOACK;
                *out = selected;
                return SSL_TLSEXT_ERR_OK;
            },
            nullptr);
    }
    X509* cert = m_authority.certificateFor(host);
    if (!cert) {
        if (why)
            *why = QStringLiteral("証明書を作れません: ") + host.text();
        return nullptr;
    }
    SslOwner ssl(SSL_new(m_browser.get()));
    if (!ssl || SSL_use_certificate(ssl.get(), cert) != 1 ||
        SSL_use_PrivateKey(ssl.get(), m_authority.hostKey()) != 1) {
        ERR_clear_error();
        if (why)
            *why = QStringLiteral("TLSを始められません: ") + host.text();
        return nullptr;
    }
    SSL_set_accept_state(ssl.get());
    return ssl;
}

bool TlsContexts::prepareOrigin(const QString& extraAuthorities, QString* why) {
    const QByteArray stamp = extraAuthorities.isEmpty() ? QByteArray() : stampOf(extraAuthorities);
    if (m_origin && extraAuthorities == m_originExtras && stamp == m_originStamp)
        return true;
    SslContextOwner owner(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = owner.get();
    if (!context)
        return false;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_security_level(context, 2);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    static const unsigned char Offer[] = "\x08http/1.1";
    SSL_CTX_set_alpn_protos(context, Offer, sizeof Offer - 1);
    SSL_CTX_set_tlsext_status_type(context, TLSEXT_STATUSTYPE_ocsp);
    SSL_CTX_set_tlsext_status_cb(context, TlsInternal::checkStapledStatus);
    if (SSL_CTX_set_cipher_list(context, OriginSuites) != 1) {
        ERR_clear_error();
        if (why)
            *why = QStringLiteral("TLSの暗号を設定できません");
        return false;
    }
    if (!extraAuthorities.isEmpty() &&
        X509_STORE_load_file(SSL_CTX_get_cert_store(context),
                             encoded(extraAuthorities).constData()) != 1) {
        ERR_clear_error();
        if (why)
            *why = QStringLiteral("検査用追加CAを読めません: ") + extraAuthorities;
        return false;
    }
    ERR_clear_error();
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, &TlsContexts::newSession);
    SSL_CTX_set_app_data(context, this);
    m_origin = std::move(owner);
    m_originExtras = extraAuthorities;
    m_originStamp = stamp;
    // Sessions of other trust decisions are not resumed.
    m_sessions.clear();
    return true;
}

int TlsContexts::newSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsContexts*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, sessionKeyIndex()));
    if (!self || !key)
        return 0;
    if (self->m_sessions.size() >= SessionsKept && !self->m_sessions.contains(*key))
        self->m_sessions.clear();
    self->m_sessions[*key].reset(session);
    return 1; // the reference is ours now
}

SslOwner TlsContexts::forOrigin(const HostName& host, int port, const QString& extraAuthorities,
                                QString* why, bool offerH2) {
    if (!prepareOrigin(extraAuthorities, why))
        return nullptr;
    SslOwner ssl(SSL_new(m_origin.get()));
    if (!ssl)
        return nullptr;
    // The name or address is looked for in the subjectAltName alone, as browsers do;
    // a check that cannot be set up fails like a check that did not pass.
    const QByteArray name = host.text().toUtf8();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                                               X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    const bool checked = host.isAddress()
                             ? X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) == 1
                             : SSL_set_tlsext_host_name(ssl.get(), name.constData()) == 1 &&
                                   SSL_set1_host(ssl.get(), name.constData()) == 1;
    if (!checked) {
        ERR_clear_error();
        if (why)
            *why = QStringLiteral("接続先の名前を確認できません: ") + host.text();
        return nullptr;
    }
    auto* key = new std::string(name.toStdString() + ':' + std::to_string(port));
    if (const auto found = m_sessions.find(*key); found != m_sessions.end())
        SSL_set_session(ssl.get(), found->second.get());
    SSL_set_ex_data(ssl.get(), sessionKeyIndex(), key);
    static const unsigned char BothOffered[] = "\x02h2\x08http/1.1";
    if (offerH2 && SSL_set_alpn_protos(ssl.get(), BothOffered, sizeof BothOffered - 1) != 0) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_connect_state(ssl.get());
    return ssl;
}

TlsCheck TlsContexts::checkOf(SSL* ssl) {
    switch (SSL_get_verify_result(ssl)) {
    case X509_V_OK:
        return TlsCheck::HandshakeFailed;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TlsCheck::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsCheck::NotYetValid;
    case X509_V_ERR_CERT_REVOKED:
        return TlsCheck::Revoked;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsCheck::WrongHost;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return TlsCheck::UnknownIssuer;
    default:
        return TlsCheck::Other;
    }
}

QString TlsContexts::reasonOf(SSL* ssl, unsigned long openSslError) {
    const long verified = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
    if (verified != X509_V_OK)
        return QString::fromLatin1(X509_verify_cert_error_string(verified));
    if (openSslError != 0)
        if (const char* reason = ERR_reason_error_string(openSslError))
            return QString::fromLatin1(reason);
    return QStringLiteral("handshake failed");
}

QString TlsContexts::version(SSL* ssl) {
    return ssl ? QString::fromLatin1(SSL_get_version(ssl)) : QString();
}

} // namespace Tarnwick
