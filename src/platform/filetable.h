#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <memory>

class QFile;

namespace Tarnwick {

// Files by handle number, for the relay's per-slot answer files. The relay numbers
// each file by its slot, so a handle never passes from one relay to another.
class FileTable {
public:
    FileTable();
    ~FileTable();

    // Creates `name` new and empty for writing under handle `number`: any file of
    // that name is removed first and the new one is created exclusively, never
    // through a symbolic link, so no leftover or planted file is written into.
    bool openFresh(int number, const QString& name);
    bool append(int number, const QByteArray& data);
    bool isOpen(int number) const;
    void close(int number);
    void closeAll();

    // Opens an existing file for reading without following a symbolic link.
    static std::unique_ptr<QFile> openForReading(const QString& name);
    // Removes a file; false when there was none or it could not be removed.
    static bool removeFile(const QString& name);
    // Removes every file in `directory` whose name matches the wildcard pattern.
    static int removeMatching(const QString& directory, const QString& pattern);

private:
    QHash<int, QFile*> m_files;
};

} // namespace Tarnwick
