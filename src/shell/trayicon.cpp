#include "shell/trayicon.h"

#include "shell/shellactions.h"
#include "widgets/programicon.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace Tarnwick {

TrayIcon::TrayIcon(ShellActions& actions, QObject* parent)
    : QObject(parent), m_actions(actions), m_icon(new QSystemTrayIcon(this)), m_menu(new QMenu) {
    m_menu->setObjectName(QStringLiteral("mnuPopup"));
    m_menu->setTitle(QStringLiteral("PopUp"));
    auto separator = [this](const char* name) {
        m_menu->addSeparator()->setObjectName(QString::fromLatin1(name));
    };
    m_menu->addAction(actions.showMonitor);
    m_menu->addAction(actions.options);
    separator("LL1");
    m_menu->addAction(actions.version);
    separator("LL2");
    m_menu->addAction(actions.homePage);
    separator("LL3");
    m_menu->addAction(actions.usage);
    separator("LL4");
    m_menu->addAction(actions.start);
    m_menu->addAction(actions.stop);
    separator("LL5");
    m_menu->addAction(actions.exit);

    m_icon->setContextMenu(m_menu);
    m_icon->setIcon(programIcon());
    m_icon->setToolTip(QString());
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
}

TrayIcon::~TrayIcon() {
    delete m_menu;
}

void TrayIcon::showIcon() {
    m_icon->show();
}

void TrayIcon::hideIcon() {
    m_icon->hide();
}

QAction* TrayIcon::showMonitorAction() const {
    return m_actions.showMonitor;
}

QAction* TrayIcon::action(const char* name) const {
    for (QAction* a : m_menu->actions())
        if (a->objectName() == QLatin1String(name))
            return a;
    return nullptr;
}

void TrayIcon::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    // A left click shows the monitor when hidden; it never brings it to the front.
    // Triggering the checkable action marks it and shows the monitor.
    if (!m_actions.showMonitor->isChecked())
        m_actions.showMonitor->trigger();
    // A dialog or the header window would otherwise stay behind the monitor.
    if (QWidget* window = m_windowToRaise ? m_windowToRaise() : nullptr) {
        window->raise();
        window->activateWindow();
    }
}

} // namespace Tarnwick
