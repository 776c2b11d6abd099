// tarnwick-settings pointing the desktop's proxy at the program and having the browsers
// trust its CA, and undoing both: against a real GSettings store (the keyfile backend),
// a real kioslaverc and real NSS databases, all in a temporary home.

#include "platform/setuptask.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
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
    void desktopFaults_data();
    void desktopFaults();
    void caTrust();
    void profilePlaces_data();
    void profilePlaces();
    void caTrustWithoutCertutil();
    void loopRunsWhileCertutilIsSlow();

private:
    // Runs `program` with the temporary home as the whole of the user's world.
    Run run(const QString& program, const QStringList& arguments) const;
    Run settings(const QStringList& arguments) const { return run(m_tool, arguments); }
    QString gnome() const {
        return run(u"gsettings"_s, {u"list-recursively"_s, u"org.gnome.system.proxy"_s}).out;
    }
    // A folder of programs that stand first on PATH: `name` runs `script` ("$REAL" is
    // the program it stands for).
    QString shadow(const QString& name, const QByteArray& script) const;
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

QString TestDesktopSetup::shadow(const QString& name, const QByteArray& script) const {
    const QString bin = m_home->filePath(u"shadow"_s);
    QDir().mkpath(bin);
    QFile file(bin + u'/' + name);
    const QByteArray real = QFile::encodeName(QStandardPaths::findExecutable(name));
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\nREAL=" + real + '\n' + script + '\n');
    file.close();
    file.setPermissions(file.permissions() | QFile::ExeOwner);
    return bin;
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
    QTest::addColumn<bool>("changeFirst");    // changed before the port moves, not after

    const QStringList gnomeOn = {u"org.gnome.system.proxy mode 'manual'"_s,
                                 u"org.gnome.system.proxy.http host '127.0.0.1'"_s,
                                 u"org.gnome.system.proxy.http port 3129"_s,
                                 u"org.gnome.system.proxy.https host '127.0.0.1'"_s,
                                 u"org.gnome.system.proxy.https port 3129"_s};
    const QStringList kdeOn = {u"[Proxy Settings]"_s, u"ProxyType=1"_s,
                               u"httpProxy=http://127.0.0.1 3129"_s,
                               u"httpsProxy=http://127.0.0.1 3129"_s};
    QTest::newRow("GNOME, nothing set before")
        << u"GNOME"_s << QStringList() << gnomeOn << QString() << false;
    QTest::newRow("GNOME, the user's own proxy before")
        << u"ubuntu:GNOME"_s
        << QStringList{u"org.gnome.system.proxy mode 'manual'"_s,
                       u"org.gnome.system.proxy.http host 'corp.example'"_s,
                       u"org.gnome.system.proxy.http port 3128"_s,
                       u"org.gnome.system.proxy.https port 443"_s}
        << gnomeOn << QString() << false;
    QTest::newRow("Cinnamon, a key changed while on is kept")
        << u"X-Cinnamon"_s << QStringList{u"org.gnome.system.proxy mode 'auto'"_s} << gnomeOn
        << u"org.gnome.system.proxy.https host 'mine.example'"_s << false;
    QTest::newRow("GNOME, a key changed before the port moves stays")
        << u"GNOME"_s << QStringList()
        << gnomeOn.mid(0, 4) + QStringList{u"org.gnome.system.proxy.https port 8443"_s}
        << u"org.gnome.system.proxy.https port 8443"_s << true;
    QTest::newRow("KDE, no kioslaverc before")
        << u"KDE"_s << QStringList() << kdeOn << QString() << false;
    QTest::newRow("KDE, the user's own file before") << u"KDE"_s
                                                     << QStringList{u"[Cache]"_s,
                                                                    u"MaxCacheSize=5120"_s,
                                                                    u""_s,
                                                                    u"[Proxy Settings]"_s,
                                                                    u"NoProxyFor=.corp.example"_s,
                                                                    u"ProxyType = 4"_s,
                                                                    u""_s,
                                                                    u"[UserAgent]"_s,
                                                                    u"SendUserAgent=true"_s}
                                                     << kdeOn << QString() << false;
    // The same names in a later group are no proxy setting.
    QTest::newRow("KDE, keys of the same name in a later group")
        << u"KDE"_s << QStringList{u"[Proxy Settings]"_s,
                                   u"NoProxyFor=.corp.example"_s,
                                   u""_s,
                                   u"[Later]"_s,
                                   u"httpProxy=http://other.example 1"_s,
                                   u"ProxyType=2"_s}
        << kdeOn + QStringList{u"[Later]\nhttpProxy=http://other.example 1\nProxyType=2"_s}
        << QString() << false;
}

void TestDesktopSetup::desktopProxy() {
    QFETCH(QString, desktop);
    QFETCH(QStringList, before);
    QFETCH(QStringList, whileOn);
    QFETCH(QString, userChange);
    QFETCH(bool, changeFirst);
    m_env.insert(u"XDG_CURRENT_DESKTOP"_s, desktop);
    const bool kde = desktop == u"KDE";
    const QString kioslaverc = m_home->filePath(u".config/kioslaverc"_s);
    if (kde && !before.isEmpty()) {
        QDir().mkpath(m_home->filePath(u".config"_s));
        QFile file(kioslaverc);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((before.join(u'\n') + u'\n').toUtf8());
    }
    auto gsettingsSet = [&](const QString& line) {
        return run(u"gsettings"_s, QStringList{u"set"_s} + line.split(u' ')).exitCode == 0;
    };
    for (const QString& line : (kde ? QStringList() : before))
        QVERIFY(gsettingsSet(line));
    auto current = [&] { return kde ? QString::fromUtf8(readAll(kioslaverc)) : gnome(); };
    const QString original = current();
    const QString status = settings({u"desktop-proxy"_s, u"status"_s}).out;
    QVERIFY2(status.contains(u"has not set"_s), qPrintable(status));

    // On at one port, then the port changes: the desktop follows it.
    QCOMPARE(settings({u"set"_s, u"Local_Port"_s, u"3000"_s}).exitCode, 0);
    const Run on = settings({u"desktop-proxy"_s, u"on"_s});
    QVERIFY2(on.exitCode == 0, qPrintable(on.out));
    QVERIFY2(current().contains(u"3000"_s), qPrintable(current()));
    if (changeFirst)
        QVERIFY(gsettingsSet(userChange));
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
                 onStatus.contains(changeFirst ? u"set by Tarnwick, changed since"_s
                                               : u"set by Tarnwick (port 3129)"_s),
             qPrintable(onStatus));
    if (!userChange.isEmpty() && !changeFirst)
        QVERIFY(gsettingsSet(userChange));
    const Run off = settings({u"desktop-proxy"_s, u"off"_s});
    QVERIFY2(off.exitCode == 0, qPrintable(off.out));
    const QString key = QRegularExpression::escape(userChange.section(u' ', 0, 1));
    const QString expected =
        userChange.isEmpty()
            ? original
            : QString(original).replace(QRegularExpression(key + u" [^\n]*"_s), userChange);
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
    // Two Firefox profiles with databases, one listed whose folder is gone (left alone),
    // and no Chromium database yet (made).
    const QString firefox = m_home->filePath(u".mozilla/firefox"_s);
    const QString absolute = m_home->filePath(u"elsewhere/work"_s);
    const QString relative = firefox + u"/abcd.default-esr"_s;
    const QString empty = firefox + u"/never.started"_s;
    for (const QString& folder : {relative, absolute})
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
    QVERIFY(!QFile::exists(empty));
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

void TestDesktopSetup::desktopFaults_data() {
    QTest::addColumn<QByteArray>("saved"); // desktop-proxy.json from before; none when empty
    // "EXIT ARGUMENTS": a step of the settings tool and its exit status; "EXIT! ..." while
    // gsettings refuses to set the HTTPS port and to reset the HTTP host.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("says"); // in the last step's output
    QTest::newRow("on fails, and so does its roll-back: off still puts back")
        << QByteArray() << QStringList{u"1! desktop-proxy on 3000"_s, u"0 desktop-proxy off"_s}
        << u"back to no proxy"_s;
    QTest::newRow("a port move fails half way: off finds both ports")
        << QByteArray()
        << QStringList{u"0 desktop-proxy on 3000"_s, u"1! desktop-proxy follow 3129"_s,
                       u"0 desktop-proxy off"_s}
        << u"back to no proxy"_s;
    QTest::newRow("status of values saved for a desktop unknown here")
        << R"({"port": 3000, "desktops": [{"desktop": "xfce", "values": {}}]})"_ba
        << QStringList{u"1 desktop-proxy status"_s} << u"unknown desktop \"xfce\""_s;
}

void TestDesktopSetup::desktopFaults() {
    QFETCH(QByteArray, saved);
    QFETCH(QStringList, steps);
    QFETCH(QString, says);
    m_env.insert(u"XDG_CURRENT_DESKTOP"_s, u"GNOME"_s);
    const QString bin =
        shadow(u"gsettings"_s, "case \"$FAULT$*\" in \"1set org.gnome.system.proxy.https "
                               "port\"*|\"1reset org.gnome.system.proxy.http host\"*)"
                               " exit 1;; esac\nexec \"$REAL\" \"$@\"");
    m_env.insert(u"PATH"_s, bin + u':' + m_env.value(u"PATH"_s));
    const QString state = m_home->filePath(u".local/share/Tarnwick/desktop-proxy.json"_s);
    if (!saved.isEmpty()) {
        QDir().mkpath(QFileInfo(state).path());
        QFile file(state);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(saved) == saved.size());
    }
    const QString original = gnome();
    Run last;
    for (const QString& step : steps) {
        const QString exit = step.section(u' ', 0, 0);
        m_env.insert(u"FAULT"_s, exit.endsWith(u'!') ? u"1"_s : QString());
        last = settings(step.section(u' ', 1).split(u' '));
        QVERIFY2(last.exitCode == exit.left(1).toInt(), qPrintable(step + u'\n' + last.out));
    }
    QVERIFY2(last.out.contains(says), qPrintable(last.out));
    if (saved.isEmpty()) {
        QCOMPARE(gnome(), original);
        QVERIFY(!QFile::exists(state));
    }
}

void TestDesktopSetup::profilePlaces_data() {
    // The home before: "ini DIR" (DIR/profiles.ini listing DIR/p.default), "db DIR" (a
    // database), "dir DIR", "link DIR TO", "trust" (`ca trust` run), "only PROGRAM..."
    // (nothing else installed).
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("database"); // gets the CA; when empty, none is reached
    QTest::addColumn<QString>("says");     // once in what `ca trust` prints
    const QString xdg = u".config/mozilla/firefox"_s, p = u"Firefox profile p ("_s;
    auto started = [](const QString& dir) {
        return QStringList{u"ini "_s + dir, u"db "_s + dir + u"/p.default"_s};
    };
    QTest::newRow("Firefox, the old place")
        << started(u".mozilla/firefox"_s) << u".mozilla/firefox/p.default"_s << p;
    QTest::newRow("Firefox, $XDG_CONFIG_HOME") << started(xdg) << xdg + u"/p.default"_s << p;
    const QString flatpak = u".var/app/org.mozilla.firefox/.mozilla/firefox"_s;
    QTest::newRow("Firefox Flatpak")
        << started(flatpak) << flatpak + u"/p.default"_s << u"Firefox (Flatpak) profile p ("_s;
    const QString snap = u"snap/firefox/common/.mozilla/firefox"_s;
    QTest::newRow("Firefox Snap") << started(snap) << snap + u"/p.default"_s
                                  << u"Firefox (Snap) profile p ("_s;
    QTest::newRow("Firefox, one profile listed in two places")
        << started(xdg) + QStringList{u"link "_s + xdg + u" .mozilla/firefox"_s}
        << xdg + u"/p.default"_s << p;
    QTest::newRow("Firefox, one profile listed in two places, trusted before")
        << started(xdg) + QStringList{u"link "_s + xdg + u" .mozilla/firefox"_s, u"trust"_s}
        << xdg + u"/p.default"_s << u"/p.default): "_s;
    QTest::newRow("Firefox, a profile never started")
        << QStringList{u"ini "_s + xdg} << xdg + u"/p.default"_s << p;
    QTest::newRow("Chromium Flatpak")
        << QStringList{u"dir .var/app/org.chromium.Chromium"_s}
        << u".var/app/org.chromium.Chromium/.pki/nssdb"_s << u"Chromium (Flatpak) ("_s;
    QTest::newRow("Chromium Snap")
        << QStringList{u"dir snap/chromium/current"_s} << u"snap/chromium/current/.pki/nssdb"_s
        << u"Chromium (Snap) ("_s;
    QTest::newRow("Firefox never run: told to start it")
        << QStringList{u"only certutil firefox-esr"_s} << QString()
        << u"Firefox: not reached, no profile in"_s;
    QTest::newRow("no browser at all")
        << QStringList{u"only certutil"_s} << QString() << u"No browser trusts the CA"_s;
}

void TestDesktopSetup::profilePlaces() {
    QFETCH(QStringList, before);
    QFETCH(QString, database);
    QFETCH(QString, says);
    const QDir home(m_home->path());
    for (const QString& step : before) {
        const QStringList w = step.split(u' ');
        if (w[0] == u"ini") {
            QVERIFY(home.mkpath(w[1] + u"/p.default"_s));
            QFile ini(home.filePath(w[1] + u"/profiles.ini"_s));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[Profile0]\nName=p\nIsRelative=1\nPath=p.default\nDefault=1\n");
        } else if (w[0] == u"db") {
            const QStringList create = {u"-N"_s, u"--empty-password"_s, u"-d"_s};
            QCOMPARE(
                run(u"certutil"_s, create + QStringList{u"sql:"_s + home.filePath(w[1])}).exitCode,
                0);
        } else if (w[0] == u"link") {
            QVERIFY(home.mkpath(QFileInfo(w[2]).path()));
            QVERIFY(QFile::link(home.filePath(w[1]), home.filePath(w[2])));
        } else if (w[0] == u"dir") {
            QVERIFY(home.mkpath(w[1]));
        } else if (w[0] == u"trust") {
            QCOMPARE(settings({u"ca"_s, u"trust"_s}).exitCode, 0);
        } else {
            // certutil itself; the others in name only.
            QVERIFY(home.mkpath(u"bin"_s));
            for (const QString& name : w.mid(1))
                QVERIFY(QFile::link(name == u"certutil" ? QStandardPaths::findExecutable(name)
                                                        : u"/bin/true"_s,
                                    home.filePath(u"bin/"_s + name)));
            m_env.insert(u"PATH"_s, home.filePath(u"bin"_s));
        }
    }
    const Run trust = settings({u"ca"_s, u"trust"_s});
    QVERIFY2(trust.exitCode == int(database.isEmpty()) && trust.out.count(says) == 1,
             qPrintable(trust.out));
    if (database.isEmpty())
        return;
    const QString entry = u"Tarnwick(Lite) CA of tester"_s, folder = home.filePath(database);
    QVERIFY2(certificates(folder).contains(entry), qPrintable(trust.out));
    // Its place in the list of places looked in, and the CA in it.
    const QString status = settings({u"ca"_s, u"status"_s}).out;
    const qsizetype at = status.indexOf(says);
    QVERIFY2(at >= 0 && status.indexOf(u": in it, trust C,,\n"_s, at) < status.indexOf(u'\n', at) &&
                 status.contains(u"looked in "_s + home.filePath(before[0].section(u' ', 1))),
             qPrintable(status));
    QCOMPARE(settings({u"ca"_s, u"untrust"_s}).exitCode, 0);
    QVERIFY(!certificates(folder).contains(entry));
}

void TestDesktopSetup::loopRunsWhileCertutilIsSlow() {
    // Each certutil call takes a second; the settings tool makes three for a new home.
    const QString bin = shadow(u"certutil"_s, "sleep 1\nexec \"$REAL\" \"$@\"");
    m_env.insert(u"PATH"_s, bin + u':' + QFile::decodeName(qgetenv("TARNWICK_BIN_DIR")) + u':' +
                                m_env.value(u"PATH"_s));
    QHash<QByteArray, QByteArray> before;
    for (const char* name :
         {"PATH", "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "USER", "GSETTINGS_BACKEND"}) {
        before.insert(name, qgetenv(name));
        qputenv(name, m_env.value(QString::fromLatin1(name)).toLocal8Bit());
    }
    Tarnwick::SetupTask task;
    std::optional<Tarnwick::SetupReport> report;
    connect(&task, &Tarnwick::SetupTask::finished, this,
            [&](const Tarnwick::SetupReport& r) { report = r; });
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] { ++ticks; });
    tick.start(20);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(task.start({u"ca"_s, u"trust"_s}));
    QTRY_VERIFY_WITH_TIMEOUT(report.has_value(), 60000);
    const qint64 took = clock.elapsed();
    for (auto it = before.begin(); it != before.end(); ++it)
        qputenv(it.key().constData(), it.value());
    QVERIFY2(report->ok, qPrintable(report->lines.join(u'\n')));
    // The loop went round all the while: on a busy machine, a quarter of the ticks due.
    QVERIFY2(took >= 3000 && ticks >= took / 20 / 4,
             qPrintable(u"%1 ticks in %2 ms"_s.arg(ticks).arg(took)));
}

QTEST_GUILESS_MAIN(TestDesktopSetup)
#include "tst_desktopsetup.moc"
