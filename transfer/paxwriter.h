#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// Files and folders as one POSIX pax (ustar) stream, pulled piece by piece on the event loop's
// thread. Each chosen item sits at the top of the archive under its own name, a folder's contents
// under "<name>/". The tree is measured once, with lstat, when the writer is made: size() is then
// a promise, and a file that no longer matches what was measured (its size, or another file in
// its place) ends the stream with an error rather than with bytes that would break it or were
// never chosen. Every entry is held to the receiver's rules while measured, so a bundle is
// refused whole here rather than cut short there.
class PaxWriter
{
public:
    explicit PaxWriter(const QStringList &paths);
    ~PaxWriter();
    PaxWriter(const PaxWriter &) = delete;
    PaxWriter &operator=(const PaxWriter &) = delete;

    // False when a chosen item, or a folder or file inside one, cannot be read or would be refused
    // by a receiver; errorString() then names it. Such a choice is refused before it is offered.
    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    // The archive name of the entry a receiver would refuse, when that is why the writer is not valid.
    QString refusedName() const { return m_refused; }

    // The name a bundle goes by: the folder's when exactly one folder was chosen, otherwise that
    // of the folder holding the first chosen item ("" for the file system's root).
    static QString bundleName(const QStringList &paths);

    // Every byte the stream will have, end blocks included.
    qint64 size() const { return m_size; }

    // Up to `max` next bytes of the stream, 0 at its end, or -1 for good once a file cannot be
    // read or is no longer what was measured.
    qint64 read(char *buffer, qint64 max);

private:
    // What lstat said of an entry, as far as the stream needs it.
    struct Measured {
        quint32 mode; // st_mode: type and permission bits
        qint64 size;  // content bytes, 0 but for regular files
        qint64 mtime;
        quint64 device, inode;
    };
    // Kept small: a walk over a big tree holds one of these per entry and nothing rendered.
    struct Entry {
        quint32 name; // offset in m_names of the archive name, NUL-ended; a link's target follows
        quint32 root; // index in m_roots of the local folder the name is relative to
        qint64 size;
        qint64 mtime;
        quint64 inode;
        quint32 mode;
        quint32 device; // index in m_devices
    };

    // Walk
    bool append(quint32 root, const QByteArray &name, const Measured &measured, const QByteArray &target);
    bool walk(const QByteArray &dirPath, const QByteArray &name, quint32 root);
    bool fail(const QByteArray &path, int error);
    bool refuse(quint32 root, const QByteArray &name);
    QByteArray nameOf(const Entry &entry) const;
    QByteArray targetOf(const Entry &entry) const;
    QByteArray paxRecords(const Entry &entry) const;
    qint64 headerBytes(const Entry &entry) const;

    // Pump
    bool start(const Entry &entry);
    int folderOf(const Entry &entry);
    void closeFile();
    void closeFolders();
    qint64 stop();

    QString m_error;
    QString m_refused;
    std::vector<Entry> m_entries;
    QByteArray m_names;
    QList<QByteArray> m_roots;
    // Nearly always one: a tree rarely crosses into another file system.
    std::vector<quint64> m_devices;
    // The receiver leaves out the one chosen folder's own name, which puts links a level higher.
    bool m_strip = false;
    qint64 m_size = 0;

    size_t m_next = 0;
    QByteArray m_header;
    qsizetype m_headerAt = 0;
    int m_fd = -1;
    // The chosen items' folder, and the folder of the last file, whose siblings mostly follow it.
    int m_rootFd = -1;
    QByteArray m_rootPath;
    int m_folderFd = -1;
    QByteArray m_folderPath;
    qint64 m_fileSize = 0;
    qint64 m_contentLeft = 0;
    qint64 m_padLeft = 0;
    qint64 m_trailerLeft = 1024;
    bool m_failed = false;
};
