#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Tarnwick {

class EventMonitor;
class Form2;
class MonitorArea;
class ProxyEngine;
class ProxySwitch;
class SettingsStore;

// The main window: the proxy switch with its port box, the monitor, and the
// buttons that open the other windows.
class Form1 : public QWidget {
    Q_OBJECT
public:
    Form1(SettingsStore& store, EventMonitor& monitor, ProxyEngine& engine, ProxySwitch& proxy,
          QWidget* parent = nullptr);
    ~Form1() override;

    // Runs once, before the window is ever shown: sweeps leftovers, creates the slot
    // timers and starts the proxy when "AutoStart" is "○".
    void initialise();

    // What the close box does: hide the window when a tray can bring it back, or end
    // the program otherwise.
    void setCloseBoxHides(bool hides) { m_closeBoxHides = hides; }
    // Called when the close box hid the window (the tray clears its check mark).
    void setOnHiddenByCloseBox(std::function<void()> callback) { m_onHidden = std::move(callback); }
    // Called when the close box ends the program.
    void setOnEndRequested(std::function<void()> callback) { m_onEnd = std::move(callback); }

    // The buttons' handlers, also reached from the tray menu.
    void commandStartClick();
    void commandStopClick();
    void commandOptionClick();
    void commandVersionClick();
    void commandHomePageClick();
    void commandInfoClick();

    void setHomePageHandler(std::function<void()> handler) { m_homePage = std::move(handler); }
    void setInfoHandler(std::function<void()> handler) { m_info = std::move(handler); }

    // Closes the options dialog, if open, without asking or saving (program end).
    void closeDialogs();

    QLineEdit* textPort() const { return m_textPort; }
    QPushButton* commandStart() const { return m_commandStart; }
    QPushButton* commandStop() const { return m_commandStop; }
    MonitorArea* monitorArea() const { return m_monitorArea; }

    // The user's close box: hides or ends as set above. Returns whether the window
    // may close.
    bool closeBox();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showStarted(bool started);
    void centreOnScreen();

    SettingsStore& m_store;
    EventMonitor& m_monitor;
    ProxyEngine& m_engine;
    ProxySwitch& m_proxy;
    QLabel* m_label1;
    QLineEdit* m_textPort;
    QPushButton* m_commandStart;
    QPushButton* m_commandStop;
    QPushButton* m_commandOption;
    QPushButton* m_commandHomePage;
    QPushButton* m_commandInfo;
    QPushButton* m_commandVersion;
    MonitorArea* m_monitorArea = nullptr;
    QPointer<Form2> m_form2;
    bool m_closeBoxHides = false;
    std::function<void()> m_onHidden;
    std::function<void()> m_onEnd;
    std::function<void()> m_homePage;
    std::function<void()> m_info;
};

// The version box's text and title.
QString versionText();
QString versionTitle();

} // namespace Tarnwick
