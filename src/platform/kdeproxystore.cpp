#include "platform/desktopproxy.h"

#include <QFile>
#include <QStandardPaths>

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {

const QString KdeGroup = QStringLiteral("[Proxy Settings]");
// Besides the three keys, two marks for what was there before any key: the group and
// the file. Put back as absent, an emptied group or file goes away again.
const QString KdeGroupMark = QStringLiteral("@group");
const QString KdeFileMark = QStringLiteral("@file");
const QStringList KdeKeys = {u"ProxyType"_s, u"httpProxy"_s, u"httpsProxy"_s};

QString valueOr(const std::optional<QString>& value, const QString& absent) {
    return value ? *value : absent;
}

} // namespace

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
    const QString proxy = QStringLiteral("http://") + loopback() + u' ' + QString::number(port);
    return {{u"ProxyType"_s, u"1"_s},
            {u"httpProxy"_s, proxy},
            {u"httpsProxy"_s, proxy},
            {KdeGroupMark, QString()},
            {KdeFileMark, QString()}};
}

QString KdeProxyStore::describe(const ProxyValues& values) const {
    const QString type = valueOr(values.value(u"ProxyType"_s), u"0"_s);
    if (type == u"1")
        return QStringLiteral("manual, HTTP ") + valueOr(values.value(u"httpProxy"_s), u"none"_s) +
               QStringLiteral(", HTTPS ") + valueOr(values.value(u"httpsProxy"_s), u"none"_s);
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

} // namespace Tarnwick
