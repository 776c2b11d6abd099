#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace Tarnwick {

// The user's own certificate authority for HTTPS interception: an EC P-256 key and a
// self-signed CA certificate in a private folder ($XDG_DATA_HOME/Tarnwick/ca). The key
// never leaves its file. Files that are unreadable, corrupt or readable by others are
// never used: load() says why, in the words the monitor shows.
class CertificateAuthority {
public:
    enum class State { Absent, Usable, Unusable };

    static QString defaultFolder();
    explicit CertificateAuthority(QString folder = defaultFolder());
    ~CertificateAuthority();
    CertificateAuthority(const CertificateAuthority&) = delete;
    CertificateAuthority& operator=(const CertificateAuthority&) = delete;

    QString certificatePath() const;
    QString keyPath() const;

    // Reads the files again when they changed since the last look.
    State load(QString* why = nullptr);
    // Makes a new authority; fails (and keeps what is there) when any file exists.
    bool create(QString* why = nullptr);
    // Reads the authority, making it first when there is none (the first time HTTPS
    // interception is wanted). Absent afterwards: it could not be made (`why` says why).
    State prepare(QString* why = nullptr, bool* created = nullptr);
    // Writes the certificate (never the key) to `file`.
    bool exportCertificate(const QString& file, QString* why = nullptr);
    // Removes both files (and the folder when it is left empty).
    bool remove(QString* why = nullptr);

    // A certificate for `host` (a DNS name or an IP address) signed by the authority,
    // with the one key of this run's host certificates; kept for the next time.
    X509* certificateFor(const QString& host);
    EVP_PKEY* hostKey() const { return m_hostKey; }

private:
    void clear();

    QString m_folder;
    X509* m_cert = nullptr;
    EVP_PKEY* m_key = nullptr;
    EVP_PKEY* m_hostKey = nullptr;
    QByteArray m_stamp; // the files as last looked at
    State m_state = State::Absent;
    QString m_why;
    // Minted certificates, the most recently used first.
    std::list<std::pair<QString, X509*>> m_minted;
    QHash<QString, std::list<std::pair<QString, X509*>>::iterator> m_byHost;
};

// What went wrong when the origin's TLS was checked, for the page the browser gets.
enum class TlsCheck { Passed, Expired, WrongHost, UnknownIssuer, HandshakeFailed, Other };

// The TLS of intercepted connections: the browser side speaks as the requested host with
// a minted certificate (TLS 1.2 and 1.3, ALPN http/1.1, session tickets); the origin
// side verifies strictly (TLS 1.2 or newer, OpenSSL's security level 2, the chain
// against the system's trust store and the extra file of the user's choosing, the host
// name), with SNI and a session cache per host and port.
class TlsContexts {
public:
    explicit TlsContexts(CertificateAuthority& authority);
    ~TlsContexts();
    TlsContexts(const TlsContexts&) = delete;
    TlsContexts& operator=(const TlsContexts&) = delete;

    // Nothing when the authority cannot be used (`why` says why).
    SSL* forBrowser(const QString& host, QString* why);
    // `extraAuthorities`: a PEM file whose certificates are trusted besides the
    // system's (empty: none).
    SSL* forOrigin(const QString& host, int port, const QString& extraAuthorities, QString* why);

    // What a failed handshake with an origin came to, and how to say it.
    static TlsCheck checkOf(SSL* ssl);
    static QString reasonOf(SSL* ssl, unsigned long openSslError);
    static QString version(SSL* ssl);

private:
    static int newSession(SSL* ssl, SSL_SESSION* session);
    bool prepareOrigin(const QString& extraAuthorities, QString* why);

    CertificateAuthority& m_authority;
    SSL_CTX* m_browser = nullptr;
    SSL_CTX* m_origin = nullptr;
    QString m_originExtras; // the extra file the origin context trusts
    QByteArray m_originStamp;
    std::unordered_map<std::string, SSL_SESSION*> m_sessions;
};

} // namespace Tarnwick
