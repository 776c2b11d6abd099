#include "platform/connection.h"
#include "platform/connectioninternal.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

// The TLS half of Connection: the handshake, the records read and written through
// memory BIOs, and the cipher bytes that wait for the socket.

namespace Tarnwick {

using ConnectionInternal::setNoDelay;

namespace {
using ConnectionInternal::ReadCap;

// Plain bytes handed to TLS at a time.
constexpr qint64 RecordBatch = 64 * 1024;

// One buffer for what TLS makes of the reads, as readBuffer() for the reads
// themselves: handed on before the next read happens, on the one thread there is.
char* plainBuffer() {
    static char* buffer = new char[ReadCap];
    return buffer;
}
} // namespace

void Connection::startTls(SslOwner ssl, QByteArrayView alreadyRead) {
    if (m_fd < 0 || m_ssl || !ssl)
        return;
    m_ssl = std::move(ssl);
    setNoDelay(m_fd);
    SSL_set_bio(m_ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    // What was handed over before goes out as it is.
    for (Piece& piece : m_queue)
        piece.plain = true;
    m_tls = Tls::Handshaking;
    m_tlsCheck = TlsCheck::Passed;
    m_tlsReason.clear();
    m_tlsVersion.clear();
    if (!alreadyRead.isEmpty())
        BIO_write(SSL_get_rbio(m_ssl.get()), alreadyRead.data(), int(alreadyRead.size()));
    // A client speaks first; a server answers what came already. Only the peer's next
    // bytes can complete the handshake, so secured() never comes from here.
    if (!handshake()) {
        m_error = EPROTO; // reported from ready(), once the caller has returned
        m_reactor.again(m_fd);
    }
}

bool Connection::handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl.get());
    const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(m_ssl.get(), result);
    const unsigned long openSsl = error == SSL_ERROR_SSL ? ERR_peek_last_error() : 0;
    // Our part of it (or an alert that says why not) goes out now.
    sendCipher();
    if (result == 1) {
        m_tls = Tls::Open;
        m_tlsVersion = TlsContexts::version(m_ssl.get());
        return true;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return true;
    noteTlsFailure(openSsl);
    return false;
}

void Connection::noteTlsFailure(unsigned long openSslError) {
    m_tlsCheck = TlsContexts::checkOf(m_ssl.get());
    m_tlsReason = TlsContexts::reasonOf(m_ssl.get(), openSslError);
    // A client knows the protocol once the server's hello (and certificate) came.
    if (m_tlsVersion.isEmpty() &&
        (SSL_is_server(m_ssl.get()) || SSL_get0_peer_certificate(m_ssl.get())))
        m_tlsVersion = TlsContexts::version(m_ssl.get());
    ERR_clear_error();
}

bool Connection::goOnHandshaking(bool end) {
    // A peer that goes away in the middle has failed the handshake.
    if (!handshake() || (end && m_tls != Tls::Open)) {
        if (m_tlsReason.isEmpty()) {
            m_tlsCheck = TlsCheck::HandshakeFailed;
            m_tlsReason = QStringLiteral("the peer closed the connection during the handshake");
        }
        fail(EPROTO);
        return false;
    }
    if (m_tls != Tls::Open)
        return true;
    m_events.secured(*this);
    if (replaced())
        return false;
    // What was handed over meanwhile goes now.
    if (!idle() && !flush()) {
        fail(m_error);
        return false;
    }
    return owedSent();
}

bool Connection::takeTls(bool& end) {
    if (m_tls == Tls::Handshaking && !goOnHandshaking(end))
        return false;
    if (m_tls != Tls::Open)
        return true;
    char* plain = plainBuffer();
    qsizetype got = 0;
    bool closedByPeer = false;
    bool broken = false;
    while (true) {
        if (m_holds) {
            // Records still waiting are taken on resuming.
            m_readWaiting = true;
            break;
        }
        ERR_clear_error();
        const int n = SSL_read(m_ssl.get(), plain + got, int(ReadCap - got));
        if (n > 0) {
            got += n;
            if (got < ReadCap)
                continue;
        } else {
            const int error = SSL_get_error(m_ssl.get(), n);
            if (error == SSL_ERROR_ZERO_RETURN)
                closedByPeer = true;
            else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                broken = !(end && error == SSL_ERROR_SYSCALL); // an end without TLS's goodbye
            if (broken)
                noteTlsFailure(ERR_peek_last_error());
        }
        if (got > 0) {
            m_events.arrived(*this, QByteArrayView(plain, got));
            if (replaced())
                return false;
            got = 0;
        }
        if (n <= 0)
            break;
    }
    // TLS may answer on its own (tickets, key updates).
    if (!sendCipher()) {
        fail(m_error);
        return false;
    }
    if (broken) {
        fail(EPROTO);
        return false;
    }
    end = end || closedByPeer;
    return true;
}

bool Connection::encrypt(Piece& piece) {
    const qint64 length = std::min(piece.left, RecordBatch);
    QByteArray fromFile;
    const char* data = piece.bytes.constData() + piece.done;
    if (piece.fileFd >= 0) {
        fromFile.resize(length);
        const ssize_t n =
            ::pread(piece.fileFd, fromFile.data(), size_t(length), off_t(piece.offset));
        if (n <= 0) {
            m_error = EIO;
            return false;
        }
        fromFile.truncate(n);
        data = fromFile.constData();
    }
    ERR_clear_error();
    const int written =
        SSL_write(m_ssl.get(), data, int(piece.fileFd >= 0 ? fromFile.size() : length));
    if (written <= 0) {
        noteTlsFailure(ERR_peek_last_error());
        m_error = EPROTO;
        return false;
    }
    (piece.fileFd >= 0 ? piece.offset : piece.done) += written;
    piece.left -= written;
    m_queued -= written;
    return sendCipher();
}

bool Connection::sendCipher() {
    if (m_ssl) {
        BIO* out = SSL_get_wbio(m_ssl.get());
        for (size_t pending; (pending = BIO_ctrl_pending(out)) > 0;) {
            if (m_cipherDone == m_cipher.size()) {
                m_cipher.clear();
                m_cipherDone = 0;
            }
            const qsizetype at = m_cipher.size();
            m_cipher.resize(at + qsizetype(pending));
            const int n = BIO_read(out, m_cipher.data() + at, int(pending));
            m_cipher.truncate(at + std::max(n, 0));
            if (n <= 0)
                break;
        }
    }
    // Bytes handed over before TLS began go first.
    if (!m_queue.empty() && m_queue.front().plain)
        return true;
    while (m_cipherDone < m_cipher.size()) {
        const ssize_t n = ::send(m_fd, m_cipher.constData() + m_cipherDone,
                                 size_t(m_cipher.size() - m_cipherDone), MSG_NOSIGNAL);
        if (n > 0) {
            m_cipherDone += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        m_error = n < 0 ? errno : EPIPE;
        return false;
    }
    m_cipher.clear();
    m_cipherDone = 0;
    return true;
}

QByteArray Connection::alpn() const {
    if (!m_ssl || m_tls != Tls::Open)
        return {};
    const unsigned char* name = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(m_ssl.get(), &name, &length);
    return QByteArray(reinterpret_cast<const char*>(name), int(length));
}

} // namespace Tarnwick
