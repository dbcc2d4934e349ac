#include "transfer/saveplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>

#include <pwd.h>
#include <unistd.h>

QString SavePlace::homeFolder()
{
    // $HOME, as every desktop program reads it; the account's own entry only when it is unset or
    // gone. Never the current folder, which is wherever the program was started from.
    if (qEnvironmentVariableIsSet("HOME") && QFileInfo(QDir::homePath()).isDir())
        return QDir::homePath();
    if (const passwd *account = getpwuid(getuid()); account && account->pw_dir)
        return QDir::cleanPath(QFile::decodeName(account->pw_dir));
    return QDir::homePath();
}

QString SavePlace::downloadFolder()
{
    // Qt reads the folder from the user's user-dirs.dirs, localised names included.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return !downloads.isEmpty() && QFileInfo(downloads).isDir() ? QDir::cleanPath(downloads) : homeFolder();
}

bool SavePlace::canCreate(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        // Opening a pipe or a device could wait for a reader forever; the file must be a file.
        if (!info.isFile())
            return false;
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    file.close();
    file.remove();
    return true;
}

bool SavePlace::hasRoom(const QString &path, qint64 size)
{
    const QFileInfo info(path);
    QStorageInfo storage(info.absolutePath());
    // A file system that cannot tell is given the benefit of the doubt; the write still checks.
    if (!storage.isValid() || !storage.isReady())
        return true;
    const qint64 replaced = info.isFile() ? info.size() : 0;
    return storage.bytesAvailable() + replaced >= size;
}

QString SavePlace::freeName(const QString &folder, const QString &name)
{
    // "notes.txt" becomes "notes (2).txt", a folder "Trip" becomes "Trip (2)"; a leading dot is
    // part of the name, not the start of a suffix.
    const qsizetype dot = name.lastIndexOf(u'.');
    const bool suffixed = dot > 0 && !QFileInfo(QDir(folder).filePath(name)).isDir();
    const QString stem = suffixed ? name.first(dot) : name, suffix = suffixed ? name.sliced(dot) : QString();
    QString candidate = name;
    for (int n = 2; QFileInfo::exists(QDir(folder).filePath(candidate)) || QFileInfo(QDir(folder).filePath(candidate)).isSymLink(); ++n)
        candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix);
    return QDir(folder).filePath(candidate);
}
