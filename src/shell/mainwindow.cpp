#include "shell/mainwindow.h"

#include "proxy/proxyswitch.h"
#include "settings/settingskeys.h"
#include "shell/monitorarea.h"
#include "shell/shellactions.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"
#include "windows/optionsdialog.h"

#include <QAction>
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
    return ProgramVersion.toString();
}

QString versionTitle() {
    return QStringLiteral("Tarnwick(Lite)【ﾊﾞｰｼﾞｮﾝ】");
}

MainWindow::MainWindow(SettingsStore& store, EventMonitor& monitor, ProxySwitch& proxy,
                       ShellActions& actions, QWidget* parent)
    : QWidget(parent), m_store(store), m_monitor(monitor), m_proxy(proxy) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)"));

    m_portLabel = new QLabel(QStringLiteral("ﾎﾟｰﾄ番号"), this);
    m_portLabel->setObjectName(QStringLiteral("Label1"));
    m_portBox = new QLineEdit(this);
    m_portBox->setObjectName(QStringLiteral("Text_Port"));
    m_startButton = namedButton(this, "Command_Start", QStringLiteral("開設"));
    m_stopButton = namedButton(this, "Command_Stop", QStringLiteral("切断"));
    m_optionsButton = namedButton(this, "Command_Option", QStringLiteral("設定"));
    m_homePageButton = namedButton(this, "Command_HomePage", QStringLiteral("作者ﾎｰﾑﾍﾟｰｼﾞ"));
    m_usageButton = namedButton(this, "Command_Info", QStringLiteral("使用方法"));
    m_versionButton = namedButton(this, "Command_Version", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));

    placeInTwips(m_portLabel, 120, 150, 855, 270);
    placeInTwips(m_portBox, 1000, 120, 735, 300);
    placeInTwips(m_startButton, 1800, 90, 735, 360);
    placeInTwips(m_stopButton, 2580, 90, 735, 360);
    placeInTwips(m_optionsButton, 3900, 90, 735, 360);
    placeInTwips(m_homePageButton, 4680, 90, 1575, 360);
    placeInTwips(m_usageButton, 6300, 90, 1035, 360);
    placeInTwips(m_versionButton, 7380, 90, 1035, 360);
    // Keep the row in order if a caption needed more room than designed.
    QWidget* row[] = {m_startButton,    m_stopButton,  m_optionsButton,
                      m_homePageButton, m_usageButton, m_versionButton};
    fitCaption(m_portLabel, m_portLabel->text());
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
        area = area.united(
            child->geometry().adjusted(0, 0, twipsToPixels(120, this), twipsToPixels(120, this)));
    setFixedSize(area.width(), area.height());

    const std::pair<QPushButton*, QAction*> triggers[] = {
        {m_startButton, actions.start},       {m_stopButton, actions.stop},
        {m_optionsButton, actions.options},   {m_versionButton, actions.version},
        {m_homePageButton, actions.homePage}, {m_usageButton, actions.usage},
    };
    for (const auto& [button, action] : triggers)
        connect(button, &QPushButton::clicked, action, &QAction::trigger);
}

MainWindow::~MainWindow() = default;

void MainWindow::initialise() {
    const std::optional<QString> autoPort = m_proxy.initialise();
    centreOnScreen();
    if (autoPort) {
        m_portBox->setText(*autoPort);
        startProxy();
    }
}

void MainWindow::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->geometry();
    move(available.x() + (available.width() - width()) / 2,
         available.y() + (available.height() - height()) / 2);
}

void MainWindow::showStarted(bool started) {
    m_startButton->setEnabled(!started);
    m_portBox->setReadOnly(started);
}

void MainWindow::startProxy() {
    switch (m_proxy.start(m_portBox->text())) {
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

void MainWindow::stopProxy() {
    QPointer<MainWindow> self(this);
    m_proxy.stop([self] {
        if (self)
            self->showStarted(false);
    });
}

void MainWindow::openOptions() {
    // Created on first use and reused; every showing loads the store again. It blocks
    // this window only: the tray and the other windows go on answering.
    if (!m_optionsDialog) {
        m_optionsDialog = new OptionsDialog(m_store, this);
        m_optionsDialog->setWindowModality(Qt::WindowModal);
    }
    // Asked for again while open (from the tray): brought to the front, not reloaded.
    if (m_optionsDialog->isVisible()) {
        m_optionsDialog->raise();
        m_optionsDialog->activateWindow();
        return;
    }
    m_optionsDialog->exec();
}

void MainWindow::closeDialogs() {
    if (m_optionsDialog && m_optionsDialog->isVisible())
        m_optionsDialog->closeWithoutSaving();
}

void MainWindow::showVersion() {
    showMessage(this, MessageRequest{versionTitle(), versionText(), MessageButtons::Ok, false});
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Only the user's close box is intercepted; the program closing it goes ahead.
    if (event->spontaneous() && !closeBox())
        event->ignore();
    else
        event->accept();
}

bool MainWindow::closeBox() {
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
