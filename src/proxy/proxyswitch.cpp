#include "proxy/proxyswitch.h"

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/requesttarget.h"
#include "settings/settingsstore.h"

#include <QDir>

namespace Tarnwick {

ProxySwitch::ProxySwitch(ProxyEngine& engine, SettingsStore& store, EventMonitor& monitor)
    : m_engine(engine), m_store(store), m_monitor(monitor) {}

std::optional<QString> ProxySwitch::initialise() {
    ProxyEngine::removeAnswerFiles(QDir::currentPath());
    m_engine.initialise();
    const QString autoStart =
        m_store.get(Setting::AutoStart).trimmed();
    if (choiceOf(autoStart) != ChoiceValue::Allow)
        return std::nullopt;
    return m_store.get(Setting::LocalPort);
}

ProxySwitch::StartResult ProxySwitch::start(const QString& portText) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("接続要求待ち"));
    const QString trimmed = portText.trimmed();
    if (trimmed.isEmpty())
        return StartResult::EmptyPort;
    if (isStarted())
        return StartResult::Started; // already listening: only the status text changes
    const auto port = parsePort(trimmed);
    if (!port || !m_engine.listen(*port)) {
        // Nothing listens: say so instead of showing a started proxy.
        m_monitor.setStatus(Side::Lan, QStringLiteral("開設失敗 : ") + trimmed);
        return StartResult::Failed;
    }
    return StartResult::Started;
}

bool ProxySwitch::isStarted() const {
    return m_engine.isListening();
}

void ProxySwitch::stop(const std::function<void()>& clientSideClosed) {
    m_monitor.setStatus(Side::Lan, QStringLiteral("切断中"));
    m_monitor.setStatus(Side::Wan, QStringLiteral("切断中"));
    m_engine.stop(clientSideClosed);
}

} // namespace Tarnwick
