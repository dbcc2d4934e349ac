#pragma once

#include "transfer/paxreader.h"

#include <QFile>

#include <memory>

// Where the receiver's bytes go: the chosen file, or a new folder that a bundle is unpacked into
// as it arrives.
class FileSink
{
public:
    bool openFile(const QString &path);
    // Into `path`, made now unless it is there, but never through a symbolic link in its place;
    // `name` is the folder the bundle may hold its all in, `announced` the bundle's size.
    bool openFolder(const QString &path, const QString &name, qint64 announced);
    // False when the bytes could not be written or the bundle broke; `last` when they end the
    // stream, which a bundle must have ended with by then.
    bool write(const char *data, qint64 size, bool last);
    // The bundle held a name it may not write.
    bool unsafe() const { return m_unpack && m_unpack->result() == PaxReader::Unsafe; }
    void close();

private:
    QFile m_file;
    std::unique_ptr<PaxReader> m_unpack;
};
