#include "platform/filetable.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Tarnwick {

FileTable::FileTable() = default;

FileTable::~FileTable() {
    closeAll();
}

bool FileTable::openFresh(int number, const QString& name) {
    close(number);
    const QByteArray path = QFile::encodeName(name);
    // unlink removes a symbolic link itself, never its target.
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        return false;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd < 0)
        return false;
    auto* file = new QFile;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        return false;
    }
    m_files.insert(number, file);
    return true;
}

bool FileTable::append(int number, const QByteArray& data) {
    QFile* file = m_files.value(number);
    if (!file)
        return false;
    return file->write(data) == data.size();
}

bool FileTable::isOpen(int number) const {
    return m_files.contains(number);
}

void FileTable::close(int number) {
    if (QFile* file = m_files.take(number)) {
        file->close();
        delete file;
    }
}

void FileTable::closeAll() {
    for (QFile* file : std::as_const(m_files)) {
        file->close();
        delete file;
    }
    m_files.clear();
}

std::unique_ptr<QFile> FileTable::openForReading(const QString& name) {
    const QByteArray path = QFile::encodeName(name);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}

bool FileTable::removeFile(const QString& name) {
    return ::unlink(QFile::encodeName(name).constData()) == 0;
}

int FileTable::removeMatching(const QString& directory, const QString& pattern) {
    const QDir dir(directory);
    int removed = 0;
    const auto names = dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        if (removeFile(dir.filePath(name)))
            ++removed;
    return removed;
}

} // namespace Tarnwick
