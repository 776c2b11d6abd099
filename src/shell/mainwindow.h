#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Tarnwick {

class EventMonitor;
class MonitorArea;
class OptionsDialog;
class ProxySwitch;
class SettingsStore;
class ShellActions;

// The main window: the proxy switch with its port box, the monitor, and the
// buttons that open the other windows. Its buttons trigger the program's shared
// actions; what starts, stops and shows things is reached through those.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(SettingsStore& store, EventMonitor& monitor, ProxySwitch& proxy,
               ShellActions& actions, QWidget* parent = nullptr);
    ~MainWindow() override;

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

    // Starts the proxy on the port in the port box; an empty box is refused with a
    // message. Starting while started only writes the waiting status again.
    void startProxy();
    // Stops the proxy; the Start button comes back once every socket is closed.
    void stopProxy();
    // Shows the options dialog, modal to this window, and returns when it has closed;
    // every showing loads the store again. While it is open, this only brings it to
    // the front.
    void openOptions();
    void showVersion();

    // Closes the options dialog, if open, without asking or saving (program end).
    void closeDialogs();

    QLineEdit* portBox() const { return m_portBox; }
    QPushButton* startButton() const { return m_startButton; }
    QPushButton* stopButton() const { return m_stopButton; }
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
    ProxySwitch& m_proxy;
    QLabel* m_portLabel;
    QLineEdit* m_portBox;
    QPushButton* m_startButton;
    QPushButton* m_stopButton;
    QPushButton* m_optionsButton;
    QPushButton* m_homePageButton;
    QPushButton* m_usageButton;
    QPushButton* m_versionButton;
    MonitorArea* m_monitorArea = nullptr;
    QPointer<OptionsDialog> m_optionsDialog;
    bool m_closeBoxHides = false;
    std::function<void()> m_onHidden;
    std::function<void()> m_onEnd;
};

// The version box's text and title.
QString versionText();
QString versionTitle();

} // namespace Tarnwick
