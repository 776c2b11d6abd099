#pragma once

#include "platform/browserplaces.h"
#include "platform/setupreport.h"

#include <QString>
#include <QStringList>

namespace Tarnwick {

// The CA of HTTPS interception made trusted by the browsers of this user, and untrusted
// again: every NSS database that findBrowserPlaces() knows of (Firefox's profiles and
// Chromium's database, as Debian, Flatpak and Snap ship them), through NSS's certutil
// (Debian's libnss3-tools). The certificate is trusted to identify websites only
// ("C,,"). Every database it was put in is noted in a file of the program's own, so
// that `untrust` finds it again even when the profile list changed since.
class BrowserTrust {
public:
    using Database = CertificateDatabase;

    // $XDG_DATA_HOME/Tarnwick/ca-trusted-in
    static QString defaultRecordFile();
    // `configHome` is $XDG_CONFIG_HOME (~/.config when unset).
    explicit BrowserTrust(QString home, QString recordFile = defaultRecordFile(),
                          QString configHome = defaultConfigHome());
    static QString defaultConfigHome();

    // The name the certificate has in each database: the program's and the user's.
    static QString nickname();
    static bool certutilFound();
    // What to say when certutil is missing.
    static QString certutilMissing();

    // Every browser's database, and any noted from earlier; `places` gets where they
    // were looked for.
    QList<Database> databases(QList<BrowserPlace>* places = nullptr) const;
    // Imports `certificate` (a PEM file) into every database, replacing a certificate of
    // the same nickname, and says which browsers it could not reach. Fails when it
    // reached none, or when certutil failed on a database.
    SetupReport trust(const QString& certificate);
    // Removes the certificate from every database it is in.
    SetupReport untrust();
    // Every place looked in, each database and whether the certificate is in it.
    SetupReport status() const;

private:
    // The trust flags of our certificate in `folder` ("C,,"), empty when it is not
    // there; false when the database cannot be read.
    bool trustIn(const QString& folder, QString* trust, QString* why) const;
    bool makeDatabase(const QString& folder, QString* why) const;
    static void sayUnreached(const QList<BrowserPlace>& places, SetupReport* report);
    QStringList recorded() const;
    bool record(const QStringList& folders, QString* why) const;

    QString m_home;
    QString m_recordFile;
    QString m_configHome;
};

} // namespace Tarnwick
