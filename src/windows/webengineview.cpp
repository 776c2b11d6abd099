#include "windows/webengineview.h"

#include "windows/browserview.h"

#include <QCoreApplication>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <unistd.h>

namespace Tarnwick {

namespace {

class WebEngineBrowserView;

class Page : public QWebEnginePage {
public:
    Page(WebEngineBrowserView* owner, QObject* parent);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;

private:
    WebEngineBrowserView* m_owner;
};

class WebEngineBrowserView : public BrowserView {
public:
    explicit WebEngineBrowserView(QWidget* parent) : BrowserView(parent) {
        m_view = new QWebEngineView(this);
        m_page = new Page(this, m_view);
        m_view->setPage(m_page);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_view);
        setFocusProxy(m_view);

        connect(m_page, &QWebEnginePage::linkHovered, this, &BrowserView::statusTextChange);
        connect(m_page, &QWebEnginePage::titleChanged, this, &BrowserView::titleChange);
        connect(m_page, &QWebEnginePage::urlChanged, this, &BrowserView::navigateComplete);
        connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
            if (!ok)
                emit navigateError();
            emit documentComplete();
        });
    }

    void navigate(const QString& url) override {
        const QUrl target = QUrl::fromUserInput(url);
        if (target.isValid())
            m_view->load(target);
    }
    void goBack() override { m_view->back(); }
    void goForward() override { m_view->forward(); }
    void refresh() override { m_view->reload(); }
    void stop() override { m_view->stop(); }
    QString locationUrl() const override { return m_view->url().toString(); }

    Page* page() const { return m_page; }
    void announceNavigation() { emit beforeNavigate(); }
    BrowserView* newWindow() const { return requestNewWindow(); }

private:
    QWebEngineView* m_view;
    Page* m_page;
};

Page::Page(WebEngineBrowserView* owner, QObject* parent)
    : QWebEnginePage(QWebEngineProfile::defaultProfile(), parent), m_owner(owner) {}

bool Page::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    if (isMainFrame)
        m_owner->announceNavigation();
    return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}

QWebEnginePage* Page::createWindow(WebWindowType) {
    auto* view = dynamic_cast<WebEngineBrowserView*>(m_owner->newWindow());
    return view ? view->page() : nullptr;
}

} // namespace

void prepareWebEngine() {
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArrayLiteral("1"));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void installWebEngineBrowser() {
    setBrowserViewFactory([](QWidget* parent) -> BrowserView* {
        return new WebEngineBrowserView(parent);
    });
}

} // namespace Tarnwick
