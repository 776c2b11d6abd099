#include "relayharness.h"

#include "proxy/responsefilters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <sys/socket.h>

namespace Tarnwick::Testing {

qint64 harnessClockMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

OriginStub::OriginStub() {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &OriginStub::onConnection);
}

void OriginStub::onConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        const int n = int(requests.size());
        requests.append(QByteArray());
        auto answered = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, n, answered] {
            requests[n] += socket->readAll();
            if (*answered)
                return;
            const bool complete = expectBytes > 0 ? requests[n].size() >= expectBytes
                                                  : requests[n].contains("\r\n\r\n");
            if (!complete)
                return;
            *answered = true;
            switch (behaviour) {
            case Behaviour::Answer:
                socket->write(answer(n));
                socket->disconnectFromHost();
                break;
            case Behaviour::CloseSilently:
                socket->disconnectFromHost();
                break;
            case Behaviour::ResetAfterRequest:
            {
                // SO_LINGER of zero makes the close a reset.
                const linger hard{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                             sizeof hard);
                socket->abort();
            }
                break;
            case Behaviour::AnswerAndHold:
                socket->write(answer(n));
                break;
            case Behaviour::Hold:
                break;
            }
        });
        connect(socket, &QTcpSocket::disconnected, this, [this] { ++closed; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

Browser::Browser(quint16 proxyPort, const QHostAddress& from) {
    if (from != QHostAddress(QHostAddress::LocalHost))
        socket.bind(from, 0);
    connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
    connect(&socket, &QTcpSocket::disconnected, this, [this] {
        closedByPeer = true;
        closedAtMs = harnessClockMs();
    });
    socket.connectToHost(QHostAddress::LocalHost, proxyPort);
}

bool Browser::waitConnected() {
    return socket.waitForConnected(5000);
}

void Browser::send(const QByteArray& bytes) {
    socket.write(bytes);
    socket.flush();
}

TestProxy::TestProxy(double timeScale) : previousDir(QDir::currentPath()) {
    QDir::setCurrent(tempDir.path());
    store = std::make_unique<SettingsStore>(tempDir.filePath(QStringLiteral("store.ini")));
    monitor = std::make_unique<EventMonitor>(*store);
    engine = std::make_unique<ProxyEngine>(*store, *monitor);
    engine->setTimeScale(timeScale);
    // The machine's own name stands for 127.0.1.1 here, as on Debian.
    engine->setOwnAddressLookup([] { return QStringList{QStringLiteral("127.0.1.1")}; });
    engine->initialise();
    engine->listen(0);
}

TestProxy::~TestProxy() {
    engine.reset();
    QDir::setCurrent(previousDir);
}

quint16 TestProxy::port() const {
    return quint16(engine->listeningPort());
}

QStringList TestProxy::tempFiles() const {
    return QDir(tempDir.path()).entryList({QStringLiteral("~tarnwick-temp-*")},
                                          QDir::Files | QDir::System | QDir::Hidden);
}

QStringList TestProxy::entries(Side side, QStringView title) const {
    QStringList result;
    for (const QString& entry : monitor->entries(side))
        if (entry.startsWith(title))
            result << entry;
    return result;
}

QByteArray getRequest(quint16 originPort, const QByteArray& path, const QByteArray& extraHeaders,
                      const QByteArray& method) {
    return method + " http://127.0.0.1:" + QByteArray::number(originPort) + path +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(originPort) + "\r\n" +
           extraHeaders + "\r\n";
}

QByteArray answerBytes(const QByteArray& statusLine, const QByteArray& headers,
                       const QByteArray& body) {
    return statusLine + "\r\n" + headers + "\r\n" + body;
}

QByteArray withPolicy(const QByteArray& answer, qsizetype from) {
    QByteArray out = answer;
    return out.insert(answer.indexOf("\r\n\r\n", from) + 2, ScriptPolicyLine);
}

} // namespace Tarnwick::Testing
