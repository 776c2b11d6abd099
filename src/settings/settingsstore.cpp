#include "settings/settingsstore.h"

#include <QSettings>
#include <QStringList>

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
    : m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {
    m_settings->setFallbacksEnabled(false);
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::get(QStringView key, QStringView defaultValue) const {
    // sync() re-reads only when the file's size or time stamp changed.
    m_settings->sync();
    const QVariant value = m_settings->value(qualified(key));
    if (!value.isValid())
        return defaultValue.toString();
    return valueText(value);
}

bool SettingsStore::contains(QStringView key) const {
    m_settings->sync();
    return m_settings->contains(qualified(key));
}

bool SettingsStore::save(QStringView key, const QString& value) {
    m_settings->sync();
    m_settings->setValue(qualified(key), value);
    return flush();
}

bool SettingsStore::remove(QStringView key) {
    if (!contains(key))
        return false;
    m_settings->remove(qualified(key));
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
    m_settings->sync();
    m_settings->beginGroup(StoreSection.toString());
    const QStringList result = m_settings->childKeys();
    m_settings->endGroup();
    return result;
}

QString SettingsStore::fileName() const {
    return m_settings->fileName();
}

bool SettingsStore::flush() {
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

} // namespace Tarnwick
