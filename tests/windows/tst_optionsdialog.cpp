#include "platform/tls.h"
#include "settings/settingsstore.h"
#include "widgets/messagebox.h"
#include "widgets/uifonts.h"
#include "windows/optionsdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

class TestOptionsDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { applyJapaneseUiFont(*qApp); }
    void init();
    void cleanup();

    void emptyStoreShowsDefaults();
    void storedChoicesSelectButtons_data();
    void storedChoicesSelectButtons();
    void saveWritesWhatIsShown();
    void closingWithoutSaving();
    void escapeIsTheCloseBox_data();
    void escapeIsTheCloseBox();
    void questionBoxSpeaksJapanese_data();
    void questionBoxSpeaksJapanese();
    void proxyCheckKeepsDialogOpen();
    void saveFailureKeepsDialogOpen();
    void exportCertificate_data();
    void exportCertificate();
    void desktopProxyFollowsTheBox();
    void trustButton();
    void countKeyFilter_data();
    void countKeyFilter();
    void resets_data();
    void resets();
    void captionsFitInsideTheirFrames();
    void framesHoldTheirRows_data();
    void framesHoldTheirRows();

private:
    void open() {
        if (!m_dialog)
            m_dialog = std::make_unique<OptionsDialog>(*m_store);
        m_dialog->show();
    }
    template <typename T = QRadioButton> T* control(const QString& name) {
        T* w = m_dialog->findChild<T*>(name);
        if (!w)
            qFatal("no control %s", qPrintable(name));
        return w;
    }
    QLineEdit* box(const QString& name) { return control<QLineEdit>(name); }
    bool checked(const QString& name) { return control(name)->isChecked(); }
    void click(const QString& name) {
        QRadioButton* b = control(name);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
    }
    void retype(const QString& name, const QString& text) {
        QLineEdit* edit = box(name);
        QTest::keyClick(edit, Qt::Key_End);
        for (auto n = edit->text().size(); n > 0; --n)
            QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }
    // The texts of the boxes asked since the last call; each must carry the program's title.
    QStringList asked() {
        QStringList texts;
        for (const MessageRequest& r : std::exchange(m_asked, {}))
            texts.append(r.title == applicationTitle() ? r.text : u"<untitled> "_s + r.text);
        return texts;
    }
    QString stored(QStringView key) const { return m_store->getByName(key, u"<absent>"); }
    // The CA of interception, made under the test's own data folder.
    QString caCertificate() const { return m_dir->filePath(u"Tarnwick/ca/ca.crt"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<OptionsDialog> m_dialog;
    QList<MessageAnswer> m_answers;
    QList<MessageRequest> m_asked;
    QHash<const char*, QByteArray> m_environment; // as it was before a test changed it

    // The settings tool that does the desktop's steps, found on PATH.
    void useSettingsTool() {
        const QByteArray bin = qgetenv("TARNWICK_BIN_DIR");
        if (bin.isEmpty())
            QSKIP("TARNWICK_BIN_DIR is not set: the settings tool cannot be found");
        setEnvironment("PATH", QString::fromLocal8Bit(bin + ':' + qgetenv("PATH")));
    }
    void setEnvironment(const char* name, const QString& value) {
        if (!m_environment.contains(name))
            m_environment.insert(name, qgetenv(name));
        qputenv(name, value.toLocal8Bit());
    }
};

const QString SaveQuestion = u"設定内容を保存しますか？"_s;

void TestOptionsDialog::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<SettingsStore>(m_dir->filePath(u"store.ini"_s));
    // The CA goes where the data folder is at the time it is used.
    qputenv("XDG_DATA_HOME", m_dir->path().toLocal8Bit());
    m_asked.clear();
    m_answers.clear();
    setMessageBoxHook([this](const MessageRequest& request) {
        m_asked.append(request);
        if (!m_answers.isEmpty())
            return m_answers.takeFirst();
        return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
    });
}

void TestOptionsDialog::cleanup() {
    m_dialog.reset();
    setMessageBoxHook({});
    for (const char* name : {"XDG_CURRENT_DESKTOP", "XDG_CONFIG_HOME", "HOME", "PATH"})
        if (m_environment.contains(name))
            qputenv(name, m_environment.take(name));
}

void TestOptionsDialog::emptyStoreShowsDefaults() {
    open();
    for (const QString& name :
         {u"Option_AutoStart_No"_s, u"Option_Proxy_No"_s, u"Option_Connect_Xxx"_s,
          u"Option_Referer_Xxx"_s, u"Option_UserAgent_Xxx"_s, u"Option_IfModifiedSince_Xxx"_s,
          u"Option_Cookie_Xxx"_s, u"Option_SetCookie_Xxx"_s, u"Option_Script_Xxx"_s,
          u"Option_POST_Xxx"_s, u"Option_icoGET_Xxx"_s, u"Option_cabGET_Xxx"_s,
          u"Option_CONNECT_Ok"_s, u"Option_逐次転送_Zzz"_s, u"Option_HTTPS検査_Xxx"_s})
        QVERIFY2(checked(name), qPrintable(name));
    QCOMPARE(box(u"Text_Local_Port"_s)->text(), u"8080"_s);
    QCOMPARE(box(u"Text_表示件数_Lan"_s)->text(), u"100"_s);
    QCOMPARE(box(u"Text_表示件数_Wan"_s)->text(), u"100"_s);
    QCOMPARE(box(u"Text_UserAgent"_s)->text(),
             u"Mozilla/9.0 (compatible; MSIE 9.0; Windows NT 9.0)"_s);
    QCOMPARE(box(u"Text_IfModifiedSince"_s)->text(),
             u"Mon, 27 Jan 2003 01:01:01 GMT; length=9999"_s);

    // Boxes of choices not taken are disabled in the button face.
    const QColor face = QApplication::palette().color(QPalette::Button);
    for (const QString& name :
         {u"Text_Proxy_Server"_s, u"Text_Proxy_Port"_s, u"Text_Referer"_s, u"Text_マシン名0"_s,
          u"Text_マシン名9"_s, u"Text_検査除外"_s, u"Text_検査用追加CA"_s}) {
        QVERIFY2(!box(name)->isEnabled(), qPrintable(name));
        QCOMPARE(box(name)->palette().color(QPalette::Disabled, QPalette::Base), face);
    }
    QVERIFY(!control<QLabel>(u"Label_Proxy_Server"_s)->isEnabled());

    click(u"Option_Proxy_Yes"_s);
    QVERIFY(box(u"Text_Proxy_Port"_s)->isEnabled());
    QVERIFY(control<QLabel>(u"Label_Proxy_Port"_s)->isEnabled());
    QCOMPARE(box(u"Text_Proxy_Port"_s)->palette().color(QPalette::Active, QPalette::Base),
             QApplication::palette().color(QPalette::Base));
}

void TestOptionsDialog::storedChoicesSelectButtons_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("enabledBox");

    QTest::newRow("two-way third counts as block")
        << u"Cookie"_s << u"△"_s << u"Option_Cookie_Xxx"_s << QString();
    QTest::newRow("three-way unknown fakes")
        << u"Referer"_s << u"x"_s << u"Option_Referer_Zzz"_s << u"Text_Referer"_s;
    QTest::newRow("connect unknown lists")
        << u"Connect"_s << u"?"_s << u"Option_Connect_List"_s << u"Text_マシン名9"_s;
    QTest::newRow("cab asks") << u"cabGET"_s << u"△"_s << u"Option_cabGET_Zzz"_s << QString();
    QTest::newRow("autostart exact only")
        << u"AutoStart"_s << u" ○"_s << u"Option_AutoStart_No"_s << QString();
    QTest::newRow("https unknown is 443 only")
        << u"CONNECT"_s << u"x"_s << u"Option_CONNECT_Ok"_s << QString();
    QTest::newRow("https refused")
        << u"CONNECT"_s << u"×"_s << u"Option_CONNECT_Xxx"_s << QString();
    QTest::newRow("https any port")
        << u"CONNECT"_s << u"△"_s << u"Option_CONNECT_Zzz"_s << QString();
    QTest::newRow("stream always")
        << u"逐次転送"_s << u"○"_s << u"Option_逐次転送_Ok"_s << QString();
    QTest::newRow("stream never") << u"逐次転送"_s << u"×"_s << u"Option_逐次転送_Xxx"_s
                                  << QString();
    QTest::newRow("stream unknown is interception only")
        << u"逐次転送"_s << u"x"_s << u"Option_逐次転送_Zzz"_s << QString();
    QTest::newRow("interception on")
        << u"HTTPS検査"_s << u"○"_s << u"Option_HTTPS検査_Ok"_s << u"Text_検査用追加CA"_s;
    QTest::newRow("interception unknown is off")
        << u"HTTPS検査"_s << u"△"_s << u"Option_HTTPS検査_Xxx"_s << QString();
}

void TestOptionsDialog::storedChoicesSelectButtons() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, selected);
    QFETCH(QString, enabledBox);
    m_store->saveByName(key, value);
    open();
    QVERIFY(checked(selected));
    if (!enabledBox.isEmpty())
        QVERIFY(box(enabledBox)->isEnabled());
}

void TestOptionsDialog::saveWritesWhatIsShown() {
    m_store->saveByName(u"Cookie", u"△"_s);
    m_store->saveByName(u"Proxy", u"○"_s);
    m_store->saveByName(u"Proxy_Server", u"old.example"_s);
    m_store->saveByName(u"Proxy_Port", u"8000"_s);
    m_store->saveByName(u"Referer", u"△"_s);
    m_store->saveByName(u"Referer偽装", u"http://stored.example/"_s);
    m_store->saveByName(u"検査用追加CA", u"/etc/old-ca.pem"_s);
    open();
    click(u"Option_HTTPS検査_Ok"_s);
    retype(u"Text_検査除外"_s, u" a.test, *.b.test "_s);
    click(u"Option_POST_Ok"_s);
    click(u"Option_CONNECT_Zzz"_s);
    click(u"Option_逐次転送_Ok"_s);
    click(u"Option_Connect_List"_s);
    retype(u"Text_マシン名3"_s, u" 192.168.0.3 "_s);
    retype(u"Text_Local_Port"_s, u" 8081 "_s);
    retype(u"Text_Referer"_s, u"   "_s);
    // Proxy boxes edited, then the proxy turned off: disabled, but still showing the edit.
    retype(u"Text_Proxy_Server"_s, u"new.example"_s);
    click(u"Option_Proxy_No"_s);
    QVERIFY(!box(u"Text_Proxy_Server"_s)->isEnabled());
    QCOMPARE(box(u"Text_Proxy_Server"_s)->text(), u"new.example"_s);
    m_answers = {MessageAnswer::Yes};
    m_dialog->close();

    QCOMPARE(asked(), QStringList{SaveQuestion});
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(stored(u"Cookie"), u"×"_s);
    QCOMPARE(stored(u"POST"), u"○"_s);
    QCOMPARE(stored(u"CONNECT"), u"△"_s);
    QCOMPARE(stored(u"逐次転送"), u"○"_s);
    QCOMPARE(stored(u"Connect"), u"△"_s);
    QCOMPARE(stored(u"接続許可マシン名３"), u"192.168.0.3"_s);
    QCOMPARE(stored(u"接続許可マシン名０"), QString()); // empty addresses are saved too
    QCOMPARE(stored(u"Local_Port"), u"8081"_s);
    QCOMPARE(stored(u"Proxy"), u"×"_s);
    QCOMPARE(stored(u"Proxy_Server"), u"old.example"_s);
    QCOMPARE(stored(u"Proxy_Port"), u"8000"_s);
    QCOMPARE(stored(u"Referer偽装"), u"<absent>"_s);
    QCOMPARE(stored(u"UserAgent偽装"), Setting::UserAgentFake.defaultValue.toString());
    QCOMPARE(stored(u"cabGET"), u"×"_s);
    QCOMPARE(stored(u"HTTPS検査"), u"○"_s);
    QCOMPARE(stored(u"検査除外"), u"a.test, *.b.test"_s);
    QCOMPARE(stored(u"検査用追加CA"), u"/etc/old-ca.pem"_s); // shown, then saved back
    // Interception turned on made the CA.
    QVERIFY(QFile::exists(caCertificate()));
    // An emptied fake value comes back as the default.
    open();
    QCOMPARE(box(u"Text_Referer"_s)->text(), Setting::RefererFake.defaultValue.toString());
}

void TestOptionsDialog::closingWithoutSaving() {
    open();
    click(u"Option_AutoStart_Yes"_s);
    // The program closing the dialog neither asks nor saves.
    m_dialog->closeWithoutSaving();
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(asked(), QStringList());

    // The user answering No closes without saving; the next showing reloads.
    open();
    click(u"Option_AutoStart_Yes"_s);
    m_answers = {MessageAnswer::No};
    m_dialog->close();
    QCOMPARE(asked(), QStringList{SaveQuestion});
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(m_store->keys(), QStringList());
    open();
    QVERIFY(checked(u"Option_AutoStart_No"_s));
}

void TestOptionsDialog::escapeIsTheCloseBox_data() {
    QTest::addColumn<bool>("save");
    QTest::newRow("No closes without saving") << false;
    QTest::newRow("Yes saves and closes") << true;
}

void TestOptionsDialog::escapeIsTheCloseBox() {
    QFETCH(bool, save);
    open();
    click(u"Option_AutoStart_Yes"_s);
    m_answers = {save ? MessageAnswer::Yes : MessageAnswer::No};
    QTest::keyClick(m_dialog.get(), Qt::Key_Escape);
    QCOMPARE(asked(), QStringList{SaveQuestion});
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(stored(u"AutoStart"), save ? u"○"_s : u"<absent>"_s);
}

void TestOptionsDialog::questionBoxSpeaksJapanese_data() {
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("undo"); // a text box's menu
    QTest::newRow("Qt's translation") << true << u"元に戻す(&U)"_s;
    QTest::newRow("no translation") << false << u"&Undo"_s;
}

void TestOptionsDialog::questionBoxSpeaksJapanese() {
    QFETCH(bool, installed);
    QFETCH(QString, undo);
    QTemporaryDir empty;
    QCOMPARE(installJapaneseTranslations(*qApp, installed ? QString() : empty.path()), installed);
    setMessageBoxHook({});
    open();
    // The save question, answered No once its buttons have been read.
    QStringList buttons;
    QTimer::singleShot(0, m_dialog.get(), [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible()) {
                buttons = {box->button(QMessageBox::Yes)->text(),
                           box->button(QMessageBox::No)->text()};
                box->button(QMessageBox::No)->click();
            }
        }
    });
    m_dialog->close();
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(buttons, (QStringList{u"はい(&Y)"_s, u"いいえ(&N)"_s}));
    std::unique_ptr<QMenu> menu(box(u"Text_Local_Port"_s)->createStandardContextMenu());
    QCOMPARE(menu->actions().first()->text().section(u'\t', 0, 0), undo);
}

void TestOptionsDialog::proxyCheckKeepsDialogOpen() {
    m_store->saveByName(u"Proxy_Server", u"old.example"_s);
    m_store->saveByName(u"Proxy_Port", u"8000"_s);
    m_dialog = std::make_unique<OptionsDialog>(*m_store);
    // What the user saw after the first close, checked once the dialog has ended.
    QStringList firstAsked;
    bool stayedOpen = false;
    QStringList storedAfterFirst;
    bool editsKept = false;
    QTimer::singleShot(0, m_dialog.get(), [&] {
        click(u"Option_AutoStart_Yes"_s);
        click(u"Option_Proxy_Yes"_s);
        retype(u"Text_Proxy_Server"_s, u"new.example"_s);
        retype(u"Text_Proxy_Port"_s, u"  "_s);
        click(u"Option_Cookie_Ok"_s);
        m_answers = {MessageAnswer::Yes, MessageAnswer::Ok};
        m_dialog->close();
        firstAsked = asked();
        stayedOpen = m_dialog->isVisible();
        for (QStringView key : {u"AutoStart", u"Proxy", u"Proxy_Port", u"Proxy_Server", u"Cookie"})
            storedAfterFirst.append(stored(key));
        editsKept = checked(u"Option_Cookie_Ok"_s) &&
                    box(u"Text_Proxy_Server"_s)->text() == u"new.example"_s;

        retype(u"Text_Proxy_Port"_s, u" 3128 "_s);
        m_answers = {MessageAnswer::Yes};
        m_dialog->close();
        // Whatever went wrong, the test must not wait in the dialog for ever.
        if (m_dialog->isVisible())
            m_dialog->closeWithoutSaving();
    });
    m_dialog->exec();

    QCOMPARE(firstAsked, (QStringList{SaveQuestion,
                                      u"ﾌﾟﾛｷｼを通す場合、『ｻｰﾊﾞｰ名』『ﾎﾟｰﾄ番号』が必要です。"_s}));
    QVERIFY(stayedOpen);
    QVERIFY(editsKept);
    // The steps before the check were saved, those after it were not.
    QCOMPARE(storedAfterFirst,
             (QStringList{u"○"_s, u"×"_s, u"<absent>"_s, u"old.example"_s, u"<absent>"_s}));
    QCOMPARE(asked(), QStringList{SaveQuestion});
    QCOMPARE(stored(u"Proxy"), u"○"_s);
    QCOMPARE(stored(u"Proxy_Server"), u"new.example"_s);
    QCOMPARE(stored(u"Proxy_Port"), u"3128"_s);
    QCOMPARE(stored(u"Cookie"), u"○"_s);
}

void TestOptionsDialog::saveFailureKeepsDialogOpen() {
    // A store whose directory is a regular file cannot be written, not even by root.
    QFile blocker(m_dir->filePath(u"blocker"_s));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    m_store = std::make_unique<SettingsStore>(m_dir->filePath(u"blocker/store.ini"_s));
    open();
    click(u"Option_AutoStart_Yes"_s);
    m_answers = {MessageAnswer::Yes};
    m_dialog->close();
    QCOMPARE(asked(), (QStringList{SaveQuestion, u"設定を保存できませんでした。"_s}));
    QVERIFY(m_dialog->isVisible());
    QVERIFY(checked(u"Option_AutoStart_Yes"_s));
}

void TestOptionsDialog::exportCertificate_data() {
    QTest::addColumn<bool>("existing");  // a CA made before
    QTest::addColumn<QString>("chosen"); // in the test's folder
    QTest::newRow("made when absent") << false << u"out.crt"_s;
    QTest::newRow("existing") << true << u"out.crt"_s;
    QTest::newRow("unwritable file") << true << u"none/out.crt"_s;
}

void TestOptionsDialog::exportCertificate() {
    QFETCH(bool, existing);
    QFETCH(QString, chosen);
    QVERIFY(!existing || CertificateAuthority().create());
    QString suggested;
    setSaveFileHook([&](const QString&, const QString& path) {
        suggested = path;
        return m_dir->filePath(chosen);
    });
    open();
    QTest::mouseClick(control<QPushButton>(u"Command_CA_Export"_s), Qt::LeftButton);
    setSaveFileHook({});
    QCOMPARE(suggested, QDir::home().filePath(u"tarnwick-ca.crt"_s));
    QFile cert(caCertificate()), out(m_dir->filePath(chosen));
    QVERIFY(cert.open(QIODevice::ReadOnly));
    if (chosen.contains(u'/')) {
        QCOMPARE(asked(), QStringList{u"CA証明書を書き出せませんでした。\n書き出せません: "_s +
                                      out.fileName()});
        return;
    }
    QCOMPARE(asked(), QStringList());
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray written = out.readAll();
    QVERIFY(written.startsWith("-----BEGIN CERTIFICATE-----") && !written.contains("PRIVATE KEY"));
    QCOMPARE(written, cert.readAll());
}

void TestOptionsDialog::desktopProxyFollowsTheBox() {
    useSettingsTool();
    // A KDE session whose kioslaverc is the test's own.
    setEnvironment("XDG_CURRENT_DESKTOP", u"KDE"_s);
    setEnvironment("XDG_CONFIG_HOME", m_dir->path());
    const QString kioslaverc = m_dir->filePath(u"kioslaverc"_s);
    auto saveWith = [&](const QString& port, bool on) {
        open();
        retype(u"Text_Local_Port"_s, port);
        control<QCheckBox>(u"Check_DesktopProxy"_s)->setChecked(on);
        m_answers = {MessageAnswer::Yes};
        m_dialog->close();
        QCOMPARE(asked(), QStringList{SaveQuestion});
        // The settings tool sets the desktop while the box says so.
        auto* box = control<QCheckBox>(u"Check_DesktopProxy"_s);
        QVERIFY(!box->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(box->isEnabled(), 30000);
        QCOMPARE(asked(), QStringList());
    };
    auto proxy = [&] {
        QFile file(kioslaverc);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
    };
    open();
    QVERIFY(!control<QCheckBox>(u"Check_DesktopProxy"_s)->isChecked());
    m_dialog->close();
    asked();
    QCOMPARE(proxy(), "<absent>");

    saveWith(u"3130"_s, true);
    QVERIFY2(proxy().contains("httpsProxy=http://127.0.0.1 3130\n"), proxy().constData());
    open();
    QVERIFY(control<QCheckBox>(u"Check_DesktopProxy"_s)->isChecked());
    m_dialog->close();
    asked();
    // A new port while it is on: the desktop follows.
    saveWith(u"3131"_s, true);
    QVERIFY2(proxy().contains("httpProxy=http://127.0.0.1 3131\n"), proxy().constData());
    // Off puts back what was there: no file at all.
    saveWith(u"3131"_s, false);
    QCOMPARE(proxy(), "<absent>");
}

void TestOptionsDialog::trustButton() {
    if (QStandardPaths::findExecutable(u"certutil"_s).isEmpty())
        QSKIP("certutil (libnss3-tools) is not installed");
    useSettingsTool();
    setEnvironment("HOME", m_dir->path());
    open();
    auto* button = control<QPushButton>(u"Command_CA_Trust"_s);
    QTest::mouseClick(button, Qt::LeftButton);
    // Under way in the settings tool: the button says so, and the dialog still answers.
    QVERIFY(!button->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!m_asked.isEmpty(), 30000);
    QVERIFY(button->isEnabled());
    const QStringList texts = asked();
    QCOMPARE(texts.size(), 1);
    QVERIFY2(texts[0].startsWith(u"CA証明書をブラウザに登録しました。"_s), qPrintable(texts[0]));
    // The CA made on the way is in Chromium's database, made for it.
    QProcess certutil;
    certutil.start(u"certutil"_s, {u"-L"_s, u"-d"_s, u"sql:"_s + m_dir->filePath(u".pki/nssdb"_s)});
    QVERIFY(certutil.waitForFinished());
    QVERIFY(QFile::exists(caCertificate()));
    QVERIFY2(certutil.readAll().contains("Tarnwick(Lite) CA of"), qPrintable(texts[0]));
}

void TestOptionsDialog::countKeyFilter_data() {
    QTest::addColumn<QString>("boxName");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("typed"); // \b Backspace, \x16 Ctrl+V, \x01 select all
    QTest::addColumn<QString>("expected");

    const QString lan = u"Text_表示件数_Lan"_s;
    QTest::newRow("fifth digit refused") << lan << u"100"_s << u"56"_s << u"1005"_s;
    QTest::newRow("letters refused") << lan << u"10"_s << u"a-x "_s << u"10"_s;
    QTest::newRow("full-width digit refused") << lan << u"1"_s << u"５"_s << u"1"_s;
    QTest::newRow("backspace then digit") << lan << u"1234"_s << u"\b\b9"_s << u"129"_s;
    QTest::newRow("selection counts") << lan << u"1234"_s
                                      << u"\x01"
                                         "7"_s
                                      << u"1234"_s;
    QTest::newRow("paste refused") << lan << u"1"_s << u"\x16"_s << u"1"_s;
    QTest::newRow("wan takes anything")
        << u"Text_表示件数_Wan"_s << u"100"_s << u"ab\x16"_s << u"100ab2x"_s;
}

void TestOptionsDialog::countKeyFilter() {
    QFETCH(QString, boxName);
    QFETCH(QString, initial);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    // The other limit differs, so a box loaded from the wrong key shows.
    const bool lan = boxName == u"Text_表示件数_Lan"_s;
    m_store->saveByName(u"ｲﾍﾞﾝﾄ表示件数Lan", lan ? initial : u"7"_s);
    m_store->saveByName(u"ｲﾍﾞﾝﾄ表示件数Wan", lan ? u"7"_s : initial);
    QGuiApplication::clipboard()->setText(u"2x"_s);
    open();
    QLineEdit* edit = box(boxName);
    QTest::keyClick(edit, Qt::Key_End);
    for (QChar c : typed) {
        if (c == u'\b')
            QTest::keyClick(edit, Qt::Key_Backspace);
        else if (c == u'\x16')
            QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        else if (c == u'\x01')
            edit->selectAll();
        else if (c.unicode() < 128)
            QTest::keyClicks(edit, QString(c));
        else // a character typed with the input method off
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), {});
    }
    QCOMPARE(edit->text(), expected);
}

void TestOptionsDialog::resets_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QStringList>("removed"); // empty: every key

    QTest::newRow("send") << u"Command_Send_Reset"_s
                          << u"送信情報の設定をﾘｾｯﾄします。よろしいですか？"_s
                          << QStringList{u"Referer"_s,         u"Referer偽装"_s,
                                         u"UserAgent"_s,       u"UserAgent偽装"_s,
                                         u"IfModifiedSince"_s, u"IfModifiedSince偽装"_s,
                                         u"Cookie"_s};
    QTest::newRow("recv") << u"Command_Recv_Reset"_s
                          << u"受信情報の設定をﾘｾｯﾄします。よろしいですか？"_s
                          << QStringList{u"SetCookie"_s, u"Script"_s};
    QTest::newRow("all") << u"Command_All_Reset"_s << u"全ての設定をﾘｾｯﾄします。よろしいですか？"_s
                         << QStringList();
}

void TestOptionsDialog::resets() {
    QFETCH(QString, button);
    QFETCH(QString, question);
    QFETCH(QStringList, removed);
    for (const QString& key : {u"AutoStart"_s, u"Proxy"_s, u"Connect"_s, u"Referer"_s,
                               u"UserAgent"_s, u"IfModifiedSince"_s, u"Cookie"_s, u"SetCookie"_s,
                               u"Script"_s, u"POST"_s, u"icoGET"_s, u"cabGET"_s})
        m_store->saveByName(key, u"○"_s);
    for (const QString& key : {u"Referer偽装"_s, u"UserAgent偽装"_s, u"IfModifiedSince偽装"_s})
        m_store->saveByName(key, u"fake"_s);
    m_store->saveByName(u"@Referer", u"12:00:00|http://x/"_s);
    // HTTPS stands outside the send group, as POST does.
    m_store->saveByName(u"CONNECT", u"×"_s);
    const QStringList before = m_store->keys();
    QStringList after;
    for (const QString& key : before)
        if (!removed.isEmpty() && !removed.contains(key))
            after.append(key);

    open();
    click(u"Option_POST_Xxx"_s);
    click(u"Option_CONNECT_Zzz"_s);
    retype(u"Text_Local_Port"_s, u"1"_s);
    QPushButton* reset = control<QPushButton>(button);
    m_answers = {MessageAnswer::No};
    QTest::mouseClick(reset, Qt::LeftButton);
    QCOMPARE(asked(), QStringList{question});
    QCOMPARE(m_store->keys(), before);
    QVERIFY(checked(u"Option_POST_Xxx"_s));

    m_answers = {MessageAnswer::Yes};
    QTest::mouseClick(reset, Qt::LeftButton);
    QCOMPARE(asked(), QStringList{question});
    QCOMPARE(m_store->keys(), after);
    // Every group shows the store again and the unsaved edits are gone.
    QCOMPARE(box(u"Text_Local_Port"_s)->text(), u"8080"_s);
    QCOMPARE(checked(u"Option_POST_Ok"_s), !after.isEmpty());
    QCOMPARE(checked(u"Option_CONNECT_Xxx"_s), !after.isEmpty());
    QCOMPARE(checked(u"Option_CONNECT_Ok"_s), after.isEmpty());
    QCOMPARE(checked(u"Option_Cookie_Ok"_s), after.contains(u"Cookie"_s));
    QCOMPARE(checked(u"Option_Script_Ok"_s), after.contains(u"Script"_s));
    QCOMPARE(box(u"Text_UserAgent"_s)->text() == u"fake"_s, after.contains(u"UserAgent偽装"_s));

    // Declining to save afterwards does not bring the keys back.
    m_answers = {MessageAnswer::No};
    m_dialog->close();
    QCOMPARE(m_store->keys(), after);
}

void TestOptionsDialog::captionsFitInsideTheirFrames() {
    open();
    QCOMPARE(m_dialog->minimumSize(), m_dialog->maximumSize());
    for (QWidget* w : m_dialog->findChildren<QWidget*>()) {
        const bool captioned = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w);
        const bool boxed = qobject_cast<QLineEdit*>(w) || qobject_cast<QGroupBox*>(w);
        if (!captioned && !boxed)
            continue;
        if (captioned)
            QVERIFY2(w->width() >= w->sizeHint().width(), qPrintable(w->objectName()));
        if (auto* frame = qobject_cast<QGroupBox*>(w))
            QVERIFY2(w->width() >= frame->minimumSizeHint().width(), qPrintable(w->objectName()));
        QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), qPrintable(w->objectName()));
        // No neighbour covers it (rows designed a pixel closer than their height may touch).
        for (QObject* o : w->parentWidget()->children()) {
            auto* other = qobject_cast<QWidget*>(o);
            if (other && other != w &&
                (qobject_cast<QAbstractButton*>(other) || qobject_cast<QLabel*>(other) ||
                 qobject_cast<QLineEdit*>(other) || qobject_cast<QGroupBox*>(other)))
                QVERIFY2(!w->geometry()
                              .adjusted(0, 1, 0, -1)
                              .intersects(other->geometry().adjusted(0, 1, 0, -1)),
                         qPrintable(w->objectName() + u" / "_s + other->objectName()));
        }
    }
}

void TestOptionsDialog::framesHoldTheirRows_data() {
    QTest::addColumn<int>("dpi");
    QTest::newRow("scale 1") << 96;
    QTest::newRow("scale 1.5") << 144;
}

void TestOptionsDialog::framesHoldTheirRows() {
    QFETCH(int, dpi);
    if (qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchY()) != dpi) {
        // Twips follow the screen's density, fixed for the life of the application: the
        // row runs again in a process of its own on a screen of that density.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_ENABLE_HIGHDPI_SCALING"_s, u"0"_s);
        env.insert(u"QT_FONT_DPI"_s, QString::number(dpi));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {u"framesHoldTheirRows:"_s + QString::fromUtf8(QTest::currentDataTag())});
        QVERIFY(child.waitForFinished(120000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAll().constData());
        return;
    }
    open();
    const QList<QGroupBox*> frames = m_dialog->findChildren<QGroupBox*>();
    QVERIFY(!frames.isEmpty());
    for (QGroupBox* frame : frames) {
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        auto rect = [&](QStyle::SubControl part) {
            return frame->style()->subControlRect(QStyle::CC_GroupBox, &option, part, frame);
        };
        const QRect line = rect(QStyle::SC_GroupBoxFrame);
        const QRect caption = rect(QStyle::SC_GroupBoxLabel);
        const QRect contents = rect(QStyle::SC_GroupBoxContents);
        const QByteArray name = frame->objectName().toUtf8();
        // The caption sits whole on the top line; the rows lie below that line.
        QVERIFY2(caption.top() < line.top() && line.top() < caption.bottom(), name.constData());
        QVERIFY2(frame->rect().contains(caption), name.constData());
        for (QWidget* child : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(contents.contains(child->geometry()),
                     (name + " / " + child->objectName().toUtf8()).constData());
    }
}

QTEST_MAIN(TestOptionsDialog)
#include "tst_optionsdialog.moc"
