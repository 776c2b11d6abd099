#include "platform/browsertrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {

const QString Certutil = u"certutil"_s;
// Trusted to identify websites; neither mail nor code.
const QString WebsitesOnly = u"C,,"_s;
// More copies than this under one nickname would be a database gone wrong.
constexpr int MostCopies = 16;

QString sql(const QString& folder) {
    return u"sql:"_s + folder;
}

bool hasDatabase(const QString& folder) {
    return QFileInfo::exists(folder + u"/cert9.db"_s);
}

} // namespace

QString BrowserTrust::defaultRecordFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           u"/Tarnwick/ca-trusted-in"_s;
}

BrowserTrust::BrowserTrust(QString home, QString recordFile)
    : m_home(std::move(home)), m_recordFile(std::move(recordFile)) {}

QString BrowserTrust::nickname() {
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        if (const passwd* entry = ::getpwuid(::getuid()))
            user = QString::fromLocal8Bit(entry->pw_name);
    return u"Tarnwick(Lite) CA of "_s + user;
}

bool BrowserTrust::certutilFound() {
    return !QStandardPaths::findExecutable(Certutil).isEmpty();
}

QString BrowserTrust::certutilMissing() {
    return u"certutil not found: install the package libnss3-tools (apt install libnss3-tools)"_s;
}

QList<BrowserTrust::Database> BrowserTrust::databases() const {
    QList<Database> found{{u"Chromium"_s, m_home + u"/.pki/nssdb"_s, true}};
    // profiles.ini: [ProfileN] sections with Name=, Path= and IsRelative=.
    const QString firefox = m_home + u"/.mozilla/firefox"_s;
    QFile ini(firefox + u"/profiles.ini"_s);
    if (ini.open(QIODevice::ReadOnly)) {
        struct Profile {
            QString name, path;
            bool relative = true;
        };
        QList<Profile> profiles;
        bool inProfile = false;
        for (const QByteArray& raw : ini.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.startsWith(u'[')) {
                inProfile = line.startsWith(u"[Profile"_s);
                if (inProfile)
                    profiles.append(Profile{});
                continue;
            }
            const qsizetype equals = line.indexOf(u'=');
            if (!inProfile || equals <= 0)
                continue;
            const QString key = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
            if (key == u"Name")
                profiles.last().name = value;
            else if (key == u"Path")
                profiles.last().path = value;
            else if (key == u"IsRelative")
                profiles.last().relative = value != u"0";
        }
        for (const Profile& p : std::as_const(profiles))
            if (!p.path.isEmpty())
                found.append({u"Firefox profile "_s + (p.name.isEmpty() ? p.path : p.name),
                              QDir::cleanPath(p.relative ? firefox + u'/' + p.path : p.path), false});
    }
    for (const QString& folder : recorded()) {
        bool known = false;
        for (const Database& d : std::as_const(found))
            known |= d.folder == folder;
        if (!known)
            found.append({u"noted earlier"_s, folder, false});
    }
    return found;
}

QStringList BrowserTrust::recorded() const {
    QFile file(m_recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList folders;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty())
            folders.append(QString::fromUtf8(line));
    return folders;
}

bool BrowserTrust::record(const QStringList& folders, QString* why) const {
    if (folders.isEmpty()) {
        QFile::remove(m_recordFile);
        return !QFileInfo::exists(m_recordFile);
    }
    return writeFileAtomically(m_recordFile, (folders.join(u'\n') + u'\n').toUtf8(), why);
}

bool BrowserTrust::trustIn(const QString& folder, QString* trust, QString* why) const {
    QByteArray out;
    // "-L -n" prints the certificate itself; the list gives each nickname's trust.
    if (!runTool(Certutil, {u"-L"_s, u"-d"_s, sql(folder)}, &out, why))
        return false;
    trust->clear();
    const QString name = nickname();
    for (const QByteArray& raw : out.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        // "NICKNAME    C,,": the nickname, blanks, the trust flags.
        if (line.startsWith(name) && line.size() > name.size() && line.at(name.size()).isSpace())
            *trust = line.mid(name.size()).trimmed();
    }
    return true;
}

SetupReport BrowserTrust::trust(const QString& certificate) {
    SetupReport report;
    if (!certutilFound()) {
        report.fail(certutilMissing());
        return report;
    }
    QStringList noted = recorded();
    for (const Database& db : databases()) {
        const QString where = db.browser + u" ("_s + db.folder + u')';
        if (!hasDatabase(db.folder)) {
            // Only Chromium's is made: Firefox makes its own, and a folder that is gone
            // is no profile any more.
            if (!db.chromium) {
                report.say(where + u": no certificate database, left alone"_s);
                continue;
            }
            QString why;
            if (!QDir().mkpath(db.folder) ||
                !QFile::setPermissions(db.folder, QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner) ||
                !runTool(Certutil, {u"-N"_s, u"--empty-password"_s, u"-d"_s, sql(db.folder)},
                         nullptr, &why)) {
                report.fail(where + u": cannot make the database: "_s + why);
                continue;
            }
        }
        // A CA made anew since keeps its nickname: the old certificate goes first.
        for (int i = 0; i < MostCopies; ++i)
            if (!runTool(Certutil, {u"-D"_s, u"-n"_s, nickname(), u"-d"_s, sql(db.folder)}))
                break;
        QString why;
        if (!runTool(Certutil,
                     {u"-A"_s, u"-n"_s, nickname(), u"-t"_s, WebsitesOnly, u"-i"_s, certificate,
                      u"-d"_s, sql(db.folder)},
                     nullptr, &why)) {
            report.fail(where + u": cannot import: "_s + why);
            continue;
        }
        if (!noted.contains(db.folder))
            noted.append(db.folder);
        report.say(where + u": trusted to identify websites"_s);
    }
    QString why;
    if (!record(noted, &why))
        report.fail(why);
    return report;
}

SetupReport BrowserTrust::untrust() {
    SetupReport report;
    const QStringList noted = recorded();
    if (!certutilFound()) {
        if (noted.isEmpty())
            report.say(u"certutil not found, and the CA was never put in a database"_s);
        else
            report.fail(certutilMissing());
        return report;
    }
    QStringList left;
    for (const Database& db : databases()) {
        const QString where = db.browser + u" ("_s + db.folder + u')';
        if (!hasDatabase(db.folder))
            continue;
        int removed = 0;
        while (removed < MostCopies &&
               runTool(Certutil, {u"-D"_s, u"-n"_s, nickname(), u"-d"_s, sql(db.folder)}))
            ++removed;
        QString trust, why;
        if (!trustIn(db.folder, &trust, &why) || !trust.isEmpty()) {
            report.fail(where + u": cannot remove the CA"_s + (why.isEmpty() ? why : u": "_s + why));
            left.append(db.folder);
        } else {
            report.say(where + (removed ? u": removed"_s : u": was not in it"_s));
        }
    }
    QString why;
    if (!record(left, &why))
        report.fail(why);
    return report;
}

SetupReport BrowserTrust::status() const {
    SetupReport report;
    if (!certutilFound()) {
        report.fail(certutilMissing());
        return report;
    }
    report.say(u"nickname: "_s + nickname());
    for (const Database& db : databases()) {
        const QString where = db.browser + u" ("_s + db.folder + u')';
        if (!hasDatabase(db.folder)) {
            report.say(where + u": no database"_s);
            continue;
        }
        QString trust, why;
        if (!trustIn(db.folder, &trust, &why))
            report.fail(where + u": cannot read: "_s + why);
        else
            report.say(where + (trust.isEmpty() ? u": not in it"_s : u": in it, trust "_s + trust));
    }
    return report;
}

} // namespace Tarnwick
