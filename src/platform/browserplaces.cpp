#include "platform/browserplaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {

bool hasDatabase(const QString& folder) {
    return QFileInfo::exists(folder + u"/cert9.db"_s);
}

// Firefox as Debian, Flatpak and Snap ship it: the folders that may hold profiles.ini.
BrowserPlace firefoxPlace(const QString& browser, const QString& folder, bool installed,
                          QSet<QString>* seen) {
    BrowserPlace place{browser, folder + u"/profiles.ini"_s, {}, installed, {}};
    QFile ini(place.where);
    if (!ini.open(QIODevice::ReadOnly)) {
        place.found = u"no profiles.ini"_s;
        return place;
    }
    QStringList said;
    for (const FirefoxProfile& profile : parseProfilesIni(ini.readAll(), folder)) {
        const QString key = sameFolderKey(profile.folder);
        if (seen->contains(key)) {
            said.append(profile.name + u" (listed elsewhere too)"_s);
            continue;
        }
        seen->insert(key);
        const bool folderThere = QFileInfo(profile.folder).isDir();
        said.append(profile.name + (hasDatabase(profile.folder) ? QString()
                                    : folderThere               ? u" (never started)"_s
                                                                : u" (its folder is gone)"_s));
        place.databases.append(
            {browser + u" profile "_s + profile.name, profile.folder, folderThere});
    }
    place.found = said.isEmpty() ? u"no profile listed"_s : u"profiles: "_s + said.join(u", "_s);
    return place;
}

// Chromium's one database; `app` is the package's home, whose presence says that the
// package is installed (`installed` for Debian's own, which has no home of its own).
BrowserPlace chromiumPlace(const QString& browser, const QString& app, const QString& folder,
                           bool installed) {
    BrowserPlace place{
        browser, folder, {}, installed || (!app.isEmpty() && QFileInfo(app).isDir()), {}};
    if (hasDatabase(folder)) {
        place.found = u"a database"_s;
    } else if (place.installed) {
        place.found = u"no database yet"_s;
    } else {
        place.found = u"not installed"_s;
        return place;
    }
    place.databases.append({browser, folder, true});
    return place;
}

} // namespace

QString sameFolderKey(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
}

QList<FirefoxProfile> parseProfilesIni(const QByteArray& ini, const QString& folder) {
    struct Section {
        QString name, path;
        bool relative = true;
    };
    QList<Section> sections;
    bool inProfile = false;
    for (const QByteArray& raw : ini.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'[')) {
            inProfile = line.startsWith(u"[Profile"_s);
            if (inProfile)
                sections.append(Section{});
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inProfile || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
        if (key == u"Name")
            sections.last().name = value;
        else if (key == u"Path")
            sections.last().path = value;
        else if (key == u"IsRelative")
            sections.last().relative = value != u"0";
    }
    QList<FirefoxProfile> profiles;
    for (const Section& s : std::as_const(sections))
        if (!s.path.isEmpty())
            profiles.append({s.name.isEmpty() ? s.path : s.name,
                             QDir::cleanPath(s.relative ? folder + u'/' + s.path : s.path)});
    return profiles;
}

QList<BrowserPlace> findBrowserPlaces(const QString& home, const QString& configHome) {
    QSet<QString> seen;
    auto onPath = [](const QString& name) {
        return !QStandardPaths::findExecutable(name).isEmpty();
    };
    auto isDir = [](const QString& path) { return QFileInfo(path).isDir(); };
    const bool chromiumThere = onPath(u"chromium"_s) || isDir(configHome + u"/chromium"_s);
    const bool firefoxThere = onPath(u"firefox-esr"_s) || onPath(u"firefox"_s);
    return {
        firefoxPlace(u"Firefox"_s, home + u"/.mozilla/firefox"_s, firefoxThere, &seen),
        // Where Debian's current Firefox makes a new user's profiles.
        firefoxPlace(u"Firefox"_s, configHome + u"/mozilla/firefox"_s, firefoxThere, &seen),
        firefoxPlace(u"Firefox (Flatpak)"_s,
                     home + u"/.var/app/org.mozilla.firefox/.mozilla/firefox"_s,
                     isDir(home + u"/.var/app/org.mozilla.firefox"_s), &seen),
        firefoxPlace(u"Firefox (Snap)"_s, home + u"/snap/firefox/common/.mozilla/firefox"_s,
                     isDir(home + u"/snap/firefox"_s), &seen),
        chromiumPlace(u"Chromium"_s, {}, home + u"/.pki/nssdb"_s, chromiumThere),
        chromiumPlace(u"Chromium (Flatpak)"_s, home + u"/.var/app/org.chromium.Chromium"_s,
                      home + u"/.var/app/org.chromium.Chromium/.pki/nssdb"_s, false),
        // `current` is the link the Snap keeps to the revision in use.
        chromiumPlace(u"Chromium (Snap)"_s, home + u"/snap/chromium/current"_s,
                      home + u"/snap/chromium/current/.pki/nssdb"_s, false),
    };
}

} // namespace Tarnwick
