#pragma once

#include <QString>

// Where received bytes may go, as every front end judges it.
class SavePlace
{
public:
    // The user's home folder, and the folder their downloads go to (the home folder when they
    // have none).
    static QString homeFolder();
    static QString downloadFolder();
    // Whether `path` can be written as a new or replaced file, found by trying, since a check of
    // permissions is wrong for root, ACLs and read-only mounts alike. Leaves the file as it was.
    static bool canCreate(const QString &path);
    // Whether the file system that would hold `path` has room for `size` bytes, counting what a
    // file it would replace already holds.
    static bool hasRoom(const QString &path, qint64 size);
    // `name` in `folder`, or the first free name after it: "notes (2).txt", "Trip (2)".
    static QString freeName(const QString &folder, const QString &name);
};
