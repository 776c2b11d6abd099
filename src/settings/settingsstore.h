#pragma once

#include "settings/settingskeys.h"

#include <QString>
#include <QStringList>
#include <memory>

class QSettings;

namespace Tarnwick {

// The per-user settings store: one section of text values, never cached by its
// readers. Every get checks whether the file changed on disk (a stat) and re-reads
// it only then, so a value another process saved a moment ago is seen at once.
class SettingsStore {
public:
    // The user's store in the standard per-user configuration directory.
    SettingsStore();
    // A store in the given file (tests, tools pointed elsewhere).
    explicit SettingsStore(const QString& filePath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The stored text, or the caller's default when the key or section is absent.
    QString get(QStringView key, QStringView defaultValue) const;
    QString get(const SettingKey& key) const { return get(key.name, key.defaultValue); }
    // Creates or overwrites the key and writes the file at once.
    bool save(QStringView key, const QString& value);
    // Fails when the key is absent.
    bool remove(QStringView key);
    // Removes the whole section; fails when the section is absent.
    bool removeAll();

    bool contains(QStringView key) const;
    // Keys present in the section, in the store's order.
    QStringList keys() const;
    QString fileName() const;

    // Where the user's store lives.
    static QString defaultFileName();

private:
    bool flush();
    std::unique_ptr<QSettings> m_settings;
};

} // namespace Tarnwick
