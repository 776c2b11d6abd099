#include "platform/desktopproxy.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {

bool sameValues(const ProxyValues& a, const ProxyValues& b, const QString& key) {
    return a.value(key) == b.value(key);
}

} // namespace

QString DesktopProxyStore::loopback() {
    return QStringLiteral("127.0.0.1");
}

QString DesktopProxy::defaultStateFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tarnwick/desktop-proxy.json");
}

DesktopProxy::DesktopProxy(QString stateFile) : m_stateFile(std::move(stateFile)) {}

DesktopProxy::~DesktopProxy() = default;

std::vector<std::unique_ptr<DesktopProxyStore>> DesktopProxy::sessionStores() {
    std::vector<std::unique_ptr<DesktopProxyStore>> found;
    const QStringList desktops =
        qEnvironmentVariable("XDG_CURRENT_DESKTOP").toUpper().split(u':', Qt::SkipEmptyParts);
    if (desktops.contains(u"KDE")) {
        found.push_back(std::make_unique<KdeProxyStore>());
        return found;
    }
    static const QStringList GnomeLike = {u"GNOME"_s,  u"UNITY"_s, u"CINNAMON"_s, u"X-CINNAMON"_s,
                                          u"BUDGIE"_s, u"MATE"_s,  u"PANTHEON"_s, u"XFCE"_s};
    bool gnomeLike = false;
    for (const QString& name : desktops)
        gnomeLike |= GnomeLike.contains(name);
    if (GnomeProxyStore::available())
        found.push_back(std::make_unique<GnomeProxyStore>());
    if (!gnomeLike && QFileInfo::exists(KdeProxyStore::fileName()))
        found.push_back(std::make_unique<KdeProxyStore>());
    return found;
}

void DesktopProxy::setStores(std::vector<std::unique_ptr<DesktopProxyStore>> stores) {
    m_stores = std::move(stores);
    m_storesKnown = true;
}

const std::vector<std::unique_ptr<DesktopProxyStore>>& DesktopProxy::stores() const {
    if (!m_storesKnown) {
        m_stores = sessionStores();
        m_storesKnown = true;
    }
    return m_stores;
}

DesktopProxyStore* DesktopProxy::store(const QString& id) const {
    for (const auto& s : stores())
        if (s->id() == id)
            return s.get();
    // Saved under another session's desktop (the user logged in to another one): the
    // values are put back where they were taken from all the same.
    if (id == u"gnome")
        m_stores.push_back(std::make_unique<GnomeProxyStore>());
    else if (id == u"kde")
        m_stores.push_back(std::make_unique<KdeProxyStore>());
    else
        return nullptr;
    return m_stores.back().get();
}

bool DesktopProxy::isOn() const {
    return QFileInfo::exists(m_stateFile);
}

bool DesktopProxy::loadState(int* port, std::vector<Saved>* saved, QString* why) const {
    QFile file(m_stateFile);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = QStringLiteral("cannot read ") + m_stateFile + QStringLiteral(": ") +
                   file.errorString();
        return false;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    *port = root.value(u"port").toInt();
    for (const QJsonValue& entry : root.value(u"desktops").toArray()) {
        const QJsonObject object = entry.toObject();
        Saved one{object.value(u"desktop").toString(), {}, {}};
        const QJsonObject values = object.value(u"values").toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            one.values.insert(it.key(), it.value().isString()
                                            ? std::optional<QString>(it.value().toString())
                                            : std::nullopt);
        // A file saved before the ports were kept by store has the one port.
        for (const QJsonValue& p : object.value(u"ports").toArray())
            if (p.toInt() > 0)
                one.ports.append(p.toInt());
        if (one.ports.isEmpty())
            one.ports.append(*port);
        saved->push_back(std::move(one));
    }
    if (*port <= 0 || saved->empty()) {
        if (why)
            *why = m_stateFile + QStringLiteral(" is damaged");
        return false;
    }
    return true;
}

bool DesktopProxy::saveState(int port, const std::vector<Saved>& saved, QString* why) const {
    QJsonArray desktops;
    for (const Saved& one : saved) {
        QJsonObject values;
        for (auto it = one.values.begin(); it != one.values.end(); ++it)
            values.insert(it.key(), *it ? QJsonValue(**it) : QJsonValue(QJsonValue::Null));
        QJsonArray ports;
        for (int p : one.ports)
            ports.append(p);
        desktops.append(
            QJsonObject{{u"desktop"_s, one.id}, {u"values"_s, values}, {u"ports"_s, ports}});
    }
    const QJsonObject root{{u"port"_s, port}, {u"desktops"_s, desktops}};
    return writeFileAtomically(m_stateFile, QJsonDocument(root).toJson(), why);
}

QStringList DesktopProxy::stillOurs(const DesktopProxyStore& store, const ProxyValues& now,
                                    const QList<int>& ports) {
    QStringList keys;
    for (int port : ports) {
        const ProxyValues ours = store.ours(port);
        for (const QString& key : ours.keys())
            if (!keys.contains(key) && sameValues(now, ours, key))
                keys.append(key);
    }
    return keys;
}

QStringList DesktopProxy::manualSteps(int port) {
    const QString address = DesktopProxyStore::loopback() + u':' + QString::number(port);
    return {QStringLiteral("Set the proxy by hand:"),
            QStringLiteral("  Firefox: Settings > Network Settings > Manual proxy configuration: "
                           "HTTP Proxy ") +
                DesktopProxyStore::loopback() + QStringLiteral(", Port ") + QString::number(port) +
                QStringLiteral(", and \"Also use this proxy for HTTPS\""),
            QStringLiteral("  Chromium: start it with --proxy-server=http://") + address,
            QStringLiteral("  programs that read the environment: http_proxy=http://") + address +
                QStringLiteral(" https_proxy=http://") + address};
}

SetupReport DesktopProxy::turnOn(int port) {
    if (isOn())
        return follow(port);
    SetupReport report;
    if (stores().empty()) {
        report.fail(QStringLiteral("No desktop proxy setting found: the session is neither "
                                   "GNOME-like (gsettings and the schema org.gnome.system.proxy) "
                                   "nor KDE Plasma (kioslaverc)."));
        report.lines += manualSteps(port);
        return report;
    }
    std::vector<Saved> saved;
    for (const auto& s : stores()) {
        Saved one{s->id(), {}, {port}};
        QString why;
        if (!s->read(&one.values, &why)) {
            report.fail(s->title() + QStringLiteral(": ") + why);
            return report;
        }
        saved.push_back(std::move(one));
    }
    // Saved before anything changes, so that `off` can always put it back.
    QString why;
    if (!saveState(port, saved, &why)) {
        report.fail(why);
        return report;
    }
    for (std::size_t i = 0; i < stores().size(); ++i) {
        DesktopProxyStore* s = stores()[i].get();
        if (!s->write(s->ours(port), &why)) {
            report.fail(s->title() + QStringLiteral(": ") + why);
            // Whatever was changed goes back. The saved values go only once they are
            // back everywhere: until then `off` still needs them.
            bool back = true;
            for (std::size_t j = 0; j <= i; ++j)
                if (!stores()[j]->write(saved[j].values, &why)) {
                    back = false;
                    report.fail(stores()[j]->title() + QStringLiteral(": cannot put back: ") + why);
                }
            if (back)
                QFile::remove(m_stateFile);
            else
                report.fail(QStringLiteral("The values from before are kept in ") + m_stateFile +
                            QStringLiteral(": `desktop-proxy off` puts them back."));
            return report;
        }
        report.say(s->title() + QStringLiteral(": now ") + s->describe(s->ours(port)));
    }
    return report;
}

SetupReport DesktopProxy::follow(int port) {
    SetupReport report;
    if (!isOn())
        return report;
    int was = 0;
    std::vector<Saved> saved;
    QString why;
    if (!loadState(&was, &saved, &why)) {
        report.fail(why);
        return report;
    }
    bool moved = false;
    for (Saved& one : saved) {
        if (one.ports == QList<int>{port})
            continue;
        moved = true;
        DesktopProxyStore* s = store(one.id);
        ProxyValues now;
        if (!s || !s->read(&now, &why)) {
            report.fail(s ? s->title() + QStringLiteral(": ") + why : one.id);
            continue;
        }
        // Only what is still ours moves along; what the user set since stays.
        const ProxyValues next = s->ours(port);
        ProxyValues changes;
        for (const QString& key : stillOurs(*s, now, one.ports))
            changes.insert(key, next.value(key));
        if (!s->write(changes, &why)) {
            // Some keys may have moved: both ports count as ours until a move succeeds.
            if (!one.ports.contains(port))
                one.ports.append(port);
            report.fail(s->title() + QStringLiteral(": ") + why);
        } else {
            one.ports = {port};
            report.say(s->title() + QStringLiteral(": now ") + s->describe(next));
        }
    }
    // Saved whatever happened, so that `off` knows every port the desktop may hold.
    if (moved && !saveState(port, saved, &why))
        report.fail(why);
    return report;
}

SetupReport DesktopProxy::turnOff() {
    SetupReport report;
    if (!isOn()) {
        report.say(
            QStringLiteral("The desktop's proxy was not set by Tarnwick: nothing to put back."));
        return report;
    }
    int port = 0;
    std::vector<Saved> saved;
    QString why;
    if (!loadState(&port, &saved, &why)) {
        report.fail(why);
        return report;
    }
    for (const Saved& one : saved) {
        DesktopProxyStore* s = store(one.id);
        ProxyValues now;
        if (!s || !s->read(&now, &why)) {
            report.fail(s ? s->title() + QStringLiteral(": ") + why : one.id);
            continue;
        }
        const QStringList ours = stillOurs(*s, now, one.ports);
        ProxyValues back;
        QStringList kept;
        for (const QString& key : one.values.keys()) {
            if (ours.contains(key))
                back.insert(key, one.values.value(key));
            else if (!sameValues(now, one.values, key))
                kept.append(key);
        }
        if (!s->write(back, &why)) {
            report.fail(s->title() + QStringLiteral(": ") + why);
            continue;
        }
        ProxyValues after = now;
        after.insert(back);
        report.say(s->title() + QStringLiteral(": back to ") + s->describe(after));
        if (!kept.isEmpty())
            report.say(QStringLiteral("  changed since Tarnwick set it, so kept: ") +
                       kept.join(QStringLiteral(", ")));
    }
    if (report.ok)
        QFile::remove(m_stateFile);
    return report;
}

SetupReport DesktopProxy::status() const {
    SetupReport report;
    int port = 0;
    std::vector<Saved> saved;
    const bool on = isOn() && loadState(&port, &saved, nullptr);
    if (stores().empty() && !on) {
        report.say(QStringLiteral("No desktop proxy setting found: the session is neither "
                                  "GNOME-like (gsettings and the schema org.gnome.system.proxy) "
                                  "nor KDE Plasma (kioslaverc)."));
        return report;
    }
    QStringList ids;
    for (const auto& s : stores())
        ids.append(s->id());
    for (const Saved& one : saved)
        if (!ids.contains(one.id))
            ids.append(one.id);
    for (const QString& id : std::as_const(ids)) {
        DesktopProxyStore* s = store(id);
        if (!s) {
            report.fail(QStringLiteral("values saved for an unknown desktop \"") + id +
                        QStringLiteral("\" in ") + m_stateFile);
            continue;
        }
        ProxyValues now;
        QString why;
        if (!s->read(&now, &why)) {
            report.fail(s->title() + QStringLiteral(": ") + why);
            continue;
        }
        const Saved* mine = nullptr;
        for (const Saved& one : saved)
            if (one.id == id)
                mine = &one;
        QString who;
        if (mine) {
            const int at = mine->ports.last();
            const bool allOurs = stillOurs(*s, now, {at}).size() == s->ours(at).size();
            who = allOurs ? QStringLiteral("Tarnwick (port ") + QString::number(at) +
                                QStringLiteral("); off puts back: ") + s->describe(mine->values)
                          : QStringLiteral("Tarnwick, changed since; off puts back what is "
                                           "still Tarnwick's: ") +
                                s->describe(mine->values);
        } else {
            who = s->describe(now) == u"no proxy" ? QStringLiteral("nobody")
                                                  : QStringLiteral("the user or another program");
        }
        report.say(s->title() + QStringLiteral(": ") + s->describe(now) +
                   QStringLiteral(" - set by ") + who);
    }
    return report;
}

} // namespace Tarnwick
