#pragma once

#include "exchangerig.h"

#include <QDirIterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

inline QByteArray local(const QString &path) { return QFile::encodeName(path); }

// A long name, kept apart so that tests can find it in a tree.
inline const QString TripLongName = QString(120, u'n') + QStringLiteral(".txt");

// `root`/Trip with nested and empty folders, blanks, non-ASCII and a long name, an executable, two
// relative links (one with a target too long for ustar) and a few megabytes; every entry has a
// whole-second time of its own in the past, deepest first, so a folder's time is not moved by what
// comes below. Returns the path of Trip.
inline QString makeTrip(const QString &root)
{
    QDir dir(root);
    const QString trip = dir.filePath(QStringLiteral("Trip"));
    dir.mkpath(QStringLiteral("Trip/a b/\u00e7\u00e0 \u00f6")), dir.mkpath(QStringLiteral("Trip/empty")), dir.mkpath(QStringLiteral("Trip/deep"));
    writeFile(trip + QStringLiteral("/a b/notes.txt"), "some notes\n");
    writeFile(trip + QStringLiteral("/a b/\u00e7\u00e0 \u00f6/Gr\u00fc\u00dfe \u65e5\u672c.txt"), "\xe2\x82\xac\n");
    writeFile(trip + QStringLiteral("/deep/") + TripLongName, "long\n");
    writeFile(trip + QStringLiteral("/run.sh"), "#!/bin/sh\necho hi\n");
    writeFile(trip + QStringLiteral("/big.bin"), randomBytes(3 << 20));
    chmod(local(trip + QStringLiteral("/run.sh")), 0755), chmod(local(trip + QStringLiteral("/empty")), 0700);
    symlink("a b/notes.txt", local(trip + QStringLiteral("/link")));
    symlink(local(QStringLiteral("deep/") + TripLongName), local(trip + QStringLiteral("/longlink")));
    QStringList paths{trip};
    for (QDirIterator it(trip, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
        paths << it.next();
    std::sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (int i = 0; i < paths.size(); ++i) {
        const timespec times[2] = {{1600000000, 0}, {1600000000 + i, 0}};
        utimensat(AT_FDCWD, local(paths[i]), times, AT_SYMLINK_NOFOLLOW);
    }
    return trip;
}

// Every entry below `root`, one sorted line each: what two unpacked trees must share (type and
// permission bits, time, content or link target).
inline QStringList manifest(const QString &root)
{
    QStringList lines;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        struct stat st {};
        lstat(local(path), &st);
        QString line = QDir(root).relativeFilePath(path) + u'\t';
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = readlink(local(path), target, sizeof target);
            line += QStringLiteral("-> ") + QString::fromUtf8(target, qMax<ssize_t>(length, 0));
        } else {
            line += QString::number(st.st_mode, 8) + u' ' + QString::number(st.st_mtim.tv_sec);
            if (S_ISREG(st.st_mode))
                line += u' ' + QCryptographicHash::hash(contentOf(path), QCryptographicHash::Sha1).toHex();
        }
        lines << line;
    }
    lines.sort();
    return lines;
}

// What lies below `root` outside `inside` (and the folders on the way to it).
inline QStringList outsideOf(const QString &root, const QString &inside)
{
    QStringList found;
    for (QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        if (const QString path = it.next(); !path.startsWith(inside + u'/') && !inside.startsWith(path))
            found << path;
    return found;
}
