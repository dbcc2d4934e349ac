#include "transfer/filesource.h"

#include <QFileInfo>

bool FileSource::bundle(QStringList chosen)
{
    // A receiver takes a first folder of the bundle's own name for the bundle itself.
    if (chosen.size() > 1 && QFileInfo(chosen.first()).fileName() == bundleName(chosen))
        chosen.move(0, chosen.size() - 1);
    m_bundle = std::make_unique<PaxWriter>(chosen);
    m_refused = m_bundle->refusedName();
    if (!m_bundle->isValid())
        m_bundle.reset();
    return isBundle();
}

bool FileSource::open(const QString &path)
{
    if (m_bundle)
        return true;
    m_file.setFileName(path);
    return m_file.open(QIODevice::ReadOnly);
}

bool FileSource::read(QByteArray &buffer)
{
    if (!m_bundle)
        return m_file.read(buffer.data(), buffer.size()) == buffer.size();
    qint64 got = 0;
    for (qint64 part = 1; got < buffer.size() && part > 0; got += qMax<qint64>(part, 0))
        part = m_bundle->read(buffer.data() + got, buffer.size() - got);
    return got == buffer.size();
}

void FileSource::close()
{
    m_file.close();
    m_bundle.reset();
}
