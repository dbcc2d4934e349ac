#include "transfer/filesource.h"

#include "transfer/fileoffer.h"
#include "transfer/statustext.h"

#include <QFileInfo>

QString FileSource::choose(const QStringList &chosen, bool privately)
{
    const QString path = chosen.value(0);
    if (path.isEmpty())
        return StatusText::NoFileSelected;
    if (chosen.size() > 1 || QFileInfo(path).isDir()) {
        if (!bundle(chosen))
            return m_refused.isEmpty() ? QString(StatusText::CannotReadChoice) : StatusText::wouldRefuse(m_refused);
        m_size = bundleSize();
        m_offer = FileOffer::buildFor(bundleName(chosen) + (privately ? QStringLiteral("/") : QStringLiteral(".tar")), m_size);
        return {};
    }
    const QFileInfo info(path);
    if (!info.isFile())
        return StatusText::CannotReadChoice;
    if ((m_size = info.size()) == 0)
        return StatusText::ZeroLength;
    if (QFile probe(path); !probe.open(QIODevice::ReadOnly))
        return StatusText::CannotReadChoice;
    m_offer = FileOffer::build(path, m_size);
    return {};
}

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
