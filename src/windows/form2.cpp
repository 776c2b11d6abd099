#include "windows/form2.h"

#include "settings/settingsstore.h"
#include "shell/messagebox.h"
#include "shell/twips.h"
#include "shell/uifonts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

namespace Tarnwick {

namespace {

// Client area in twips: the design's right-most edge is 9855 and its lowest 7215.
constexpr int ClientWidth = 9975;
constexpr int ClientHeight = 7335;
// Heights of one-line controls, and the least room between neighbours in a row.
constexpr int OptionHeight = 255;
constexpr int BoxHeight = 270;
constexpr int MachineBoxHeight = 240;
constexpr int RowGap = 105;
// The count box takes digits only, and those only up to this many characters.
constexpr int CountMaxTypedLength = 3;

const QString CaptionAllowSend = QStringLiteral("送信を許可する");
const QString CaptionBlockHeader = QStringLiteral("送信をﾌﾞﾛｯｸする　（HTTPﾍｯﾀﾞｰから削除する）");
const QString CaptionFake = QStringLiteral("偽装して送信する");

// Builds the controls at their designed places and remembers what has to line up
// once the captions have been measured.
class Builder {
public:
    explicit Builder(QWidget* window) : m_window(window) {}

    QGroupBox* frame(QWidget* parent, const QString& name, const QString& caption, int left,
                     int top, int width, int height) {
        auto* box = new QGroupBox(caption, parent ? parent : m_window);
        box->setObjectName(name);
        placeInTwips(box, left, top, width, height);
        widenToFitCaption(box);
        return box;
    }

    QRadioButton* option(QWidget* parent, const QString& name, const QString& caption, int left,
                         int top, int width) {
        auto* button = new QRadioButton(caption, parent);
        button->setObjectName(name);
        placeInTwips(button, left, top, width, OptionHeight);
        widenToFitCaption(button);
        return button;
    }

    QLabel* label(QWidget* parent, const QString& name, const QString& caption, int left, int top,
                  int width) {
        auto* label = new QLabel(caption, parent);
        label->setObjectName(name);
        placeInTwips(label, left, top, width, BoxHeight);
        widenToFitCaption(label);
        return label;
    }

    QLineEdit* box(QWidget* parent, const QString& name, int left, int top, int width,
                   int height = BoxHeight) {
        auto* box = new QLineEdit(parent);
        box->setObjectName(name);
        placeInTwips(box, left, top, width, height);
        m_boxes.append(box);
        return box;
    }

    QPushButton* button(const QString& name, const QString& caption, int left, int top, int width,
                        int height) {
        auto* button = new QPushButton(caption, m_window);
        button->setObjectName(name);
        // Enter in a text box must not press a reset button.
        button->setAutoDefault(false);
        button->setDefault(false);
        placeInTwips(button, left, top, width, height);
        widenToFitCaption(button);
        return button;
    }

    // Controls side by side, left to right.
    void row(std::initializer_list<QWidget*> items) { m_rows.append(QList<QWidget*>(items)); }
    // Controls in different rows that start at the same left edge.
    void column(const QList<QWidget*>& items) { m_columns.append(items); }

    // A caption wider than designed pushes its right-hand neighbours along; a
    // column moves as far as its furthest member had to.
    void arrange() {
        const int gap = twipsToPixels(RowGap, m_window);
        for (int pass = 0; pass < 2; ++pass) {
            for (const QList<QWidget*>& row : m_rows) {
                for (qsizetype i = 1; i < row.size(); ++i) {
                    const int least = row[i - 1]->geometry().right() + 1 + gap;
                    if (row[i]->x() < least)
                        moveKeepingRightEdge(row[i], least);
                }
            }
            for (const QList<QWidget*>& column : m_columns) {
                int x = 0;
                for (QWidget* w : column)
                    x = qMax(x, w->x());
                for (QWidget* w : column)
                    if (w->x() < x)
                        moveKeepingRightEdge(w, x);
            }
        }
        for (QLineEdit* box : m_boxes)
            fitTextBoxHeight(box);
    }

private:
    // A control pushed along gives back any width its caption does not need, so
    // that it stays inside its frame where the design left room.
    static void moveKeepingRightEdge(QWidget* w, int x) {
        const int right = w->geometry().right() + 1;
        const int least =
            qobject_cast<QLineEdit*>(w) ? w->minimumSizeHint().width() : w->sizeHint().width();
        w->setGeometry(x, w->y(), qMax(right - x, least), w->height());
    }

    QWidget* m_window;
    QList<QList<QWidget*>> m_rows;
    QList<QList<QWidget*>> m_columns;
    QList<QLineEdit*> m_boxes;
};

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

} // namespace

Form2::Form2(SettingsStore& store, QWidget* parent) : QDialog(parent), m_store(store) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【設定】"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    createControls();
    connectControls();
    // The dialog keeps the size it was made with.
    setFixedSize(twipsToPixels(ClientWidth, this), twipsToPixels(ClientHeight, this));
}

void Form2::createControls() {
    Builder b(this);

    // Left column.
    QGroupBox* start = b.frame(nullptr, QStringLiteral("Frame_AutoStart"),
                               QStringLiteral("起動方法"), 120, 120, 3495, 855);
    m_autoStart = {Setting::AutoStart,
                   b.option(start, QStringLiteral("Option_AutoStart_Yes"),
                            QStringLiteral("自動起動"), 120, 240, 1455),
                   b.option(start, QStringLiteral("Option_AutoStart_No"),
                            QStringLiteral("手動起動"), 1680, 240, 1455),
                   nullptr};
    QLabel* portLabel =
        b.label(start, QStringLiteral("Label1"), QStringLiteral("ﾎﾟｰﾄ番号"), 120, 510, 975);
    m_localPort = b.box(start, QStringLiteral("Text_Local_Port"), 1200, 510, 1095);
    b.row({m_autoStart.allow, m_autoStart.block});
    b.row({portLabel, m_localPort});

    QGroupBox* proxy = b.frame(nullptr, QStringLiteral("Frame_Proxy"),
                               QStringLiteral("ﾌﾟﾛｷｼの設定"), 120, 1080, 3495, 1095);
    m_proxy = {Setting::Proxy,
               b.option(proxy, QStringLiteral("Option_Proxy_Yes"), QStringLiteral("ﾌﾟﾛｷｼを通す"),
                        120, 240, 1455),
               b.option(proxy, QStringLiteral("Option_Proxy_No"), QStringLiteral("ﾌﾟﾛｷｼを通さない"),
                        1680, 240, 1695),
               nullptr};
    m_proxyServerLabel = b.label(proxy, QStringLiteral("Label_Proxy_Server"),
                                 QStringLiteral("ｻｰﾊﾞｰ名"), 120, 510, 975);
    m_proxyServer = b.box(proxy, QStringLiteral("Text_Proxy_Server"), 1200, 510, 2175);
    m_proxyPortLabel = b.label(proxy, QStringLiteral("Label_Proxy_Port"),
                               QStringLiteral("ﾎﾟｰﾄ番号"), 120, 780, 975);
    m_proxyPort = b.box(proxy, QStringLiteral("Text_Proxy_Port"), 1200, 780, 1095);
    b.row({m_proxy.allow, m_proxy.block});
    b.row({m_proxyServerLabel, m_proxyServer});
    b.row({m_proxyPortLabel, m_proxyPort});
    b.column({m_proxyServer, m_proxyPort});

    QGroupBox* connect =
        b.frame(nullptr, QStringLiteral("Frame_Connect"),
                QStringLiteral("接続許可の設定　（　IPｱﾄﾞﾚｽを指定　）"), 120, 2280, 3495, 3495);
    m_connect = {Setting::Connect,
                 b.option(connect, QStringLiteral("Option_Connect_Ok"),
                          QStringLiteral("他のﾏｼﾝからの接続を全て許可する"), 120, 240, 3255),
                 b.option(connect, QStringLiteral("Option_Connect_Xxx"),
                          QStringLiteral("他のﾏｼﾝからの接続を全て許可しない"), 120, 480, 3255),
                 b.option(connect, QStringLiteral("Option_Connect_List"),
                          QStringLiteral("下のﾏｼﾝ(IP)からの接続を許可する"), 120, 720, 3255)};
    for (int i = 0; i < 10; ++i)
        m_machines[i] = b.box(connect, QStringLiteral("Text_マシン名") + QString::number(i), 360,
                              1020 + 240 * i, 1575, MachineBoxHeight);

    QGroupBox* counts = b.frame(nullptr, QStringLiteral("Frame_EventCount"),
                                QStringLiteral("ｲﾍﾞﾝﾄの表示件数"), 120, 5880, 3495, 615);
    QLabel* lanLabel =
        b.label(counts, QStringLiteral("Label2"), QStringLiteral("Lan"), 120, 240, 495);
    m_countLan = b.box(counts, QStringLiteral("Text_表示件数_Lan"), 600, 240, 975);
    QLabel* wanLabel =
        b.label(counts, QStringLiteral("Label3"), QStringLiteral("Wan"), 1800, 240, 495);
    m_countWan = b.box(counts, QStringLiteral("Text_表示件数_Wan"), 2280, 240, 975);
    b.row({lanLabel, m_countLan, wanLabel, m_countWan});

    // Right column. Every second button and every fake-value box share one edge.
    QList<QWidget*> secondColumn;
    auto twoChoices = [&](QWidget* parent, const QString& setting, const SettingKey& key,
                          const QString& allowCaption, const QString& blockCaption,
                          int top) -> ChoiceButtons {
        ChoiceButtons c{
            key,
            b.option(parent, QStringLiteral("Option_") + setting + QStringLiteral("_Ok"),
                     allowCaption, 120, top, 1575),
            b.option(parent, QStringLiteral("Option_") + setting + QStringLiteral("_Xxx"),
                     blockCaption, 1800, top, 3975),
            nullptr};
        b.row({c.allow, c.block});
        secondColumn.append(c.block);
        return c;
    };

    QGroupBox* send = b.frame(nullptr, QStringLiteral("Frame_Send"),
                              QStringLiteral("送信情報の設定"), 3720, 120, 6135, 3225);
    struct FakePlace {
        const char16_t* name;
        const char16_t* caption;
        SettingKey key;
        SettingKey fakeKey;
        int top;
    };
    const FakePlace fakePlaces[3] = {
        {u"Referer", u"Referer", Setting::Referer, Setting::RefererFake, 225},
        {u"UserAgent", u"User-Agent", Setting::UserAgent, Setting::UserAgentFake, 1020},
        {u"IfModifiedSince", u"If-Modified-Since", Setting::IfModifiedSince,
         Setting::IfModifiedSinceFake, 1815},
    };
    for (int k = 0; k < 3; ++k) {
        const FakePlace& p = fakePlaces[k];
        const QString name = QString::fromUtf16(p.name);
        QGroupBox* inner = b.frame(send, QStringLiteral("Frame_") + name,
                                   QString::fromUtf16(p.caption), 120, p.top, 5895, 780);
        FakeHeader& h = m_fakeHeaders[k];
        h.choice = twoChoices(inner, name, p.key, CaptionAllowSend, CaptionBlockHeader, 210);
        h.choice.third = b.option(inner, QStringLiteral("Option_") + name + QStringLiteral("_Zzz"),
                                  CaptionFake, 120, 465, 1575);
        h.fakeKey = p.fakeKey;
        h.box = b.box(inner, QStringLiteral("Text_") + name, 1800, 465, 3975);
        b.row({h.choice.third, h.box});
        secondColumn.append(h.box);
    }
    QGroupBox* cookie = b.frame(send, QStringLiteral("Frame_Cookie"), QStringLiteral("Cookie"), 120,
                                2610, 5895, 510);
    m_cookie = twoChoices(cookie, QStringLiteral("Cookie"), Setting::Cookie, CaptionAllowSend,
                          CaptionBlockHeader, 210);

    QGroupBox* recv = b.frame(nullptr, QStringLiteral("Frame_Recv"),
                              QStringLiteral("受信情報の設定"), 3720, 3360, 6135, 1335);
    QGroupBox* setCookie = b.frame(recv, QStringLiteral("Frame_SetCookie"),
                                   QStringLiteral("Set-Cookie"), 120, 225, 5895, 510);
    m_setCookie = twoChoices(setCookie, QStringLiteral("SetCookie"), Setting::SetCookie,
                             QStringLiteral("受信を許可する"),
                             QStringLiteral("受信をﾌﾞﾛｯｸする　（HTTPﾍｯﾀﾞｰを書き換える）"), 210);
    QGroupBox* script = b.frame(recv, QStringLiteral("Frame_Script"), QStringLiteral("SCRIPTタグ"),
                                120, 750, 5895, 510);
    m_script = twoChoices(script, QStringLiteral("Script"), Setting::Script,
                          QStringLiteral("使用を許可する"),
                          QStringLiteral("使用を許可しない （HTMLを書き換える）"), 210);

    QGroupBox* post = b.frame(nullptr, QStringLiteral("Frame_POST"), QStringLiteral("POSTﾘｸｴｽﾄ"),
                              3720, 4800, 6135, 495);
    post->setToolTip(QStringLiteral("怪しいデータを送信している場合があります"));
    m_post = twoChoices(post, QStringLiteral("POST"), Setting::Post, CaptionAllowSend,
                        QStringLiteral("送信をﾌﾞﾛｯｸする　（POSTﾘｸｴｽﾄを送信しない）"), 210);

    const QString favouritesTip = QStringLiteral("『お気に入り』への登録時にも要求されます");
    QGroupBox* ico = b.frame(nullptr, QStringLiteral("Frame_icoGET"),
                             QStringLiteral("ｱｲｺﾝﾌｧｲﾙ(*.ico)のﾀﾞｳﾝﾛｰﾄﾞ"), 3720, 5400, 6135, 495);
    ico->setToolTip(favouritesTip);
    m_icoGet =
        twoChoices(ico, QStringLiteral("icoGET"), Setting::IcoGet, QStringLiteral("許可する"),
                   QStringLiteral("許可しない  （当GETﾘｸｴｽﾄは送信しない）"), 210);

    QGroupBox* cab = b.frame(nullptr, QStringLiteral("Frame_cabGET"),
                             QStringLiteral("ｷｬﾋﾞﾈｯﾄﾌｧｲﾙ(*.cab)のﾀﾞｳﾝﾛｰﾄﾞ"), 3720, 6000, 6135, 735);
    cab->setToolTip(favouritesTip);
    m_cabGet =
        twoChoices(cab, QStringLiteral("cabGET"), Setting::CabGet, QStringLiteral("許可する"),
                   QStringLiteral("許可しない　（当GETﾘｸｴｽﾄは送信しない）"), 210);
    m_cabGet.third = b.option(cab, QStringLiteral("Option_cabGET_Zzz"),
                              QStringLiteral("確認ﾒｯｾｰｼﾞを出力する"), 120, 450, 3255);

    m_allReset = b.button(QStringLiteral("Command_All_Reset"), QStringLiteral("全ての設定をﾘｾｯﾄ"),
                          3720, 6840, 1815, 375);
    m_sendReset = b.button(QStringLiteral("Command_Send_Reset"),
                           QStringLiteral("送信情報の設定をﾘｾｯﾄ"), 5640, 6840, 2055, 375);
    m_recvReset = b.button(QStringLiteral("Command_Recv_Reset"),
                           QStringLiteral("受信情報の設定をﾘｾｯﾄ"), 7800, 6840, 2055, 375);
    b.row({m_allReset, m_sendReset, m_recvReset});

    b.column(secondColumn);
    b.arrange();
}

void Form2::connectControls() {
    for (QRadioButton* button : {m_proxy.allow, m_proxy.block})
        connect(button, &QRadioButton::toggled, this, &Form2::updateProxyBoxes);
    for (QRadioButton* button : {m_connect.allow, m_connect.block, m_connect.third})
        connect(button, &QRadioButton::toggled, this, &Form2::updateMachineBoxes);
    for (const FakeHeader& header : m_fakeHeaders)
        for (QRadioButton* button : {header.choice.allow, header.choice.block, header.choice.third})
            connect(button, &QRadioButton::toggled, this,
                    [this, &header] { updateFakeBox(header); });

    connect(m_allReset, &QPushButton::clicked, this, &Form2::resetAll);
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

void Form2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Every showing starts from the store; a window coming back from the system
    // (spontaneous) keeps the user's edits.
    if (!event->spontaneous())
        load();
}

void Form2::loadChoice(const ChoiceButtons& choice) {
    const QString value = m_store.get(choice.key);
    if (value == Choice::Allow)
        choice.allow->setChecked(true);
    else if (value == Choice::Block || !choice.third)
        choice.block->setChecked(true);
    else
        choice.third->setChecked(true);
}

void Form2::load() {
    loadChoice(m_autoStart);
    showText(m_localPort, m_store.get(Setting::LocalPort).trimmed());
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
    for (const ChoiceButtons* choice : {&m_cookie, &m_setCookie, &m_script, &m_post, &m_icoGet})
        loadChoice(*choice);
    loadChoice(m_cabGet);

    // A button checked while loading leaves the boxes as a click on it would.
    updateProxyBoxes();
    updateMachineBoxes();
    for (const FakeHeader& header : m_fakeHeaders)
        updateFakeBox(header);
}

void Form2::updateProxyBoxes() {
    const bool on = m_proxy.allow->isChecked();
    m_proxyServerLabel->setEnabled(on);
    m_proxyPortLabel->setEnabled(on);
    setBoxEnabled(m_proxyServer, on);
    setBoxEnabled(m_proxyPort, on);
}

void Form2::updateMachineBoxes() {
    const bool on = m_connect.third->isChecked();
    for (QLineEdit* box : m_machines)
        setBoxEnabled(box, on);
}

void Form2::updateFakeBox(const FakeHeader& header) {
    setBoxEnabled(header.box, header.choice.third->isChecked());
}

void Form2::saveChoice(const ChoiceButtons& choice) {
    QStringView value = Choice::Block;
    if (choice.allow->isChecked())
        value = Choice::Allow;
    else if (choice.third && choice.third->isChecked())
        value = Choice::Third;
    m_store.save(choice.key.name, value.toString());
}

void Form2::saveOrRemove(const SettingKey& key, const QLineEdit* box) {
    const QString text = box->text().trimmed();
    // An empty box brings the default back; failures (an absent key) are of no concern.
    if (text.isEmpty())
        m_store.remove(key.name);
    else
        m_store.save(key.name, text);
}

bool Form2::saveAll() {
    saveChoice(m_autoStart);
    saveOrRemove(Setting::LocalPort, m_localPort);

    // Without both proxy boxes the proxy stays off, whatever else happens below.
    m_store.save(Setting::Proxy.name, Choice::Block.toString());
    const QString server = m_proxyServer->text().trimmed();
    const QString port = m_proxyPort->text().trimmed();
    if (server.isEmpty())
        m_store.remove(Setting::ProxyServer.name);
    if (port.isEmpty())
        m_store.remove(Setting::ProxyPort.name);
    if (m_proxy.allow->isChecked()) {
        if (server.isEmpty() || port.isEmpty()) {
            showMessage(this,
                        QStringLiteral("ﾌﾟﾛｷｼを通す場合、『ｻｰﾊﾞｰ名』『ﾎﾟｰﾄ番号』が必要です。"));
            return false;
        }
        m_store.save(Setting::Proxy.name, Choice::Allow.toString());
        m_store.save(Setting::ProxyServer.name, server);
        m_store.save(Setting::ProxyPort.name, port);
    }

    saveChoice(m_connect);
    for (int i = 0; i < 10; ++i)
        m_store.save(Setting::AllowedMachines[i].name, m_machines[i]->text().trimmed());
    saveOrRemove(Setting::EventCountLan, m_countLan);
    saveOrRemove(Setting::EventCountWan, m_countWan);
    for (const FakeHeader& header : m_fakeHeaders) {
        saveChoice(header.choice);
        saveOrRemove(header.fakeKey, header.box);
    }
    for (const ChoiceButtons* choice : {&m_cookie, &m_setCookie, &m_script, &m_post, &m_icoGet})
        saveChoice(*choice);
    saveChoice(m_cabGet);
    return true;
}

void Form2::closeWithoutSaving() {
    m_closingByProgram = true;
    close();
    m_closingByProgram = false;
}

void Form2::closeEvent(QCloseEvent* event) {
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

void Form2::keyPressEvent(QKeyEvent* event) {
    // Without a Cancel button Escape has nothing to do; only the close box ends the dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Form2::resetKeys(const QString& question, std::initializer_list<SettingKey> keys) {
    if (showMessage(this, question, MessageButtons::YesNo) != MessageAnswer::Yes)
        return;
    for (const SettingKey& key : keys)
        m_store.remove(key.name);
    load();
}

void Form2::resetAll() {
    if (showMessage(this, QStringLiteral("全ての設定をﾘｾｯﾄします。よろしいですか？"),
                    MessageButtons::YesNo) != MessageAnswer::Yes)
        return;
    m_store.removeAll();
    load();
}

bool Form2::filterCountKey(QKeyEvent* event) const {
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

bool Form2::eventFilter(QObject* watched, QEvent* event) {
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
