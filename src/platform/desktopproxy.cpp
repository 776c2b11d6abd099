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

const QString Loopback = QStringLiteral("127.0.0.1");
const QString GnomeSchema = QStringLiteral("org.gnome.system.proxy");
// The keys are "KEY" of the schema itself or "CHILD.KEY" of its child schemas.
const QStringList GnomeKeys = {u"mode"_s, u"http.host"_s, u"http.port"_s, u"https.host"_s,
                               u"https.port"_s};

const QString KdeGroup = QStringLiteral("[Proxy Settings]");
// Besides the three keys, two marks for what was there before any key: the group and
// the file. Put back as absent, an emptied group or file goes away again.
const QString KdeGroupMark = QStringLiteral("@group");
const QString KdeFileMark = QStringLiteral("@file");
const QStringList KdeKeys = {u"ProxyType"_s, u"httpProxy"_s, u"httpsProxy"_s};

QString valueOr(const std::optional<QString>& value, const QString& absent) {
    return value ? *value : absent;
}

// A GVariant text of a string ('...') as its plain text.
QString unquoted(const QString& text) {
    if (text.size() >= 2 && text.startsWith(u'\'') && text.endsWith(u'\''))
        return text.mid(1, text.size() - 2);
    return text;
}

QString gvariantString(const QString& text) {
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + escaped + u'\'';
}

bool sameValues(const ProxyValues& a, const ProxyValues& b, const QString& key) {
    return a.value(key) == b.value(key);
}

} // namespace

// ---- GNOME ---------------------------------------------------------------------------

bool GnomeProxyStore::available() {
    return runTool(QStringLiteral("gsettings"), {QStringLiteral("list-keys"), GnomeSchema});
}

QString GnomeProxyStore::title() const {
    return QStringLiteral("GNOME (GSettings ") + GnomeSchema + u')';
}

bool GnomeProxyStore::readAll(ProxyValues* values, bool defaults, QString* why) const {
    QByteArray out;
    // The memory backend holds nothing of the user's: what it answers are the defaults.
    const QStringList env = defaults ? QStringList{u"GSETTINGS_BACKEND=memory"_s} : QStringList{};
    if (!runTool(QStringLiteral("gsettings"), {QStringLiteral("list-recursively"), GnomeSchema},
                 &out, why, env))
        return false;
    // "org.gnome.system.proxy.http host '127.0.0.1'"
    for (const QByteArray& raw : out.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const qsizetype firstSpace = line.indexOf(u' ');
        const qsizetype secondSpace = line.indexOf(u' ', firstSpace + 1);
        if (firstSpace < 0 || secondSpace < 0)
            continue;
        const QString schema = line.left(firstSpace);
        const QString key = line.mid(firstSpace + 1, secondSpace - firstSpace - 1);
        QString name;
        if (schema == GnomeSchema)
            name = key;
        else if (schema.startsWith(GnomeSchema + u'.'))
            name = schema.mid(GnomeSchema.size() + 1) + u'.' + key;
        if (GnomeKeys.contains(name))
            values->insert(name, line.mid(secondSpace + 1));
    }
    for (const QString& key : GnomeKeys)
        if (!values->contains(key)) {
            if (why)
                *why = GnomeSchema + QStringLiteral(" has no key ") + key;
            return false;
        }
    return true;
}

bool GnomeProxyStore::read(ProxyValues* values, QString* why) const {
    return readAll(values, false, why);
}

bool GnomeProxyStore::write(const ProxyValues& values, QString* why) {
    ProxyValues defaults;
    if (!readAll(&defaults, true, why))
        return false;
    // A browser reading between two writes must never see a manual proxy without its
    // host: the mode goes last when it turns manual and first otherwise.
    QStringList order = values.keys();
    if (order.removeOne(u"mode"_s)) {
        if (values.value(u"mode"_s) == u"'manual'")
            order.append(u"mode"_s);
        else
            order.prepend(u"mode"_s);
    }
    for (const QString& name : std::as_const(order)) {
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString schema = dot < 0 ? GnomeSchema : GnomeSchema + u'.' + name.left(dot);
        const QString key = name.mid(dot + 1);
        const std::optional<QString> value = values.value(name);
        QString error;
        const bool ok = !value || *value == defaults.value(name)
                            ? runTool(QStringLiteral("gsettings"),
                                      {QStringLiteral("reset"), schema, key}, nullptr, &error)
                            : runTool(QStringLiteral("gsettings"),
                                      {QStringLiteral("set"), schema, key, *value}, nullptr, &error);
        if (!ok) {
            if (why)
                *why = QStringLiteral("gsettings cannot change ") + schema + u' ' + key +
                       QStringLiteral(": ") + error;
            return false;
        }
    }
    return true;
}

ProxyValues GnomeProxyStore::ours(int port) const {
    const QString host = gvariantString(Loopback);
    return {{u"mode"_s, u"'manual'"_s}, {u"http.host"_s, host},
            {u"http.port"_s, QString::number(port)}, {u"https.host"_s, host},
            {u"https.port"_s, QString::number(port)}};
}

QString GnomeProxyStore::describe(const ProxyValues& values) const {
    const QString mode = unquoted(valueOr(values.value(u"mode"_s), {}));
    if (mode == u"manual") {
        auto proxy = [&](const QString& scheme) {
            const QString host = unquoted(valueOr(values.value(scheme + u".host"_s), {}));
            return host.isEmpty() ? QStringLiteral("none")
                                  : host + u':' + valueOr(values.value(scheme + u".port"_s), {});
        };
        return QStringLiteral("manual, HTTP ") + proxy(u"http"_s) + QStringLiteral(", HTTPS ") +
               proxy(u"https"_s);
    }
    if (mode == u"auto")
        return QStringLiteral("automatic (a configuration script)");
    if (mode == u"none")
        return QStringLiteral("no proxy");
    return QStringLiteral("mode ") + mode;
}

// ---- KDE -----------------------------------------------------------------------------

namespace {

// kioslaverc as lines, with the bounds of the [Proxy Settings] group.
struct KdeFile {
    QList<QByteArray> lines;
    qsizetype groupStart = -1; // the header's line
    qsizetype groupEnd = -1;   // one past the group's last line

    explicit KdeFile(const QByteArray& text) {
        lines = text.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        findGroup();
    }
    void findGroup() {
        groupStart = groupEnd = -1;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            if (groupStart < 0 && line.startsWith(KdeGroup.toUtf8())) {
                groupStart = i;
                groupEnd = lines.size();
            } else if (groupStart >= 0 && line.startsWith('[')) {
                groupEnd = i;
                break;
            }
        }
    }
    qsizetype find(const QString& key) const {
        for (qsizetype i = groupStart + 1; groupStart >= 0 && i < groupEnd; ++i) {
            const qsizetype equals = lines[i].indexOf('=');
            if (equals > 0 && lines[i].left(equals).trimmed() == key.toUtf8())
                return i;
        }
        return -1;
    }
    std::optional<QString> value(const QString& key) const {
        const qsizetype at = find(key);
        if (at < 0)
            return std::nullopt;
        return QString::fromUtf8(lines[at].mid(lines[at].indexOf('=') + 1).trimmed());
    }
    void set(const QString& key, const std::optional<QString>& value) {
        const qsizetype at = find(key);
        const QByteArray line = key.toUtf8() + '=' + (value ? value->toUtf8() : QByteArray());
        if (at >= 0) {
            // The key's own spelling ("ProxyType = 4") stays, so that putting a value
            // back gives the very line that was there.
            if (value) {
                const QByteArray& was = lines[at];
                qsizetype start = was.indexOf('=') + 1;
                while (start < was.size() && (was[start] == ' ' || was[start] == '\t'))
                    ++start;
                lines[at] = was.left(start) + value->toUtf8();
            } else
                lines.removeAt(at);
        } else if (value) {
            if (groupStart < 0) {
                if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
                    lines.append(QByteArray());
                lines.append(KdeGroup.toUtf8());
            } else {
                // After the group's last line that says something.
                qsizetype after = groupEnd;
                while (after > groupStart + 1 && lines[after - 1].trimmed().isEmpty())
                    --after;
                lines.insert(after, line);
                findGroup();
                return;
            }
            lines.append(line);
        }
        findGroup();
    }
    // Takes the group away when nothing but blank lines is left in it.
    void dropEmptyGroup() {
        if (groupStart < 0)
            return;
        for (qsizetype i = groupStart + 1; i < groupEnd; ++i)
            if (!lines[i].trimmed().isEmpty())
                return;
        qsizetype from = groupStart;
        // The blank line that set it apart goes too.
        if (from > 0 && lines[from - 1].trimmed().isEmpty())
            --from;
        lines.remove(from, groupEnd - from);
        findGroup();
    }
    bool blank() const {
        for (const QByteArray& line : lines)
            if (!line.trimmed().isEmpty())
                return false;
        return true;
    }
    QByteArray text() const { return lines.isEmpty() ? QByteArray() : lines.join('\n') + '\n'; }
};

} // namespace

QString KdeProxyStore::fileName() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kioslaverc");
}

QString KdeProxyStore::title() const {
    return QStringLiteral("KDE Plasma (") + fileName() + u')';
}

bool KdeProxyStore::read(ProxyValues* values, QString* why) const {
    QFile file(fileName());
    const bool exists = file.exists();
    if (exists && !file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = QStringLiteral("cannot read ") + fileName() + QStringLiteral(": ") +
                   file.errorString();
        return false;
    }
    const KdeFile kde(exists ? file.readAll() : QByteArray());
    for (const QString& key : KdeKeys)
        values->insert(key, kde.value(key));
    values->insert(KdeGroupMark,
                   kde.groupStart >= 0 ? std::optional<QString>(QString()) : std::nullopt);
    values->insert(KdeFileMark, exists ? std::optional<QString>(QString()) : std::nullopt);
    return true;
}

bool KdeProxyStore::write(const ProxyValues& values, QString* why) {
    const QString path = fileName();
    QFile file(path);
    QByteArray before;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            if (why)
                *why = QStringLiteral("cannot read ") + path + QStringLiteral(": ") +
                       file.errorString();
            return false;
        }
        before = file.readAll();
        file.close();
    }
    KdeFile kde(before);
    for (const QString& key : KdeKeys)
        if (values.contains(key))
            kde.set(key, values.value(key));
    if (values.contains(KdeGroupMark) && !values.value(KdeGroupMark))
        kde.dropEmptyGroup();
    if (values.contains(KdeFileMark) && !values.value(KdeFileMark) && kde.blank()) {
        if (file.exists() && !file.remove()) {
            if (why)
                *why = QStringLiteral("cannot remove ") + path + QStringLiteral(": ") +
                       file.errorString();
            return false;
        }
        return true;
    }
    return writeFileAtomically(path, kde.text(), why);
}

ProxyValues KdeProxyStore::ours(int port) const {
    // KDE's own settings write "http://HOST PORT".
    const QString proxy = QStringLiteral("http://") + Loopback + u' ' + QString::number(port);
    return {{u"ProxyType"_s, u"1"_s}, {u"httpProxy"_s, proxy}, {u"httpsProxy"_s, proxy},
            {KdeGroupMark, QString()}, {KdeFileMark, QString()}};
}

QString KdeProxyStore::describe(const ProxyValues& values) const {
    const QString type = valueOr(values.value(u"ProxyType"_s), u"0"_s);
    if (type == u"1")
        return QStringLiteral("manual, HTTP ") +
               valueOr(values.value(u"httpProxy"_s), u"none"_s) + QStringLiteral(", HTTPS ") +
               valueOr(values.value(u"httpsProxy"_s), u"none"_s);
    if (type == u"0")
        return QStringLiteral("no proxy");
    if (type == u"2")
        return QStringLiteral("a configuration script");
    if (type == u"3")
        return QStringLiteral("detected automatically");
    if (type == u"4")
        return QStringLiteral("from the environment's variables");
    return QStringLiteral("ProxyType ") + type;
}

// ---- the desktop ---------------------------------------------------------------------

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
    static const QStringList GnomeLike = {u"GNOME"_s,    u"UNITY"_s, u"CINNAMON"_s,
                                          u"X-CINNAMON"_s, u"BUDGIE"_s, u"MATE"_s,
                                          u"PANTHEON"_s, u"XFCE"_s};
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

int DesktopProxy::port() const {
    int port = 0;
    std::vector<Saved> saved;
    return loadState(&port, &saved, nullptr) ? port : 0;
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
        Saved one{object.value(u"desktop").toString(), {}};
        const QJsonObject values = object.value(u"values").toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            one.values.insert(it.key(), it.value().isString()
                                            ? std::optional<QString>(it.value().toString())
                                            : std::nullopt);
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
        desktops.append(QJsonObject{{u"desktop"_s, one.id}, {u"values"_s, values}});
    }
    const QJsonObject root{{u"port"_s, port}, {u"desktops"_s, desktops}};
    return writeFileAtomically(m_stateFile, QJsonDocument(root).toJson(), why);
}

QStringList DesktopProxy::manualSteps(int port) {
    const QString address = Loopback + u':' + QString::number(port);
    return {QStringLiteral("Set the proxy by hand:"),
            QStringLiteral("  Firefox: Settings > Network Settings > Manual proxy configuration: "
                           "HTTP Proxy ") +
                Loopback + QStringLiteral(", Port ") + QString::number(port) +
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
        Saved one{s->id(), {}};
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
            // Whatever was changed goes back; the saved file with it.
            for (std::size_t j = 0; j <= i; ++j)
                stores()[j]->write(saved[j].values, nullptr);
            QFile::remove(m_stateFile);
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
    if (was == port)
        return report;
    for (const Saved& one : saved) {
        DesktopProxyStore* s = store(one.id);
        ProxyValues now;
        if (!s || !s->read(&now, &why)) {
            report.fail(s ? s->title() + QStringLiteral(": ") + why : one.id);
            continue;
        }
        // Only what is still ours moves along; what the user set since stays.
        const ProxyValues old = s->ours(was), next = s->ours(port);
        ProxyValues changes;
        for (const QString& key : old.keys())
            if (sameValues(now, old, key))
                changes.insert(key, next.value(key));
        if (!s->write(changes, &why))
            report.fail(s->title() + QStringLiteral(": ") + why);
        else
            report.say(s->title() + QStringLiteral(": now ") + s->describe(next));
    }
    if (report.ok && !saveState(port, saved, &why))
        report.fail(why);
    return report;
}

SetupReport DesktopProxy::turnOff() {
    SetupReport report;
    if (!isOn()) {
        report.say(QStringLiteral("The desktop's proxy was not set by Tarnwick: nothing to put back."));
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
        const ProxyValues ours = s->ours(port);
        ProxyValues back;
        QStringList kept;
        for (const QString& key : one.values.keys()) {
            if (sameValues(now, ours, key))
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
            bool allOurs = true;
            const ProxyValues ours = s->ours(port);
            for (const QString& key : ours.keys())
                allOurs &= sameValues(now, ours, key);
            who = allOurs ? QStringLiteral("Tarnwick (port ") + QString::number(port) +
                                QStringLiteral("); off puts back: ") + s->describe(mine->values)
                          : QStringLiteral("Tarnwick, changed since; off puts back what is "
                                           "still Tarnwick's: ") +
                                s->describe(mine->values);
        } else {
            who = s->describe(now) == u"no proxy" ? QStringLiteral("nobody")
                                                  : QStringLiteral("the user or another program");
        }
        report.say(s->title() + QStringLiteral(": ") + s->describe(now) + QStringLiteral(" - set by ") +
                   who);
    }
    return report;
}

} // namespace Tarnwick
