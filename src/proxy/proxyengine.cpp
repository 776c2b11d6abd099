#include "proxy/proxyengine.h"

#include "proxy/answerhead.h"
#include "proxy/headerrewrite.h"
#include "proxy/requesttarget.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QFile>

namespace Tarnwick {

namespace {
const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");

QString num(qint64 n) {
    return QString::number(n);
}

QString sendEntry(int index, const QString& line) {
    return eventEntry(u"【Send】", index, {line});
}

QString errorEntry(int index, int number, qint32 scode) {
    return eventEntry(u"【Error : Close】", index,
                      {QStringLiteral("Scode : ") + num(scode) + QStringLiteral(" , Number : ") +
                       num(number)});
}

// Bytes shown in the monitor one character per byte.
QString shown(QByteArrayView bytes) {
    return QString::fromLatin1(bytes);
}

// Finds the first CR LF CR LF of a file by streaming it; -1 when there is none.
qint64 findBlankLine(QFile& file) {
    constexpr qint64 Chunk = 256 * 1024;
    QByteArray carry;
    qint64 offset = 0; // file offset of carry[0]
    file.seek(0);
    while (true) {
        const QByteArray chunk = file.read(Chunk);
        if (chunk.isEmpty())
            return -1;
        const QByteArray window = carry + chunk;
        const qsizetype at = window.indexOf(BlankLine);
        if (at >= 0)
            return offset + at;
        const qsizetype keep = std::min<qsizetype>(3, window.size());
        offset += window.size() - keep;
        carry = window.right(keep);
    }
}
} // namespace

ProxyEngine::ProxyEngine(SettingsStore& store, EventMonitor& monitor, QObject* parent)
    : QObject(parent), m_store(store), m_monitor(monitor),
      m_askCabinet([](const QString&) { return false; }),
      m_clock([] { return QTime::currentTime(); }), m_slots(SlotTableSize),
      m_lan(SlotTableSize), m_wan(SlotTableSize), m_generation(SlotTableSize, 0),
      m_timer1(new SlotTimers(SlotTableSize, 1.0, this)),
      m_timer2(new SlotTimers(SlotTableSize, 1.0, this)),
      m_timer3(new SlotTimers(SlotTableSize, 1.0, this)) {
    createLan(0);
    connect(m_timer1, &SlotTimers::tick, this, &ProxyEngine::pumpTick);
    connect(m_timer2, &SlotTimers::tick, this, &ProxyEngine::reconnectTick);
    connect(m_timer3, &SlotTimers::tick, this, &ProxyEngine::closeTick);
}

ProxyEngine::~ProxyEngine() {
    shutdown();
}

int ProxyEngine::removeAnswerFiles(const QString& directory) {
    return FileTable::removeMatching(directory, QString::fromUtf16(TempFilePattern));
}

void ProxyEngine::setTimeScale(double scale) {
    m_timer1->setScale(scale);
    m_timer2->setScale(scale);
    m_timer3->setScale(scale);
}

void ProxyEngine::initialise() {
    m_counter = 0;
    for (int i = 1; i <= LastSlotIndex; ++i) {
        m_timer1->create(i, 1000, false);
        m_timer2->create(i, ReconnectIntervalMs, false);
    }
}

bool ProxyEngine::listen(int port) {
    EventSocket* socket = m_lan[0];
    socket->setLocalPort(port);
    return socket->listen();
}

void ProxyEngine::stop(const std::function<void()>& clientSideClosed) {
    for (int i = 0; i <= LastSlotIndex; ++i) {
        lanStatus(QStringLiteral("切断要求中 : ") + num(i));
        if (i == 0)
            m_lan[0]->close(); // the listener stays, closed
        else
            destroyLan(i);
        QCoreApplication::processEvents();
    }
    if (clientSideClosed)
        clientSideClosed();
    for (int i = 1; i <= LastSlotIndex; ++i) {
        wanStatus(QStringLiteral("切断要求中 : ") + num(i));
        destroyWan(i);
        QCoreApplication::processEvents();
    }
    for (int i = 1; i <= LastSlotIndex; ++i) {
        m_timer1->setEnabled(i, false);
        m_timer2->setEnabled(i, false);
        QCoreApplication::processEvents();
    }
    // Answers cut off here will never be pumped.
    for (int i = 1; i <= LastSlotIndex; ++i)
        discardAnswerFile(i);
}

void ProxyEngine::shutdown() {
    if (m_lan[0])
        m_lan[0]->close();
    for (int i = 1; i <= LastSlotIndex; ++i) {
        destroyLan(i);
        destroyWan(i);
        m_timer1->setEnabled(i, false);
        m_timer2->setEnabled(i, false);
        m_timer3->destroy(i);
        discardAnswerFile(i);
    }
}

// ---- sockets of a slot -------------------------------------------------------

void ProxyEngine::createLan(int index) {
    auto* socket = new EventSocket(index, this);
    connect(socket, &EventSocket::connectionRequest, this, &ProxyEngine::lanConnectionRequest);
    connect(socket, &EventSocket::connected, this, &ProxyEngine::lanConnect);
    connect(socket, &EventSocket::dataArrival, this, &ProxyEngine::lanDataArrival);
    connect(socket, &EventSocket::sendComplete, this, &ProxyEngine::lanSendComplete);
    connect(socket, &EventSocket::closed, this, &ProxyEngine::lanClose);
    connect(socket, &EventSocket::error, this, &ProxyEngine::lanError);
    m_lan[size_t(index)] = socket;
}

void ProxyEngine::createWan(int index) {
    auto* socket = new EventSocket(index, this);
    connect(socket, &EventSocket::connected, this, &ProxyEngine::wanConnect);
    connect(socket, &EventSocket::dataArrival, this, &ProxyEngine::wanDataArrival);
    connect(socket, &EventSocket::sendComplete, this, &ProxyEngine::wanSendComplete);
    connect(socket, &EventSocket::closed, this, &ProxyEngine::wanClose);
    connect(socket, &EventSocket::error, this, &ProxyEngine::wanError);
    m_wan[size_t(index)] = socket;
}

void ProxyEngine::destroy(std::vector<QPointer<EventSocket>>& sockets, int index) {
    if (EventSocket* socket = sockets[size_t(index)]) {
        sockets[size_t(index)] = nullptr;
        // Possibly inside one of its own signals.
        socket->dispose();
    }
}

void ProxyEngine::destroyLan(int index) {
    destroy(m_lan, index);
    // A relay's descriptors are free again: a listener that ran short may accept.
    if (index != 0 && m_lan[0])
        m_lan[0]->resumeAccepting();
}

void ProxyEngine::destroyWan(int index) {
    destroy(m_wan, index);
}

void ProxyEngine::sendRefusal(int index) {
    if (EventSocket* socket = m_lan[size_t(index)])
        socket->sendData(QByteArray(RefusalAnswer));
}

void ProxyEngine::startCloseTimer(int index) {
    m_timer3->create(index, CloseDelayMs, false);
    m_timer3->setInterval(index, CloseDelayMs);
    m_timer3->setEnabled(index, true);
}

void ProxyEngine::lanStatus(const QString& text) {
    m_monitor.setStatus(Side::Lan, text);
}

void ProxyEngine::wanStatus(const QString& text) {
    m_monitor.setStatus(Side::Wan, text);
}

// ---- admission ---------------------------------------------------------------

bool ProxyEngine::admits(const QString& clientIP) {
    const QString mode = m_store.get(Setting::Connect);
    if (mode == Choice::Allow)
        return true;
    if (mode == Choice::Block) {
        if (clientIP == u"127.0.0.1")
            return true;
        lanStatus(QStringLiteral("現在、他のﾏｼﾝからの接続は許可されていません。 : ") + clientIP);
        return false;
    }
    QStringList allowed;
    for (const SettingKey& key : Setting::AllowedMachines)
        allowed << m_store.get(key);
    if (clientIP == u"127.0.0.1" || allowed.contains(clientIP))
        return true;
    lanStatus(QStringLiteral("このﾏｼﾝ(IPｱﾄﾞﾚｽ)からの接続は許可されていません。 : ") + clientIP);
    return false;
}

void ProxyEngine::lanConnectionRequest(int index, qintptr requestId) {
    EventSocket* listening = m_lan[size_t(index)];
    const QString clientIP = listening ? listening->remoteHostIP() : QString();
    const int clientPort = listening ? listening->remotePort() : 0;
    lanStatus(QStringLiteral("接続要求受信 : ") + num(index) + QStringLiteral(" , ") + clientIP + u':' +
              num(clientPort));
    if (index == 0 && admits(clientIP))
        admit(requestId);
    m_monitor.post(MonitorBox::LanConnectionRequest,
                   eventEntry(u"【ConnectionRequest】", index,
                              {QStringLiteral("requestID : ") + num(requestId),
                               QStringLiteral("HostIP : ") + clientIP,
                               QStringLiteral("Port : ") + num(clientPort),
                               QStringLiteral("cntNo. : ") + num(m_counter)}));
}

void ProxyEngine::admit(qintptr requestId) {
    EventSocket* listening = m_lan[0];
    m_counter += 1;
    if (m_counter > LastSlotIndex)
        m_counter = 1;
    const int i = m_counter;
    ++m_generation[size_t(i)];
    m_timer1->setEnabled(i, false);
    m_timer2->setEnabled(i, false);
    // A closing timer still pending from the slot's previous relay must not close the new one.
    m_timer3->destroy(i);
    // Whatever still ran in this slot is dropped without a word, its answer file too.
    discardAnswerFile(i);
    destroyLan(i);
    destroyWan(i);
    createLan(i);
    createWan(i);
    RelaySlot& slot = m_slots[size_t(i)];
    slot = RelaySlot{};
    slot.lanHost = listening->remoteHost();
    slot.lanHostIP = listening->remoteHostIP();
    slot.lanPort = listening->remotePort();
    m_lan[size_t(i)]->accept(requestId);
}

void ProxyEngine::lanConnect(int index) {
    EventSocket* socket = m_lan[size_t(index)];
    lanStatus(QStringLiteral("接続処理完了 : ") + num(index) + QStringLiteral(" , ") +
              (socket ? socket->remoteHost() : QString()) + u':' +
              num(socket ? socket->remotePort() : 0));
    m_monitor.post(MonitorBox::LanConnect, eventEntry(u"【Connect】", index));
}

// ---- request reader ----------------------------------------------------------

QString ProxyEngine::requestEntry(int index, qint64 bytesTotal, const QByteArray& piece) const {
    return eventEntry(u"【DataArrival】", index,
                      {QStringLiteral("Size : ") + num(bytesTotal),
                       QStringLiteral("Data : ") + shown(piece)});
}

void ProxyEngine::lanDataArrival(int index, qint64 bytesTotal) {
    const size_t i = size_t(index);
    lanStatus(QStringLiteral("データ受信 : ") + num(index));
    QPointer<EventSocket> lan = m_lan[i];
    if (!lan)
        return;
    const QByteArray piece = lan->getData();
    const quint64 generation = m_generation[i];
    RelaySlot& slot = m_slots[i];

    auto logArrival = [&] {
        m_monitor.postDataArrival(MonitorBox::LanDataArrival,
                                  requestEntry(index, bytesTotal, piece));
    };
    // A refused request, or a failure while choosing the target: logged and answered,
    // no server connection.
    auto exitRefused = [&] {
        logArrival();
        sendRefusal(index);
    };
    // Failure while reading the request line or applying the rules: answered only.
    auto exitStageA = [&] { sendRefusal(index); };

    // Once a request is taken, what follows is its body, which passes untouched — or
    // the browser's next request on a kept-alive connection, sent before our close
    // reached it. That one is not relayed: the relay under way keeps its server
    // connection and its answer, and the browser asks again on a new connection.
    if (!slot.request.isEmpty()) {
        logArrival();
        if (slot.bodyRemaining != 0)
            continueRequest(index, piece);
        return;
    }

    // The rules and the target read the whole head, however the browser cut it up.
    slot.pendingHead += piece;
    const qsizetype headEnd = slot.pendingHead.indexOf(BlankLine);
    if (headEnd < 0) {
        if (slot.pendingHead.size() > MaxRequestHead) {
            slot.pendingHead.clear();
            return exitRefused();
        }
        logArrival();
        return;
    }
    const QByteArray received = std::exchange(slot.pendingHead, {});

    // Stage A: request line and blocking rules.
    const QByteArray firstLine = received.left(received.indexOf(CrLf));
    const bool isPost = firstLine.startsWith("POST ");
    const bool isGet = firstLine.startsWith("GET ");

    if (isPost) {
        const QString rule = m_store.get(Setting::Post.name, Setting::RequestRuleDefault);
        if (rule == Choice::Block) {
            destroyLan(index);
            return exitRefused();
        }
        if (rule != Choice::Allow && !m_store.remove(Setting::Post.name))
            return exitStageA();
    }
    if (isGet) {
        const QByteArray lower = firstLine.toLower();
        if (lower.contains(".ico ") || lower.contains(".ico?")) {
            const QString rule = m_store.get(Setting::IcoGet.name, Setting::RequestRuleDefault);
            if (rule == Choice::Block)
                return exitRefused();
            if (rule != Choice::Allow && !m_store.remove(Setting::IcoGet.name))
                return exitStageA();
        }
        if (lower.contains(".cab ") || lower.contains(".cab?")) {
            const QString rule = m_store.get(Setting::CabGet.name, Setting::RequestRuleDefault);
            if (rule == Choice::Block)
                return exitRefused();
            if (rule == Choice::Third) {
                const QString question = QStringLiteral("ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ要求がありました。") +
                                         u'\r' + QStringLiteral("ﾘｸｴｽﾄ（ ") + shown(firstLine) +
                                         QStringLiteral(" ）") + u'\r' +
                                         QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞを行いますか？");
                const bool yes = m_askCabinet(question);
                // While the question was open the browser may have gone or the slot
                // been taken by a new connection: then this request is void.
                if (!lan || m_lan[i] != lan || m_generation[i] != generation)
                    return;
                if (!yes)
                    return exitRefused();
            } else if (rule != Choice::Allow && !m_store.remove(Setting::CabGet.name)) {
                return exitStageA();
            }
        }
    }

    // Stage C: rewriting; whatever body came with the head follows it untouched.
    slot.request = rewriteRequestHeaders(received, m_store, m_clock());
    slot.bodyRemaining =
        requestBodyLength(QByteArrayView(received).first(headEnd)) - (received.size() - headEnd - 4);

    // Stage D: target.
    std::optional<RequestTarget> target;
    if (m_store.get(Setting::Proxy) == Choice::Allow)
        target = upstreamProxyTarget(m_store);
    else
        target = targetFromRequest(received);
    EventSocket* wan = m_wan[i];
    if (!target || !wan)
        return exitRefused();
    wan->setRemoteHost(target->host);
    wan->setRemotePort(target->port);

    // Stage E: connect.
    slot.wanHost = wan->remoteHost();
    slot.wanPort = wan->remotePort();
    wan->connectToRemote();
    m_timer2->setEnabled(index, true);
    logArrival();
}

void ProxyEngine::continueRequest(int index, const QByteArray& piece) {
    RelaySlot& slot = m_slots[size_t(index)];
    // Kept whole, so that a re-request sends the body again with its head.
    slot.requestMore += piece;
    if (slot.bodyRemaining > 0)
        slot.bodyRemaining = std::max<qint64>(0, slot.bodyRemaining - piece.size());
    // Once the server connection is up nothing else would send it.
    EventSocket* wan = m_wan[size_t(index)];
    if (slot.wanOpened != 0 && wan && wan->state() == EventSocket::State::Connected) {
        wan->sendData(piece);
        m_monitor.post(MonitorBox::WanSend,
                       sendEntry(index, QStringLiteral("Send Data : ") + shown(piece)));
    }
}

// ---- upstream connection -----------------------------------------------------

void ProxyEngine::wanConnect(int index) {
    const size_t i = size_t(index);
    RelaySlot& slot = m_slots[i];
    m_timer2->setEnabled(index, false);
    if (slot.wanOpened == 0) {
        slot.tempFileName = tempFileNameFor(index);
        // The handle is the slot's own number, so no other relay can ever reach it.
        slot.tempFileNo = index;
        if (!m_files.openFresh(index, slot.tempFileName)) {
            slot.tempFileNo = 0;
            failAnswerFile(index);
            return;
        }
    }
    slot.wanOpened = 1;
    wanStatus(QStringLiteral("接続完了 : ") + num(index));
    EventSocket* wan = m_wan[i];
    if (!wan)
        return;
    wan->sendData(slot.request);
    m_monitor.post(MonitorBox::WanConnect, eventEntry(u"【Connect】", index));
    m_monitor.post(MonitorBox::WanSend,
                   sendEntry(index, QStringLiteral("Send Data : ") + shown(slot.request)));
    if (!slot.requestMore.isEmpty()) {
        wan->sendData(slot.requestMore);
        m_monitor.post(MonitorBox::WanSend,
                       sendEntry(index, QStringLiteral("Send Data : ") + shown(slot.requestMore)));
    }
}

void ProxyEngine::closeAnswerFile(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    if (slot.tempFileNo != 0)
        m_files.close(slot.tempFileNo);
    slot.tempFileNo = 0;
}

void ProxyEngine::discardAnswerFile(int index) {
    closeAnswerFile(index);
    RelaySlot& slot = m_slots[size_t(index)];
    if (!slot.tempFileName.isEmpty())
        FileTable::removeFile(slot.tempFileName);
}

void ProxyEngine::failAnswerFile(int index) {
    m_timer2->setEnabled(index, false);
    discardAnswerFile(index);
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    sendRefusal(index);
}

// ---- response receiver -------------------------------------------------------

void ProxyEngine::wanDataArrival(int index, qint64 bytesTotal) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("データ受信 : ") + num(index));
    EventSocket* wan = m_wan[size_t(index)];
    if (!wan)
        return;
    const QByteArray data = wan->getData();
    if (slot.tempFileNo == 0 || !m_files.append(slot.tempFileNo, data)) {
        // Never relay an answer that could not be stored whole.
        failAnswerFile(index);
        return;
    }
    slot.arrivalCount += 1;
    if (!m_monitor.isChecked(MonitorBox::WanDataArrival))
        return;
    QStringList lines{QStringLiteral("Count : ") + num(slot.arrivalCount),
                      QStringLiteral("Size : ") + num(bytesTotal)};
    if (slot.arrivalCount == 1) {
        const qsizetype end = data.indexOf(BlankLine);
        if (end > 0)
            lines << QStringLiteral("Header : ") + shown(QByteArrayView(data).first(end));
    }
    m_monitor.postDataArrival(MonitorBox::WanDataArrival,
                              eventEntry(u"【DataArrival】", index, lines));
}

// ---- ends of a relay ---------------------------------------------------------

void ProxyEngine::lanClose(int index) {
    const bool pumpPending = m_timer1->isEnabled(index);
    m_timer1->setEnabled(index, false);
    lanStatus(QStringLiteral("切断完了 : ") + num(index));
    RelaySlot& slot = m_slots[size_t(index)];
    slot.lanState = QStringLiteral("Close");
    m_monitor.post(MonitorBox::LanClose, eventEntry(u"【Close】", index));
    // The answer waiting for the pump will never be sent: do not leave it on disk.
    if (pumpPending && !slot.tempFileName.isEmpty())
        FileTable::removeFile(slot.tempFileName);
    abandonServerSide(index);
    destroyLan(index);
}

void ProxyEngine::abandonServerSide(int index) {
    // Nobody is left to answer: a server that is slow or never answers must not keep
    // its connection and a growing answer file until the slot comes round again.
    m_timer2->setEnabled(index, false);
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    discardAnswerFile(index);
}

void ProxyEngine::lanError(int index, int number, const QString&, qint32 scode) {
    const bool pumpPending = index != 0 && m_timer1->isEnabled(index);
    m_timer1->setEnabled(index, false);
    lanStatus(QStringLiteral("エラー発生 : ") + num(index));
    RelaySlot& slot = m_slots[size_t(index)];
    slot.lanState = QStringLiteral("Error");
    m_monitor.post(MonitorBox::LanError,
                   errorEntry(index, number, scode));
    if (pumpPending && !slot.tempFileName.isEmpty())
        FileTable::removeFile(slot.tempFileName);
    if (index != 0) {
        abandonServerSide(index);
        startCloseTimer(index);
    }
}

void ProxyEngine::lanSendComplete(int index) {
    m_monitor.post(MonitorBox::LanSendComplete, eventEntry(u"【SendComplete】", index));
    startCloseTimer(index);
}

void ProxyEngine::wanClose(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("切断完了 : ") + num(index));
    closeAnswerFile(index);
    slot.wanState = QStringLiteral("Close");
    m_monitor.post(MonitorBox::WanClose, eventEntry(u"【Close】", index));
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    // With the browser gone there is nobody to pump the answer to.
    if (!slot.lanState.isEmpty()) {
        discardAnswerFile(index);
        return;
    }
    m_timer1->setInterval(index, PumpIntervalMs);
    m_timer1->setEnabled(index, true);
}

void ProxyEngine::wanError(int index, int number, const QString&, qint32 scode) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("エラー発生 : ") + num(index));
    slot.wanState = QStringLiteral("Error");
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    m_monitor.post(MonitorBox::WanError,
                   errorEntry(index, number, scode));
    // Once connected, nothing more will come: end the relay instead of leaving the
    // browser waiting. Before that, the reconnect timer tries again.
    if (slot.wanOpened != 0) {
        discardAnswerFile(index);
        sendRefusal(index);
    }
}

void ProxyEngine::wanSendComplete(int index) {
    m_monitor.post(MonitorBox::WanSendComplete, eventEntry(u"【SendComplete】", index));
}

// ---- timers --------------------------------------------------------------------

void ProxyEngine::reconnectTick(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    if (slot.wanOpened != 0 || slot.wanHost.isEmpty() || slot.wanPort == 0) {
        m_timer2->setEnabled(index, false);
        return;
    }
    if (slot.reconnectCount >= ReconnectLimit) {
        m_timer2->setEnabled(index, false);
        sendRefusal(index);
        return;
    }
    m_monitor.postAlways(Side::Wan, eventEntry(u"【ReConnect】", index,
                                               {QStringLiteral("Host Name : ") + slot.wanHost,
                                                QStringLiteral("Port No. : ") + num(slot.wanPort)}));
    destroyWan(index);
    createWan(index);
    EventSocket* wan = m_wan[size_t(index)];
    wan->setRemoteHost(slot.wanHost);
    wan->setRemotePort(slot.wanPort);
    wan->connectToRemote();
    slot.reconnectCount += 1;
}

void ProxyEngine::closeTick(int index) {
    m_timer3->setEnabled(index, false);
    if (EventSocket* lan = m_lan[size_t(index)])
        lan->close();
    m_timer3->destroy(index);
}

void ProxyEngine::pumpTick(int index) {
    const size_t i = size_t(index);
    RelaySlot& slot = m_slots[i];
    m_timer1->setEnabled(index, false);
    if (!slot.lanState.isEmpty()) {
        FileTable::removeFile(slot.tempFileName);
        return;
    }
    std::unique_ptr<QFile> file = FileTable::openForReading(slot.tempFileName);
    // The open handle keeps the bytes readable after the name is gone.
    FileTable::removeFile(slot.tempFileName);
    if (!file) {
        sendRefusal(index);
        return;
    }
    const qint64 length = file->size();

    const qint64 blankLine = findBlankLine(*file);
    QByteArray headerBlock;
    if (blankLine >= 0) {
        file->seek(0);
        headerBlock = file->read(blankLine);
    }
    if (trimBlanks(headerBlock).isEmpty()) {
        sendRefusal(index);
        return;
    }
    const AnswerHead head = readAnswerHead(headerBlock);
    const bool redirect = head.statusCode == "302";
    if (trimBlanks(head.contentTypeText).isEmpty() && !mayLackContentType(head.statusCode)) {
        sendRefusal(index);
        return;
    }

    // An answer to HEAD, and a status that never has a body, ends with its head
    // whatever its Content-Length says.
    const bool bodyless =
        statusHasNoBody(head.statusCode) || slot.request.startsWith("HEAD ");
    if (const auto announced = announcedSize(head);
        !bodyless && announced && length < *announced) {
        m_monitor.postAlways(Side::Wan, eventEntry(u"【DataCheck】", index,
                                                   {QStringLiteral("Data Size : ") + num(*announced),
                                                    QStringLiteral("File Size : ") + num(length)}));
        m_monitor.postAlways(Side::Wan, eventEntry(u"【ReTry】", index));
        if (slot.recheckCount >= RecheckLimit) {
            sendRefusal(index);
            return;
        }
        slot.wanOpened = 0;
        slot.wanState.clear();
        slot.arrivalCount = 0;
        slot.recheckCount += 1;
        if (EventSocket* wan = m_wan[i])
            wan->connectToRemote();
        m_timer2->setEnabled(index, true);
        return;
    }

    // Only answers the HTML rules may rewrite, or a redirect shown whole, are held in
    // memory; everything else goes from the file to the browser in pieces.
    const bool logWhole = redirect && m_monitor.isChecked(MonitorBox::LanSend);
    const bool holdWhole = htmlRulesApply(head.contentTypeText) || logWhole;
    QByteArray answer;
    file->seek(0);
    if (holdWhole) {
        answer = file->readAll();
        if (answer.size() != length) {
            sendRefusal(index);
            return;
        }
    }
    // The rules read their settings for every answer (and drop a bad value); they
    // change only an answer held in memory, which is never one left in the file.
    applySetCookieRule(answer, head.contentTypeText, m_store);
    applyScriptRule(answer, head.contentTypeText, m_store, isChunked(headerBlock));
    if (EventSocket* lan = m_lan[i]) {
        if (holdWhole)
            lan->sendData(answer);
        else
            lan->sendDevice(std::move(file));
    }
    destroyWan(index);
    m_monitor.post(MonitorBox::LanSend,
                   sendEntry(index, redirect ? QStringLiteral("≪Header + Data≫ : ") + shown(answer)
                                             : QStringLiteral("≪Header≫ : ") + shown(headerBlock)));
}

} // namespace Tarnwick
