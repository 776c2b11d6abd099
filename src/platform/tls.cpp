#include "platform/tls.h"
#include "platform/tlsinternal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

QByteArray TlsInternal::encoded(const QString& path) {
    return QFile::encodeName(path);
}

QByteArray TlsInternal::stampOf(const QString& path) {
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

namespace {
using TlsInternal::encoded;
using TlsInternal::stampOf;

constexpr size_t MintedKept = 2000;
constexpr int CaDays = 3652;
constexpr int HostDays = 90;
constexpr qint64 Day = 24 * 60 * 60;
// A minted certificate is made anew once it has less than this left, long before a
// browser would see it expire.
constexpr qint64 RenewBefore = 30 * Day;

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
} // namespace

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

} // namespace Tarnwick
