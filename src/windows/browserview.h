#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace Tarnwick {

// The page area of the home-page browser: the few operations and events the
// window needs of an embedded web browser, so the window does not depend on
// which engine draws the pages.
class BrowserView : public QWidget {
    Q_OBJECT
public:
    // Makes the window a page's new window opens in and returns that window's
    // view, or nullptr to refuse the new window.
    using NewWindowHandler = std::function<BrowserView*()>;

    explicit BrowserView(QWidget* parent = nullptr) : QWidget(parent) {}

    // A failing operation (no history, an address that cannot be loaded) does
    // nothing and reports nothing.
    virtual void navigate(const QString& url) = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    virtual void refresh() = 0;
    virtual void stop() = 0;
    // The address of the page shown; while a navigation is being decided, still
    // the page being left.
    virtual QString locationUrl() const = 0;

    void setNewWindowHandler(NewWindowHandler handler) { m_newWindow = std::move(handler); }

signals:
    void statusTextChange(const QString& text);
    void titleChange(const QString& text);
    // A navigation of the page is about to start; locationUrl() is still the old page.
    void beforeNavigate();
    // The page's address has changed to the new one.
    void navigateComplete();
    // The page has finished loading, or failed to.
    void documentComplete();
    void navigateError();

protected:
    // For engines: the view a page's new window should open in, or nullptr.
    BrowserView* requestNewWindow() const { return m_newWindow ? m_newWindow() : nullptr; }

private:
    NewWindowHandler m_newWindow;
};

using BrowserViewFactory = std::function<BrowserView*(QWidget* parent)>;

// The program installs its web engine here at start-up. Without one, a plain
// text browser shows the pages that ship with the program.
void setBrowserViewFactory(BrowserViewFactory factory);
BrowserViewFactory browserViewFactory();

} // namespace Tarnwick
