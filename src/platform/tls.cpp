#include "platform/tls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QSysInfo>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tarnwick {

namespace {
constexpr size_t MintedKept = 2000;
constexpr size_t SessionsKept = 1000;
constexpr int CaDays = 3652;
constexpr int HostDays = 90;
constexpr qint64 Day = 24 * 60 * 60;
// A minted certificate is made anew once it has less than this left, long before a
// browser would see it expire.
constexpr qint64 RenewBefore = 30 * Day;
// Toward origins, TLS 1.2 only with forward secrecy and an AEAD cipher; TLS 1.3 has
// nothing else.
constexpr char OriginSuites[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

// What a file is now, to tell whether it changed: missing, or its identity, size,
// time stamps, mode and owner.
QByteArray stampOf(const QString& path) {
    struct stat info {};
    if (::lstat(encoded(path).constData(), &info) != 0)
        return QByteArrayLiteral("-");
    return QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino)) +
           ':' + QByteArray::number(qint64(info.st_size)) + ':' +
           QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qint64(info.st_mtim.tv_nsec)) + ':' +
           QByteArray::number(qint64(info.st_ctim.tv_nsec)) + ':' +
           QByteArray::number(quint32(info.st_mode)) + ':' + QByteArray::number(quint32(info.st_uid));
}

bool privateTo(const struct stat& info) {
    return info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

QString userName() {
    if (const passwd* entry = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER");
}

// A random positive serial of 127 bits.
bool setRandomSerial(X509* cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f;
    bytes[0] |= 0x40; // never shorter than 16 bytes
    const BigNumberOwner number(BN_bin2bn(bytes, sizeof bytes, nullptr));
    const IntegerOwner serial(number ? BN_to_ASN1_INTEGER(number.get(), nullptr) : nullptr);
    return serial && X509_set_serialNumber(cert, serial.get()) == 1;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    const ExtensionOwner extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

KeyOwner newKey() {
    return KeyOwner(EVP_EC_gen("P-256"));
}

// An ASN.1 time as seconds since the epoch (0 when it cannot be read).
qint64 secondsOf(const ASN1_TIME* time) {
    std::tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return 0;
    return qint64(::timegm(&parts));
}

// Writes `bytes` as `path` with `mode` in one step: a new file beside it, synced, then
// renamed over it, so that nobody ever reads half a key.
bool writeAtomically(const QString& path, const QByteArray& bytes, mode_t mode) {
    const QByteArray temporary = encoded(path + QStringLiteral(".new"));
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          mode);
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, mode) == 0;
    for (qsizetype done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += n > 0 ? n : 0;
    }
    written = written && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.constData(), encoded(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

QByteArray pemOf(X509* cert) {
    const BioOwner memory(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(memory.get(), cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory.get(), &data);
    return QByteArray(data, size);
}

QByteArray pemOf(EVP_PKEY* key) {
    const BioOwner memory(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(memory.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory.get(), &data);
    QByteArray pem(data, size);
    OPENSSL_cleanse(data, size_t(size));
    return pem;
}

// The index under which an origin connection keeps the key of its session cache.
int sessionKeyIndex() {
    static const int index = SSL_get_ex_new_index(
        0, nullptr, nullptr, nullptr,
        [](void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<std::string*>(data);
        });
    return index;
}
} // namespace

// ---- the authority -------------------------------------------------------------

QString CertificateAuthority::defaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tarnwick/ca");
}

CertificateAuthority::CertificateAuthority(QString folder, Clock clock)
    : m_folder(std::move(folder)), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return qint64(std::time(nullptr)); };
}

CertificateAuthority::~CertificateAuthority() = default;

QString CertificateAuthority::certificatePath() const {
    return m_folder + QStringLiteral("/ca.crt");
}

QString CertificateAuthority::keyPath() const {
    return m_folder + QStringLiteral("/ca.key");
}

void CertificateAuthority::clear() {
    // Certificates of another authority are never given out again.
    m_minted.clear();
    m_byHost.clear();
    m_cert.reset();
    m_key.reset();
}

CertificateAuthority::State CertificateAuthority::load(QString* why) {
    // Looked at for every use: a file that turned unreadable by others a moment ago
    // must not be used.
    const QByteArray stamp =
        stampOf(m_folder) + '|' + stampOf(keyPath()) + '|' + stampOf(certificatePath());
    if (stamp != m_stamp) {
        m_stamp = stamp;
        clear();
        m_why.clear();
        auto unusable = [this](const QString& reason) {
            m_why = reason;
            m_state = State::Unusable;
        };
        struct stat folder {}, key {}, cert {};
        const bool hasFolder = ::lstat(encoded(m_folder).constData(), &folder) == 0;
        const bool hasKey = ::lstat(encoded(keyPath()).constData(), &key) == 0;
        const bool hasCert = ::lstat(encoded(certificatePath()).constData(), &cert) == 0;
        if (!hasKey && !hasCert) {
            m_state = State::Absent;
            m_why = QStringLiteral("CAがまだありません: ") + m_folder;
        } else if (!hasFolder || !S_ISDIR(folder.st_mode) || !privateTo(folder)) {
            unusable(QStringLiteral("CAのフォルダーが本人専用(0700)ではありません: ") + m_folder);
        } else if (!hasKey || !S_ISREG(key.st_mode)) {
            unusable(QStringLiteral("CAの鍵がありません: ") + keyPath());
        } else if (!privateTo(key)) {
            unusable(QStringLiteral("CAの鍵が本人専用(0600)ではありません: ") + keyPath());
        } else if (!hasCert || !S_ISREG(cert.st_mode)) {
            unusable(QStringLiteral("CA証明書がありません: ") + certificatePath());
        } else {
            if (FILE* file = std::fopen(encoded(keyPath()).constData(), "re")) {
                m_key.reset(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
                std::fclose(file);
            }
            if (FILE* file = std::fopen(encoded(certificatePath()).constData(), "re")) {
                m_cert.reset(PEM_read_X509(file, nullptr, nullptr, nullptr));
                std::fclose(file);
            }
            ERR_clear_error();
            if (!m_key)
                unusable(QStringLiteral("CAの鍵を読めません: ") + keyPath());
            else if (!m_cert)
                unusable(QStringLiteral("CA証明書を読めません: ") + certificatePath());
            else if (X509_check_private_key(m_cert.get(), m_key.get()) != 1)
                unusable(QStringLiteral("CAの鍵と証明書が対になっていません: ") + m_folder);
            else if (X509_check_ca(m_cert.get()) == 0)
                unusable(QStringLiteral("CA証明書がCAのものではありません: ") + certificatePath());
            else if (secondsOf(X509_get0_notAfter(m_cert.get())) <= m_clock())
                unusable(QStringLiteral("CA証明書の有効期限が切れています: ") + certificatePath());
            else
                m_state = State::Usable;
            ERR_clear_error();
            if (m_state != State::Usable)
                clear();
        }
        if (m_state == State::Usable && !m_hostKey)
            m_hostKey = newKey();
    }
    if (why)
        *why = m_why;
    return m_state;
}

bool CertificateAuthority::create(QString* why) {
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (QFileInfo::exists(keyPath()) || QFileInfo::exists(certificatePath()))
        return fail(QStringLiteral("CAのファイルが既にあります: ") + m_folder);
    if (!QDir().mkpath(m_folder) || ::chmod(encoded(m_folder).constData(), 0700) != 0)
        return fail(QStringLiteral("CAのフォルダーを作れません: ") + m_folder);
    const KeyOwner key = newKey();
    const X509Owner cert(X509_new());
    const QString who = userName() + QStringLiteral("@") + QSysInfo::machineHostName();
    const QByteArray commonName = QStringLiteral("Tarnwick(Lite) CA for %1").arg(who).toUtf8().left(64);
    const NameOwner owner(X509_NAME_new());
    X509_NAME* name = owner.get();
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tarnwick(Lite)"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(who.toUtf8().left(64).constData()),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.constData()), -1,
                               -1, 0);
    time_t now = time_t(m_clock());
    const bool made =
        key && cert && X509_set_version(cert.get(), 2) == 1 && setRandomSerial(cert.get()) &&
        X509_set_subject_name(cert.get(), name) == 1 &&
        X509_set_issuer_name(cert.get(), name) == 1 &&
        X509_time_adj(X509_getm_notBefore(cert.get()), -60 * 60, &now) &&
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), CaDays, 0, &now) &&
        X509_set_pubkey(cert.get(), key.get()) == 1 &&
        addExtension(cert.get(), cert.get(), NID_basic_constraints,
                     "critical,CA:TRUE,pathlen:0") &&
        addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
        addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") &&
        X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    QByteArray keyPem = made ? pemOf(key.get()) : QByteArray();
    const bool written = made && writeAtomically(keyPath(), keyPem, 0600) &&
                         writeAtomically(certificatePath(), pemOf(cert.get()), 0644);
    keyPem.fill('\0');
    ERR_clear_error();
    if (!written) {
        ::unlink(encoded(keyPath()).constData());
        ::unlink(encoded(certificatePath()).constData());
        return fail(QStringLiteral("CAを作れません: ") + m_folder);
    }
    m_stamp.clear();
    return load(why) == State::Usable;
}

CertificateAuthority::State CertificateAuthority::prepare(QString* why, bool* created) {
    if (created)
        *created = false;
    const State state = load(why);
    if (state != State::Absent || !create(why))
        return state;
    if (created)
        *created = true;
    return State::Usable;
}

bool CertificateAuthority::exportCertificate(const QString& file, QString* why) {
    if (load(why) != State::Usable)
        return false;
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(pemOf(m_cert.get())) < 0) {
        if (why)
            *why = QStringLiteral("書き出せません: ") + file;
        return false;
    }
    return true;
}

bool CertificateAuthority::remove(QString* why) {
    const bool key = ::unlink(encoded(keyPath()).constData()) == 0 || errno == ENOENT;
    const bool cert = ::unlink(encoded(certificatePath()).constData()) == 0 || errno == ENOENT;
    ::rmdir(encoded(m_folder).constData());
    m_stamp.clear();
    load();
    if (!key || !cert) {
        if (why)
            *why = QStringLiteral("CAを消せません: ") + m_folder;
        return false;
    }
    return true;
}

X509* CertificateAuthority::certificateFor(const HostName& host) {
    if (m_state != State::Usable)
        return nullptr;
    if (const auto found = m_byHost.constFind(host.text()); found != m_byHost.constEnd()) {
        const Minted::iterator entry = *found;
        // Renewed a month before its end, unless the authority itself ends sooner.
        const qint64 renewAt = std::min(m_clock() + RenewBefore,
                                        secondsOf(X509_get0_notAfter(m_cert.get())));
        if (secondsOf(X509_get0_notAfter(entry->second.get())) >= renewAt) {
            m_minted.splice(m_minted.begin(), m_minted, entry);
            return m_minted.front().second.get();
        }
        m_byHost.erase(found);
        m_minted.erase(entry);
    }
    X509Owner cert = mint(host);
    if (!cert)
        return nullptr;
    m_minted.emplace_front(host.text(), std::move(cert));
    m_byHost[host.text()] = m_minted.begin();
    if (m_minted.size() > MintedKept) {
        m_byHost.remove(m_minted.back().first);
        m_minted.pop_back();
    }
    return m_minted.front().second.get();
}

X509Owner CertificateAuthority::mint(const HostName& host) {
    X509Owner cert(X509_new());
    const QByteArray name = host.text().toUtf8();
    const NameOwner subject(X509_NAME_new());
    if (name.size() <= 64)
        X509_NAME_add_entry_by_txt(subject.get(), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(name.constData()), -1, -1,
                                   0);
    // The name goes in as it is, never through a configuration string that a comma
    // could extend.
    const GeneralNamesOwner names(sk_GENERAL_NAME_new_null());
    GENERAL_NAME* alternative = GENERAL_NAME_new();
    if (host.isAddress()) {
        ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.constData());
        GENERAL_NAME_set0_value(alternative, GEN_IPADD, ip);
    } else {
        ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
        ASN1_STRING_set(dns, name.constData(), int(name.size()));
        GENERAL_NAME_set0_value(alternative, GEN_DNS, dns);
    }
    sk_GENERAL_NAME_push(names.get(), alternative);
    // Never valid beyond the authority that signs it.
    time_t now = time_t(m_clock());
    const qint64 end = std::min(qint64(now) + (HostDays - 1) * Day,
                                secondsOf(X509_get0_notAfter(m_cert.get())));
    X509* c = cert.get();
    const bool made =
        X509_set_version(c, 2) == 1 && setRandomSerial(c) &&
        X509_set_subject_name(c, subject.get()) == 1 &&
        X509_set_issuer_name(c, X509_get_subject_name(m_cert.get())) == 1 &&
        X509_time_adj(X509_getm_notBefore(c), -Day, &now) &&
        X509_time_adj(X509_getm_notAfter(c), long(end - now), &now) &&
        X509_set_pubkey(c, m_hostKey.get()) == 1 &&
        X509_add1_ext_i2d(c, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1 &&
        addExtension(c, m_cert.get(), NID_basic_constraints, "CA:FALSE") &&
        addExtension(c, m_cert.get(), NID_key_usage, "critical,digitalSignature") &&
        addExtension(c, m_cert.get(), NID_ext_key_usage, "serverAuth") &&
        addExtension(c, m_cert.get(), NID_subject_key_identifier, "hash") &&
        addExtension(c, m_cert.get(), NID_authority_key_identifier, "keyid:always") &&
        X509_sign(c, m_key.get(), EVP_sha256()) > 0;
    ERR_clear_error();
    return made ? std::move(cert) : X509Owner();
}

// ---- the contexts --------------------------------------------------------------

namespace {
// A stapled OCSP answer that the origin's issuer signed and that calls the
// certificate revoked fails the handshake; any other (none, unreadable, unsigned,
// out of date, "good") is no reason to refuse, since nothing else is asked.
int checkStapledStatus(SSL* ssl, void*) {
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
        // Only HTTP/1.1 is spoken inside.
        SSL_CTX_set_alpn_select_cb(
            browser,
            [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
                static const unsigned char Offer[] = "\x08http/1.1";
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
    SSL_CTX_set_tlsext_status_cb(context, checkStapledStatus);
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
                                QString* why) {
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
