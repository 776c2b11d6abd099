#pragma once

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "settings/settingsstore.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace Tarnwick::Testing {

// A web server standing in for the origin (or an upstream proxy): records what each
// connection sent and answers as the test scripts it.
class OriginStub : public QObject {
    Q_OBJECT
public:
    enum class Behaviour {
        Answer,          // answer once the request is complete, then close
        CloseSilently,   // close without a byte once the request is complete
        ResetAfterRequest, // reset the connection once the request is complete
        Hold,            // keep the connection open and never answer
        AnswerAndHold,   // answer, then keep the connection open
    };

    OriginStub();
    quint16 port() const { return m_server.serverPort(); }

    Behaviour behaviour = Behaviour::Answer;
    // The answer for the n-th connection (0-based).
    std::function<QByteArray(int)> answer = [](int) { return QByteArray(); };
    // A request counts as complete once this many bytes arrived (0: at the blank line).
    qsizetype expectBytes = 0;

    // Everything each connection sent, in connection order.
    QList<QByteArray> requests;
    int connections() const { return int(requests.size()); }
    // Connections the proxy closed (or that ended after the answer).
    int closed = 0;

private:
    void onConnection();
    QTcpServer m_server;
};

// A browser connection to the proxy.
class Browser : public QObject {
    Q_OBJECT
public:
    explicit Browser(quint16 proxyPort, const QHostAddress& from = QHostAddress::LocalHost);
    bool waitConnected();
    void send(const QByteArray& bytes);
    QByteArray received;
    bool closedByPeer = false;
    qint64 closedAtMs = -1; // on the harness clock
    QTcpSocket socket;
};

// A proxy engine running in a temporary current directory with its own store.
struct TestProxy {
    explicit TestProxy(double timeScale = 0.05);
    ~TestProxy();
    quint16 port() const;
    QString dir() const { return tempDir.path(); }
    QStringList tempFiles() const;
    // Entries of a side whose first line starts with `title`.
    QStringList entries(Side side, QStringView title) const;

    QTemporaryDir tempDir;
    QString previousDir;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<EventMonitor> monitor;
    std::unique_ptr<ProxyEngine> engine;
};

// Milliseconds since the harness started; shared by browsers and tests.
qint64 harnessClockMs();

// A proxy request for `path` on the stub, with the given extra header lines.
QByteArray getRequest(quint16 originPort, const QByteArray& path,
                      const QByteArray& extraHeaders = {}, const QByteArray& method = "GET");

// An answer with the given status line, headers and body.
QByteArray answerBytes(const QByteArray& statusLine, const QByteArray& headers,
                       const QByteArray& body);

// An HTML answer as the Script rule sends it on: the script policy line added at the end
// of the head that starts at `from`.
QByteArray withPolicy(const QByteArray& answer, qsizetype from = 0);

} // namespace Tarnwick::Testing
