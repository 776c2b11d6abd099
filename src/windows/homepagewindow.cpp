#include "windows/homepagewindow.h"

#include "widgets/twips.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace Tarnwick {

namespace {
// Client area of the window as designed, in twips.
constexpr int FormWidth = 7935;
constexpr int FormHeight = 5595;

QPushButton* button(QWidget* parent, const char* name, const QString& caption) {
    QPushButton* b = namedButton(parent, name, caption);
    b->setAutoDefault(false);
    return b;
}
} // namespace

HomePageWindow::HomePageWindow(BrowserViewFactory factory, QWidget* parent)
    : QWidget(parent), m_factory(std::move(factory)) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【作者ﾎｰﾑﾍﾟｰｼﾞ】"));
    if (!m_factory)
        m_factory = browserViewFactory();

    m_backButton = button(this, "Command_Back", QStringLiteral("Back"));
    m_forwardButton = button(this, "Command_Forward", QStringLiteral("Forward"));
    m_stopButton = button(this, "Command_Stop", QStringLiteral("Stop"));
    m_refreshButton = button(this, "Command_Refresh", QStringLiteral("Refresh"));
    m_addressBox = new QLineEdit(this);
    m_addressBox->setObjectName(QStringLiteral("Text1"));
    m_browser = m_factory(this);
    m_browser->setObjectName(QStringLiteral("WebBrowser1"));
    m_statusLine = new QLabel(this);
    m_statusLine->setObjectName(QStringLiteral("Label1"));
    m_statusLine->setTextFormat(Qt::PlainText);

    placeInTwips(m_backButton, 120, 120, 855, 375);
    placeInTwips(m_forwardButton, 1080, 120, 855, 375);
    placeInTwips(m_stopButton, 2040, 120, 855, 375);
    placeInTwips(m_refreshButton, 3000, 120, 855, 375);
    placeInTwips(m_addressBox, 120, 600, 7695, 270);
    placeInTwips(m_browser, 120, 960, 7695, 4215);
    placeInTwips(m_statusLine, 120, 5280, 7695, 255);
    resize(twipsToPixels(FormWidth, this), twipsToPixels(FormHeight, this));

    // The page area, the status line and the address box keep these distances
    // to the window's edges whatever size the window takes.
    m_heightMargin = height() - m_browser->height();
    m_widthMargin = width() - m_browser->width();
    m_labelWidthMargin = width() - m_statusLine->width();
    m_labelTopMargin = height() - m_statusLine->y();

    connect(m_backButton, &QPushButton::clicked, m_browser, &BrowserView::goBack);
    connect(m_forwardButton, &QPushButton::clicked, m_browser, &BrowserView::goForward);
    connect(m_stopButton, &QPushButton::clicked, m_browser, &BrowserView::stop);
    connect(m_refreshButton, &QPushButton::clicked, m_browser, &BrowserView::refresh);
    m_addressBox->installEventFilter(this);

    connect(m_browser, &BrowserView::statusTextChange, m_statusLine, &QLabel::setText);
    connect(m_browser, &BrowserView::titleChange, this, &QWidget::setWindowTitle);
    connect(m_browser, &BrowserView::beforeNavigate, this, &HomePageWindow::browserBeforeNavigate);
    connect(m_browser, &BrowserView::documentComplete, this,
            &HomePageWindow::browserDocumentComplete);
    connect(m_browser, &BrowserView::navigateComplete, this, &HomePageWindow::focusBrowser);
    connect(m_browser, &BrowserView::navigateError, this, &HomePageWindow::focusBrowser);
    m_browser->setNewWindowHandler([this] { return browserNewWindow(); });
}

HomePageWindow::~HomePageWindow() = default;

void HomePageWindow::focusBrowser() {
    m_browser->setFocus();
}

bool HomePageWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_addressBox && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter || !key->text().isEmpty()) {
            m_rememberedLocation = m_browser->locationUrl();
            if (enter) {
                // The typed address goes to the browser; the box gets a blank in
                // place of the Enter, until the page's address replaces the text.
                const QString target = m_addressBox->text().trimmed();
                m_browser->navigate(target);
                m_addressBox->insert(QStringLiteral(" "));
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void HomePageWindow::browserBeforeNavigate() {
    m_rememberedLocation = m_browser->locationUrl();
    focusBrowser();
    // A window whose page area did not follow its size (made smaller than the
    // margins) is hidden; otherwise it shows itself, which is what makes a new
    // window opened by a page appear.
    if (m_browser->width() + m_widthMargin != width() ||
        m_heightMargin + m_browser->height() != height())
        hide();
    else
        show();
}

void HomePageWindow::browserDocumentComplete() {
    focusBrowser();
    const QString location = m_browser->locationUrl();
    if (location != m_rememberedLocation)
        m_addressBox->setText(location);
    focusBrowser();
}

BrowserView* HomePageWindow::browserNewWindow() {
    // Not shown yet: it shows itself when its first navigation starts.
    auto* window = new HomePageWindow(m_factory);
    window->setAttribute(Qt::WA_DeleteOnClose);
    return window->browser();
}

void HomePageWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A size the margins make negative is refused; the control keeps its size.
    const int browserHeight = height() - m_heightMargin;
    if (browserHeight >= 0)
        m_browser->resize(m_browser->width(), browserHeight);
    const int browserWidth = width() - m_widthMargin;
    if (browserWidth >= 0)
        m_browser->resize(browserWidth, m_browser->height());
    const int labelWidth = width() - m_labelWidthMargin;
    if (labelWidth >= 0) {
        m_statusLine->resize(labelWidth, m_statusLine->height());
        m_addressBox->resize(labelWidth, m_addressBox->height());
    }
    m_statusLine->move(m_statusLine->x(), height() - m_labelTopMargin);
}

HomePageOpener::HomePageOpener(BrowserViewFactory factory) : m_factory(std::move(factory)) {}

HomePageOpener::~HomePageOpener() {
    delete m_window;
}

HomePageWindow* HomePageOpener::open() {
    if (!m_window) {
        m_window = new HomePageWindow(m_factory ? m_factory : browserViewFactory());
        m_window->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_window->show();
    m_window->raise();
    m_window->browser()->navigate(HomePageUrl.toString());
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) |
                             Qt::WindowMaximized);
    return m_window;
}

void HomePageOpener::unload() {
    if (m_window)
        m_window->close();
}

void closeAllHomePageWindows() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<HomePageWindow*>(widget))
            window->close();
    }
}

} // namespace Tarnwick
