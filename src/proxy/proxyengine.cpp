#include "proxy/proxyengine.h"

#include "platform/spillstore.h"
#include "proxy/admission.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QPointer>

#include <csignal>
#include <sys/epoll.h>

namespace Tarnwick {

ProxyEngine::ProxyEngine(SettingsStore& store, EventMonitor& monitor, QObject* parent)
    : QObject(parent), m_store(store), m_log(monitor),
      m_askCabinet([](const QString&, const CabinetAnswer& answer) { answer(false); }),
      m_clock([] { return QTime::currentTime(); }), m_ownAddressLookup(ownHostAddresses),
      m_tls(m_authority), m_settingsWatch(store), m_deadlines(m_reactor),
      m_context{store,
                m_log,
                m_reactor,
                m_deadlines,
                [this](const QString& text, CabinetAnswer answer) {
                    m_askCabinet(text, [engine = QPointer(this), answer](bool yes) {
                        if (engine)
                            answer(yes);
                    });
                },
                [this] { return m_clock(); },
                [this] {
                    --m_holding;
                    // A relay's descriptors are free again: accepting may go on.
                    m_listener.resumeAccepting();
                },
                this,
                [this](int index, quint64 serial) { return find(index, serial); },
                &m_tls},
      m_listener(
          m_reactor, [this](const Listener::Client& client) { return offered(client); },
          [this](int error) { m_log.listenerShort(error); },
          [this] { return m_holding * Listener::DescriptorsPerRelay; }) {
    // A peer that closed while we write is a failed send, never the end of the program
    // (sendfile and TLS writes cannot ask for that per call).
    std::signal(SIGPIPE, SIG_IGN);
    // Relays let go of inside a handler are freed once it has returned.
    m_reactor.setIdle([this] { m_retired.clear(); });
    const int watch = m_store.watchForChanges();
    if (watch >= 0)
        m_reactor.add(watch, EPOLLIN, &m_settingsWatch, true);
}

void ProxyEngine::SettingsWatch::ready(quint32) {
    store.takeChanges();
}

ProxyEngine::~ProxyEngine() {
    shutdown();
    m_retired.clear();
}

int ProxyEngine::removeAnswerFiles(const QString& directory) {
    return SpillStore::removeMatching(directory, QString::fromUtf16(TempFilePattern));
}

void ProxyEngine::initialise() {
    m_counter = 0;
}

bool ProxyEngine::listen(int port) {
    if (!m_listener.listen(port))
        return false;
    m_ownAddresses = m_ownAddressLookup ? m_ownAddressLookup() : QStringList();
    return true;
}

void ProxyEngine::stop(const std::function<void()>& clientSideClosed) {
    const Reactor::Busy busy(m_reactor);
    for (int i = 0; i <= LastSlotIndex; ++i) {
        m_log.stopping(Side::Lan, i);
        if (i == 0)
            m_listener.close(); // the listener stays, closed
        else
            retire(m_slots[size_t(i)]);
        QCoreApplication::processEvents();
    }
    if (clientSideClosed)
        clientSideClosed();
    // Each relay closed both its sides at once; the server side's count still shows.
    for (int i = 1; i <= LastSlotIndex; ++i) {
        m_log.stopping(Side::Wan, i);
        QCoreApplication::processEvents();
    }
}

void ProxyEngine::shutdown() {
    const Reactor::Busy busy(m_reactor);
    m_listener.close();
    for (int i = 1; i <= LastSlotIndex; ++i)
        retire(m_slots[size_t(i)]);
}

void ProxyEngine::retire(std::unique_ptr<Relay>& slot) {
    if (!slot)
        return;
    slot->drop();
    m_retired.push_back(std::move(slot));
}

Relay* ProxyEngine::find(int index, quint64 serial) const {
    if (index < 1 || index > LastSlotIndex)
        return nullptr;
    Relay* relay = m_slots[size_t(index)].get();
    return relay && relay->serial() == serial ? relay : nullptr;
}

// ---- admission -----------------------------------------------------------------

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
        m_log.notAdmitted(clientIP, true);
        return false;
    case Admission::NotListed:
        m_log.notAdmitted(clientIP, false);
        return false;
    }
    return false;
}

bool ProxyEngine::offered(const Listener::Client& client) {
    const SettingsStore::ReadScope oneLook(m_store);
    m_log.monitor().setStatus(Side::Lan, QStringLiteral("接続要求受信 : 0 , ") + client.address +
                                             u':' + QString::number(client.port));
    const bool admitted = admits(client.address);
    if (admitted)
        admit(client);
    m_log.connectionRequest(client.fd, client.address, client.port, m_counter);
    return admitted;
}

void ProxyEngine::admit(const Listener::Client& client) {
    m_counter += 1;
    if (m_counter > LastSlotIndex)
        m_counter = 1;
    std::unique_ptr<Relay>& slot = m_slots[size_t(m_counter)];
    // Whatever still ran in this slot is dropped without a word, its files too.
    retire(slot);
    slot = std::make_unique<Relay>(m_context, m_counter, ++m_serial);
    if (slot->start(client.fd))
        ++m_holding;
}

} // namespace Tarnwick
