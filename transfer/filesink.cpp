#include "transfer/filesink.h"

#include <QDir>
#include <QFileInfo>

bool FileSink::openFile(const QString &path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

bool FileSink::openFolder(const QString &path, const QString &name)
{
    if (!QFileInfo(path).isDir() && !QDir().mkdir(path))
        return false;
    m_unpack = std::make_unique<PaxReader>(path, name);
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
