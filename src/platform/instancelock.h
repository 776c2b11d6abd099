#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace Tarnwick {

// Tells whether another instance of the program runs for this user. The lock lives
// in the user's runtime directory and is released by the system when its holder
// dies, so a crashed instance never blocks the next start.
class InstanceLock {
public:
    explicit InstanceLock(const QString& name = QStringLiteral("tarnwick"));
    ~InstanceLock();
    // True when this process now holds the lock: no other instance runs.
    bool acquire();
    QString fileName() const;

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_fileName;
};

} // namespace Tarnwick
