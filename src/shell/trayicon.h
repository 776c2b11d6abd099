#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace Tarnwick {

class ShellActions;

// The tray icon and its popup menu. The menu holds the program's shared actions:
// showing and hiding the monitor, opening the other windows, starting and stopping
// the proxy, ending the program. A left click on the icon shows the monitor and
// brings a window that waits for the user to the front.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(ShellActions& actions, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Adds the icon to the tray, or takes it away.
    void showIcon();
    void hideIcon();

    QSystemTrayIcon* icon() const { return m_icon; }
    QMenu* menu() const { return m_menu; }
    QAction* showMonitorAction() const;
    // The menu item of that name.
    QAction* action(const char* name) const;

    // The window a left click brings to the front, if any is open: a dialog or the
    // header window, which the monitor may hide.
    void setWindowToRaise(std::function<QWidget*()> window) { m_windowToRaise = std::move(window); }

    // The icon was clicked or otherwise activated.
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    ShellActions& m_actions;
    std::function<QWidget*()> m_windowToRaise;
    QSystemTrayIcon* m_icon;
    QMenu* m_menu;
};

} // namespace Tarnwick
