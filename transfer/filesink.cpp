#include "transfer/filesink.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

bool FileSink::openFile(const QString &path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

bool FileSink::openFolder(const QString &path, const QString &name, qint64 announced)
{
    // Opened once and used through its descriptor from then on, so what is checked is what is written.
    const QByteArray local = QFile::encodeName(path);
    const auto open = [&local] { return ::open(local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); };
    int folder = open();
    if (folder < 0 && errno == ENOENT && (mkdir(local.constData(), 0777) == 0 || errno == EEXIST))
        folder = open();
    if (folder < 0)
        return false;
    m_unpack = std::make_unique<PaxReader>(folder, announced, name);
    return m_unpack->result() == PaxReader::Going;
}

bool FileSink::write(const char *data, qint64 size, bool last)
{
    if (!m_unpack)
        return m_file.write(data, size) == size;
    return m_unpack->feed(data, size) == PaxReader::Going && (!last || m_unpack->complete());
}

void FileSink::close()
{
    m_file.close();
    m_unpack.reset();
}
