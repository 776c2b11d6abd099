#pragma once

// TLS peers for the interception tests, in the test's own threads with blocking
// sockets while the proxy runs on the event loop: a certificate authority and the
// certificates it issues, an origin that speaks TLS as each row sets it up, an
// upstream proxy that opens or refuses a CONNECT, and a browser that fetches a page
// through the proxy's CONNECT.

#include "platform/sslowners.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <atomic>
#include <mutex>
#include <thread>

namespace Tarnwick::Testing {

struct Issued {
    X509Owner cert;
    KeyOwner key;
};

struct CertificateSpec {
    QByteArray commonName;
    QByteArray altNames; // "DNS:a.test,IP:127.0.0.1"; empty: no subjectAltName
    int notBeforeDays = -1;
    int notAfterDays = 30;
    bool authority = false;
};

// Issued by `issuer` (self-signed without one), with `key`.
Issued issue(const CertificateSpec& spec, EVP_PKEY* key, const Issued* issuer);
KeyOwner rsaKey();
KeyOwner ecKey();
QByteArray pemOf(X509* cert);
// A DER OCSP answer, signed by the issuer, giving `status` (V_OCSP_CERTSTATUS_*); with
// `forged`, its signature does not match.
QByteArray ocspAnswer(X509* cert, const Issued& issuer, int status, bool forged = false);

// Accepts connections one at a time on its own thread until destroyed.
class PeerThread {
public:
    explicit PeerThread(const QHostAddress& address = QHostAddress::LocalHost);
    virtual ~PeerThread();
    quint16 port() const { return m_port; }
    int connections() const { return m_connections; }
    QList<QByteArray> requests() const;

protected:
    void start();
    void stop();
    virtual void serve(int fd) = 0;
    void record(const QByteArray& request);
    bool stopping() const { return m_stop; }

private:
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_requests;
    std::thread m_thread;
};

// An origin that speaks TLS: its certificate, the protocols and suites it allows, the
// OCSP answer it staples, how long it waits before its handshake (or never starts one).
class TlsOrigin final : public PeerThread {
public:
    struct Setup {
        X509* cert = nullptr;
        EVP_PKEY* key = nullptr;
        int maxVersion = 0;      // 0: any
        QByteArray ciphers = {}; // TLS 1.2 suites; empty: OpenSSL's defaults
        QByteArray staple = {};  // a DER OCSP answer; empty: none
        int delayMs = 0;
        bool silent = false; // holds the connection and never answers
        // Takes h2 when offered, then hangs up: it speaks HTTP/1.1 only.
        bool takesH2 = false;
        QHostAddress address = QHostAddress::LocalHost;
    };
    explicit TlsOrigin(Setup setup);
    ~TlsOrigin() override;

private:
    void serve(int fd) override;
    Setup m_setup;
    SslContextOwner m_context;
};

// An upstream proxy that answers each CONNECT with `refusal`, or (when empty) opens the
// tunnel to the port asked for and carries bytes both ways.
class UpstreamProxy final : public PeerThread {
public:
    explicit UpstreamProxy(QByteArray refusal);
    ~UpstreamProxy() override;

private:
    void serve(int fd) override;
    QByteArray m_refusal;
};

struct Fetched {
    QByteArray connectAnswer; // the proxy's answer to the CONNECT
    bool secured = false;     // the TLS handshake with the proxy passed
    X509Owner certificate;    // the certificate the proxy gave
    QByteArray answer;        // everything that came inside, up to the close
};

// A browser: CONNECT `authority` through the proxy, TLS with `serverName`, then
// `request`, reading until the proxy closes (20 s at most); with `then`, sends it once
// the answer's head has come and stops at its echo.
Fetched fetchThrough(quint16 proxyPort, const QByteArray& authority, const QByteArray& serverName,
                     const QByteArray& request, const QByteArray& then = {});

} // namespace Tarnwick::Testing
