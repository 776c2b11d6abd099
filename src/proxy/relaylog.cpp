#include "proxy/relaylog.h"

#include <cerrno>

namespace Tarnwick {

namespace {
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");

QString num(qint64 n) {
    return QString::number(n);
}

// Bytes shown in the monitor one character per byte.
QString shown(QByteArrayView bytes) {
    return QString::fromLatin1(bytes);
}

// A piece of a body as an entry shows it: a head is never longer than this, and a
// large upload shown whole would cost the monitor a hundredfold its size in memory.
constexpr qsizetype ShownLimit = 64 * 1024;

QString shownPiece(QByteArrayView bytes) {
    if (bytes.size() <= ShownLimit)
        return shown(bytes);
    return shown(bytes.first(ShownLimit)) + QStringLiteral(" …（残り ") +
           num(bytes.size() - ShownLimit) + QStringLiteral(" バイト）");
}

QString errorEntry(int index, int error) {
    const int number = errorNumber(error);
    // The status code that comes with the number.
    const qint32 scode = qint32(0x800A0000u | quint32(number & 0xFFFF));
    return eventEntry(
        u"【Error : Close】", index,
        {QStringLiteral("Scode : ") + num(scode) + QStringLiteral(" , Number : ") + num(number)});
}
} // namespace

int errorNumber(int error) {
    switch (error) {
    case HostNotFoundError:
        return 11001;
    case ECONNREFUSED:
        return 10061;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ECONNABORTED:
        return 10053;
    case ETIMEDOUT:
        return 10060;
    case EHOSTUNREACH:
        return 10065;
    case ENETUNREACH:
        return 10051;
    case ENETDOWN:
        return 10050;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case EAFNOSUPPORT:
        return 10047;
    case EACCES:
    case EPERM:
        return 10013;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    default:
        return 10000 + error;
    }
}

void RelayLog::connectionRequest(int requestId, const QString& address, int port, int counter) {
    m_monitor.post(MonitorBox::LanConnectionRequest, [&] {
        return eventEntry(
            u"【ConnectionRequest】", 0,
            {QStringLiteral("requestID : ") + num(requestId), QStringLiteral("HostIP : ") + address,
             QStringLiteral("Port : ") + num(port), QStringLiteral("cntNo. : ") + num(counter)});
    });
}

void RelayLog::notAdmitted(const QString& address, bool onlyThisMachine) {
    m_monitor.setStatus(
        Side::Lan,
        (onlyThisMachine ? QStringLiteral("現在、他のﾏｼﾝからの接続は許可されていません。 : ")
                         : QStringLiteral("このﾏｼﾝ(IPｱﾄﾞﾚｽ)からの接続は許可されていません。 : ")) +
            address);
}

void RelayLog::listenerShort(int error) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("エラー発生 : 0"));
    m_monitor.post(MonitorBox::LanError, [&] { return errorEntry(0, error); });
}

void RelayLog::stopping(Side side, int index) {
    m_monitor.setStatus(side, QStringLiteral("切断要求中 : ") + num(index));
}

void RelayLog::browserDataStatus(int index) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("データ受信 : ") + num(index));
}

void RelayLog::browserData(int index, qsizetype size, QByteArrayView piece) {
    m_monitor.postDataArrival(MonitorBox::LanDataArrival, [&] {
        return eventEntry(
            u"【DataArrival】", index,
            {QStringLiteral("Size : ") + num(size), QStringLiteral("Data : ") + shownPiece(piece)});
    });
}

void RelayLog::answerSent(int index, QByteArrayView text, bool whole) {
    m_monitor.post(MonitorBox::LanSend, [&] {
        return eventEntry(
            u"【Send】", index,
            {(whole ? QStringLiteral("≪Header + Data≫ : ") : QStringLiteral("≪Header≫ : ")) +
             shownPiece(text)});
    });
}

void RelayLog::answerEnded(int index, qint64 bytes, int pieces, std::optional<qint64> announced,
                           qint64 received) {
    if (announced) {
        // Always shown: the browser got less than the head announced.
        m_monitor.postAlways(Side::Lan,
                             eventEntry(u"【Send : Short】", index,
                                        {QStringLiteral("Data Size : ") + num(*announced),
                                         QStringLiteral("Sent Size : ") + num(received),
                                         QStringLiteral("Pieces : ") + num(pieces)}));
        return;
    }
    m_monitor.post(MonitorBox::LanSend, [&] {
        return eventEntry(
            u"【Send : End】", index,
            {QStringLiteral("Size : ") + num(bytes), QStringLiteral("Pieces : ") + num(pieces)});
    });
}

void RelayLog::browserSent(int index) {
    m_monitor.post(MonitorBox::LanSendComplete,
                   [&] { return eventEntry(u"【SendComplete】", index); });
}

void RelayLog::browserClosed(int index) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("切断完了 : ") + num(index));
    m_monitor.post(MonitorBox::LanClose, [&] { return eventEntry(u"【Close】", index); });
}

void RelayLog::browserFailed(int index, int error) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("エラー発生 : ") + num(index));
    m_monitor.post(MonitorBox::LanError, [&] { return errorEntry(index, error); });
}

void RelayLog::serverConnected(int index) {
    m_monitor.setStatus(Side::Wan, QStringLiteral("接続完了 : ") + num(index));
    m_monitor.post(MonitorBox::WanConnect, [&] { return eventEntry(u"【Connect】", index); });
}

void RelayLog::requestSent(int index, QByteArrayView bytes) {
    m_monitor.post(MonitorBox::WanSend, [&] {
        return eventEntry(u"【Send】", index, {QStringLiteral("Send Data : ") + shownPiece(bytes)});
    });
}

void RelayLog::serverSent(int index) {
    m_monitor.post(MonitorBox::WanSendComplete,
                   [&] { return eventEntry(u"【SendComplete】", index); });
}

void RelayLog::serverDataStatus(int index) {
    m_monitor.setStatus(Side::Wan, QStringLiteral("データ受信 : ") + num(index));
}

void RelayLog::serverData(int index, int count, qsizetype size, QByteArrayView firstPiece) {
    m_monitor.postDataArrival(MonitorBox::WanDataArrival, [&] {
        QStringList lines{QStringLiteral("Count : ") + num(count),
                          QStringLiteral("Size : ") + num(size)};
        if (count == 1) {
            const qsizetype end = firstPiece.indexOf(QByteArrayView(BlankLine));
            if (end > 0)
                lines << QStringLiteral("Header : ") + shown(firstPiece.first(end));
        }
        return eventEntry(u"【DataArrival】", index, lines);
    });
}

void RelayLog::serverClosed(int index) {
    m_monitor.setStatus(Side::Wan, QStringLiteral("切断完了 : ") + num(index));
    m_monitor.post(MonitorBox::WanClose, [&] { return eventEntry(u"【Close】", index); });
}

void RelayLog::serverFailed(int index, int error) {
    m_monitor.setStatus(Side::Wan, QStringLiteral("エラー発生 : ") + num(index));
    m_monitor.post(MonitorBox::WanError, [&] { return errorEntry(index, error); });
}

void RelayLog::reconnecting(int index, const QString& host, int port) {
    m_monitor.postAlways(Side::Wan, eventEntry(u"【ReConnect】", index,
                                               {QStringLiteral("Host Name : ") + host,
                                                QStringLiteral("Port No. : ") + num(port)}));
}

void RelayLog::shortAnswer(int index, qint64 announced, qint64 stored) {
    m_monitor.postAlways(Side::Wan, eventEntry(u"【DataCheck】", index,
                                               {QStringLiteral("Data Size : ") + num(announced),
                                                QStringLiteral("File Size : ") + num(stored)}));
    m_monitor.postAlways(Side::Wan, eventEntry(u"【ReTry】", index));
}

void RelayLog::undecodable(int index, QByteArrayView coding, const QString& why) {
    m_monitor.postAlways(Side::Lan, eventEntry(u"【Decode】", index,
                                               {QStringLiteral("Coding : ") + shown(coding),
                                                QStringLiteral("Result : ") + why}));
}

void RelayLog::tunnelClosed(int index, QByteArrayView authority, qint64 up, qint64 down) {
    m_monitor.postAlways(Side::Wan, eventEntry(u"【Tunnel : Close】", index,
                                               {QStringLiteral("Host : ") + shown(authority),
                                                QStringLiteral("Up : ") + num(up),
                                                QStringLiteral("Down : ") + num(down)}));
}

void RelayLog::tlsChecked(Side side, int index, QByteArrayView authority, const QString& protocol,
                          const QString& result) {
    m_monitor.postAlways(side,
                         eventEntry(u"【TLS】", index,
                                    {QStringLiteral("Host : ") + shown(authority),
                                     QStringLiteral("Protocol : ") +
                                         (protocol.isEmpty() ? QStringLiteral("-") : protocol),
                                     QStringLiteral("Verify : ") + result}));
}

void RelayLog::notIntercepted(int index, QByteArrayView authority, const QString& why) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("HTTPS検査不可 : ") + num(index));
    m_monitor.postAlways(Side::Lan,
                         eventEntry(u"【TLS】", index,
                                    {QStringLiteral("Host : ") + shown(authority),
                                     QStringLiteral("Verify : HTTPS検査を行えません（") + why +
                                         QStringLiteral("）。トンネルで中継します。")}));
}

namespace {
QString streamLine(qint32 stream) {
    return QStringLiteral("Stream : h2 #") + num(stream);
}
} // namespace

void RelayLog::streamArrived(int index, qint32 stream, QByteArrayView head) {
    m_monitor.postDataArrival(MonitorBox::LanDataArrival, [&] {
        return eventEntry(u"【DataArrival】", index,
                          {streamLine(stream), QStringLiteral("Size : ") + num(head.size()),
                           QStringLiteral("Data : ") + shownPiece(head)});
    });
}

void RelayLog::streamAnswered(int index, qint32 stream, QByteArrayView head) {
    m_monitor.post(MonitorBox::LanSend, [&] {
        return eventEntry(u"【Send】", index,
                          {streamLine(stream), QStringLiteral("≪Header≫ : ") + shownPiece(head)});
    });
}

void RelayLog::streamEnded(int index, qint32 stream, qint64 bytes, bool whole) {
    if (!whole) {
        // Always shown: the browser's stream ended without the whole answer.
        m_monitor.postAlways(Side::Lan, eventEntry(u"【Send : Short】", index,
                                                   {streamLine(stream),
                                                    QStringLiteral("Sent Size : ") + num(bytes)}));
        return;
    }
    m_monitor.post(MonitorBox::LanSend, [&] {
        return eventEntry(u"【Send : End】", index,
                          {streamLine(stream), QStringLiteral("Size : ") + num(bytes)});
    });
}

void RelayLog::streamSent(int index, qint32 stream, QByteArrayView head) {
    m_monitor.post(MonitorBox::WanSend, [&] {
        QStringList lines;
        if (stream > 0)
            lines << streamLine(stream);
        lines << QStringLiteral("Send Data : ") + shownPiece(head);
        return eventEntry(u"【Send】", index, lines);
    });
}

} // namespace Tarnwick
