#include "proxy/proxyengine.h"

#include "proxy/admission.h"
#include "proxy/answerhead.h"
#include "proxy/answerplan.h"
#include "proxy/headerrewrite.h"
#include "proxy/requestrules.h"
#include "proxy/requesttarget.h"
#include "proxy/responsefilters.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QFile>

namespace Tarnwick {

namespace {
const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray BlankLine = QByteArrayLiteral("\r\n\r\n");
// Bytes a tunnel lets wait for the slower side before it stops reading the faster.
constexpr qint64 TunnelBacklog = 1024 * 1024;

QString num(qint64 n) {
    return QString::number(n);
}

QString sendEntry(int index, const QString& line) {
    return eventEntry(u"【Send】", index, {line});
}

QString errorEntry(int index, int number, qint32 scode) {
    return eventEntry(
        u"【Error : Close】", index,
        {QStringLiteral("Scode : ") + num(scode) + QStringLiteral(" , Number : ") + num(number)});
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
      m_clock([] { return QTime::currentTime(); }), m_ownAddressLookup(ownHostAddresses),
      m_slots(SlotTableSize), m_lan(SlotTableSize), m_wan(SlotTableSize),
      m_generation(SlotTableSize, 0), m_timer1(new SlotTimers(SlotTableSize, 1.0, this)),
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
    if (!socket->listen())
        return false;
    m_ownAddresses = m_ownAddressLookup ? m_ownAddressLookup() : QStringList();
    return true;
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
    QStringList allowed;
    const ChoiceValue mode = m_store.choice(Setting::Connect);
    if (mode != ChoiceValue::Allow && mode != ChoiceValue::Block)
        for (const SettingKey& key : Setting::AllowedMachines)
            allowed << m_store.get(key);
    switch (admissionFor(mode, clientIP, allowed, m_ownAddresses)) {
    case Admission::Admit:
        return true;
    case Admission::OnlyThisMachine:
        lanStatus(QStringLiteral("現在、他のﾏｼﾝからの接続は許可されていません。 : ") + clientIP);
        return false;
    case Admission::NotListed:
        lanStatus(QStringLiteral("このﾏｼﾝ(IPｱﾄﾞﾚｽ)からの接続は許可されていません。 : ") + clientIP);
        return false;
    }
    return false;
}

void ProxyEngine::lanConnectionRequest(int index, qintptr requestId) {
    const SettingsStore::ReadScope oneLook(m_store);
    EventSocket* listening = m_lan[size_t(index)];
    const QString clientIP = listening ? listening->remoteHostIP() : QString();
    const int clientPort = listening ? listening->remotePort() : 0;
    lanStatus(QStringLiteral("接続要求受信 : ") + num(index) + QStringLiteral(" , ") + clientIP +
              u':' + num(clientPort));
    if (index == 0 && admits(clientIP))
        admit(requestId);
    m_monitor.post(MonitorBox::LanConnectionRequest, [&] {
        return eventEntry(u"【ConnectionRequest】", index,
                          {QStringLiteral("requestID : ") + num(requestId),
                           QStringLiteral("HostIP : ") + clientIP,
                           QStringLiteral("Port : ") + num(clientPort),
                           QStringLiteral("cntNo. : ") + num(m_counter)});
    });
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
    m_monitor.post(MonitorBox::LanConnect, [&] { return eventEntry(u"【Connect】", index); });
}

// ---- request reader ----------------------------------------------------------

QString ProxyEngine::requestEntry(int index, qint64 bytesTotal, const QByteArray& piece) const {
    return eventEntry(
        u"【DataArrival】", index,
        {QStringLiteral("Size : ") + num(bytesTotal), QStringLiteral("Data : ") + shown(piece)});
}

void ProxyEngine::lanDataArrival(int index, qint64 bytesTotal) {
    lanStatus(QStringLiteral("データ受信 : ") + num(index));
    EventSocket* lan = m_lan[size_t(index)];
    if (!lan)
        return;
    const QByteArray piece = lan->getData();
    RelaySlot& slot = m_slots[size_t(index)];
    const SettingsStore::ReadScope oneLook(m_store);
    auto logArrival = [&] {
        m_monitor.postDataArrival(MonitorBox::LanDataArrival,
                                  [&] { return requestEntry(index, bytesTotal, piece); });
    };

    // Once a request is taken, what follows is its body, which passes untouched — or
    // the browser's next request on a kept-alive connection, sent before our close
    // reached it. That one is not relayed: the relay under way keeps its server
    // connection and its answer, and the browser asks again on a new connection.
    if (slot.tunnel && !slot.request.isEmpty())
        return carryTunnel(index, Side::Lan, piece); // never shown: it is not text
    if (!slot.request.isEmpty()) {
        logArrival();
        if (slot.bodyRemaining != 0)
            continueRequest(index, piece);
        return;
    }
    // The rules and the target read the whole head, however the browser cut it up.
    slot.pendingHead += piece;
    if (!slot.pendingHead.contains(BlankLine)) {
        logArrival();
        if (slot.pendingHead.size() > MaxRequestHead)
            endRelay(index, RelayEnd::Refused);
        return;
    }
    const QByteArray received = std::exchange(slot.pendingHead, {});
    const RequestCheck check = checkRequestLine(index, received);
    // A rule that could not be applied answers without a word in the list.
    if (check != RequestCheck::Failed && check != RequestCheck::Void)
        logArrival();
    switch (check) {
    case RequestCheck::Passed:
        return startRelay(index, received) ? void() : endRelay(index, RelayEnd::Refused);
    case RequestCheck::Tunnel:
        return startTunnel(index, received) ? void() : endRelay(index, RelayEnd::Refused);
    case RequestCheck::Refused:
    case RequestCheck::Failed:
        return endRelay(index, RelayEnd::Refused);
    case RequestCheck::RefusedWithClose:
        return endRelay(index, RelayEnd::ClosedWithoutAnswer);
    case RequestCheck::Void: // the slot was taken over while the user was asked
        return;
    }
}

ProxyEngine::RequestCheck ProxyEngine::checkRequestLine(int index, const QByteArray& received) {
    const RequestLine line = readRequestLine(received);
    // A tunnel passes none of these rules: what it carries is not seen.
    if (connectTarget(line.text))
        return RequestCheck::Tunnel;
    // Asks the rule of `key` about this request; a value outside its set is removed.
    auto verdict = [&](const SettingKey& key, bool mayAsk) -> std::optional<RequestCheck> {
        const std::optional<QString> stored = m_store.stored(key);
        switch (ruleVerdict(stored ? std::optional(choiceOf(*stored)) : std::nullopt, mayAsk)) {
        case RuleVerdict::Send:
            return std::nullopt;
        case RuleVerdict::Refuse:
            return key.name == Setting::Post.name ? RequestCheck::RefusedWithClose
                                                  : RequestCheck::Refused;
        case RuleVerdict::Ask:
            return askCabinet(index, line.text);
        case RuleVerdict::DropValue:
            if (!m_store.remove(key))
                return RequestCheck::Failed;
            return std::nullopt;
        }
        return std::nullopt;
    };
    std::optional<RequestCheck> outcome;
    if (line.post)
        outcome = verdict(Setting::Post, false);
    if (!outcome && line.icon)
        outcome = verdict(Setting::IcoGet, false);
    if (!outcome && line.cabinet)
        outcome = verdict(Setting::CabGet, true);
    return outcome.value_or(RequestCheck::Passed);
}

std::optional<ProxyEngine::RequestCheck> ProxyEngine::askCabinet(int index,
                                                                 const QByteArray& requestLine) {
    const QPointer<EventSocket> lan = m_lan[size_t(index)];
    const quint64 generation = m_generation[size_t(index)];
    const bool yes = m_askCabinet(cabinetQuestion(requestLine));
    // While the question was open the browser may have gone or the slot been taken by
    // a new connection: then this request is void.
    if (!lan || m_lan[size_t(index)] != lan || m_generation[size_t(index)] != generation)
        return RequestCheck::Void;
    if (!yes)
        return RequestCheck::Refused;
    return std::nullopt;
}

bool ProxyEngine::startRelay(int index, const QByteArray& received) {
    RelaySlot& slot = m_slots[size_t(index)];
    // Rewritten; whatever body came with the head follows it untouched.
    slot.request = rewriteRequestHeaders(received, m_store, m_clock);
    const qsizetype headEnd = received.indexOf(BlankLine);
    slot.bodyRemaining = requestBodyLength(QByteArrayView(received).first(headEnd)) -
                         (received.size() - headEnd - BlankLine.size());

    const std::optional<RequestTarget> target = m_store.choice(Setting::Proxy) == ChoiceValue::Allow
                                                    ? upstreamProxyTarget(m_store)
                                                    : targetFromRequest(received);
    return connectServer(index, target);
}

bool ProxyEngine::connectServer(int index, const std::optional<RequestTarget>& target) {
    RelaySlot& slot = m_slots[size_t(index)];
    EventSocket* wan = m_wan[size_t(index)];
    if (!target || !wan)
        return false;
    wan->setRemoteHost(target->host);
    wan->setRemotePort(target->port);
    slot.wanHost = wan->remoteHost();
    slot.wanPort = wan->remotePort();
    wan->connectToRemote();
    // Until the connection is made, the reconnect timer keeps trying.
    m_timer2->setEnabled(index, true);
    return true;
}

void ProxyEngine::continueRequest(int index, const QByteArray& piece) {
    RelaySlot& slot = m_slots[size_t(index)];
    // Kept whole, so that a re-request sends the body again with its head.
    slot.requestMore += piece;
    if (slot.bodyRemaining > 0)
        slot.bodyRemaining = std::max<qint64>(0, slot.bodyRemaining - piece.size());
    // Once the server connection is up nothing else would send it.
    EventSocket* wan = m_wan[size_t(index)];
    if (slot.wanOpened && wan && wan->state() == EventSocket::State::Connected) {
        wan->sendData(piece);
        m_monitor.post(MonitorBox::WanSend, [&] {
            return sendEntry(index, QStringLiteral("Send Data : ") + shown(piece));
        });
    }
}

// ---- upstream connection -----------------------------------------------------

void ProxyEngine::wanConnect(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    m_timer2->setEnabled(index, false);
    if (slot.tunnel)
        return openTunnel(index);
    if (!slot.wanOpened) {
        slot.tempFileName = tempFileNameFor(index);
        // The handle is the slot's own number, so no other relay can ever reach it.
        slot.tempFileNo = index;
        slot.tempFileOnDisk = true; // openFresh may have made it before failing
        if (!m_files.openFresh(index, slot.tempFileName)) {
            slot.tempFileNo = 0;
            return endRelay(index, RelayEnd::Refused);
        }
    }
    slot.wanOpened = true;
    wanStatus(QStringLiteral("接続完了 : ") + num(index));
    EventSocket* wan = m_wan[size_t(index)];
    if (!wan)
        return;
    wan->sendData(slot.request);
    m_monitor.post(MonitorBox::WanConnect, [&] { return eventEntry(u"【Connect】", index); });
    m_monitor.post(MonitorBox::WanSend, [&] {
        return sendEntry(index, QStringLiteral("Send Data : ") + shown(slot.request));
    });
    if (!slot.requestMore.isEmpty()) {
        wan->sendData(slot.requestMore);
        m_monitor.post(MonitorBox::WanSend, [&] {
            return sendEntry(index, QStringLiteral("Send Data : ") + shown(slot.requestMore));
        });
    }
}

// ---- response receiver -------------------------------------------------------

void ProxyEngine::wanDataArrival(int index, qint64 bytesTotal) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("データ受信 : ") + num(index));
    EventSocket* wan = m_wan[size_t(index)];
    if (!wan)
        return;
    const QByteArray data = wan->getData();
    if (slot.tunnel)
        return carryTunnel(index, Side::Wan, data);
    // Never relay an answer that could not be stored whole.
    if (slot.tempFileNo == 0 || !m_files.append(slot.tempFileNo, data))
        return endRelay(index, RelayEnd::Refused);
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
                              [&] { return eventEntry(u"【DataArrival】", index, lines); });
}

// ---- ends of a relay ---------------------------------------------------------

void ProxyEngine::closeAnswerFile(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    if (slot.tempFileNo != 0)
        m_files.close(slot.tempFileNo);
    slot.tempFileNo = 0;
}

void ProxyEngine::discardAnswerFile(int index) {
    closeAnswerFile(index);
    RelaySlot& slot = m_slots[size_t(index)];
    if (slot.tempFileOnDisk)
        FileTable::removeFile(slot.tempFileName);
    slot.tempFileOnDisk = false;
}

void ProxyEngine::endRelay(int index, RelayEnd end) {
    m_timer1->setEnabled(index, false);
    m_timer2->setEnabled(index, false);
    discardAnswerFile(index);
    if (end == RelayEnd::Answered) {
        // The answer is on its way from memory or its own open handle.
        destroyWan(index);
        return;
    }
    // A server that is slow or never answers must not keep its connection and a
    // growing answer file until the slot comes round again.
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    if (end == RelayEnd::Refused)
        sendRefusal(index);
    else if (end == RelayEnd::ClosedWithoutAnswer)
        destroyLan(index);
}

void ProxyEngine::lanClose(int index) {
    lanStatus(QStringLiteral("切断完了 : ") + num(index));
    RelaySlot& slot = m_slots[size_t(index)];
    slot.lanState = EndMark::Closed;
    m_monitor.post(MonitorBox::LanClose, [&] { return eventEntry(u"【Close】", index); });
    if (slot.tunnel && slot.wanOpened)
        return closeTunnel(index, Side::Lan);
    endRelay(index, RelayEnd::BrowserGone);
    destroyLan(index);
}

void ProxyEngine::lanError(int index, int number, const QString&, qint32 scode) {
    lanStatus(QStringLiteral("エラー発生 : ") + num(index));
    m_slots[size_t(index)].lanState = EndMark::Failed;
    m_monitor.post(MonitorBox::LanError, [&] { return errorEntry(index, number, scode); });
    // The listener's own errors (running short of descriptors) end no relay.
    if (index == 0)
        return;
    if (m_slots[size_t(index)].tunnel && m_slots[size_t(index)].wanOpened)
        return closeTunnel(index, Side::Lan);
    endRelay(index, RelayEnd::BrowserGone);
    startCloseTimer(index);
}

void ProxyEngine::lanSendComplete(int index) {
    m_monitor.post(MonitorBox::LanSendComplete,
                   [&] { return eventEntry(u"【SendComplete】", index); });
    if (m_slots[size_t(index)].tunnel) {
        // The browser caught up: the server may send again.
        if (EventSocket* wan = m_wan[size_t(index)])
            wan->resumeReading();
        return;
    }
    startCloseTimer(index);
}

void ProxyEngine::wanClose(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("切断完了 : ") + num(index));
    closeAnswerFile(index);
    slot.wanState = EndMark::Closed;
    m_monitor.post(MonitorBox::WanClose, [&] { return eventEntry(u"【Close】", index); });
    if (slot.tunnel)
        return closeTunnel(index, Side::Wan);
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    // With the browser gone there is nobody to pump the answer to.
    if (slot.lanState != EndMark::Live)
        return endRelay(index, RelayEnd::BrowserGone);
    m_timer1->setInterval(index, PumpIntervalMs);
    m_timer1->setEnabled(index, true);
}

void ProxyEngine::wanError(int index, int number, const QString&, qint32 scode) {
    RelaySlot& slot = m_slots[size_t(index)];
    wanStatus(QStringLiteral("エラー発生 : ") + num(index));
    slot.wanState = EndMark::Failed;
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->close();
    m_monitor.post(MonitorBox::WanError, [&] { return errorEntry(index, number, scode); });
    // Once connected, nothing more will come: end the relay instead of leaving the
    // browser waiting. Before that, the reconnect timer tries again.
    if (slot.wanOpened && slot.tunnel)
        closeTunnel(index, Side::Wan);
    else if (slot.wanOpened)
        endRelay(index, RelayEnd::Refused);
}

void ProxyEngine::wanSendComplete(int index) {
    m_monitor.post(MonitorBox::WanSendComplete,
                   [&] { return eventEntry(u"【SendComplete】", index); });
    if (m_slots[size_t(index)].tunnel)
        if (EventSocket* lan = m_lan[size_t(index)])
            lan->resumeReading();
}

// ---- tunnels -------------------------------------------------------------------

bool ProxyEngine::startTunnel(int index, const QByteArray& received) {
    RelaySlot& slot = m_slots[size_t(index)];
    const RequestLine line = readRequestLine(received);
    const std::optional<RequestTarget> authority = connectTarget(line.text);
    if (!authority || !tunnelAllowed(m_store.choice(Setting::ConnectTunnel), authority->port))
        return false;
    const qsizetype headEnd = received.indexOf(BlankLine) + BlankLine.size();
    slot.tunnel = true;
    slot.tunnelAuthority = line.text.mid(8, line.text.indexOf(' ', 8) - 8);
    slot.tunnelViaProxy = m_store.choice(Setting::Proxy) == ChoiceValue::Allow;
    // Through an upstream proxy the head goes on as it came; the proxy answers it.
    slot.request = received.left(headEnd);
    slot.requestMore = received.mid(headEnd);
    const std::optional<RequestTarget> target =
        slot.tunnelViaProxy ? upstreamProxyTarget(m_store) : *authority;
    return connectServer(index, target);
}

void ProxyEngine::openTunnel(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    slot.wanOpened = true;
    wanStatus(QStringLiteral("接続完了 : ") + num(index));
    m_monitor.post(MonitorBox::WanConnect, [&] { return eventEntry(u"【Connect】", index); });
    EventSocket* wan = m_wan[size_t(index)];
    EventSocket* lan = m_lan[size_t(index)];
    if (!wan || !lan)
        return;
    if (slot.tunnelViaProxy) {
        wan->sendData(slot.request);
        m_monitor.post(MonitorBox::WanSend, [&] {
            return sendEntry(index, QStringLiteral("Send Data : ") + shown(slot.request));
        });
    } else {
        lan->sendData(QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n"));
    }
    if (!slot.requestMore.isEmpty())
        carryTunnel(index, Side::Lan, std::exchange(slot.requestMore, {}));
}

void ProxyEngine::carryTunnel(int index, Side from, const QByteArray& bytes) {
    RelaySlot& slot = m_slots[size_t(index)];
    EventSocket* source = from == Side::Lan ? m_lan[size_t(index)] : m_wan[size_t(index)];
    EventSocket* target = from == Side::Lan ? m_wan[size_t(index)] : m_lan[size_t(index)];
    if (from == Side::Lan && !slot.wanOpened) {
        slot.requestMore += bytes; // sent once the server connection is up
        return;
    }
    if (!target)
        return;
    target->sendData(bytes);
    (from == Side::Lan ? slot.tunnelUp : slot.tunnelDown) += bytes.size();
    // A side that sends faster than the other takes waits, so memory stays bounded.
    if (source && target->bytesToWrite() > TunnelBacklog)
        source->pauseReading();
}

void ProxyEngine::closeTunnel(int index, Side closed) {
    RelaySlot& slot = m_slots[size_t(index)];
    EventSocket* lan = m_lan[size_t(index)];
    EventSocket* wan = m_wan[size_t(index)];
    // What the closing side sent last still goes to the other, then that one closes too.
    EventSocket* gone = closed == Side::Lan ? lan : wan;
    EventSocket* other = closed == Side::Lan ? wan : lan;
    if (gone && gone->bytesAvailable() > 0)
        carryTunnel(index, closed, gone->getData());
    if (other)
        other->finish();
    m_timer2->setEnabled(index, false);
    m_monitor.postAlways(Side::Wan, eventEntry(u"【Tunnel : Close】", index,
                                               {QStringLiteral("Host : ") +
                                                    QString::fromLatin1(slot.tunnelAuthority),
                                                QStringLiteral("Up : ") + num(slot.tunnelUp),
                                                QStringLiteral("Down : ") + num(slot.tunnelDown)}));
    slot.tunnel = false; // nothing more to carry; later events of this slot end as usual
    if (closed == Side::Lan)
        destroyLan(index);
}

// ---- timers --------------------------------------------------------------------

void ProxyEngine::reconnectTick(int index) {
    RelaySlot& slot = m_slots[size_t(index)];
    if (slot.wanOpened || slot.wanHost.isEmpty() || slot.wanPort == 0) {
        m_timer2->setEnabled(index, false);
        return;
    }
    if (slot.reconnectCount >= ReconnectLimit)
        return endRelay(index, RelayEnd::Refused);
    m_monitor.postAlways(Side::Wan,
                         eventEntry(u"【ReConnect】", index,
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
    RelaySlot& slot = m_slots[size_t(index)];
    const SettingsStore::ReadScope oneLook(m_store);
    m_timer1->setEnabled(index, false);
    if (slot.lanState != EndMark::Live)
        return endRelay(index, RelayEnd::BrowserGone);
    // The open handle keeps the bytes readable after the name is gone.
    std::unique_ptr<QFile> file = FileTable::openForReading(slot.tempFileName);
    FileTable::removeFile(slot.tempFileName);
    slot.tempFileOnDisk = false;
    if (!file)
        return endRelay(index, RelayEnd::Refused);
    const qint64 blankLine = findBlankLine(*file);
    file->seek(0);
    StoredAnswer stored;
    stored.head = readAnswerHead(blankLine >= 0 ? file->read(blankLine) : QByteArray());
    stored.length = file->size();
    stored.headRequest = slot.request.startsWith("HEAD ");
    stored.recheckCount = slot.recheckCount;
    stored.showWhole = stored.head.statusCode == "302" && m_monitor.isChecked(MonitorBox::LanSend);

    const AnswerPlan plan = planAnswer(stored);
    switch (plan) {
    case AnswerPlan::Refuse:
        return endRelay(index, RelayEnd::Refused);
    case AnswerPlan::ReRequest:
    case AnswerPlan::GiveUp:
        return recheck(index, stored, plan == AnswerPlan::GiveUp);
    case AnswerPlan::SendWhole:
    case AnswerPlan::Stream:
        return sendAnswer(index, stored, plan == AnswerPlan::SendWhole, std::move(file));
    }
}

void ProxyEngine::recheck(int index, const StoredAnswer& stored, bool giveUp) {
    RelaySlot& slot = m_slots[size_t(index)];
    m_monitor.postAlways(
        Side::Wan,
        eventEntry(u"【DataCheck】", index,
                   {QStringLiteral("Data Size : ") + num(announcedSize(stored.head).value_or(0)),
                    QStringLiteral("File Size : ") + num(stored.length)}));
    m_monitor.postAlways(Side::Wan, eventEntry(u"【ReTry】", index));
    if (giveUp)
        return endRelay(index, RelayEnd::Refused);
    slot.wanOpened = false;
    slot.wanState = EndMark::Live;
    slot.arrivalCount = 0;
    slot.recheckCount += 1;
    if (EventSocket* wan = m_wan[size_t(index)])
        wan->connectToRemote();
    m_timer2->setEnabled(index, true);
}

void ProxyEngine::sendAnswer(int index, const StoredAnswer& stored, bool holdWhole,
                             std::unique_ptr<QFile> file) {
    const AnswerHead& head = stored.head;
    // Only answers the HTML rules may rewrite, or a redirect shown whole, are held in
    // memory; everything else goes from the file to the browser in pieces.
    file->seek(0);
    QByteArray answer;
    if (holdWhole) {
        answer = file->readAll();
        if (answer.size() != stored.length)
            return endRelay(index, RelayEnd::Refused);
    }
    // The rules read their settings for every answer (and drop a bad value); they
    // change only an answer held in memory, which is never one left in the file.
    applySetCookieRule(answer, head.contentTypeText, m_store);
    applyScriptRule(answer, head.contentTypeText, m_store, isChunked(head.headerBlock));
    if (EventSocket* lan = m_lan[size_t(index)]) {
        if (holdWhole)
            lan->sendData(answer);
        else
            lan->sendDevice(std::move(file));
    }
    endRelay(index, RelayEnd::Answered);
    m_monitor.post(MonitorBox::LanSend, [&] {
        return sendEntry(index, stored.head.statusCode == "302"
                                    ? QStringLiteral("≪Header + Data≫ : ") + shown(answer)
                                    : QStringLiteral("≪Header≫ : ") + shown(head.headerBlock));
    });
}

} // namespace Tarnwick
