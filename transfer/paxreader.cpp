#include "transfer/paxreader.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 Block = 512;
// Pax records and long names are kept whole until their entry comes; nothing sane needs more.
constexpr qint64 MetaMax = 1 << 20;
// No file system holds a file this big: a size beyond it is a broken or hostile header.
constexpr qint64 SizeMax = qint64(1) << 56;

qint64 padded(qint64 bytes) { return (bytes + Block - 1) / Block * Block; }

// A ustar text field: up to its first NUL.
QByteArray text(const char *field, int width) { return QByteArray(field, qstrnlen(field, uint(width))); }

// An octal field, or GNU's base-256 (first byte 0x80, or 0xff for a negative number).
std::optional<qint64> number(const char *field, int width)
{
    const uchar first = uchar(field[0]);
    if (first & 0x80) {
        if (first != 0x80 && first != 0xff)
            return std::nullopt;
        qint64 value = first == 0xff ? -1 : 0;
        for (int i = 1; i < width; ++i) {
            if (value > (std::numeric_limits<qint64>::max() - 255) / 256 || value < std::numeric_limits<qint64>::min() / 256)
                return std::nullopt;
            value = value * 256 + uchar(field[i]);
        }
        return value;
    }
    int i = 0;
    while (i < width && field[i] == ' ')
        ++i;
    qint64 value = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value > std::numeric_limits<qint64>::max() / 8)
            return std::nullopt;
        value = value * 8 + (field[i] - '0');
    }
    for (; i < width; ++i)
        if (field[i] != ' ' && field[i] != '\0')
            return std::nullopt;
    return value;
}

std::optional<qint64> decimal(QByteArrayView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<qint64>::max() - 9) / 10)
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Whole seconds of a pax time, "-12.5" being -13.
std::optional<qint64> seconds(QByteArrayView value)
{
    const bool negative = value.startsWith('-');
    if (negative)
        value = value.sliced(1);
    const qsizetype point = value.indexOf('.');
    const std::optional<qint64> whole = decimal(point < 0 ? value : value.first(point));
    if (!whole || (point >= 0 && !std::all_of(value.begin() + point + 1, value.end(), [](char c) { return c >= '0' && c <= '9'; })))
        return std::nullopt;
    const bool fraction = point >= 0 && std::any_of(value.begin() + point + 1, value.end(), [](char c) { return c != '0'; });
    return negative ? -*whole - (fraction ? 1 : 0) : *whole;
}

bool hasControl(const QByteArray &name)
{
    return std::any_of(name.cbegin(), name.cend(), [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

// Read, not set and set back: for that moment a file made anywhere else would get the wrong mode.
quint32 currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            bool octal = false;
            const uint mask = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&octal, 8) : 0;
            if (octal)
                return mask & 0777;
        }
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask & 0777;
}
}

// ".." after a name is refused: through a link that name could stand for a folder elsewhere,
// where the ".." leads somewhere else than it reads.
bool PaxReader::staysInside(const QByteArray &target, qsizetype depth)
{
    if (target.isEmpty() || target.startsWith('/') || target.size() >= PATH_MAX || hasControl(target))
        return false;
    bool named = false;
    for (const QByteArray &part : target.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (named || --depth < 0)
                return false;
        } else {
            named = true;
        }
    }
    return true;
}

bool PaxReader::safeName(const QByteArray &name)
{
    if (name.startsWith('/') || name.size() >= PATH_MAX || hasControl(name))
        return false;
    const QList<QByteArray> parts = name.split('/');
    return std::none_of(parts.cbegin(), parts.cend(), [](const QByteArray &part) { return part == ".." || part.size() > NAME_MAX; });
}

PaxReader::PaxReader(int folder, qint64 budget, const QString &strip)
    : m_root(folder)
    , m_strip(QFile::encodeName(strip))
    , m_umask(currentUmask())
    , m_budget(budget)
    , m_trail(m_root, m_umask, m_budget)
{
    if (m_root < 0)
        m_result = WriteFailed;
}

PaxReader::~PaxReader()
{
    stop(m_result);
    if (m_root >= 0)
        ::close(m_root);
}

PaxReader::Result PaxReader::feed(const char *data, qint64 size)
{
    while (m_result == Going && m_stage != Stage::Ended && size > 0) {
        qint64 used = 0;
        switch (m_stage) {
        case Stage::Header:
            used = std::min<qint64>(size, Block - m_blockFill);
            std::memcpy(m_block + m_blockFill, data, size_t(used));
            m_blockFill += int(used);
            if (m_blockFill == Block) {
                m_blockFill = 0;
                onHeader();
            }
            break;
        case Stage::Meta:
            used = std::min(size, m_left);
            m_meta.append(data, used);
            m_left -= used;
            break;
        case Stage::Content:
            used = std::min(size, m_left);
            // Content is counted as it comes, so a stream cut short ends as one, however big its file said it was.
            if (m_fd >= 0 && !charge(used))
                stop(Unsafe);
            else if (!write(data, used))
                stop(WriteFailed);
            m_left -= used;
            break;
        case Stage::Padding:
            used = std::min(size, m_pad);
            m_pad -= used;
            break;
        case Stage::Ended:
            break;
        }
        data += used, size -= used;
        settle();
    }
    return m_result;
}

void PaxReader::expect(Stage stage, qint64 bytes)
{
    m_stage = stage;
    m_left = bytes;
    m_pad = padded(bytes) - bytes;
}

// Ends what has all its bytes, at once, so an empty file is closed before the next piece arrives.
void PaxReader::settle()
{
    if (m_result != Going)
        return;
    if (m_stage == Stage::Meta && m_left == 0) {
        onMeta();
        if (m_result != Going)
            return;
        m_stage = Stage::Padding;
    }
    if (m_stage == Stage::Content && m_left == 0) {
        if (!closeFile())
            return stop(WriteFailed);
        m_stage = Stage::Padding;
    }
    if (m_stage == Stage::Padding && m_pad == 0)
        m_stage = Stage::Header;
}

void PaxReader::onHeader()
{
    if (std::all_of(m_block, m_block + Block, [](char c) { return c == 0; })) {
        if (++m_zeroBlocks == 2)
            end();
        return;
    }
    m_zeroBlocks = 0;
    // Old writers summed signed bytes; either sum is accepted.
    quint32 sum = 8 * ' ';
    qint32 signedSum = 8 * ' ';
    for (int i = 0; i < Block; ++i)
        if (i < 148 || i >= 156)
            sum += uchar(m_block[i]), signedSum += qint8(m_block[i]);
    const std::optional<qint64> checksum = number(m_block + 148, 8), mode = number(m_block + 100, 8),
                                size = number(m_block + 124, 12), mtime = number(m_block + 136, 12);
    if (!checksum || (*checksum != sum && *checksum != signedSum) || !mode || !size || !mtime)
        return stop(Malformed);
    char type = m_block[156];
    switch (type) {
    case 'x':
    case 'L':
    case 'K':
        if (*size < 0 || *size > MetaMax)
            return stop(Malformed);
        m_metaType = type;
        m_meta.clear();
        return expect(Stage::Meta, *size);
    case 'g':
        if (*size < 0 || *size > SizeMax)
            return stop(Malformed);
        return expect(Stage::Content, *size);
    }
    QByteArray name = text(m_block, 100);
    // GNU's own format keeps other things where ustar has the prefix.
    if (!std::memcmp(m_block + 257, "ustar\0", 6) && m_block[345])
        name = text(m_block + 345, 155) + '/' + name;
    const Pending pending = std::exchange(m_pending, {});
    name = pending.path.value_or(name);
    const QByteArray link = pending.linkpath.value_or(text(m_block + 157, 100));
    const qint64 bytes = pending.size.value_or(*size);
    if (bytes < 0 || bytes > SizeMax)
        return stop(Malformed);
    // A sparse file's data is a map and fragments, which written as they come would be a wrong file.
    if (pending.sparse)
        return stop(Unsafe);
    // Before ustar a folder was a file whose name ends in "/".
    if ((type == '0' || type == '\0') && name.endsWith('/'))
        type = '5';
    const Result placed = place(type, name, link, quint32(*mode), pending.mtime.value_or(*mtime), bytes);
    if (placed != Going)
        stop(placed);
}

void PaxReader::onMeta()
{
    if (m_metaType == 'x') {
        if (!parseRecords(m_meta))
            stop(Malformed);
    } else {
        const QByteArray name = m_meta.left(m_meta.indexOf('\0'));
        (m_metaType == 'L' ? m_pending.path : m_pending.linkpath) = name;
    }
    m_meta.clear();
}

// "<length> <key>=<value>\n" after one another; only what places an entry is taken.
bool PaxReader::parseRecords(const QByteArray &records)
{
    for (qsizetype at = 0; at < records.size();) {
        const qsizetype blank = records.indexOf(' ', at);
        const std::optional<qint64> length = decimal(QByteArrayView(records).sliced(at, blank < 0 ? 0 : blank - at));
        // The length counts its own digits and blank, and a record holds at least its newline.
        if (!length || *length < blank + 2 - at || *length > records.size() - at || records[at + *length - 1] != '\n')
            return false;
        const QByteArrayView record = QByteArrayView(records).sliced(blank + 1, at + *length - 1 - (blank + 1));
        const qsizetype equals = record.indexOf('=');
        if (equals <= 0)
            return false;
        const QByteArrayView key = record.first(equals), value = record.sliced(equals + 1);
        // An empty value takes back what an earlier record said.
        if (key == "path" || key == "linkpath") {
            std::optional<QByteArray> &field = key == "path" ? m_pending.path : m_pending.linkpath;
            field = value.isEmpty() ? std::nullopt : std::optional(value.toByteArray());
        } else if (key == "size" || key == "mtime") {
            const std::optional<qint64> parsed = key == "size" ? decimal(value) : seconds(value);
            if (!parsed && !value.isEmpty())
                return false;
            (key == "size" ? m_pending.size : m_pending.mtime) = parsed;
        } else if (key.startsWith("GNU.sparse.")) {
            m_pending.sparse = true;
        }
        at += *length;
    }
    return true;
}

// The path below the folder an entry goes to ("" for the folder itself), or nothing when the entry
// may not be written; `failure` then says why.
std::optional<QByteArray> PaxReader::relative(const QByteArray &name, Result &failure) const
{
    failure = Unsafe;
    if (name.isEmpty()) {
        failure = Malformed;
        return std::nullopt;
    }
    if (!safeName(name))
        return std::nullopt;
    QByteArray path;
    bool top = !m_strip.isEmpty();
    for (const QByteArray &part : name.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (std::exchange(top, false)) {
            if (part != m_strip)
                return std::nullopt;
            continue;
        }
        if (!path.isEmpty())
            path += '/';
        path += part;
    }
    if (top)
        return std::nullopt;
    return path;
}

PaxReader::Result PaxReader::place(char type, const QByteArray &name, const QByteArray &link, quint32 mode, qint64 mtime, qint64 size)
{
    // Only a bundle that begins with the one folder it is goes without that folder's name; the
    // items of any other land side by side.
    if (!std::exchange(m_stripDecided, true)) {
        QByteArray first = name;
        while (first.endsWith('/'))
            first.chop(1);
        if (type != '5' || (first != m_strip && first != "./" + m_strip))
            m_strip.clear();
    }
    Result failure = Going;
    const std::optional<QByteArray> path = relative(name, failure);
    if (!path)
        return failure;
    // Hard links, devices, fifos, contiguous files and whatever else is not a plain file, folder
    // or symbolic link: nothing we would create, and a hard link could name a file outside.
    if (type != '0' && type != '\0' && type != '5' && type != '2')
        return Unsafe;
    if (path->isEmpty())
        return type == '5' ? Going : Unsafe; // the folder itself, which stays as the user has it
    if (type == '2' && !staysInside(link, path->count('/')))
        return Unsafe;
    // Set-id and sticky bits are not taken from a peer, nor anything the receiver's umask withholds.
    mode &= 0777 & ~m_umask;
    QList<QByteArray> folders = path->split('/');
    const QByteArray leaf = type == '5' ? QByteArray() : folders.takeLast();
    switch (m_trail.enter(folders, type == '5', mode, mtime)) {
    case FolderTrail::Entered:
        break;
    case FolderTrail::Unsafe:
        return Unsafe;
    case FolderTrail::Failed:
        return WriteFailed;
    }
    if (type == '5')
        return Going;
    if (!charge(Block + (type == '2' ? 0 : padded(size) - size)))
        return Unsafe;
    // Whatever has the entry's name goes: never followed, only unlinked.
    const int parent = m_trail.here();
    struct stat st;
    if (fstatat(parent, leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && unlinkat(parent, leaf.constData(), 0) < 0)
        return WriteFailed;
    if (type == '2') {
        if (symlinkat(link.constData(), parent, leaf.constData()) < 0)
            return WriteFailed;
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(mtime), 0}};
        utimensat(parent, leaf.constData(), times, AT_SYMLINK_NOFOLLOW);
        return Going;
    }
    m_fd = openat(parent, leaf.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return WriteFailed;
    m_fileMode = mode;
    m_fileMtime = mtime;
    expect(Stage::Content, size);
    return Going;
}

bool PaxReader::charge(qint64 bytes) { return FolderTrail::charge(m_budget, bytes); }

bool PaxReader::write(const char *data, qint64 size)
{
    while (m_fd >= 0 && size > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n, size -= n;
    }
    return true;
}

bool PaxReader::closeFile()
{
    if (m_fd < 0)
        return true;
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(m_fileMtime), 0}};
    fchmod(m_fd, m_fileMode);
    futimens(m_fd, times);
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    return closed;
}

void PaxReader::end()
{
    stop(Going);
    m_stage = Stage::Ended;
}

// Closes what is open and finishes the folders; a failure also ends the stream for good, with
// what was made before it whole.
void PaxReader::stop(Result result)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_trail.leaveAll();
    m_result = result;
}
