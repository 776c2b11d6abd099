#include "windows/form3.h"

#include "shell/twips.h"

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

Form3::Form3(BrowserViewFactory factory, QWidget* parent)
    : QWidget(parent), m_factory(std::move(factory)) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【作者ﾎｰﾑﾍﾟｰｼﾞ】"));
    if (!m_factory)
        m_factory = browserViewFactory();

    m_commandBack = button(this, "Command_Back", QStringLiteral("Back"));
    m_commandForward = button(this, "Command_Forward", QStringLiteral("Forward"));
    m_commandStop = button(this, "Command_Stop", QStringLiteral("Stop"));
    m_commandRefresh = button(this, "Command_Refresh", QStringLiteral("Refresh"));
    m_text1 = new QLineEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_webBrowser1 = m_factory(this);
    m_webBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    m_label1 = new QLabel(this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setTextFormat(Qt::PlainText);

    placeInTwips(m_commandBack, 120, 120, 855, 375);
    placeInTwips(m_commandForward, 1080, 120, 855, 375);
    placeInTwips(m_commandStop, 2040, 120, 855, 375);
    placeInTwips(m_commandRefresh, 3000, 120, 855, 375);
    placeInTwips(m_text1, 120, 600, 7695, 270);
    placeInTwips(m_webBrowser1, 120, 960, 7695, 4215);
    placeInTwips(m_label1, 120, 5280, 7695, 255);
    resize(twipsToPixels(FormWidth, this), twipsToPixels(FormHeight, this));

    // The page area, the status line and the address box keep these distances
    // to the window's edges whatever size the window takes.
    m_heightMargin = height() - m_webBrowser1->height();
    m_widthMargin = width() - m_webBrowser1->width();
    m_labelWidthMargin = width() - m_label1->width();
    m_labelTopMargin = height() - m_label1->y();

    BrowserView* browser = m_webBrowser1;
    connect(m_commandBack, &QPushButton::clicked, browser, &BrowserView::goBack);
    connect(m_commandForward, &QPushButton::clicked, browser, &BrowserView::goForward);
    connect(m_commandStop, &QPushButton::clicked, browser, &BrowserView::stop);
    connect(m_commandRefresh, &QPushButton::clicked, browser, &BrowserView::refresh);
    m_text1->installEventFilter(this);

    connect(browser, &BrowserView::statusTextChange, m_label1, &QLabel::setText);
    connect(browser, &BrowserView::titleChange, this, &QWidget::setWindowTitle);
    connect(browser, &BrowserView::beforeNavigate, this, &Form3::browserBeforeNavigate);
    connect(browser, &BrowserView::documentComplete, this, &Form3::browserDocumentComplete);
    connect(browser, &BrowserView::navigateComplete, this, &Form3::focusBrowser);
    connect(browser, &BrowserView::navigateError, this, &Form3::focusBrowser);
    browser->setNewWindowHandler([this] { return browserNewWindow(); });
}

Form3::~Form3() = default;

void Form3::focusBrowser() {
    m_webBrowser1->setFocus();
}

bool Form3::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_text1 && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter || !key->text().isEmpty()) {
            m_rememberedLocation = m_webBrowser1->locationUrl();
            if (enter) {
                // The typed address goes to the browser; the box gets a blank in
                // place of the Enter, until the page's address replaces the text.
                const QString target = m_text1->text().trimmed();
                m_webBrowser1->navigate(target);
                m_text1->insert(QStringLiteral(" "));
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form3::browserBeforeNavigate() {
    m_rememberedLocation = m_webBrowser1->locationUrl();
    focusBrowser();
    // A window whose page area did not follow its size (made smaller than the
    // margins) is hidden; otherwise it shows itself, which is what makes a new
    // window opened by a page appear.
    if (m_webBrowser1->width() + m_widthMargin != width()
        || m_heightMargin + m_webBrowser1->height() != height())
        hide();
    else
        show();
}

void Form3::browserDocumentComplete() {
    focusBrowser();
    const QString location = m_webBrowser1->locationUrl();
    if (location != m_rememberedLocation)
        m_text1->setText(location);
    focusBrowser();
}

BrowserView* Form3::browserNewWindow() {
    // Not shown yet: it shows itself when its first navigation starts.
    auto* window = new Form3(m_factory);
    window->setAttribute(Qt::WA_DeleteOnClose);
    return window->webBrowser1();
}

void Form3::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A size the margins make negative is refused; the control keeps its size.
    const int browserHeight = height() - m_heightMargin;
    if (browserHeight >= 0)
        m_webBrowser1->resize(m_webBrowser1->width(), browserHeight);
    const int browserWidth = width() - m_widthMargin;
    if (browserWidth >= 0)
        m_webBrowser1->resize(browserWidth, m_webBrowser1->height());
    const int labelWidth = width() - m_labelWidthMargin;
    if (labelWidth >= 0) {
        m_label1->resize(labelWidth, m_label1->height());
        m_text1->resize(labelWidth, m_text1->height());
    }
    m_label1->move(m_label1->x(), height() - m_labelTopMargin);
}

HomePageWindow::HomePageWindow(BrowserViewFactory factory) : m_factory(std::move(factory)) {}

HomePageWindow::~HomePageWindow() {
    delete m_window;
}

Form3* HomePageWindow::open() {
    if (!m_window) {
        m_window = new Form3(m_factory ? m_factory : browserViewFactory());
        m_window->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_window->show();
    m_window->raise();
    m_window->webBrowser1()->navigate(HomePageUrl.toString());
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized)
                             | Qt::WindowMaximized);
    return m_window;
}

void HomePageWindow::unload() {
    if (m_window)
        m_window->close();
}

void closeAllForm3() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<Form3*>(widget))
            form->close();
    }
}

} // namespace Tarnwick
