#include "platform/desktopproxy.h"

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {

const QString GnomeSchema = QStringLiteral("org.gnome.system.proxy");
// The keys are "KEY" of the schema itself or "CHILD.KEY" of its child schemas.
const QStringList GnomeKeys = {u"mode"_s, u"http.host"_s, u"http.port"_s, u"https.host"_s,
                               u"https.port"_s};

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

} // namespace

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
        const bool ok =
            !value || *value == defaults.value(name)
                ? runTool(QStringLiteral("gsettings"), {QStringLiteral("reset"), schema, key},
                          nullptr, &error)
                : runTool(QStringLiteral("gsettings"), {QStringLiteral("set"), schema, key, *value},
                          nullptr, &error);
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
    const QString host = gvariantString(loopback());
    return {{u"mode"_s, u"'manual'"_s},
            {u"http.host"_s, host},
            {u"http.port"_s, QString::number(port)},
            {u"https.host"_s, host},
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

} // namespace Tarnwick
