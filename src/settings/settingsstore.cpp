#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tarnwick {

namespace {
QString qualified(QStringView key) {
    return StoreSection.toString() + u'/' + key.toString();
}

QString valueText(const QVariant& value) {
    // A hand-edited file may hold "a, b" unquoted, which the ini reader takes as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}
} // namespace

QString SettingsStore::defaultFileName() {
    const QSettings probe(QSettings::IniFormat, QSettings::UserScope,
                          StoreApplication.toString(), StoreApplication.toString());
    return probe.fileName();
}

SettingsStore::SettingsStore() : SettingsStore(defaultFileName()) {}

SettingsStore::SettingsStore(const QString& filePath)
    : m_path(filePath), m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {
    m_settings->setFallbacksEnabled(false);
}

SettingsStore::~SettingsStore() {
    if (m_watch >= 0)
        ::close(m_watch);
}

int SettingsStore::watchForChanges() {
    if (m_watch >= 0)
        return m_watch;
    const QString folder = QFileInfo(m_path).absolutePath();
    QDir().mkpath(folder);
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    // Every way the file can change: written in place, replaced, removed, touched.
    constexpr quint32 Changes = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                IN_MOVE_SELF;
    if (::inotify_add_watch(fd, QFile::encodeName(folder).constData(), Changes) < 0) {
        ::close(fd);
        return -1;
    }
    m_watch = fd;
    m_fresh = false;
    return fd;
}

void SettingsStore::takeChanges() {
    if (m_watch < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    bool folderGone = false;
    ssize_t n;
    while ((n = ::read(m_watch, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            folderGone |= (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF |
                                          IN_Q_OVERFLOW)) != 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    m_fresh = false;
    // Without its folder the watch says nothing more: look at the file at every read.
    if (folderGone) {
        ::close(m_watch);
        m_watch = -1;
    }
}

SettingsStore::FileStamp SettingsStore::stamp() const {
    struct stat info {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0)
        return {};
    constexpr qint64 Nano = 1000000000;
    return {true,
            quint64(info.st_dev),
            quint64(info.st_ino),
            qint64(info.st_size),
            qint64(info.st_mtim.tv_sec) * Nano + info.st_mtim.tv_nsec,
            qint64(info.st_ctim.tv_sec) * Nano + info.st_ctim.tv_nsec};
}

void SettingsStore::refresh() const {
    // Watched: nothing changed since the last look.
    if (m_watch >= 0 && m_fresh)
        return;
    if (m_scopes > 0 && m_checkedInScope && m_fresh)
        return;
    m_checkedInScope = m_scopes > 0;
    const FileStamp now = stamp();
    if (m_fresh && now == m_stamp)
        return;
    m_stamp = now;
    m_fresh = true;
    m_keys.clear();
    m_values.clear();
    if (!now.exists)
        return;
    // Qt's reader keeps a parsed file per name and reads it again only when its size
    // or millisecond time stamp changed: two saves of one size within a millisecond
    // would go unseen. A copy under a name of its own is always read afresh.
    QFile original(m_path);
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/tarnwick-settings-XXXXXX.ini"));
    if (!original.open(QIODevice::ReadOnly) || !copy.open())
        return;
    copy.write(original.readAll());
    copy.close();
    QSettings reader(copy.fileName(), QSettings::IniFormat);
    reader.beginGroup(StoreSection.toString());
    m_keys = reader.childKeys();
    for (const QString& key : std::as_const(m_keys))
        m_values.insert(key, valueText(reader.value(key)));
}

QString SettingsStore::get(const SettingKey& key) const {
    return getByName(key.name, key.defaultValue);
}

std::optional<QString> SettingsStore::stored(const SettingKey& key) const {
    refresh();
    const auto found = m_values.constFind(key.name.toString());
    if (found == m_values.constEnd())
        return std::nullopt;
    return *found;
}

QString SettingsStore::getByName(QStringView name, QStringView defaultValue) const {
    refresh();
    return m_values.value(name.toString(), defaultValue.toString());
}

bool SettingsStore::containsByName(QStringView name) const {
    refresh();
    return m_values.contains(name.toString());
}

bool SettingsStore::saveByName(QStringView name, const QString& value) {
    m_settings->sync();
    m_settings->setValue(qualified(name), value);
    return flush();
}

bool SettingsStore::removeByName(QStringView name) {
    if (!containsByName(name))
        return false;
    m_settings->sync();
    m_settings->remove(qualified(name));
    return flush();
}

bool SettingsStore::removeAll() {
    m_settings->sync();
    if (!m_settings->childGroups().contains(StoreSection.toString()))
        return false;
    m_settings->remove(StoreSection.toString());
    return flush();
}

QStringList SettingsStore::keys() const {
    refresh();
    return m_keys;
}

QString SettingsStore::fileName() const {
    return m_settings->fileName();
}

bool SettingsStore::flush() {
    m_settings->sync();
    m_fresh = false; // our own write is read back like anyone's
    return m_settings->status() == QSettings::NoError;
}

} // namespace Tarnwick
