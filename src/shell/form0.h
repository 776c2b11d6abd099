#pragma once

#include <QObject>
#include <QSystemTrayIcon>

class QAction;
class QMenu;

namespace Tarnwick {

class DesktopApp;

// The tray: the icon and its popup menu, through which the monitor is shown and
// hidden, the other windows opened, the proxy started and stopped, and the program
// ended.
class Form0 : public QObject {
    Q_OBJECT
public:
    explicit Form0(DesktopApp& app, QObject* parent = nullptr);
    ~Form0() override;

    // Adds the icon to the tray.
    void showIcon();

    QSystemTrayIcon* trayIcon() const { return m_tray; }
    QMenu* menu() const { return m_menu; }
    QAction* mnMain() const { return m_mnMain; }
    QAction* action(const char* name) const;

    // The tray icon was clicked or otherwise activated.
    void activated(QSystemTrayIcon::ActivationReason reason);
    void mnMainClick();
    void mnFinClick();

private:
    DesktopApp& m_app;
    QSystemTrayIcon* m_tray;
    QMenu* m_menu;
    QAction* m_mnMain;
};

} // namespace Tarnwick
