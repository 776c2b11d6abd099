#include "tlspeer.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tarnwick::Testing {

namespace {
constexpr int Day = 24 * 60 * 60;

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    const ExtensionOwner extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (extension)
        X509_add_ext(cert, extension.get(), -1);
}

void setTimeouts(int fd, int seconds) {
    const timeval limit{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool writeAll(int fd, QByteArrayView bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.data() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads until a blank line ends a head; whatever came is returned.
QByteArray readHead(int fd) {
    QByteArray head;
    char c;
    while (!head.endsWith("\r\n\r\n") && ::recv(fd, &c, 1, 0) == 1)
        head += c;
    return head;
}

// The socket address of `address` and `port`; its size.
socklen_t socketAddress(const QHostAddress& address, quint16 port, sockaddr_storage& where) {
    where = {};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&where);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, 16);
        return sizeof *in6;
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&where);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof *in;
}

int connectTo(const QHostAddress& address, quint16 port) {
    sockaddr_storage where;
    const socklen_t size = socketAddress(address, port, where);
    const int fd = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&where), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int stapleAnswer(SSL* ssl, void* arg) {
    const auto* staple = static_cast<const QByteArray*>(arg);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(size_t(staple->size())));
    std::memcpy(copy, staple->constData(), size_t(staple->size()));
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, long(staple->size()));
    return SSL_TLSEXT_ERR_OK;
}
} // namespace

KeyOwner rsaKey() {
    return KeyOwner(EVP_RSA_gen(2048));
}

KeyOwner ecKey() {
    return KeyOwner(EVP_EC_gen("P-256"));
}

Issued issue(const CertificateSpec& spec, EVP_PKEY* key, const Issued* issuer) {
    Issued made;
    made.cert.reset(X509_new());
    X509* cert = made.cert.get();
    EVP_PKEY_up_ref(key);
    made.key.reset(key);
    X509_set_version(cert, 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    const BigNumberOwner number(BN_bin2bn(serial, sizeof serial, nullptr));
    BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert));
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.commonName.constData()),
                               -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert.get()) : subject);
    X509_gmtime_adj(X509_getm_notBefore(cert), long(spec.notBeforeDays) * Day);
    X509_gmtime_adj(X509_getm_notAfter(cert), long(spec.notAfterDays) * Day);
    X509_set_pubkey(cert, key);
    X509* signer = issuer ? issuer->cert.get() : cert;
    if (spec.authority) {
        addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert, signer, NID_basic_constraints, "CA:FALSE");
        addExtension(cert, signer, NID_ext_key_usage, "serverAuth");
    }
    addExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (!spec.altNames.isEmpty())
        addExtension(cert, signer, NID_subject_alt_name, spec.altNames.constData());
    X509_sign(cert, issuer ? issuer->key.get() : key, EVP_sha256());
    return made;
}

QByteArray pemOf(X509* cert) {
    const BioOwner memory(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(memory.get(), cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory.get(), &data);
    return QByteArray(data, size);
}

QByteArray ocspAnswer(X509* cert, const Issued& issuer, int status, bool forged) {
    const OcspIdOwner id(OCSP_cert_to_id(nullptr, cert, issuer.cert.get()));
    const OcspBasicOwner basic(OCSP_BASICRESP_new());
    const TimeOwner now(X509_gmtime_adj(nullptr, -60));
    const TimeOwner next(X509_gmtime_adj(nullptr, Day));
    const bool revoked = status == V_OCSP_CERTSTATUS_REVOKED;
    OCSP_basic_add1_status(basic.get(), id.get(), status,
                           revoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1,
                           revoked ? now.get() : nullptr, now.get(), next.get());
    OCSP_basic_sign(basic.get(), issuer.cert.get(), issuer.key.get(), EVP_sha256(), nullptr, 0);
    if (forged) {
        auto* signature = const_cast<ASN1_OCTET_STRING*>(OCSP_resp_get0_signature(basic.get()));
        signature->data[signature->length - 1] ^= 1;
    }
    const OcspResponseOwner response(
        OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()));
    unsigned char* der = nullptr;
    const int size = i2d_OCSP_RESPONSE(response.get(), &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), size);
    OPENSSL_free(der);
    return bytes;
}

// ---- peers ---------------------------------------------------------------------

PeerThread::PeerThread(const QHostAddress& address) {
    sockaddr_storage where;
    socklen_t size = socketAddress(address, 0, where);
    m_listener = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&where), size);
    ::listen(m_listener, 16);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&where), &size);
    m_port = ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
}

PeerThread::~PeerThread() {
    stop();
    ::close(m_listener);
}

void PeerThread::start() {
    m_thread = std::thread([this] {
        while (!m_stop) {
            pollfd watch{m_listener, POLLIN, 0};
            if (::poll(&watch, 1, 20) <= 0)
                continue;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_connections;
            setTimeouts(fd, 20);
            serve(fd);
            ::close(fd);
        }
    });
}

void PeerThread::stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void PeerThread::record(const QByteArray& request) {
    const std::lock_guard lock(m_mutex);
    m_requests.append(request);
}

QList<QByteArray> PeerThread::requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

TlsOrigin::TlsOrigin(Setup setup) : PeerThread(setup.address), m_setup(std::move(setup)) {
    m_context.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* context = m_context.get();
    // Old protocols and suites are what some rows offer on purpose.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_use_certificate(context, m_setup.cert);
    SSL_CTX_use_PrivateKey(context, m_setup.key);
    if (m_setup.maxVersion)
        SSL_CTX_set_max_proto_version(context, m_setup.maxVersion);
    if (!m_setup.ciphers.isEmpty())
        SSL_CTX_set_cipher_list(context, m_setup.ciphers.constData());
    if (!m_setup.staple.isEmpty()) {
        SSL_CTX_set_tlsext_status_cb(context, stapleAnswer);
        SSL_CTX_set_tlsext_status_arg(context, &m_setup.staple);
    }
    if (m_setup.takesH2)
        SSL_CTX_set_alpn_select_cb(
            context,
            [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
                static const unsigned char H2[] = "\x02h2";
                unsigned char* selected = nullptr;
                if (SSL_select_next_proto(&selected, outLength, H2, sizeof H2 - 1, in, inLength) !=
                    OPENSSL_NPN_NEGOTIATED)
                    return SSL_TLSEXT_ERR_NOACK;
                *out = selected;
                return SSL_TLSEXT_ERR_OK;
            },
            nullptr);
    start();
}

TlsOrigin::~TlsOrigin() {
    stop();
}

void TlsOrigin::serve(int fd) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(m_setup.silent ? 60000 : m_setup.delayMs);
    while (!stopping() && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLRDHUP, 0};
        if (::poll(&watch, 1, 10) > 0 && (watch.revents & (POLLRDHUP | POLLHUP)))
            return; // the proxy gave up
    }
    if (m_setup.silent)
        return;
    const SslOwner ssl(SSL_new(m_context.get()));
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();
        return;
    }
    // h2 taken, the one protocol it selects: it hangs up.
    const unsigned char* alpn = nullptr;
    unsigned int alpnLength = 0;
    SSL_get0_alpn_selected(ssl.get(), &alpn, &alpnLength);
    if (alpnLength > 0)
        return;
    // Each request of the connection is answered, until the proxy closes it.
    QByteArray received;
    char buffer[4096];
    for (bool open = true; open;) {
        qsizetype end;
        while ((end = received.indexOf("\r\n\r\n")) < 0) {
            const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
            if (n <= 0) {
                open = false;
                break;
            }
            received.append(buffer, n);
        }
        if (end < 0)
            break;
        const QByteArray head = received.left(end + 4);
        record(head);
        received.remove(0, end + 4);
        if (head.contains("\r\nUpgrade: websocket\r\n")) {
            // A WebSocket's upgrade: then whatever comes is echoed.
            const QByteArray switching = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: "
                                         "websocket\r\nConnection: Upgrade\r\n\r\n";
            SSL_write(ssl.get(), switching.constData(), int(switching.size()));
            for (int n; (n = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0;) {
                const QByteArray echo = "echo:" + QByteArray(buffer, n);
                SSL_write(ssl.get(), echo.constData(), int(echo.size()));
            }
            break;
        }
        const QByteArray answer =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\norigin";
        SSL_write(ssl.get(), answer.constData(), int(answer.size()));
    }
    SSL_shutdown(ssl.get());
    ERR_clear_error();
}

UpstreamProxy::UpstreamProxy(QByteArray refusal) : m_refusal(std::move(refusal)) {
    start();
}

UpstreamProxy::~UpstreamProxy() {
    stop();
}

void UpstreamProxy::serve(int fd) {
    const QByteArray head = readHead(fd);
    record(head);
    if (!m_refusal.isEmpty()) {
        writeAll(fd, m_refusal);
        // Held open, as a proxy may keep its connection after a refusal.
        pollfd watch{fd, POLLRDHUP, 0};
        while (!stopping() && !(::poll(&watch, 1, 20) > 0 && watch.revents))
            ;
        return;
    }
    const qsizetype colon = head.indexOf(':', 8);
    const quint16 port =
        quint16(head.mid(colon + 1, head.indexOf(' ', colon) - colon - 1).toUInt());
    const int origin = connectTo(QHostAddress::LocalHost, port);
    if (origin < 0 || !writeAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n"))
        return;
    pollfd both[2] = {{fd, POLLIN, 0}, {origin, POLLIN, 0}};
    char buffer[16384];
    for (bool open = true; open && !stopping();) {
        if (::poll(both, 2, 20) <= 0)
            continue;
        for (int i = 0; i < 2 && open; ++i) {
            if (!both[i].revents)
                continue;
            const ssize_t n = ::recv(both[i].fd, buffer, sizeof buffer, 0);
            open = n > 0 && writeAll(both[1 - i].fd, QByteArrayView(buffer, n));
        }
    }
    ::close(origin);
}

Fetched fetchThrough(quint16 proxyPort, const QByteArray& authority, const QByteArray& serverName,
                     const QByteArray& request, const QByteArray& then) {
    Fetched got;
    const int fd = connectTo(QHostAddress::LocalHost, proxyPort);
    if (fd < 0)
        return got;
    setTimeouts(fd, 20);
    writeAll(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    got.connectAnswer = readHead(fd);
    if (!got.connectAnswer.startsWith("HTTP/1.1 200 ")) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            got.connectAnswer.append(buffer, n);
        ::close(fd);
        return got;
    }
    // Whose certificate it is, the test decides; the proxy's CA is not what is tested here.
    const SslContextOwner context(SSL_CTX_new(TLS_client_method()));
    const SslOwner ssl(SSL_new(context.get()));
    SSL_set_fd(ssl.get(), fd);
    SSL_set_tlsext_host_name(ssl.get(), serverName.constData());
    got.secured = SSL_connect(ssl.get()) == 1;
    if (got.secured) {
        got.certificate.reset(SSL_get1_peer_certificate(ssl.get()));
        SSL_write(ssl.get(), request.constData(), int(request.size()));
        char buffer[4096];
        bool thenSent = then.isEmpty();
        for (int n; (n = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0;) {
            got.answer.append(buffer, n);
            // After the answer's head, `then`; its echo ends the exchange.
            if (!thenSent && got.answer.contains("\r\n\r\n")) {
                SSL_write(ssl.get(), then.constData(), int(then.size()));
                thenSent = true;
            }
            if (!then.isEmpty() && got.answer.endsWith("echo:" + then))
                break;
        }
    }
    ERR_clear_error();
    ::close(fd);
    return got;
}

} // namespace Tarnwick::Testing
