#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Tarnwick {

// One NSS certificate database a browser reads.
struct CertificateDatabase {
    QString browser; // "Chromium", "Firefox (Snap) profile default"
    QString folder;
    // Made when it is not there: Chromium's, and that of a Firefox profile that has
    // never run (its folder is there, its database not yet).
    bool makeWhenMissing = false;
};

// One place where a browser, as packaged one way, keeps its profiles or its database,
// and what was found there.
struct BrowserPlace {
    QString browser;        // "Firefox", "Firefox (Flatpak)", "Chromium (Snap)"
    QString where;          // profiles.ini, or the database's folder
    QString found;          // what was found, in words
    bool installed = false; // the browser, packaged this way, is there
    QList<CertificateDatabase> databases;
};

// A profile of Firefox's profiles.ini: [ProfileN] sections with Name=, Path= and
// IsRelative=, the path made whole against `folder`.
struct FirefoxProfile {
    QString name;
    QString folder;
};
QList<FirefoxProfile> parseProfilesIni(const QByteArray& ini, const QString& folder);

// Every place the browsers of the user whose home is `home` keep a database: Firefox
// in ~/.mozilla/firefox and in $XDG_CONFIG_HOME/mozilla/firefox (`configHome`), its
// Flatpak and Snap packages, Chromium's ~/.pki/nssdb and its Flatpak's and Snap's. A
// profile found in more than one place (a folder linked to another) is listed once.
QList<BrowserPlace> findBrowserPlaces(const QString& home, const QString& configHome);

// The same folder whichever way it is reached.
QString sameFolderKey(const QString& folder);

} // namespace Tarnwick
