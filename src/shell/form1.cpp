#include "shell/form1.h"

#include "monitor/eventmonitor.h"
#include "proxy/proxyengine.h"
#include "proxy/proxyswitch.h"
#include "settings/settingsstore.h"
#include "shell/messagebox.h"
#include "shell/monitorarea.h"
#include "shell/twips.h"
#include "windows/form2.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace Tarnwick {

namespace {
// Client area of the window, in twips.
constexpr int FormWidth = 9255;
constexpr int FormHeight = 5790;

// Widens a control placed in twips just enough for its caption, keeping the design's
// proportions otherwise (a button's own size hint would make every button wide).
void fitCaption(QWidget* widget, const QString& caption) {
    const int needed = QFontMetrics(widget->font()).horizontalAdvance(caption) + 16;
    if (widget->width() < needed)
        widget->resize(needed, widget->height());
}

} // namespace

QString versionText() {
    return QStringLiteral("Tarnwick(Lite) Ver 4.1.01");
}

QString versionTitle() {
    return QStringLiteral("Tarnwick(Lite)【ﾊﾞｰｼﾞｮﾝ】");
}

Form1::Form1(SettingsStore& store, EventMonitor& monitor, ProxyEngine& engine, ProxySwitch& proxy,
             QWidget* parent)
    : QWidget(parent), m_store(store), m_monitor(monitor), m_engine(engine), m_proxy(proxy) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)"));

    m_label1 = new QLabel(QStringLiteral("ﾎﾟｰﾄ番号"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_textPort = new QLineEdit(this);
    m_textPort->setObjectName(QStringLiteral("Text_Port"));
    m_commandStart = namedButton(this, "Command_Start", QStringLiteral("開設"));
    m_commandStop = namedButton(this, "Command_Stop", QStringLiteral("切断"));
    m_commandOption = namedButton(this, "Command_Option", QStringLiteral("設定"));
    m_commandHomePage = namedButton(this, "Command_HomePage", QStringLiteral("作者ﾎｰﾑﾍﾟｰｼﾞ"));
    m_commandInfo = namedButton(this, "Command_Info", QStringLiteral("使用方法"));
    m_commandVersion = namedButton(this, "Command_Version", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));

    placeInTwips(m_label1, 120, 150, 855, 270);
    placeInTwips(m_textPort, 1000, 120, 735, 300);
    placeInTwips(m_commandStart, 1800, 90, 735, 360);
    placeInTwips(m_commandStop, 2580, 90, 735, 360);
    placeInTwips(m_commandOption, 3900, 90, 735, 360);
    placeInTwips(m_commandHomePage, 4680, 90, 1575, 360);
    placeInTwips(m_commandInfo, 6300, 90, 1035, 360);
    placeInTwips(m_commandVersion, 7380, 90, 1035, 360);
    // Keep the row in order if a caption needed more room than designed.
    QWidget* row[] = {m_commandStart,    m_commandStop, m_commandOption,
                      m_commandHomePage, m_commandInfo, m_commandVersion};
    fitCaption(m_label1, m_label1->text());
    for (QWidget* w : row)
        fitCaption(w, static_cast<QPushButton*>(w)->text());
    for (size_t k = 1; k < std::size(row); ++k) {
        const int gap = k == 2 ? twipsToPixels(585, this) : twipsToPixels(45, this);
        const int minLeft = row[k - 1]->geometry().right() + gap;
        if (row[k]->x() < minLeft)
            row[k]->move(minLeft, row[k]->y());
    }

    m_monitorArea = new MonitorArea(this, m_monitor);

    QRect area = twipsRect(0, 0, FormWidth, FormHeight, this);
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        area = area.united(child->geometry().adjusted(0, 0, twipsToPixels(120, this),
                                                      twipsToPixels(120, this)));
    setFixedSize(area.width(), area.height());

    connect(m_commandStart, &QPushButton::clicked, this, &Form1::commandStartClick);
    connect(m_commandStop, &QPushButton::clicked, this, &Form1::commandStopClick);
    connect(m_commandOption, &QPushButton::clicked, this, &Form1::commandOptionClick);
    connect(m_commandVersion, &QPushButton::clicked, this, &Form1::commandVersionClick);
    connect(m_commandHomePage, &QPushButton::clicked, this, &Form1::commandHomePageClick);
    connect(m_commandInfo, &QPushButton::clicked, this, &Form1::commandInfoClick);
}

Form1::~Form1() = default;

void Form1::initialise() {
    const std::optional<QString> autoPort = m_proxy.initialise();
    centreOnScreen();
    if (autoPort) {
        m_textPort->setText(*autoPort);
        commandStartClick();
    }
}

void Form1::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->geometry();
    move(available.x() + (available.width() - width()) / 2,
         available.y() + (available.height() - height()) / 2);
}

void Form1::showStarted(bool started) {
    m_commandStart->setEnabled(!started);
    m_textPort->setReadOnly(started);
}

void Form1::commandStartClick() {
    switch (m_proxy.start(m_textPort->text())) {
    case ProxySwitch::StartResult::EmptyPort:
        showMessage(this, QStringLiteral("ポート番号を指定してください。"));
        break;
    case ProxySwitch::StartResult::Started:
        showStarted(true);
        break;
    case ProxySwitch::StartResult::Failed:
        showStarted(false);
        break;
    }
}

void Form1::commandStopClick() {
    QPointer<Form1> self(this);
    m_proxy.stop([self] {
        if (self)
            self->showStarted(false);
    });
}

void Form1::commandOptionClick() {
    // Created on first use and reused; every showing loads the store again.
    if (!m_form2)
        m_form2 = new Form2(m_store, this);
    m_form2->exec();
}

void Form1::closeDialogs() {
    if (m_form2 && m_form2->isVisible())
        m_form2->closeWithoutSaving();
}

void Form1::commandVersionClick() {
    showMessage(this, MessageRequest{versionTitle(), versionText(), MessageButtons::Ok, false});
}

void Form1::commandHomePageClick() {
    if (m_homePage)
        m_homePage();
}

void Form1::commandInfoClick() {
    if (m_info)
        m_info();
}

void Form1::closeEvent(QCloseEvent* event) {
    // Only the user's close box is intercepted; the program closing it goes ahead.
    if (event->spontaneous() && !closeBox())
        event->ignore();
    else
        event->accept();
}

bool Form1::closeBox() {
    if (m_closeBoxHides) {
        hide();
        if (m_onHidden)
            m_onHidden();
        return false;
    }
    if (m_onEnd)
        m_onEnd();
    return true;
}

} // namespace Tarnwick
