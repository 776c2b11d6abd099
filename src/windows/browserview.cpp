#include "windows/browserview.h"

#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace Tarnwick {

namespace {

// The engine of last resort: shows the program's own pages (resources and local
// files) without a web engine. Other addresses are refused.
class TextBrowserView : public BrowserView {
public:
    explicit TextBrowserView(QWidget* parent) : BrowserView(parent) {
        m_text = new Text(this);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_text);
        setFocusProxy(m_text);
        connect(m_text, &QTextBrowser::highlighted, this,
                [this](const QUrl& url) { emit statusTextChange(url.toString()); });
    }

    void navigate(const QString& url) override {
        const QUrl target = QUrl::fromUserInput(url);
        if (target.isValid())
            m_text->setSource(target);
    }
    void goBack() override { m_text->backward(); }
    void goForward() override { m_text->forward(); }
    void refresh() override {
        if (!m_text->source().isEmpty())
            m_text->reload();
    }
    void stop() override {}
    QString locationUrl() const override { return m_text->source().toString(); }

private:
    class Text : public QTextBrowser {
    public:
        explicit Text(TextBrowserView* owner) : QTextBrowser(owner), m_owner(owner) {}

    protected:
        void doSetSource(const QUrl& url, QTextDocument::ResourceType type) override {
            emit m_owner->beforeNavigate();
            const QString scheme = url.scheme();
            if (scheme != u"qrc" && scheme != u"file") {
                emit m_owner->navigateError();
                return;
            }
            QTextBrowser::doSetSource(url, type);
            emit m_owner->navigateComplete();
            emit m_owner->titleChange(documentTitle());
            emit m_owner->documentComplete();
        }

    private:
        TextBrowserView* m_owner;
    };

    Text* m_text;
};

BrowserViewFactory& installedFactory() {
    static BrowserViewFactory factory;
    return factory;
}

} // namespace

void setBrowserViewFactory(BrowserViewFactory factory) {
    installedFactory() = std::move(factory);
}

BrowserViewFactory browserViewFactory() {
    if (installedFactory())
        return installedFactory();
    return [](QWidget* parent) -> BrowserView* { return new TextBrowserView(parent); };
}

} // namespace Tarnwick
