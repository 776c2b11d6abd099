#include "fuzzsupport.h"

#include "settings/settingsstore.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <memory>
#include <stdlib.h>

namespace Fuzz {

namespace {

std::unique_ptr<Tarnwick::SettingsStore> store;
QByteArray directory;

QByteArray temporaryBase() {
    for (const QByteArray& candidate : {qgetenv("TARNWICK_FUZZ_TMPDIR"), QByteArray("/dev/shm")}) {
        const QFileInfo info(QString::fromLocal8Bit(candidate));
        if (!candidate.isEmpty() && info.isDir() && info.isWritable())
            return candidate;
    }
    const QByteArray tmp = qgetenv("TMPDIR");
    return tmp.isEmpty() ? QByteArray("/tmp") : tmp;
}

void removeDirectory() {
    store.reset();
    QDir(QString::fromLocal8Bit(directory)).removeRecursively();
}

} // namespace

QString privateDirectory() {
    if (directory.isEmpty()) {
        QByteArray name = temporaryBase() + "/tarnwick-fuzz.XXXXXX";
        require(mkdtemp(name.data()) != nullptr, "a private configuration directory");
        directory = name;
        qputenv("XDG_CONFIG_HOME", directory);
        // The store reads its file through a temporary copy after every change.
        qputenv("TMPDIR", directory);
        std::atexit(removeDirectory);
    }
    return QString::fromLocal8Bit(directory);
}

Tarnwick::SettingsStore& privateStore() {
    if (!store) {
        const QString dir = privateDirectory();
        store = std::make_unique<Tarnwick::SettingsStore>();
        require(store->fileName().startsWith(dir), "the store lives in the private directory");
    }
    return *store;
}

} // namespace Fuzz
