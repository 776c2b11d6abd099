#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace Tarnwick {

// Bytes kept in memory up to a threshold and in a file of their own beyond it: an
// answer or a request body of any size costs at most the threshold in memory. The
// file is made new (any file of its name is removed first, never written through a
// link) when the bytes first pass the threshold, and removed with the store.
class SpillStore {
public:
    static constexpr qsizetype DefaultThreshold = 1024 * 1024;
    // What stays in memory of spilled bytes, for reading a head at their start.
    static constexpr qsizetype KeptPrefix = 64 * 1024;

    explicit SpillStore(qsizetype threshold = DefaultThreshold) : m_threshold(threshold) {}
    ~SpillStore();
    SpillStore(const SpillStore&) = delete;
    SpillStore& operator=(const SpillStore&) = delete;

    // The file it spills into, relative to the current directory at the time it does.
    void setFileName(const QString& name) { m_name = name; }

    // False when the bytes could not be kept (the file could not be made or written).
    bool append(QByteArrayView bytes);
    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    bool spilled() const { return m_fd >= 0; }
    // The bytes, while they are all in memory.
    QByteArray& memory() { return m_memory; }
    // The first bytes, up to `KeptPrefix` of them (all of them while in memory).
    QByteArrayView start() const;
    // The file, while spilled.
    int fd() const { return m_fd; }
    // Reads everything into memory; false when the file cannot be read whole.
    bool readAll(QByteArray& out) const;
    // Reads a stretch (shorter at the end); empty when it cannot be read.
    QByteArray read(qint64 offset, qint64 length) const;
    // Where `needle` first occurs at or after `from`, reading the file in pieces; -1
    // when nowhere.
    qint64 find(QByteArrayView needle, qint64 from) const;
    // Takes the file's name away, keeping the open file: nothing is left behind if the
    // program ends while the bytes are still being sent.
    void removeName();
    // Drops everything: memory, file and name.
    void clear();

    // Removes `name` if it is a file or link (never a link's target); false when it
    // could not be removed.
    static bool removeFile(const QString& name);
    // Removes every file in `directory` whose name matches the wildcard pattern.
    static int removeMatching(const QString& directory, const QString& pattern);

private:
    bool spill();
    bool writeAll(QByteArrayView bytes);

    qsizetype m_threshold;
    QString m_name;
    QByteArray m_path; // where the file was made, while it has its name
    QByteArray m_memory;
    qint64 m_size = 0;
    int m_fd = -1;
};

} // namespace Tarnwick
