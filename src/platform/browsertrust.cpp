#include "platform/browsertrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
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

QString BrowserTrust::defaultConfigHome() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

BrowserTrust::BrowserTrust(QString home, QString recordFile, QString configHome)
    : m_home(std::move(home)), m_recordFile(std::move(recordFile)),
      m_configHome(std::move(configHome)) {}

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

QList<BrowserTrust::Database> BrowserTrust::databases(QList<BrowserPlace>* places) const {
    const QList<BrowserPlace> found = findBrowserPlaces(m_home, m_configHome);
    if (places)
        *places = found;
    QList<Database> all;
    QSet<QString> known;
    for (const BrowserPlace& place : found)
        for (const Database& db : place.databases) {
            all.append(db);
            known.insert(sameFolderKey(db.folder));
        }
    for (const QString& folder : recorded())
        if (!known.contains(sameFolderKey(folder))) {
            known.insert(sameFolderKey(folder));
            all.append({u"noted earlier"_s, folder, false});
        }
    return all;
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

bool BrowserTrust::makeDatabase(const QString& folder, QString* why) const {
    // Chromium's folder is its own; a Firefox profile's is there already.
    if (!QFileInfo(folder).isDir() &&
        (!QDir().mkpath(folder) ||
         !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))) {
        *why = u"cannot make the folder"_s;
        return false;
    }
    // An empty password, as the browsers make it.
    return runTool(Certutil, {u"-N"_s, u"--empty-password"_s, u"-d"_s, sql(folder)}, nullptr, why);
}

SetupReport BrowserTrust::trust(const QString& certificate) {
    SetupReport report;
    if (!certutilFound()) {
        report.fail(certutilMissing());
        return report;
    }
    QStringList noted = recorded();
    QList<BrowserPlace> places;
    int reached = 0;
    for (const Database& db : databases(&places)) {
        const QString where = db.browser + u" ("_s + db.folder + u')';
        if (!hasDatabase(db.folder)) {
            // A folder that is gone is no profile any more.
            if (!db.makeWhenMissing) {
                report.say(where + u": no certificate database, left alone"_s);
                continue;
            }
            QString why;
            if (!makeDatabase(db.folder, &why)) {
                report.fail(where + u": not reached, cannot make its database: "_s + why);
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
            report.fail(where + u": not reached, cannot import: "_s + why);
            continue;
        }
        ++reached;
        if (!noted.contains(db.folder))
            noted.append(db.folder);
        report.say(where + u": trusted to identify websites"_s);
    }
    sayUnreached(places, &report);
    if (reached == 0)
        report.fail(u"No browser trusts the CA: none of their databases was reached."_s);
    QString why;
    if (!record(noted, &why))
        report.fail(why);
    return report;
}

void BrowserTrust::sayUnreached(const QList<BrowserPlace>& places, SetupReport* report) {
    // By browser: Debian's Firefox has two places, and one profile in either will do.
    QStringList browsers;
    for (const BrowserPlace& place : places)
        if (!browsers.contains(place.browser))
            browsers.append(place.browser);
    for (const QString& browser : std::as_const(browsers)) {
        bool installed = false, reached = false;
        QStringList where;
        for (const BrowserPlace& place : places)
            if (place.browser == browser) {
                installed |= place.installed;
                reached |= !place.databases.isEmpty();
                where.append(place.where);
            }
        // A profile, and its database, is made by the browser when it first starts.
        if (installed && !reached)
            report->say(browser + u": not reached, no profile in "_s + where.join(u", "_s) +
                        u". It makes one when it first starts: start it once, then trust the "
                        u"CA again."_s);
    }
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
            report.fail(where + u": cannot remove the CA"_s +
                        (why.isEmpty() ? why : u": "_s + why));
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
    QList<BrowserPlace> places;
    const QList<Database> all = databases(&places);
    for (const BrowserPlace& place : std::as_const(places))
        report.say(u"looked in "_s + place.where + u" ("_s + place.browser + u"): "_s +
                   place.found);
    for (const Database& db : all) {
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
