#include "platform/spillstore.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Tarnwick {

SpillStore::~SpillStore() {
    clear();
}

QByteArrayView SpillStore::start() const {
    return QByteArrayView(m_memory);
}

bool SpillStore::append(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return true;
    if (m_fd < 0 && m_size + bytes.size() <= m_threshold) {
        m_memory.append(bytes);
        m_size += bytes.size();
        return true;
    }
    if (m_fd < 0 && !spill())
        return false;
    if (!writeAll(bytes))
        return false;
    m_size += bytes.size();
    // The start stays readable in memory, however the bytes came in.
    if (m_memory.size() < KeptPrefix)
        m_memory.append(bytes.first(std::min(bytes.size(), KeptPrefix - m_memory.size())));
    return true;
}

bool SpillStore::spill() {
    // Resolved now, so that a later change of the current directory cannot make the
    // name point elsewhere when it is removed.
    m_path = QFile::encodeName(QDir::current().absoluteFilePath(m_name));
    // unlink removes a link itself, never its target; the new file is made exclusively.
    if (::unlink(m_path.constData()) != 0 && errno != ENOENT) {
        m_path.clear();
        return false;
    }
    m_fd = ::open(m_path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_path.clear();
        return false;
    }
    if (!writeAll(m_memory))
        return false;
    // Only the start stays: heads are read from it.
    m_memory.truncate(KeptPrefix);
    m_memory.squeeze();
    return true;
}

bool SpillStore::writeAll(QByteArrayView bytes) {
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

bool SpillStore::readAll(QByteArray& out) const {
    out = read(0, m_size);
    return out.size() == m_size;
}

QByteArray SpillStore::read(qint64 offset, qint64 length) const {
    length = std::max<qint64>(0, std::min(length, m_size - offset));
    if (m_fd < 0)
        return m_memory.mid(offset, length);
    QByteArray out(length, Qt::Uninitialized);
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, out.data() + done, size_t(length - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        done += n;
    }
    return out;
}

qint64 SpillStore::find(QByteArrayView needle, qint64 from) const {
    if (m_fd < 0)
        return m_memory.indexOf(needle, from);
    constexpr qint64 Piece = 256 * 1024;
    // Each piece overlaps the one before by the needle's length less one.
    for (qint64 at = from; at < m_size; at += Piece) {
        const QByteArray piece = read(at, Piece + needle.size() - 1);
        if (piece.isEmpty())
            return -1;
        const qsizetype found = piece.indexOf(needle);
        if (found >= 0)
            return at + found;
    }
    return -1;
}

void SpillStore::removeName() {
    if (!m_path.isEmpty())
        ::unlink(m_path.constData());
    m_path.clear();
}

void SpillStore::clear() {
    removeName();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_memory.clear();
    m_size = 0;
}

bool SpillStore::removeFile(const QString& name) {
    return ::unlink(QFile::encodeName(name).constData()) == 0;
}

int SpillStore::removeMatching(const QString& directory, const QString& pattern) {
    const QDir dir(directory);
    int removed = 0;
    const auto names = dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        if (removeFile(dir.filePath(name)))
            ++removed;
    return removed;
}

} // namespace Tarnwick
