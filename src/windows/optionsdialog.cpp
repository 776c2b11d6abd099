#include "windows/optionsdialog.h"

#include "platform/tls.h"
#include "proxy/requesttarget.h"
#include "settings/settingsstore.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"
#include "windows/optionsdialoglayout.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

namespace Tarnwick {

namespace {

// The count box takes digits only, and those only up to this many characters.
constexpr int CountMaxTypedLength = 3;

void setBoxEnabled(QWidget* box, bool enabled) {
    // Enabled boxes take the system's window background, disabled ones its button face.
    const QPalette system = QApplication::palette();
    const QColor colour =
        system.color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button);
    QPalette palette = box->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, colour);
    box->setPalette(palette);
    box->setEnabled(enabled);
}

// Shows a value from its start, as a long fake value is read from the left.
void showText(QLineEdit* box, const QString& text) {
    box->setText(text);
    box->setCursorPosition(0);
}

SaveFileHook& saveFileHook() {
    static SaveFileHook hook;
    return hook;
}

QString askSaveFile(QWidget* parent, const QString& caption, const QString& suggested) {
    if (saveFileHook())
        return saveFileHook()(caption, suggested);
    return QFileDialog::getSaveFileName(parent, caption, suggested,
                                        QStringLiteral("証明書 (*.crt *.pem);;全てのﾌｧｲﾙ (*)"));
}

template <typename T> T* named(const QHash<QString, QWidget*>& controls, const QString& name) {
    auto* control = qobject_cast<T*>(controls.value(name));
    Q_ASSERT_X(control, "OptionsDialog", "a control is missing from the layout");
    return control;
}

} // namespace

void setSaveFileHook(SaveFileHook hook) {
    saveFileHook() = std::move(hook);
}

OptionsDialog::OptionsDialog(SettingsStore& store, QWidget* parent)
    : QDialog(parent), m_store(store) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【設定】"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    bindControls(createOptionsDialogControls(this));
    connectControls();
    // The dialog keeps the size it was made with: the designed one, or more where a
    // frame grew for its captions, with the designed margin kept.
    const int margin = twipsToPixels(OptionsDialogMargin, this);
    QRect area(0, 0, twipsToPixels(OptionsDialogWidth, this),
               twipsToPixels(OptionsDialogHeight, this));
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        area = area.united(child->geometry().adjusted(0, 0, margin, margin));
    setFixedSize(area.size());
}

void OptionsDialog::bindControls(const QHash<QString, QWidget*>& controls) {
    auto option = [&](const QString& name) { return named<QRadioButton>(controls, name); };
    auto box = [&](const QString& name) { return named<QLineEdit>(controls, name); };
    // Option_NAME_Ok and Option_NAME_Xxx, and Option_NAME_Zzz for a three-way choice.
    auto choice = [&](const SettingKey& key, const QString& name, bool threeWay) {
        const QString prefix = QStringLiteral("Option_") + name;
        return ChoiceButtons{key, option(prefix + QStringLiteral("_Ok")),
                             option(prefix + QStringLiteral("_Xxx")),
                             threeWay ? option(prefix + QStringLiteral("_Zzz")) : nullptr};
    };

    m_autoStart = {Setting::AutoStart, option(QStringLiteral("Option_AutoStart_Yes")),
                   option(QStringLiteral("Option_AutoStart_No")), nullptr};
    m_localPort = box(QStringLiteral("Text_Local_Port"));
    m_desktopProxy = named<QCheckBox>(controls, QStringLiteral("Check_DesktopProxy"));
    m_proxy = {Setting::Proxy, option(QStringLiteral("Option_Proxy_Yes")),
               option(QStringLiteral("Option_Proxy_No")), nullptr};
    m_proxyServerLabel = named<QLabel>(controls, QStringLiteral("Label_Proxy_Server"));
    m_proxyServer = box(QStringLiteral("Text_Proxy_Server"));
    m_proxyPortLabel = named<QLabel>(controls, QStringLiteral("Label_Proxy_Port"));
    m_proxyPort = box(QStringLiteral("Text_Proxy_Port"));
    m_connect = {Setting::Connect, option(QStringLiteral("Option_Connect_Ok")),
                 option(QStringLiteral("Option_Connect_Xxx")),
                 option(QStringLiteral("Option_Connect_List"))};
    for (int i = 0; i < 10; ++i)
        m_machines[i] = box(QStringLiteral("Text_マシン名") + QString::number(i));
    m_countLan = box(QStringLiteral("Text_表示件数_Lan"));
    m_countWan = box(QStringLiteral("Text_表示件数_Wan"));

    struct FakeNames {
        QStringView name;
        SettingKey key;
        SettingKey fakeKey;
    };
    const FakeNames fakes[3] = {
        {u"Referer", Setting::Referer, Setting::RefererFake},
        {u"UserAgent", Setting::UserAgent, Setting::UserAgentFake},
        {u"IfModifiedSince", Setting::IfModifiedSince, Setting::IfModifiedSinceFake},
    };
    for (int k = 0; k < 3; ++k) {
        const QString name = fakes[k].name.toString();
        m_fakeHeaders[k] = {choice(fakes[k].key, name, true), fakes[k].fakeKey,
                            box(QStringLiteral("Text_") + name)};
    }
    m_cookie = choice(Setting::Cookie, QStringLiteral("Cookie"), false);
    m_setCookie = choice(Setting::SetCookie, QStringLiteral("SetCookie"), false);
    m_script = choice(Setting::Script, QStringLiteral("Script"), false);
    m_post = choice(Setting::Post, QStringLiteral("POST"), false);
    m_icoGet = choice(Setting::IcoGet, QStringLiteral("icoGET"), false);
    m_cabGet = choice(Setting::CabGet, QStringLiteral("cabGET"), true);
    m_connectTunnel = choice(Setting::ConnectTunnel, QStringLiteral("CONNECT"), true);
    m_connectTunnel.otherAllows = true;
    m_streamAnswers = choice(Setting::StreamAnswers, QStringLiteral("逐次転送"), true);
    m_interception = choice(Setting::HttpsInterception, QStringLiteral("HTTPS検査"), false);
    m_exclusionsLabel = named<QLabel>(controls, QStringLiteral("Label_検査除外"));
    m_exclusions = box(QStringLiteral("Text_検査除外"));
    m_extraCaLabel = named<QLabel>(controls, QStringLiteral("Label_検査用追加CA"));
    m_extraCa = box(QStringLiteral("Text_検査用追加CA"));
    m_exportCa = named<QPushButton>(controls, QStringLiteral("Command_CA_Export"));
    m_trustCa = named<QPushButton>(controls, QStringLiteral("Command_CA_Trust"));

    m_allReset = named<QPushButton>(controls, QStringLiteral("Command_All_Reset"));
    m_sendReset = named<QPushButton>(controls, QStringLiteral("Command_Send_Reset"));
    m_recvReset = named<QPushButton>(controls, QStringLiteral("Command_Recv_Reset"));
}

void OptionsDialog::connectControls() {
    for (QRadioButton* button : {m_proxy.allow, m_proxy.block})
        connect(button, &QRadioButton::toggled, this, &OptionsDialog::updateProxyBoxes);
    for (QRadioButton* button : {m_connect.allow, m_connect.block, m_connect.third})
        connect(button, &QRadioButton::toggled, this, &OptionsDialog::updateMachineBoxes);
    for (const FakeHeader& header : m_fakeHeaders)
        for (QRadioButton* button : {header.choice.allow, header.choice.block, header.choice.third})
            connect(button, &QRadioButton::toggled, this,
                    [this, &header] { updateFakeBox(header); });
    for (QRadioButton* button : {m_interception.allow, m_interception.block})
        connect(button, &QRadioButton::toggled, this, &OptionsDialog::updateInterceptionBoxes);
    connect(m_exportCa, &QPushButton::clicked, this, &OptionsDialog::exportCertificate);
    connect(m_trustCa, &QPushButton::clicked, this, &OptionsDialog::trustCertificate);

    connect(m_allReset, &QPushButton::clicked, this, &OptionsDialog::resetAll);
    connect(m_sendReset, &QPushButton::clicked, this, [this] {
        resetKeys(QStringLiteral("送信情報の設定をﾘｾｯﾄします。よろしいですか？"),
                  {Setting::Referer, Setting::RefererFake, Setting::UserAgent,
                   Setting::UserAgentFake, Setting::IfModifiedSince, Setting::IfModifiedSinceFake,
                   Setting::Cookie});
    });
    connect(m_recvReset, &QPushButton::clicked, this, [this] {
        resetKeys(QStringLiteral("受信情報の設定をﾘｾｯﾄします。よろしいですか？"),
                  {Setting::SetCookie, Setting::Script});
    });

    // The count box takes only what its key filter lets through: typing passes the
    // filter, and pasting, dropping and input-method text, which would go round it,
    // are refused.
    m_countLan->installEventFilter(this);
    m_countLan->setAcceptDrops(false);
    m_countLan->setAttribute(Qt::WA_InputMethodEnabled, false);
    m_countLan->setInputMethodHints(Qt::ImhDigitsOnly);
}

void OptionsDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Every showing starts from the store; a window coming back from the system
    // (spontaneous) keeps the user's edits.
    if (!event->spontaneous())
        load();
}

void OptionsDialog::loadChoice(const ChoiceButtons& choice) {
    const QString value = m_store.get(choice.key);
    QRadioButton* const other =
        choice.otherAllows ? choice.allow : (choice.third ? choice.third : choice.block);
    if (value == Choice::Allow)
        choice.allow->setChecked(true);
    else if (value == Choice::Block)
        choice.block->setChecked(true);
    else if (value == Choice::Third && choice.third)
        choice.third->setChecked(true);
    else
        other->setChecked(true);
}

void OptionsDialog::load() {
    loadChoice(m_autoStart);
    showText(m_localPort, m_store.get(Setting::LocalPort).trimmed());
    // Shows what the desktop has, which the store does not hold.
    showDesktopProxy();
    loadChoice(m_proxy);
    showText(m_proxyServer, m_store.get(Setting::ProxyServer).trimmed());
    showText(m_proxyPort, m_store.get(Setting::ProxyPort).trimmed());
    loadChoice(m_connect);
    for (int i = 0; i < 10; ++i)
        showText(m_machines[i], m_store.get(Setting::AllowedMachines[i]));
    showText(m_countLan, m_store.get(Setting::EventCountLan));
    showText(m_countWan, m_store.get(Setting::EventCountWan));
    for (const FakeHeader& header : m_fakeHeaders) {
        loadChoice(header.choice);
        showText(header.box, m_store.get(header.fakeKey).trimmed());
    }
    for (const ChoiceButtons* choice :
         {&m_cookie, &m_setCookie, &m_script, &m_post, &m_icoGet, &m_cabGet, &m_connectTunnel,
          &m_streamAnswers, &m_interception})
        loadChoice(*choice);
    showText(m_exclusions, m_store.get(Setting::InterceptionExclusions).trimmed());
    showText(m_extraCa, m_store.get(Setting::InterceptionExtraCa).trimmed());

    // A button checked while loading leaves the boxes as a click on it would.
    updateProxyBoxes();
    updateMachineBoxes();
    for (const FakeHeader& header : m_fakeHeaders)
        updateFakeBox(header);
    updateInterceptionBoxes();
}

void OptionsDialog::updateProxyBoxes() {
    const bool on = m_proxy.allow->isChecked();
    m_proxyServerLabel->setEnabled(on);
    m_proxyPortLabel->setEnabled(on);
    setBoxEnabled(m_proxyServer, on);
    setBoxEnabled(m_proxyPort, on);
}

void OptionsDialog::updateMachineBoxes() {
    const bool on = m_connect.third->isChecked();
    for (QLineEdit* box : m_machines)
        setBoxEnabled(box, on);
}

void OptionsDialog::updateFakeBox(const FakeHeader& header) {
    setBoxEnabled(header.box, header.choice.third->isChecked());
}

void OptionsDialog::updateInterceptionBoxes() {
    const bool on = m_interception.allow->isChecked();
    m_exclusionsLabel->setEnabled(on);
    m_extraCaLabel->setEnabled(on);
    setBoxEnabled(m_exclusions, on);
    setBoxEnabled(m_extraCa, on);
}

void OptionsDialog::exportCertificate() {
    // Asked first, so that a cancel leaves everything as it was.
    const QString file = askSaveFile(this, QStringLiteral("CA証明書の書き出し"),
                                     QDir::home().filePath(QStringLiteral("tarnwick-ca.crt")));
    if (file.isEmpty())
        return;
    CertificateAuthority authority;
    QString why;
    if (authority.prepare(&why) == CertificateAuthority::State::Absent ||
        !authority.exportCertificate(file, &why))
        showMessage(this, QStringLiteral("CA証明書を書き出せませんでした。\n") + why);
}

OptionsDialog::StoreChange OptionsDialog::choiceChange(const ChoiceButtons& choice) {
    QStringView value = Choice::Block;
    if (choice.allow->isChecked())
        value = Choice::Allow;
    else if (choice.third && choice.third->isChecked())
        value = Choice::Third;
    return {choice.key, value.toString()};
}

OptionsDialog::StoreChange OptionsDialog::textChange(const SettingKey& key, const QLineEdit* box) {
    const QString text = box->text().trimmed();
    // An empty box brings the default back.
    if (text.isEmpty())
        return {key, {}, true};
    return {key, text};
}

bool OptionsDialog::saveAll() {
    QList<StoreChange> changes{choiceChange(m_autoStart),
                               textChange(Setting::LocalPort, m_localPort)};

    // Without both proxy boxes the proxy stays off, whatever else happens below.
    changes.append({Setting::Proxy, Choice::Block.toString()});
    const QString server = m_proxyServer->text().trimmed();
    const QString port = m_proxyPort->text().trimmed();
    if (server.isEmpty())
        changes.append({Setting::ProxyServer, {}, true});
    if (port.isEmpty())
        changes.append({Setting::ProxyPort, {}, true});
    if (m_proxy.allow->isChecked()) {
        if (server.isEmpty() || port.isEmpty()) {
            // What comes before the check is saved all the same.
            if (apply(changes))
                showMessage(this,
                            QStringLiteral("ﾌﾟﾛｷｼを通す場合、『ｻｰﾊﾞｰ名』『ﾎﾟｰﾄ番号』が必要です。"));
            return false;
        }
        changes.append({Setting::Proxy, Choice::Allow.toString()});
        changes.append({Setting::ProxyServer, server});
        changes.append({Setting::ProxyPort, port});
    }

    changes.append(choiceChange(m_connect));
    // Empty addresses are saved too.
    for (int i = 0; i < 10; ++i)
        changes.append({Setting::AllowedMachines[i], m_machines[i]->text().trimmed()});
    changes.append(textChange(Setting::EventCountLan, m_countLan));
    changes.append(textChange(Setting::EventCountWan, m_countWan));
    for (const FakeHeader& header : m_fakeHeaders) {
        changes.append(choiceChange(header.choice));
        changes.append(textChange(header.fakeKey, header.box));
    }
    for (const ChoiceButtons* choice :
         {&m_cookie, &m_setCookie, &m_script, &m_post, &m_icoGet, &m_cabGet, &m_connectTunnel,
          &m_streamAnswers, &m_interception})
        changes.append(choiceChange(*choice));
    changes.append(textChange(Setting::InterceptionExclusions, m_exclusions));
    changes.append(textChange(Setting::InterceptionExtraCa, m_extraCa));
    if (!apply(changes))
        return false;
    // The settings are saved either way; a desktop that could not be set is told of.
    applyDesktopProxy();
    // Interception turned on makes the CA, so that its certificate can be exported at
    // once. The settings are saved either way: the monitor says why nothing is intercepted.
    if (m_interception.allow->isChecked()) {
        CertificateAuthority authority;
        QString why;
        if (authority.prepare(&why) == CertificateAuthority::State::Absent)
            showMessage(this, QStringLiteral("HTTPS検査用のCAを作れませんでした。\n") + why);
    }
    return true;
}

bool OptionsDialog::apply(const QList<StoreChange>& changes) {
    for (const StoreChange& change : changes) {
        // Removing a key that is absent fails, and is of no concern.
        if (change.remove) {
            m_store.remove(change.key);
        } else if (!m_store.save(change.key, change.value)) {
            showMessage(this, QStringLiteral("設定を保存できませんでした。"));
            return false;
        }
    }
    return true;
}

void OptionsDialog::closeWithoutSaving() {
    m_closingByProgram = true;
    close();
    m_closingByProgram = false;
}

void OptionsDialog::closeEvent(QCloseEvent* event) {
    // A dialog not on screen has nothing to ask about.
    if (m_closingByProgram || !isVisible()) {
        event->accept();
        return;
    }
    const MessageAnswer answer =
        showMessage(this, QStringLiteral("設定内容を保存しますか？"), MessageButtons::YesNo);
    if (answer != MessageAnswer::Yes || saveAll())
        event->accept();
    else
        event->ignore();
}

void OptionsDialog::keyPressEvent(QKeyEvent* event) {
    // Escape is the close box: the dialog asks whether to save, as it does there.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

void OptionsDialog::resetKeys(const QString& question, std::initializer_list<SettingKey> keys) {
    if (showMessage(this, question, MessageButtons::YesNo) != MessageAnswer::Yes)
        return;
    for (const SettingKey& key : keys)
        m_store.remove(key);
    load();
}

void OptionsDialog::resetAll() {
    if (showMessage(this, QStringLiteral("全ての設定をﾘｾｯﾄします。よろしいですか？"),
                    MessageButtons::YesNo) != MessageAnswer::Yes)
        return;
    m_store.removeAll();
    // The port is back at its default: a desktop pointed here follows it.
    if (const auto port = parsePort(m_store.get(Setting::LocalPort).trimmed()))
        runDesktopStep({QStringLiteral("desktop-proxy"), QStringLiteral("follow"),
                        QString::number(*port)});
    load();
}

bool OptionsDialog::filterCountKey(QKeyEvent* event) const {
    // True refuses the key. Keys that type no character (arrows, Home, Delete,
    // Tab) keep their usual meaning.
    if (event->key() == Qt::Key_Backspace)
        return false;
    if (event->matches(QKeySequence::Paste))
        return true;
    const QString text = event->text();
    const bool controlLetter = (event->modifiers() & Qt::ControlModifier) &&
                               event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z;
    if (text.isEmpty() && !controlLetter)
        return false;
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab)
        return false;
    if (text.size() == 1 && text.at(0) >= u'0' && text.at(0) <= u'9' &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
        return m_countLan->text().size() > CountMaxTypedLength;
    return true;
}

bool OptionsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_countLan) {
        switch (event->type()) {
        case QEvent::KeyPress:
            if (filterCountKey(static_cast<QKeyEvent*>(event))) {
                event->accept();
                return true;
            }
            break;
        case QEvent::ContextMenu: {
            // The box's own menu, without the paste that would skip the filter.
            auto* menuEvent = static_cast<QContextMenuEvent*>(event);
            QMenu* menu = m_countLan->createStandardContextMenu();
            for (QAction* action : menu->actions())
                if (action->objectName() == u"edit-paste")
                    action->setEnabled(false);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(menuEvent->globalPos());
            return true;
        }
        case QEvent::MouseButtonRelease:
            // The X11 selection paste.
            if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton)
                return true;
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace Tarnwick
