#pragma once

#include "settings/settingskeys.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QSettings;

namespace Tarnwick {

// The per-user settings store: one section of text values, never cached by its
// readers. Every read checks the file (one stat: device, inode, size and time stamps
// to the nanosecond) and reads it again only when it changed, so a value another
// process saved a moment ago is seen by the very next read, at the cost of a stat
// and a hash lookup otherwise.
class SettingsStore {
public:
    // The user's store in the standard per-user configuration directory.
    SettingsStore();
    // A store in the given file (tests, tools pointed elsewhere).
    explicit SettingsStore(const QString& filePath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The stored text, or the key's default when it is absent.
    QString get(const SettingKey& key) const;
    // The stored text; nothing when the key is absent.
    std::optional<QString> stored(const SettingKey& key) const;
    // The stored value (or the default) read as one of the choices.
    ChoiceValue choice(const SettingKey& key) const { return choiceOf(get(key)); }
    // Creates or overwrites the key and writes the file at once; false when the file
    // could not be written.
    bool save(const SettingKey& key, const QString& value) { return saveByName(key.name, value); }
    // False when the key is absent or the file could not be written.
    bool remove(const SettingKey& key) { return removeByName(key.name); }
    bool contains(const SettingKey& key) const { return containsByName(key.name); }

    // The same by name, for keys outside the table: what another program or the user
    // stores through tarnwick-settings.
    QString getByName(QStringView name, QStringView defaultValue = {}) const;
    bool saveByName(QStringView name, const QString& value);
    bool removeByName(QStringView name);
    bool containsByName(QStringView name) const;

    // Removes the whole section; fails when the section is absent.
    bool removeAll();
    // Keys present in the section, in the store's order.
    QStringList keys() const;
    QString fileName() const;

    // Where the user's store lives.
    static QString defaultFileName();

    // Watching the store's folder makes an unchanged store cost nothing to read: the
    // file is looked at again only after the folder reported a change. Returns a
    // descriptor that becomes readable on a change (the owner watches it and calls
    // takeChanges()), or -1 when the folder cannot be watched; reads then look at the
    // file as usual.
    int watchForChanges();
    void takeChanges();

    // While one exists, reads look at the file once: the reads of one request or one
    // answer see one state of the store, at the cost of one stat. Saves through this
    // store are still seen at once.
    class ReadScope {
    public:
        explicit ReadScope(const SettingsStore& store) : m_store(store) { ++store.m_scopes; }
        ~ReadScope() {
            if (--m_store.m_scopes == 0)
                m_store.m_checkedInScope = false;
        }
        ReadScope(const ReadScope&) = delete;
        ReadScope& operator=(const ReadScope&) = delete;

    private:
        const SettingsStore& m_store;
    };

private:
    struct FileStamp {
        bool exists = false;
        quint64 device = 0, inode = 0;
        qint64 size = 0, modified = 0, changed = 0; // time stamps in nanoseconds
        friend bool operator==(const FileStamp&, const FileStamp&) = default;
    };
    FileStamp stamp() const;
    // Brings the values up to date with the file when it changed since the last look.
    void refresh() const;
    bool flush();

    QString m_path;
    std::unique_ptr<QSettings> m_settings; // writes
    mutable FileStamp m_stamp;
    mutable bool m_fresh = false;
    int m_watch = -1; // the folder's inotify descriptor, while it is watched
    mutable int m_scopes = 0;
    mutable bool m_checkedInScope = false;
    mutable QStringList m_keys;
    mutable QHash<QString, QString> m_values;
};

} // namespace Tarnwick
