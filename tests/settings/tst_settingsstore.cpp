// The settings store and the settings tool: defaults, removal results, values written
// by another process seen at the next read, text that survives the file format, and
// the tool's command line.

#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTcpServer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>

#include <fcntl.h>
#include <sys/stat.h>

using namespace Tarnwick;
using namespace Qt::StringLiterals;

namespace {
struct ToolResult {
    int exitCode = -1;
    QString out;
    QString err;
};
} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void absentKeysAndRemoval();
    void secondProcessWriteSeenAtOnce_data();
    void secondProcessWriteSeenAtOnce();
    void textRoundTrip_data();
    void textRoundTrip();
    void equalSavesWithOneTimeStampAreSeen_data();
    void equalSavesWithOneTimeStampAreSeen();
    void readScopeLooksOnce();
    void toolReferer();
    void toolBadUsage_data();
    void toolBadUsage();
    void toolAbsentKeyAndList();
    void commandLines_data();
    void commandLines();
    void headlessListensOnTheGivenPort();

private:
    ToolResult tool(const QStringList& arguments, const QString& program = {}) const;

    QTemporaryDir m_home;
    QString m_tool;
};

void TestSettingsStore::initTestCase() {
    QVERIFY(m_home.isValid());
    // Before the first QSettings use: the per-user path is fixed from then on.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path()));
    // The program's own data (the desktop proxy's saved values) stays in the test's home.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.path()));
    const QByteArray binDir = qgetenv("TARNWICK_BIN_DIR");
    if (binDir.isEmpty())
        QSKIP("TARNWICK_BIN_DIR is not set: the settings tool cannot be found");
    m_tool = QDir(QFile::decodeName(binDir)).filePath(u"tarnwick-settings"_s);
    QVERIFY2(QFile::exists(m_tool), qPrintable(m_tool));
    QCOMPARE(SettingsStore::defaultFileName(), m_home.path() + u"/Tarnwick/Tarnwick.ini"_s);
}

void TestSettingsStore::init() {
    SettingsStore store;
    store.removeAll();
}

ToolResult TestSettingsStore::tool(const QStringList& arguments, const QString& program) const {
    QProcess process;
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process.start(program.isEmpty() ? m_tool : QFileInfo(m_tool).dir().filePath(program), arguments);
    ToolResult result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

void TestSettingsStore::absentKeysAndRemoval() {
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(u"store.ini"_s));

    // Nothing stored yet: every read gets the caller's default, nothing is written back.
    QCOMPARE(store.getByName(u"Local_Port", u"8080"), u"8080"_s);
    QCOMPARE(store.get(Setting::RefererFake), Setting::RefererFake.defaultValue.toString());
    QCOMPARE(store.getByName(u"AutoStart", u""), QString());
    QVERIFY(!QFile::exists(store.fileName()));
    QVERIFY(!store.removeByName(u"Local_Port"));
    QVERIFY(!store.removeAll());

    QVERIFY(store.saveByName(u"Local_Port", u"3128"_s));
    QCOMPARE(store.getByName(u"Local_Port", u"8080"), u"3128"_s);
    // An empty value is a value, not an absent key.
    QVERIFY(store.saveByName(u"Proxy_Server", QString()));
    QCOMPARE(store.getByName(u"Proxy_Server", u"dflt"), QString());
    QVERIFY(!store.removeByName(u"Proxy"));
    QVERIFY(store.removeByName(u"Local_Port"));
    QVERIFY(!store.removeByName(u"Local_Port"));
    QCOMPARE(store.getByName(u"Local_Port", u"8080"), u"8080"_s);

    QVERIFY(store.saveByName(u"@Referer", u"12:00:00|http://a.test/"_s));
    QVERIFY(store.removeAll());
    QVERIFY(!store.removeAll());
    QCOMPARE(store.getByName(u"@Referer", u""), QString());
    QCOMPARE(store.getByName(u"Proxy_Server", u"dflt"), u"dflt"_s);
    QVERIFY(store.keys().isEmpty());
}

void TestSettingsStore::secondProcessWriteSeenAtOnce_data() {
    QTest::addColumn<QStringList>("values");
    // Same size, so that only the time stamp (or the file itself) tells the change.
    QTest::newRow("same size") << QStringList{u"v1"_s, u"v2"_s, u"v3"_s, u"v4"_s, u"v5"_s,
                                              u"v6"_s, u"v7"_s, u"v8"_s};
    QTest::newRow("growing and shrinking")
        << QStringList{u"a"_s, u"abcdefgh"_s, u"ab"_s, u"○×△"_s, u""_s, u"xyz"_s};
}

void TestSettingsStore::secondProcessWriteSeenAtOnce() {
    QFETCH(QStringList, values);
    SettingsStore store;
    QVERIFY(store.saveByName(u"Referer", u"○"_s));
    QCOMPARE(store.getByName(u"Referer", u"×"), u"○"_s);
    for (const QString& value : values) {
        const ToolResult set = tool({u"set"_s, u"@Referer"_s, value});
        QCOMPARE(set.exitCode, 0);
        // The very next read sees it: there is no cache and no notification.
        QCOMPARE(store.getByName(u"@Referer", u"absent"), value);
        QCOMPARE(store.getByName(u"Referer", u"×"), u"○"_s);
    }
    // And the other way round: our write is what the other process reads next.
    for (const QString& value : values) {
        QVERIFY(store.saveByName(u"@Referer", value));
        const ToolResult get = tool({u"get"_s, u"@Referer"_s});
        QCOMPARE(get.exitCode, 0);
        QCOMPARE(get.out, value + u'\n');
    }
}

void TestSettingsStore::textRoundTrip_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const QString keys[] = {
        Setting::AllowedMachines[0].name.toString(), Setting::AllowedMachines[9].name.toString(),
        Setting::EventCountLan.name.toString(),      Setting::EventCountWan.name.toString(),
        Setting::RefererFake.name.toString(),        Setting::UserAgentFake.name.toString(),
        Setting::IfModifiedSinceFake.name.toString(), Setting::OutsideReferer.name.toString(),
    };
    const QString values[] = {
        u"a, b"_s,
        u"a,b,c"_s,
        u"x; y"_s,
        u"say \"hi\""_s,
        u"k=v=w"_s,
        u"C:\\dir\\file"_s,
        u"@Variant(fake)"_s,
        u"@"_s,
        u"  blanks around  "_s,
        u"○×△"_s,
        u"#not a comment"_s,
        u"[not a section]"_s,
        Setting::IfModifiedSinceFake.defaultValue.toString(),
        u"12:34:56|http://example.test/a?b=1,2;c=\"3\""_s,
    };
    int row = 0;
    for (const QString& key : keys) {
        // Every value under a few keys, one value under each of the others.
        const bool everyValue = row < 2;
        for (qsizetype v = 0; v < qsizetype(std::size(values)); ++v) {
            if (!everyValue && v != row % qsizetype(std::size(values)))
                continue;
            QTest::addRow("%s %lld", qPrintable(key), qlonglong(v)) << key << values[v];
        }
        ++row;
    }
}

void TestSettingsStore::textRoundTrip() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    SettingsStore store;
    QVERIFY(store.saveByName(key, value));
    QCOMPARE(store.getByName(key, u"absent"), value);

    // Read back by a process that parses the file afresh.
    const ToolResult get = tool({u"get"_s, key});
    QCOMPARE(get.exitCode, 0);
    QCOMPARE(get.out, value + u'\n');

    // Written by that process, read here.
    const QString other = value + u"|2"_s;
    QCOMPARE(tool({u"set"_s, key, other}).exitCode, 0);
    QCOMPARE(store.getByName(key, u"absent"), other);
    QVERIFY(store.keys().contains(key));
}

void TestSettingsStore::equalSavesWithOneTimeStampAreSeen_data() {
    QTest::addColumn<bool>("inPlace");
    // Replaced with one size and one time stamp to the nanosecond: only the inode differs.
    QTest::newRow("replaced") << false;
    // Rewritten in place with one size within one second: only the nanoseconds differ.
    QTest::newRow("rewritten in place") << true;
}

// Another program saves the file three times with one size.
void TestSettingsStore::equalSavesWithOneTimeStampAreSeen() {
    QFETCH(bool, inPlace);
    SettingsStore reader;
    const QString path = SettingsStore::defaultFileName();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    for (const char* port : {"1111", "2222", "3333"}) {
        const QByteArray text = "[%U8A2D%U5B9A]\nLocal_Port=" + QByteArray(port) + "\n";
        if (inPlace) {
            QFile file(path); // truncated and written: the same inode
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        } else {
            QSaveFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text);
            QVERIFY(file.commit());
        }
        const timespec stamp{1700000000, inPlace ? 111111111L * (port[0] - '0') : 123456789L};
        const timespec once[2] = {stamp, stamp};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), once, 0) == 0);
        QCOMPARE(reader.get(Setting::LocalPort), QString::fromLatin1(port));
    }
}

// The reads of one request see one state of the store; the next request sees the
// other program's save, and a save of our own is seen at once.
void TestSettingsStore::readScopeLooksOnce() {
    SettingsStore store;
    SettingsStore other(SettingsStore::defaultFileName());
    QVERIFY(other.save(Setting::Cookie, u"○"_s));
    {
        const SettingsStore::ReadScope scope(store);
        QCOMPARE(store.get(Setting::Cookie), u"○"_s);
        QVERIFY(QProcess::execute(m_tool, {u"set"_s, u"Cookie"_s, u"×"_s}) == 0);
        QCOMPARE(store.get(Setting::Cookie), u"○"_s);
        QVERIFY(store.save(Setting::Referer, u"△"_s));
        QCOMPARE(store.get(Setting::Referer), u"△"_s);
        QCOMPARE(store.get(Setting::Cookie), u"×"_s);
    }
    QVERIFY(QProcess::execute(m_tool, {u"set"_s, u"Cookie"_s, u"○"_s}) == 0);
    QCOMPARE(store.get(Setting::Cookie), u"○"_s);
}

void TestSettingsStore::toolReferer() {
    const ToolResult set = tool({u"referer"_s, u"http://example.test/"_s});
    QCOMPARE(set.exitCode, 0);
    const QTime now = QTime::currentTime();
    const ToolResult get = tool({u"get"_s, u"@Referer"_s});
    QCOMPARE(get.exitCode, 0);
    QVERIFY2(get.out.endsWith(u"|http://example.test/\n"_s), qPrintable(get.out));
    QCOMPARE(get.out.size(), 8 + 1 + 20 + 1);
    const QString stamp = get.out.left(8);
    // 24-hour digits, whatever the locale.
    const QTime written = QTime::fromString(stamp, u"HH:mm:ss"_s);
    QVERIFY2(written.isValid(), qPrintable(stamp));
    int apart = qAbs(written.secsTo(now));
    apart = qMin(apart, 86400 - apart); // across midnight
    QVERIFY2(apart <= 3, qPrintable(stamp + u" vs "_s + now.toString(u"HH:mm:ss"_s)));

    SettingsStore store;
    QCOMPARE(store.getByName(u"@Referer", u""), get.out.chopped(1));
}

void TestSettingsStore::toolBadUsage_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{u"frobnicate"_s};
    QTest::newRow("get without key") << QStringList{u"get"_s};
    QTest::newRow("get two keys") << QStringList{u"get"_s, u"a"_s, u"b"_s};
    QTest::newRow("set without value") << QStringList{u"set"_s, u"Local_Port"_s};
    QTest::newRow("set empty key") << QStringList{u"set"_s, u""_s, u"v"_s};
    QTest::newRow("referer without url") << QStringList{u"referer"_s};
    QTest::newRow("referer blank url") << QStringList{u"referer"_s, u"   "_s};
    QTest::newRow("referer two lines") << QStringList{u"referer"_s, u"http://a.test/\nX: y"_s};
    QTest::newRow("list with argument") << QStringList{u"list"_s, u"x"_s};
}

void TestSettingsStore::toolBadUsage() {
    QFETCH(QStringList, arguments);
    const ToolResult result = tool(arguments);
    QVERIFY(result.exitCode > 0);
    QVERIFY(!result.err.trimmed().isEmpty());
    QVERIFY(result.out.isEmpty());
    // Nothing was stored by a refused command.
    SettingsStore store;
    QVERIFY(store.keys().isEmpty());
}

void TestSettingsStore::toolAbsentKeyAndList() {
    ToolResult result = tool({u"get"_s, u"Local_Port"_s});
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.out.isEmpty());
    QVERIFY(result.err.contains(u"Local_Port"_s));
    QCOMPARE(tool({u"remove"_s, u"Local_Port"_s}).exitCode, 1);
    QCOMPARE(tool({u"reset"_s}).exitCode, 0); // nothing stored is already reset

    const QString key = Setting::AllowedMachines[3].name.toString();
    QCOMPARE(tool({u"set"_s, key, u"192.0.2.7"_s}).exitCode, 0);
    QCOMPARE(tool({u"set"_s, u"Local_Port"_s, u"3128"_s}).exitCode, 0);
    result = tool({u"list"_s});
    QCOMPARE(result.exitCode, 0);
    QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
    lines.sort();
    QCOMPARE(lines, (QStringList{u"Local_Port=3128"_s, key + u"=192.0.2.7"_s}));

    result = tool({u"path"_s});
    QCOMPARE(result.out, SettingsStore::defaultFileName() + u'\n');

    QCOMPARE(tool({u"remove"_s, key}).exitCode, 0);
    SettingsStore store;
    QCOMPARE(store.getByName(key, u"gone"), u"gone"_s);
    QCOMPARE(tool({u"reset"_s}).exitCode, 0);
    QVERIFY(store.keys().isEmpty());
}

void TestSettingsStore::commandLines_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out"); // what standard output starts with
    QTest::addColumn<QString>("warning"); // in the error output; empty: no warning
    const QString version = ProgramVersion.toString() + u'\n';
    QTest::newRow("settings --help") << u"tarnwick-settings"_s << QStringList{u"--help"_s}
                                     << u"usage: tarnwick-settings"_s << QString();
    QTest::newRow("settings --version")
        << u"tarnwick-settings"_s << QStringList{u"--version"_s} << version << QString();
    QTest::newRow("headless --help") << u"tarnwick-headless"_s << QStringList{u"--help"_s}
                                     << u"usage: tarnwick-headless [--port N]"_s << QString();
    QTest::newRow("headless --version")
        << u"tarnwick-headless"_s << QStringList{u"--version"_s} << version << QString();
    QTest::newRow("tarnwick --help")
        << u"tarnwick"_s << QStringList{u"--help"_s} << u"usage: tarnwick"_s << QString();
    QTest::newRow("tarnwick --version")
        << u"tarnwick"_s << QStringList{u"--version"_s} << version << QString();
    QTest::newRow("choice key, other value: stored with a warning")
        << u"tarnwick-settings"_s << QStringList{u"set"_s, u"Cookie"_s, u"yes"_s} << QString()
        << u"warning: Cookie takes ○, × or △; Tarnwick removes any other value"_s;
    QTest::newRow("stream key, other value: read as interception only")
        << u"tarnwick-settings"_s << QStringList{u"set"_s, u"逐次転送"_s, u"on"_s} << QString()
        << u"warning: 逐次転送 takes ○, × or △; Tarnwick reads any other value as △"_s;
    QTest::newRow("choice key, choice value")
        << u"tarnwick-settings"_s << QStringList{u"set"_s, u"CONNECT"_s, u"△"_s} << QString()
        << QString();
    QTest::newRow("other key, any value")
        << u"tarnwick-settings"_s << QStringList{u"set"_s, u"Local_Port"_s, u"yes"_s} << QString()
        << QString();
}

void TestSettingsStore::commandLines() {
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    QFETCH(QString, warning);
    const ToolResult result = tool(arguments, program);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.startsWith(out), qPrintable(result.out));
    if (warning.isEmpty())
        QVERIFY2(!result.err.contains(u"warning"_s), qPrintable(result.err));
    else
        QVERIFY2(result.err.contains(warning), qPrintable(result.err));
    if (arguments.first() == u"set")
        QCOMPARE(SettingsStore().getByName(arguments[1]), arguments[2]);
}

void TestSettingsStore::headlessListensOnTheGivenPort() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QVERIFY(SettingsStore().save(Setting::LocalPort, u"1"_s)); // not this one
    QProcess headless;
    headless.setWorkingDirectory(m_home.path());
    headless.start(QFileInfo(m_tool).dir().filePath(u"tarnwick-headless"_s),
                   {u"--port"_s, QString::number(port)});
    QByteArray output;
    QVERIFY(QTest::qWaitFor([&] { return (output += headless.readAllStandardOutput()).contains("listening"); },
                            20000));
    QVERIFY2(output.contains("listening on port " + QByteArray::number(port)), output.constData());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    headless.terminate();
    QVERIFY(headless.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
