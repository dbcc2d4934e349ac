#pragma once

#include "transfer/foldertrail.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// Unpacks a tar stream (POSIX pax, ustar, GNU long names) into a folder as its bytes arrive, in
// pieces of any size, on the event loop's thread. Everything happens relative to the folder's
// descriptor and never through a symbolic link, so an archive can write inside the folder and
// nowhere else; the first entry that would do otherwise stops it, with what came before kept.
// What it creates takes the archive's mode within the receiver's umask; what was there keeps its
// own mode and time.
class PaxReader
{
public:
    enum Result { Going, Unsafe, Malformed, WriteFailed };

    // `folder` is an open descriptor of the folder, which the reader owns from now on. `budget` is
    // the stream's announced size: an entry created costs its 512-byte header and its content
    // rounded up to a block, which a sender's honest stream always holds, so an archive that
    // would fill more of the disk than was announced (through folders made for long paths, say)
    // is unsafe. `strip`, when not empty and the archive's first entry is that folder, is the one
    // folder the archive holds ("<strip>/..."): its contents land directly in `folder`, and an
    // entry outside it is unsafe. An archive that begins otherwise lands as it is.
    PaxReader(int folder, qint64 budget, const QString &strip = {});
    ~PaxReader();
    PaxReader(const PaxReader &) = delete;
    PaxReader &operator=(const PaxReader &) = delete;

    // The next bytes of the stream. Anything but Going is final: later calls repeat it and write
    // nothing. Bytes after the end of the archive are ignored.
    Result feed(const char *data, qint64 size);
    Result result() const { return m_result; }
    // The end of the archive has been read, every file closed and every time and mode applied.
    bool complete() const { return m_stage == Stage::Ended; }

    // The rules every entry is held to, which a sender also applies so that nothing it offers is
    // refused half-way: a name as the archive gives it, and a link's target read from the link's
    // folder `depth` levels below the top (after the bundle's own folder, when that is left out).
    static bool safeName(const QByteArray &name);
    static bool staysInside(const QByteArray &target, qsizetype depth);

private:
    enum class Stage { Header, Meta, Content, Padding, Ended };
    // What pax records and GNU long-name entries say about the entry that follows them.
    struct Pending {
        std::optional<QByteArray> path, linkpath;
        std::optional<qint64> size, mtime;
        bool sparse = false;
        void clear() { *this = {}; }
    };

    // Parse
    void onHeader();
    void onMeta();
    bool parseRecords(const QByteArray &records);
    void expect(Stage stage, qint64 bytes);
    void settle();

    // Write
    Result place(char type, const QByteArray &name, const QByteArray &link, quint32 mode, qint64 mtime, qint64 size);
    std::optional<QByteArray> relative(const QByteArray &name, Result &unsafe) const;
    bool charge(qint64 bytes);
    bool write(const char *data, qint64 size);
    bool closeFile();
    void end();
    void stop(Result result);

    int m_root = -1;
    QByteArray m_strip;
    bool m_stripDecided = false;
    Result m_result = Going;
    Stage m_stage = Stage::Header;

    char m_block[512];
    int m_blockFill = 0;
    int m_zeroBlocks = 0;
    char m_metaType = 0;
    QByteArray m_meta;
    Pending m_pending;
    qint64 m_left = 0;
    qint64 m_pad = 0;

    quint32 m_umask = 022;
    qint64 m_budget = 0;
    FolderTrail m_trail;

    int m_fd = -1;
    quint32 m_fileMode = 0;
    qint64 m_fileMtime = 0;
};
