// tarnwick-settings pointing the desktop's proxy at the program and having the browsers
// trust its CA, and undoing both: against a real GSettings store (the keyfile backend),
// a real kioslaverc and real NSS databases, all in a temporary home.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

} // namespace

class TestDesktopSetup : public QObject {
    Q_OBJECT

private slots:
    void init();

    void desktopProxy_data();
    void desktopProxy();
    void neitherDesktop();
    void caTrust();
    void caTrustWithoutCertutil();

private:
    // Runs `program` with the temporary home as the whole of the user's world.
    Run run(const QString& program, const QStringList& arguments) const;
    Run settings(const QStringList& arguments) const {
        return run(m_tool, arguments);
    }
    QString gnome() const {
        return run(u"gsettings"_s, {u"list-recursively"_s, u"org.gnome.system.proxy"_s}).out;
    }
    QString certificates(const QString& folder) const {
        return run(u"certutil"_s, {u"-L"_s, u"-d"_s, u"sql:"_s + folder}).out;
    }

    std::unique_ptr<QTemporaryDir> m_home;
    QProcessEnvironment m_env;
    QString m_tool;
};

void TestDesktopSetup::init() {
    const QByteArray binDir = qgetenv("TARNWICK_BIN_DIR");
    if (binDir.isEmpty())
        QSKIP("TARNWICK_BIN_DIR is not set: the settings tool cannot be found");
    m_tool = QDir(QFile::decodeName(binDir)).filePath(u"tarnwick-settings"_s);
    m_home = std::make_unique<QTemporaryDir>();
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(u"HOME"_s, m_home->path());
    m_env.insert(u"XDG_CONFIG_HOME"_s, m_home->filePath(u".config"_s));
    m_env.insert(u"XDG_DATA_HOME"_s, m_home->filePath(u".local/share"_s));
    m_env.insert(u"GSETTINGS_BACKEND"_s, u"keyfile"_s);
    m_env.insert(u"USER"_s, u"tester"_s);
    m_env.remove(u"XDG_CURRENT_DESKTOP"_s);
}

Run TestDesktopSetup::run(const QString& program, const QStringList& arguments) const {
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Run result;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAll());
    return result;
}

void TestDesktopSetup::desktopProxy_data() {
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QStringList>("before");  // gsettings set lines, or kioslaverc's text
    QTest::addColumn<QStringList>("whileOn"); // what the browsers read at port 3129
    QTest::addColumn<QString>("userChange");  // a key the user changes while on (kept by off)

    const QStringList gnomeOn = {u"org.gnome.system.proxy mode 'manual'"_s,
                                 u"org.gnome.system.proxy.http host '127.0.0.1'"_s,
                                 u"org.gnome.system.proxy.http port 3129"_s,
                                 u"org.gnome.system.proxy.https host '127.0.0.1'"_s,
                                 u"org.gnome.system.proxy.https port 3129"_s};
    const QStringList kdeOn = {u"[Proxy Settings]"_s, u"ProxyType=1"_s,
                               u"httpProxy=http://127.0.0.1 3129"_s,
                               u"httpsProxy=http://127.0.0.1 3129"_s};
    QTest::newRow("GNOME, nothing set before") << u"GNOME"_s << QStringList() << gnomeOn << QString();
    QTest::newRow("GNOME, the user's own proxy before")
        << u"ubuntu:GNOME"_s
        << QStringList{u"org.gnome.system.proxy mode 'manual'"_s,
                       u"org.gnome.system.proxy.http host 'corp.example'"_s,
                       u"org.gnome.system.proxy.http port 3128"_s,
                       u"org.gnome.system.proxy.https port 443"_s}
        << gnomeOn << QString();
    QTest::newRow("Cinnamon, a key changed while on is kept")
        << u"X-Cinnamon"_s << QStringList{u"org.gnome.system.proxy mode 'auto'"_s} << gnomeOn
        << u"org.gnome.system.proxy.https host 'mine.example'"_s;
    QTest::newRow("KDE, no kioslaverc before") << u"KDE"_s << QStringList() << kdeOn << QString();
    QTest::newRow("KDE, the user's own file before")
        << u"KDE"_s
        << QStringList{u"[Cache]"_s, u"MaxCacheSize=5120"_s, u""_s, u"[Proxy Settings]"_s,
                       u"NoProxyFor=.corp.example"_s, u"ProxyType = 4"_s, u""_s,
                       u"[UserAgent]"_s, u"SendUserAgent=true"_s}
        << kdeOn << QString();
}

void TestDesktopSetup::desktopProxy() {
    QFETCH(QString, desktop);
    QFETCH(QStringList, before);
    QFETCH(QStringList, whileOn);
    QFETCH(QString, userChange);
    m_env.insert(u"XDG_CURRENT_DESKTOP"_s, desktop);
    const bool kde = desktop == u"KDE";
    const QString kioslaverc = m_home->filePath(u".config/kioslaverc"_s);
    if (kde && !before.isEmpty()) {
        QDir().mkpath(m_home->filePath(u".config"_s));
        QFile file(kioslaverc);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((before.join(u'\n') + u'\n').toUtf8());
    }
    for (const QString& line : (kde ? QStringList() : before)) {
        const QStringList words = line.split(u' ');
        QCOMPARE(run(u"gsettings"_s, {u"set"_s, words[0], words[1], words[2]}).exitCode, 0);
    }
    auto current = [&] { return kde ? QString::fromUtf8(readAll(kioslaverc)) : gnome(); };
    const QString original = current();
    const QString status = settings({u"desktop-proxy"_s, u"status"_s}).out;
    QVERIFY2(status.contains(u"has not set"_s), qPrintable(status));

    // On at one port, then the port changes: the desktop follows it.
    QCOMPARE(settings({u"set"_s, u"Local_Port"_s, u"3000"_s}).exitCode, 0);
    const Run on = settings({u"desktop-proxy"_s, u"on"_s});
    QVERIFY2(on.exitCode == 0, qPrintable(on.out));
    QVERIFY2(current().contains(u"3000"_s), qPrintable(current()));
    QCOMPARE(settings({u"set"_s, u"Local_Port"_s, u"3129"_s}).exitCode, 0);
    // A second `on` keeps the values saved by the first.
    QCOMPARE(settings({u"desktop-proxy"_s, u"on"_s}).exitCode, 0);
    // KDE reads "KEY = VALUE" as "KEY=VALUE".
    const QString set = current().replace(u" = "_s, u"="_s);
    for (const QString& line : whileOn)
        QVERIFY2(set.contains(line + u'\n'), qPrintable(line + u" in\n"_s + set));
    QVERIFY(!set.contains(u"3000"_s));
    const QString onStatus = settings({u"desktop-proxy"_s, u"status"_s}).out;
    QVERIFY2(onStatus.contains(kde ? u"KDE Plasma"_s : u"GNOME"_s) &&
                 onStatus.contains(u"set by Tarnwick (port 3129)"_s),
             qPrintable(onStatus));

    if (!userChange.isEmpty()) {
        const QStringList words = userChange.split(u' ');
        QCOMPARE(run(u"gsettings"_s, {u"set"_s, words[0], words[1], words[2]}).exitCode, 0);
    }
    const Run off = settings({u"desktop-proxy"_s, u"off"_s});
    QVERIFY2(off.exitCode == 0, qPrintable(off.out));
    QString expected = original;
    if (!userChange.isEmpty()) {
        const qsizetype key = userChange.lastIndexOf(u' ');
        const QRegularExpression was(QRegularExpression::escape(userChange.left(key)) + u" [^\n]*"_s);
        expected.replace(was, userChange);
    }
    QCOMPARE(current(), expected);
    if (kde && before.isEmpty())
        QVERIFY(!QFile::exists(kioslaverc));
    // Off, a new port no longer moves the desktop.
    QCOMPARE(settings({u"set"_s, u"Local_Port"_s, u"3200"_s}).exitCode, 0);
    QCOMPARE(current(), expected);
    QVERIFY(settings({u"desktop-proxy"_s, u"status"_s}).out.contains(u"has not set"_s));
}

void TestDesktopSetup::neitherDesktop() {
    // No GNOME schema to be found, no kioslaverc, no desktop named.
    m_env.insert(u"XDG_DATA_DIRS"_s, m_home->filePath(u"none"_s));
    m_env.remove(u"GSETTINGS_SCHEMA_DIR"_s);
    const Run on = settings({u"desktop-proxy"_s, u"on"_s});
    QCOMPARE(on.exitCode, 1);
    QVERIFY2(on.out.contains(u"neither"_s) &&
                 on.out.contains(u"--proxy-server=http://127.0.0.1:8080"_s),
             qPrintable(on.out));
    QVERIFY(settings({u"desktop-proxy"_s, u"status"_s}).out.contains(u"neither"_s));
    QVERIFY(!QFile::exists(m_home->filePath(u".local/share/Tarnwick/desktop-proxy.json"_s)));
}

void TestDesktopSetup::caTrust() {
    // Two Firefox profiles with databases, one listed without any (left alone), and no
    // Chromium database yet (made).
    const QString firefox = m_home->filePath(u".mozilla/firefox"_s);
    const QString absolute = m_home->filePath(u"elsewhere/work"_s);
    const QString relative = firefox + u"/abcd.default-esr"_s;
    const QString empty = firefox + u"/never.started"_s;
    for (const QString& folder : {relative, absolute, empty})
        QVERIFY(QDir().mkpath(folder));
    QFile ini(firefox + u"/profiles.ini"_s);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Install4F96D1932A9F858E]\nDefault=abcd.default-esr\n\n"
              "[Profile1]\nName=work\nIsRelative=0\nPath=" +
              absolute.toUtf8() +
              "\n\n[Profile0]\nName=default-esr\nIsRelative=1\nPath=abcd.default-esr\nDefault=1\n\n"
              "[Profile2]\nName=never\nIsRelative=1\nPath=never.started\n\n"
              "[General]\nStartWithLastProfile=1\nVersion=2\n");
    ini.close();
    for (const QString& folder : {relative, absolute})
        QCOMPARE(run(u"certutil"_s, {u"-N"_s, u"--empty-password"_s, u"-d"_s, u"sql:"_s + folder})
                     .exitCode,
                 0);
    const QString chromium = m_home->filePath(u".pki/nssdb"_s);
    const QStringList databases = {chromium, relative, absolute};
    const QString entry = u"Tarnwick(Lite) CA of tester"_s;
    auto trusted = [&](const QString& folder) {
        static const QRegularExpression line(u"Tarnwick\\(Lite\\) CA of tester +C,, *\n"_s);
        return certificates(folder).count(line);
    };

    const Run trust = settings({u"ca"_s, u"trust"_s});
    QVERIFY2(trust.exitCode == 0, qPrintable(trust.out));
    for (const QString& folder : databases)
        QVERIFY2(trusted(folder) == 1, qPrintable(folder + u'\n' + certificates(folder)));
    QVERIFY(!QFile::exists(empty + u"/cert9.db"_s));
    QVERIFY(QDir(empty).isEmpty());
    const QString status = settings({u"ca"_s, u"status"_s}).out;
    for (const QString& folder : databases)
        QVERIFY2(status.contains(folder + u"): in it, trust C,,"_s), qPrintable(status));
    QVERIFY2(status.contains(empty + u"): no database"_s), qPrintable(status));

    // A CA made anew replaces the old one under the same name.
    const QString caFolder = m_home->filePath(u".local/share/Tarnwick/ca"_s);
    const QByteArray oldCa = readAll(caFolder + u"/ca.crt"_s);
    QVERIFY(QDir(caFolder).removeRecursively());
    QCOMPARE(settings({u"ca"_s, u"trust"_s}).exitCode, 0);
    QVERIFY(readAll(caFolder + u"/ca.crt"_s) != oldCa);
    for (const QString& folder : databases) {
        QCOMPARE(trusted(folder), 1);
        const QByteArray inDb =
            run(u"certutil"_s, {u"-L"_s, u"-n"_s, entry, u"-a"_s, u"-d"_s, u"sql:"_s + folder})
                .out.toUtf8()
                .replace("\r", "");
        QCOMPARE(inDb.trimmed(), readAll(caFolder + u"/ca.crt"_s).trimmed());
    }

    // Untrusted, it is gone from each, even from a profile dropped from the list since.
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[Profile0]\nName=default-esr\nIsRelative=1\nPath=abcd.default-esr\n");
    ini.close();
    const Run untrust = settings({u"ca"_s, u"untrust"_s});
    QVERIFY2(untrust.exitCode == 0, qPrintable(untrust.out));
    for (const QString& folder : databases)
        QVERIFY2(!certificates(folder).contains(entry), qPrintable(folder));

    // `ca remove` untrusts first and leaves nothing trusted.
    QCOMPARE(settings({u"ca"_s, u"trust"_s}).exitCode, 0);
    QCOMPARE(trusted(absolute), 0); // no longer listed anywhere
    QCOMPARE(trusted(chromium), 1);
    QCOMPARE(settings({u"ca"_s, u"remove"_s}).exitCode, 0);
    for (const QString& folder : databases)
        QVERIFY(!certificates(folder).contains(entry));
    QVERIFY(!QFile::exists(caFolder + u"/ca.crt"_s));
}

void TestDesktopSetup::caTrustWithoutCertutil() {
    m_env.insert(u"PATH"_s, m_home->filePath(u"bin"_s));
    for (const QStringList& command : {QStringList{u"ca"_s, u"trust"_s}, {u"ca"_s, u"status"_s}}) {
        const Run r = settings(command);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.contains(u"libnss3-tools"_s), qPrintable(r.out));
    }
    QVERIFY(!QFile::exists(m_home->filePath(u".pki"_s)));
}

QTEST_GUILESS_MAIN(TestDesktopSetup)
#include "tst_desktopsetup.moc"
