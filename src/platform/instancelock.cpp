#include "platform/instancelock.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace Tarnwick {

InstanceLock::InstanceLock(const QString& name) {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QDir().mkpath(dir);
    m_fileName = QDir(dir).filePath(name + QStringLiteral(".lock"));
    m_lock = std::make_unique<QLockFile>(m_fileName);
    // Only a dead holder makes the lock stale, never its age: an instance may run
    // for weeks.
    m_lock->setStaleLockTime(0);
}

InstanceLock::~InstanceLock() = default;

bool InstanceLock::acquire() {
    return m_lock->tryLock(0);
}

QString InstanceLock::fileName() const {
    return m_fileName;
}

} // namespace Tarnwick
