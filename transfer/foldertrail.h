#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include <sys/types.h>

#include <optional>
#include <utility>
#include <vector>

// The folders an archive's current entry is in, a path down from the folder it unpacks into,
// made where missing and never through a symbolic link. Archives come depth first, so a folder
// is finished when the stream leaves it: only then does a folder made here take its mode and
// time, since writing inside a folder changes its time and a read-only one could not be filled.
// Only the deepest is held open, so neither descriptors nor memory grow with the count of
// folders; the way back up is "..", checked to be the folder that was come down from.
class FolderTrail
{
public:
    enum Step { Entered, Unsafe, Failed };

    // `root` stays the caller's. A folder made costs 512 bytes of `budget`, which is the caller's too.
    FolderTrail(int root, quint32 umask, qint64 &budget);
    ~FolderTrail();
    FolderTrail(const FolderTrail &) = delete;
    FolderTrail &operator=(const FolderTrail &) = delete;

    // Makes `folders` the path the next entry is in, finishing those it leaves. `entry` says the
    // last of them is the entry itself, whose mode (within the umask) and time it takes once left.
    Step enter(const QList<QByteArray> &folders, bool entry, quint32 mode, qint64 mtime);
    // The deepest folder entered, or the root.
    int here() const { return m_here >= 0 ? m_here : m_root; }
    void leaveAll() { unwind(0); }

    static bool charge(qint64 &budget, qint64 bytes);

private:
    struct Finish {
        quint32 mode;
        std::optional<qint64> mtime;
    };
    struct Folder {
        QByteArray name;
        dev_t dev;
        ino_t ino;
        std::optional<Finish> ours; // made here, and what it takes when left
    };

    Step enterOne(const QByteArray &name, bool entry, quint32 mode, qint64 mtime);
    bool leave();
    bool walk();
    void unwind(qsizetype depth);

    const int m_root;
    const quint32 m_umask;
    qint64 &m_budget;
    std::vector<Folder> m_stack;
    int m_here = -1;
    // bsdtar gives a folder's entry with its siblings' and goes into it later: a folder of ours
    // met again is ours to fill and finish again. Remembered up to a bound, the earliest first.
    QHash<std::pair<quint64, quint64>, Finish> m_ours;
};
