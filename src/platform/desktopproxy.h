#pragma once

#include "platform/setupreport.h"

#include <QMap>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace Tarnwick {

// The values of one desktop's proxy setting by key: the text as the desktop keeps it,
// or nothing for a key that is absent.
using ProxyValues = QMap<QString, std::optional<QString>>;

// One desktop's store of its proxy setting.
class DesktopProxyStore {
public:
    virtual ~DesktopProxyStore() = default;
    // Names the store in the saved file ("gnome", "kde").
    virtual QString id() const = 0;
    // Names it for the user.
    virtual QString title() const = 0;
    virtual bool read(ProxyValues* values, QString* why) const = 0;
    // Writes the given keys; those not given stay as they are.
    virtual bool write(const ProxyValues& values, QString* why) = 0;
    // The values that send HTTP and HTTPS to the loopback address at `port`.
    virtual ProxyValues ours(int port) const = 0;
    // What the values mean, in one line.
    virtual QString describe(const ProxyValues& values) const = 0;
    // The address the desktop is pointed at.
    static QString loopback();
};

// The desktop's own proxy setting, which Firefox (its "use system proxy settings") and
// Chromium follow, pointed at this program and put back. GNOME's org.gnome.system.proxy
// (read by Cinnamon, Budgie and MATE too) goes through the gsettings tool, so that the
// core needs no GLib; KDE Plasma's is the file kioslaverc. Nothing here runs unless the
// user asks: `on` saves what was there to a file of the program's own before it
// changes anything, and `off` puts those values back.
class DesktopProxy {
public:
    // $XDG_DATA_HOME/Tarnwick/desktop-proxy.json
    static QString defaultStateFile();
    explicit DesktopProxy(QString stateFile = defaultStateFile());
    ~DesktopProxy();
    DesktopProxy(const DesktopProxy&) = delete;
    DesktopProxy& operator=(const DesktopProxy&) = delete;

    // The stores of the session's desktop: KDE's in a Plasma session, GNOME's in a
    // GNOME-like one when the schema is installed; in any other session GNOME's when
    // the schema is there and KDE's when kioslaverc is. Empty: neither.
    static std::vector<std::unique_ptr<DesktopProxyStore>> sessionStores();

    // On: the saved file exists.
    bool isOn() const;
    // Points every store of the session at `port`. Already on, it only follows a new
    // port, so that the values saved first are the ones `off` brings back.
    SetupReport turnOn(int port);
    // Puts back what was there before `on`: a key the user has changed since is kept.
    SetupReport turnOff();
    // While on, moves the desktop to a new port; off, does nothing.
    SetupReport follow(int port);
    // What each store holds and who set it.
    SetupReport status() const;

    // How to point browsers at the program by hand.
    static QStringList manualSteps(int port);

    // Tests hand in stores of their own.
    void setStores(std::vector<std::unique_ptr<DesktopProxyStore>> stores);

private:
    // One store's values from before `on`, and the ports it may hold values of: one,
    // or both the old and the new while a move to a new port is unfinished.
    struct Saved {
        QString id;
        ProxyValues values;
        QList<int> ports;
    };
    // The keys of `now` that still hold what this program wrote at one of `ports`.
    static QStringList stillOurs(const DesktopProxyStore& store, const ProxyValues& now,
                                 const QList<int>& ports);
    bool loadState(int* port, std::vector<Saved>* saved, QString* why) const;
    bool saveState(int port, const std::vector<Saved>& saved, QString* why) const;
    DesktopProxyStore* store(const QString& id) const;
    const std::vector<std::unique_ptr<DesktopProxyStore>>& stores() const;

    QString m_stateFile;
    mutable std::vector<std::unique_ptr<DesktopProxyStore>> m_stores;
    mutable bool m_storesKnown = false;
};

// GNOME's org.gnome.system.proxy through the gsettings tool. A key put back at its
// default is reset, so that the user's store holds no value it did not hold before.
class GnomeProxyStore : public DesktopProxyStore {
public:
    static bool available();
    QString id() const override { return QStringLiteral("gnome"); }
    QString title() const override;
    bool read(ProxyValues* values, QString* why) const override;
    bool write(const ProxyValues& values, QString* why) override;
    ProxyValues ours(int port) const override;
    QString describe(const ProxyValues& values) const override;

private:
    bool readAll(ProxyValues* values, bool defaults, QString* why) const;
};

// KDE Plasma's [Proxy Settings] in $XDG_CONFIG_HOME/kioslaverc, edited line by line so
// that everything else in the file stays as it was.
class KdeProxyStore : public DesktopProxyStore {
public:
    static QString fileName();
    QString id() const override { return QStringLiteral("kde"); }
    QString title() const override;
    bool read(ProxyValues* values, QString* why) const override;
    bool write(const ProxyValues& values, QString* why) override;
    ProxyValues ours(int port) const override;
    QString describe(const ProxyValues& values) const override;
};

} // namespace Tarnwick
