#pragma once

#include "platform/setupreport.h"

#include <QString>
#include <QStringList>

namespace Tarnwick {

// The CA of HTTPS interception made trusted by the browsers of this user, and untrusted
// again: Chromium's NSS database ($HOME/.pki/nssdb, made when missing) and the database
// of every Firefox profile in $HOME/.mozilla/firefox/profiles.ini, through NSS's
// certutil (Debian's libnss3-tools). The certificate is trusted to identify websites
// only ("C,,"). Every database it was put in is noted in a file of the program's own,
// so that `untrust` finds it again even when the profile list changed since.
class BrowserTrust {
public:
    struct Database {
        QString browser; // "Chromium", "Firefox profile NAME"
        QString folder;
        bool chromium = false;
    };

    // $XDG_DATA_HOME/Tarnwick/ca-trusted-in
    static QString defaultRecordFile();
    explicit BrowserTrust(QString home, QString recordFile = defaultRecordFile());

    // The name the certificate has in each database: the program's and the user's.
    static QString nickname();
    static bool certutilFound();
    // What to say when certutil is missing.
    static QString certutilMissing();

    // Chromium's database, every Firefox profile's, and any noted from earlier.
    QList<Database> databases() const;
    // Imports `certificate` (a PEM file) into every database, replacing a certificate of
    // the same nickname. A Firefox profile without a database is left alone.
    SetupReport trust(const QString& certificate);
    // Removes the certificate from every database it is in.
    SetupReport untrust();
    // Each database and whether the certificate is in it, with its trust.
    SetupReport status() const;

private:
    // The trust flags of our certificate in `folder` ("C,,"), empty when it is not
    // there; false when the database cannot be read.
    bool trustIn(const QString& folder, QString* trust, QString* why) const;
    QStringList recorded() const;
    bool record(const QStringList& folders, QString* why) const;

    QString m_home;
    QString m_recordFile;
};

} // namespace Tarnwick
