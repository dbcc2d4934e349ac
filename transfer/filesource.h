#pragma once

#include "transfer/paxwriter.h"

#include <QFile>
#include <QStringList>

#include <memory>

// What the sender's pump reads: the one chosen file, or a folder or several items as one tar
// stream, written as it is read.
class FileSource
{
public:
    // Takes `chosen` as it will be offered: one regular file, or a folder or several items as one
    // bundle, whose name ends in "/" between two Veltranes and in ".tar" for a peer of the design.
    // The sentence that refuses the choice, or "" when it can go; then size() and offer() hold.
    QString choose(const QStringList &chosen, bool privately);
    qint64 size() const { return m_size; }
    const QByteArray &offer() const { return m_offer; }

    // Measures the bundle of `chosen` now; false when something in it cannot be read, or would
    // be refused by the receiver: refusedName() then names that entry.
    bool bundle(QStringList chosen);
    QString refusedName() const { return m_refused; }
    bool isBundle() const { return m_bundle != nullptr; }
    qint64 bundleSize() const { return m_bundle ? m_bundle->size() : 0; }
    // What a bundle of `chosen` is called in the offer.
    static QString bundleName(const QStringList &chosen) { return PaxWriter::bundleName(chosen); }

    // Opens the file at `path` unless a bundle is to be read.
    bool open(const QString &path);
    // The next buffer.size() bytes, all of them, or false: bytes that were not read are never sent.
    bool read(QByteArray &buffer);
    // The open file's descriptor, for the kernel to send from; -1 for a bundle, which is made as
    // it is read.
    int descriptor() const { return m_bundle ? -1 : m_file.handle(); }
    void close();

private:
    QFile m_file;
    std::unique_ptr<PaxWriter> m_bundle;
    QString m_refused;
    qint64 m_size = 0;
    QByteArray m_offer;
};
