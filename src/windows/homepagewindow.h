#pragma once

#include "windows/browserview.h"

#include <QPointer>
#include <QString>
#include <QStringView>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Tarnwick {

// The maker's home page: the program's own page, shipped inside it, so it opens
// offline and without the proxy.
inline constexpr QStringView HomePageUrl = u"qrc:/tarnwick/home/index.html";

// A small web browser window: Back, Forward, Stop and Refresh, an address box,
// the page area and a status line. Pages that ask for a new window get another
// window of the same kind.
class HomePageWindow : public QWidget {
    Q_OBJECT
public:
    // `factory` makes the page area; new windows opened by pages use it too.
    explicit HomePageWindow(BrowserViewFactory factory = browserViewFactory(),
                            QWidget* parent = nullptr);
    ~HomePageWindow() override;

    BrowserView* browser() const { return m_browser; }
    QLineEdit* addressBox() const { return m_addressBox; }
    QLabel* statusLine() const { return m_statusLine; }
    QPushButton* backButton() const { return m_backButton; }
    QPushButton* forwardButton() const { return m_forwardButton; }
    QPushButton* stopButton() const { return m_stopButton; }
    QPushButton* refreshButton() const { return m_refreshButton; }

    // The location stored at the last key in the address box or the last
    // navigation start.
    const QString& rememberedLocation() const { return m_rememberedLocation; }

    // The four distances, in pixels, by which the page area, the status line and
    // the address box follow the window's size.
    int heightMargin() const { return m_heightMargin; }
    int widthMargin() const { return m_widthMargin; }
    int labelWidthMargin() const { return m_labelWidthMargin; }
    int labelTopMargin() const { return m_labelTopMargin; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void browserBeforeNavigate();
    void browserDocumentComplete();
    BrowserView* browserNewWindow();
    void focusBrowser();

    BrowserViewFactory m_factory;
    QPushButton* m_backButton;
    QPushButton* m_forwardButton;
    QPushButton* m_stopButton;
    QPushButton* m_refreshButton;
    QLineEdit* m_addressBox;
    BrowserView* m_browser;
    QLabel* m_statusLine;
    QString m_rememberedLocation;
    int m_heightMargin = 0;
    int m_widthMargin = 0;
    int m_labelWidthMargin = 0;
    int m_labelTopMargin = 0;
};

// The home-page browser reached from the main window and the tray: one window,
// created at the first opening and reused until the user closes it.
class HomePageOpener {
public:
    // Without a factory, the one installed when the window is made is used.
    explicit HomePageOpener(BrowserViewFactory factory = {});
    ~HomePageOpener();

    // Creates the window if needed, shows it, goes to the home page, maximises it.
    HomePageWindow* open();
    HomePageWindow* window() const { return m_window; }
    // Closes the window (its page and history go with it).
    void unload();

private:
    BrowserViewFactory m_factory;
    QPointer<HomePageWindow> m_window;
};

// Closes every home-page browser window, the ones pages opened included.
void closeAllHomePageWindows();

} // namespace Tarnwick
