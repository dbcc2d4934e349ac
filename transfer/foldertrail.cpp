#include "transfer/foldertrail.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Folders of ours remembered once left: some 40 bytes each.
constexpr qsizetype RememberMax = 16384;

int openBelow(int dirFd, const char *name) { return openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }
}

FolderTrail::FolderTrail(int root, quint32 umask, qint64 &budget)
    : m_root(root)
    , m_umask(umask)
    , m_budget(budget)
{
}

FolderTrail::~FolderTrail() { leaveAll(); }

bool FolderTrail::charge(qint64 &budget, qint64 bytes)
{
    if (bytes > budget)
        return false;
    budget -= bytes;
    return true;
}

FolderTrail::Step FolderTrail::enter(const QList<QByteArray> &folders, bool entry, quint32 mode, qint64 mtime)
{
    qsizetype common = 0;
    while (common < qsizetype(m_stack.size()) && common < folders.size() && m_stack[size_t(common)].name == folders[common])
        ++common;
    unwind(common);
    if (qsizetype(m_stack.size()) != common)
        return Failed;
    for (qsizetype i = common; i < folders.size(); ++i) {
        if (const Step entered = enterOne(folders[i], entry && i == folders.size() - 1, mode, mtime); entered != Entered)
            return entered;
    }
    // A folder's entry after some of what it holds, which made it on the way down.
    if (entry && common == folders.size() && m_stack.back().ours)
        m_stack.back().ours = Finish{mode, mtime};
    return Entered;
}

// One step down from the deepest folder, made where missing. Each step refuses a symbolic link,
// so no entry reaches through one, whether it was there before or the archive made it.
FolderTrail::Step FolderTrail::enterOne(const QByteArray &name, bool entry, quint32 mode, qint64 mtime)
{
    const int parent = here();
    struct stat st;
    bool there = fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // Whatever has a folder entry's name goes, but a folder: never followed, only unlinked.
    if (entry && there && !S_ISDIR(st.st_mode)) {
        if (unlinkat(parent, name.constData(), 0) < 0)
            return Failed;
        there = false;
    }
    std::optional<Finish> ours;
    if (there && S_ISDIR(st.st_mode)) {
        if (const auto left = m_ours.constFind({st.st_dev, st.st_ino}); left != m_ours.cend())
            ours = *left;
        if (ours && (ours->mode & 0700) != 0700)
            fchmodat(parent, name.constData(), 0700, AT_SYMLINK_NOFOLLOW);
    }
    int fd = openBelow(parent, name.constData());
    if (fd < 0 && errno == ENOENT) {
        if (!charge(m_budget, 512))
            return Unsafe;
        // Ours alone while it is filled: its own mode, or the umask, could bar our way in.
        if (mkdirat(parent, name.constData(), 0700) == 0)
            ours = Finish{0777 & ~m_umask, std::nullopt};
        else if (errno != EEXIST)
            return Failed;
        fd = openBelow(parent, name.constData());
        if (fd >= 0 && ours && (m_umask & 0700))
            fchmod(fd, 0700);
    }
    if (fd < 0)
        return there && S_ISLNK(st.st_mode) ? Unsafe : Failed;
    const bool same = there && ours;
    const dev_t dev = st.st_dev;
    const ino_t ino = st.st_ino;
    if (fstat(fd, &st) < 0) {
        ::close(fd);
        return Failed;
    }
    // Replaced since it was looked at: not the folder that was ours.
    if (same && (st.st_dev != dev || st.st_ino != ino))
        ours.reset();
    if (ours && entry)
        ours = Finish{mode, mtime};
    if (m_here >= 0)
        ::close(m_here);
    m_here = fd;
    m_stack.push_back({name, st.st_dev, st.st_ino, ours});
    return Entered;
}

// Finishes the deepest folder: it takes its mode and time if it is ours, and the way goes up.
bool FolderTrail::leave()
{
    const Folder done = std::move(m_stack.back());
    m_stack.pop_back();
    // Up first: the folder's own mode may not let us through it once applied.
    int up = -1;
    if (!m_stack.empty()) {
        up = openat(m_here, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (up >= 0 && (fstat(up, &st) < 0 || st.st_dev != m_stack.back().dev || st.st_ino != m_stack.back().ino))
            ::close(up), up = -1;
    }
    if (const std::optional<Finish> &ours = done.ours) {
        if (m_ours.size() < RememberMax)
            m_ours.insert({done.dev, done.ino}, *ours);
        fchmod(m_here, ours->mode);
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ours->mtime.value_or(0)), ours->mtime ? 0 : UTIME_OMIT}};
        futimens(m_here, times);
    }
    ::close(m_here);
    m_here = up;
    return up >= 0 || m_stack.empty() || walk();
}

// The folders were moved meanwhile: down from the top again, each step the folder it was, or the
// way is lost and what is left of it given up.
bool FolderTrail::walk()
{
    int fd = -1;
    for (const Folder &folder : m_stack) {
        const int next = openBelow(fd >= 0 ? fd : m_root, folder.name.constData());
        struct stat st;
        const bool same = next >= 0 && fstat(next, &st) == 0 && st.st_dev == folder.dev && st.st_ino == folder.ino;
        if (fd >= 0)
            ::close(fd);
        fd = next;
        if (!same) {
            if (fd >= 0)
                ::close(fd);
            m_stack.clear();
            m_here = -1;
            return false;
        }
    }
    m_here = fd;
    return true;
}

void FolderTrail::unwind(qsizetype depth)
{
    while (qsizetype(m_stack.size()) > depth)
        leave();
}

