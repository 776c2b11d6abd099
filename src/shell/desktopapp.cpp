#include "shell/desktopapp.h"

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"
#include "shell/form0.h"
#include "shell/form1.h"
#include "shell/messagebox.h"

#include <QApplication>
#include <QDir>

namespace Tarnwick {

DesktopApp::DesktopApp() : DesktopApp(std::unique_ptr<SettingsStore>()) {}

DesktopApp::DesktopApp(std::unique_ptr<SettingsStore> store)
    : m_startDirectory(QDir::currentPath()),
      m_store(store ? std::move(store) : std::make_unique<SettingsStore>()),
      m_monitor(std::make_unique<EventMonitor>(*m_store)),
      m_engine(std::make_unique<ProxyEngine>(*m_store, *m_monitor)),
      m_proxy(std::make_unique<ProxySwitch>(*m_engine, *m_store, *m_monitor)) {
    m_engine->setCabinetQuestion([this](const QString& text) {
        return showMessage(m_form1.get(), text, MessageButtons::YesNo) == MessageAnswer::Yes;
    });
}

DesktopApp::~DesktopApp() {
    m_homePage.unload();
    m_usage.unload();
    m_form0.reset();
    m_form1.reset();
}

void DesktopApp::start(bool useTray) {
    m_form1 = std::make_unique<Form1>(*m_store, *m_monitor, *m_engine, *m_proxy);
    m_form1->setOnEndRequested([this] { end(); });
    m_form1->setHomePageHandler([this] { m_homePage.open(); });
    m_form1->setInfoHandler([this] { m_usage.open(); });
    m_form1->initialise();
    if (useTray) {
        m_form0 = std::make_unique<Form0>(*this);
        m_form0->showIcon();
    } else {
        // Nothing could bring a hidden monitor back: show it, its close box ends.
        m_form1->show();
    }
}

void DesktopApp::end() {
    if (m_ended)
        return;
    m_ended = true;
    if (m_form0)
        m_form0->trayIcon()->hide();
    // Every window goes, the monitor and any dialog still open included; an open
    // options dialog closes without its save question.
    m_form1->closeDialogs();
    m_homePage.unload();
    m_usage.unload();
    closeAllForm3();
    QApplication::closeAllWindows();
    m_engine->shutdown();
    QDir::setCurrent(m_startDirectory);
    ProxyEngine::removeAnswerFiles(m_startDirectory);
    QCoreApplication::quit();
}

} // namespace Tarnwick
