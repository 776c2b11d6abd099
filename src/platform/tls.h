#pragma once

#include "platform/hostname.h"
#include "platform/sslowners.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>

namespace Tarnwick {

// The user's own certificate authority for HTTPS interception: an EC P-256 key and a
// self-signed CA certificate in a private folder ($XDG_DATA_HOME/Tarnwick/ca). The key
// never leaves its file. Files that are unreadable, corrupt or readable by others are
// never used: load() says why, in the words the monitor shows.
class CertificateAuthority {
public:
    enum class State { Absent, Usable, Unusable };

    // Seconds since the epoch, the time minted certificates are dated from.
    using Clock = std::function<qint64()>;

    static QString defaultFolder();
    explicit CertificateAuthority(QString folder = defaultFolder(), Clock clock = {});
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

    // A certificate for `host` signed by the authority, with the one key of this run's
    // host certificates; kept for the next time, and made anew when it nears its end
    // (or the authority changed). Owned here: a connection takes its own reference.
    X509* certificateFor(const HostName& host);
    EVP_PKEY* hostKey() const { return m_hostKey.get(); }

private:
    using Minted = std::list<std::pair<QString, X509Owner>>;
    void clear();
    X509Owner mint(const HostName& host);

    QString m_folder;
    Clock m_clock;
    X509Owner m_cert;
    KeyOwner m_key;
    KeyOwner m_hostKey;
    QByteArray m_stamp; // the files as last looked at
    State m_state = State::Absent;
    QString m_why;
    // Minted certificates, the most recently used first.
    Minted m_minted;
    QHash<QString, Minted::iterator> m_byHost;
};

// What went wrong when the origin's TLS was checked, for the page the browser gets.
enum class TlsCheck {
    Passed,
    Expired,
    NotYetValid,
    WrongHost,
    UnknownIssuer,
    Revoked,
    HandshakeFailed,
    TimedOut,
    Other
};

// The TLS of intercepted connections: the browser side speaks as the requested host with
// a minted certificate (TLS 1.2 and 1.3, ALPN h2 or http/1.1, session tickets); the origin
// side verifies strictly (TLS 1.3, or TLS 1.2 with ECDHE and AEAD suites only, OpenSSL's
// security level 2, the chain against the system's trust store and the extra file of
// the user's choosing, the host name or address in the subjectAltName only, a stapled
// OCSP answer that says "revoked"), with SNI and a session cache per host and port.
class TlsContexts {
public:
    explicit TlsContexts(CertificateAuthority& authority);
    ~TlsContexts();
    TlsContexts(const TlsContexts&) = delete;
    TlsContexts& operator=(const TlsContexts&) = delete;

    // Nothing when the authority cannot be used (`why` says why).
    SslOwner forBrowser(const HostName& host, QString* why);
    // `extraAuthorities`: a PEM file whose certificates are trusted besides the
    // system's (empty: none). Nothing when the check could not be set up.
    // `offerH2`: HTTP/2 is offered in ALPN before HTTP/1.1.
    SslOwner forOrigin(const HostName& host, int port, const QString& extraAuthorities,
                       QString* why, bool offerH2 = false);

    // What a failed handshake with an origin came to, and how to say it.
    static TlsCheck checkOf(SSL* ssl);
    static QString reasonOf(SSL* ssl, unsigned long openSslError);
    static QString version(SSL* ssl);

private:
    static int newSession(SSL* ssl, SSL_SESSION* session);
    bool prepareOrigin(const QString& extraAuthorities, QString* why);

    CertificateAuthority& m_authority;
    SslContextOwner m_browser;
    SslContextOwner m_origin;
    QString m_originExtras; // the extra file the origin context trusts
    QByteArray m_originStamp;
    std::unordered_map<std::string, SessionOwner> m_sessions;
};

} // namespace Tarnwick
