#include "transfer/paxwriter.h"

#include "transfer/paxreader.h"
#include "transfer/statustext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 Block = 512;
// The largest number the 12-byte ustar fields hold in octal; beyond it a pax record says it.
constexpr qint64 OctalMax = 077777777777LL;

qint64 padded(qint64 bytes) { return (bytes + Block - 1) / Block * Block; }

bool printable(char c) { return uchar(c) >= 0x20 && uchar(c) < 0x7f; }

// Plain ASCII that fits the field: anything else goes in a pax record, which is UTF-8 by definition.
bool fitsUstar(const QByteArray &text) { return text.size() <= 100 && std::all_of(text.cbegin(), text.cend(), printable); }

// What a reader without pax support sees in the 100-byte field instead of a name that does not fit.
QByteArray ascii(QByteArray text)
{
    text.truncate(100);
    std::replace_if(text.begin(), text.end(), [](char c) { return !printable(c); }, '_');
    return text;
}

// "<length> <key>=<value>\n", the length counting its own digits.
QByteArray record(const char *key, const QByteArray &value)
{
    const qsizetype rest = 1 + qsizetype(std::strlen(key)) + 1 + value.size() + 1;
    qsizetype length = rest;
    while (QByteArray::number(length).size() + rest != length)
        length = QByteArray::number(length).size() + rest;
    return QByteArray::number(length) + ' ' + key + '=' + value + '\n';
}

// Zero-padded octal that fills the field but for its final NUL.
void octal(char *field, int width, qint64 value)
{
    field[width - 1] = '\0';
    for (int i = width - 2; i >= 0; --i, value >>= 3)
        field[i] = char('0' + (value & 7));
}

void fillHeader(char *block, const QByteArray &name, quint32 mode, qint64 size, qint64 mtime, char type, const QByteArray &link)
{
    std::memset(block, 0, Block);
    std::memcpy(block, name.constData(), std::min<qsizetype>(100, name.size()));
    octal(block + 100, 8, mode & 07777);
    // Owners are the sender's business: the receiver's files belong to whoever receives.
    octal(block + 108, 8, 0);
    octal(block + 116, 8, 0);
    octal(block + 124, 12, size >= 0 && size <= OctalMax ? size : 0);
    octal(block + 136, 12, mtime >= 0 && mtime <= OctalMax ? mtime : 0);
    block[156] = type;
    std::memcpy(block + 157, link.constData(), std::min<qsizetype>(100, link.size()));
    std::memcpy(block + 257, "ustar\0" "00", 8);
    std::memset(block + 148, ' ', 8);
    quint32 sum = 0;
    for (int i = 0; i < Block; ++i)
        sum += uchar(block[i]);
    octal(block + 148, 7, sum);
}

char typeOf(quint32 mode) { return S_ISDIR(mode) ? '5' : S_ISLNK(mode) ? '2' : '0'; }

int openBelow(int dirFd, const char *name)
{
    return openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

QByteArray readLink(int dirFd, const char *name)
{
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    const ssize_t length = readlinkat(dirFd, name, target.data(), size_t(target.size()));
    if (length < 0 || length >= target.size())
        return {};
    target.truncate(length);
    return target;
}
}

PaxWriter::PaxWriter(const QStringList &paths)
{
    QSet<QByteArray> names;
    for (const QString &chosen : paths) {
        const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(chosen).absoluteFilePath()));
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray name = path.mid(slash + 1);
        if (name.isEmpty()) {
            fail(path, EISDIR);
            return;
        }
        // Two items of one name would land on one another on the receiver.
        if (names.contains(name)) {
            m_error = QStringLiteral("%1: another chosen item has the same name").arg(QFile::decodeName(path));
            return;
        }
        names.insert(name);
        struct stat st;
        if (lstat(path.constData(), &st) < 0) {
            fail(path, errno);
            return;
        }
        // A device or the like chosen on purpose is refused rather than left out unseen.
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            m_error = QStringLiteral("%1: neither a file nor a folder").arg(QFile::decodeName(path));
            return;
        }
        if (S_ISREG(st.st_mode) && access(path.constData(), R_OK) < 0) {
            fail(path, errno);
            return;
        }
        errno = 0;
        const QByteArray target = S_ISLNK(st.st_mode) ? readLink(AT_FDCWD, path.constData()) : QByteArray();
        if (S_ISLNK(st.st_mode) && target.isEmpty()) {
            fail(path, errno ? errno : ENAMETOOLONG);
            return;
        }
        m_roots.append(path.left(slash + 1));
        const quint32 root = quint32(m_roots.size() - 1);
        m_strip = paths.size() == 1 && S_ISDIR(st.st_mode);
        if (!append(root, name, {st.st_mode, S_ISREG(st.st_mode) ? st.st_size : 0, st.st_mtim.tv_sec, st.st_dev, st.st_ino}, target))
            return;
        if (S_ISDIR(st.st_mode) && !walk(path, name, root))
            return;
    }
    m_size = 1024;
    for (const Entry &entry : m_entries)
        m_size += headerBytes(entry) + padded(entry.size);
}

PaxWriter::~PaxWriter()
{
    closeFile();
    closeFolders();
}

QString PaxWriter::bundleName(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    const QFileInfo first(QDir::cleanPath(QFileInfo(paths.first()).absoluteFilePath()));
    if (paths.size() == 1 && first.isDir() && !first.isSymLink())
        return first.fileName();
    return QFileInfo(first.absolutePath()).fileName();
}

bool PaxWriter::fail(const QByteArray &path, int error)
{
    if (error)
        m_error = QStringLiteral("%1: %2").arg(StatusText::visible(QFile::decodeName(path)), QString::fromLocal8Bit(std::strerror(error)));
    m_entries.clear();
    m_entries.shrink_to_fit();
    m_names.clear();
    m_names.squeeze();
    return false;
}

// Sending what the receiver refuses would lose it and everything after it there.
bool PaxWriter::refuse(quint32 root, const QByteArray &name)
{
    m_refused = QFile::decodeName(name);
    m_error = StatusText::visible(QFile::decodeName(m_roots[root] + name)) + QStringLiteral(": a receiver would refuse its name");
    return fail({}, 0);
}

bool PaxWriter::append(quint32 root, const QByteArray &name, const Measured &measured, const QByteArray &target)
{
    const quint32 mode = measured.mode;
    const qsizetype depth = name.count('/') - (m_strip ? 1 : 0);
    if (!PaxReader::safeName(S_ISDIR(mode) ? name + '/' : name) || (S_ISLNK(mode) && !PaxReader::staysInside(target, depth)))
        return refuse(root, name);
    const qsizetype offset = m_names.size();
    if (offset + name.size() + target.size() + 2 > std::numeric_limits<quint32>::max())
        return fail(name, E2BIG);
    m_names += name;
    m_names += '\0';
    if (S_ISLNK(mode)) {
        m_names += target;
        m_names += '\0';
    }
    auto device = std::find(m_devices.cbegin(), m_devices.cend(), measured.device);
    if (device == m_devices.cend())
        device = m_devices.insert(device, measured.device);
    m_entries.push_back({quint32(offset), root, measured.size, measured.mtime, measured.inode, mode,
                         quint32(device - m_devices.cbegin())});
    return true;
}

bool PaxWriter::walk(const QByteArray &dirPath, const QByteArray &name, quint32 root)
{
    struct Child {
        QByteArray name, target;
        Measured measured;
    };
    std::vector<Child> children;
    const int fd = ::open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return fail(dirPath, error);
    }
    QByteArray failed = dirPath;
    // Read whole and closed before going deeper, so a deep tree holds one folder open, not one a level.
    for (errno = 0; const dirent *item = readdir(dir); errno = 0) {
        const char *child = item->d_name;
        if (!std::strcmp(child, ".") || !std::strcmp(child, ".."))
            continue;
        struct stat st;
        failed = dirPath + '/' + child;
        if (fstatat(fd, child, &st, AT_SYMLINK_NOFOLLOW) < 0) {
            if (errno == ENOENT)
                continue;
            break;
        }
        // Devices, fifos and sockets have no place on another computer.
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            continue;
        if (S_ISREG(st.st_mode) && faccessat(fd, child, R_OK, 0) < 0)
            break;
        const QByteArray target = S_ISLNK(st.st_mode) ? readLink(fd, child) : QByteArray();
        if (S_ISLNK(st.st_mode) && target.isEmpty()) {
            errno = errno ? errno : ENAMETOOLONG;
            break;
        }
        children.push_back({child, target, {st.st_mode, S_ISREG(st.st_mode) ? st.st_size : 0, st.st_mtim.tv_sec, st.st_dev, st.st_ino}});
    }
    const int error = errno;
    closedir(dir);
    if (error)
        return fail(failed, error);
    std::sort(children.begin(), children.end(), [](const Child &a, const Child &b) { return a.name < b.name; });
    for (const Child &child : children) {
        const QByteArray childName = name + '/' + child.name;
        if (!append(root, childName, child.measured, child.target))
            return false;
        if (S_ISDIR(child.measured.mode) && !walk(dirPath + '/' + child.name, childName, root))
            return false;
    }
    return true;
}

QByteArray PaxWriter::nameOf(const Entry &entry) const
{
    const QByteArray name(m_names.constData() + entry.name);
    return S_ISDIR(entry.mode) ? name + '/' : name;
}

QByteArray PaxWriter::targetOf(const Entry &entry) const
{
    if (!S_ISLNK(entry.mode))
        return {};
    const char *name = m_names.constData() + entry.name;
    return QByteArray(name + std::strlen(name) + 1);
}

QByteArray PaxWriter::paxRecords(const Entry &entry) const
{
    QByteArray records;
    if (const QByteArray name = nameOf(entry); !fitsUstar(name))
        records += record("path", name);
    if (const QByteArray target = targetOf(entry); !fitsUstar(target))
        records += record("linkpath", target);
    if (entry.size > OctalMax)
        records += record("size", QByteArray::number(entry.size));
    if (entry.mtime < 0 || entry.mtime > OctalMax)
        records += record("mtime", QByteArray::number(entry.mtime));
    return records;
}

qint64 PaxWriter::headerBytes(const Entry &entry) const
{
    const qint64 records = paxRecords(entry).size();
    return Block + (records ? Block + padded(records) : 0);
}

qint64 PaxWriter::read(char *buffer, qint64 max)
{
    if (m_failed || !isValid())
        return -1;
    qint64 done = 0;
    while (done < max) {
        const qint64 room = max - done;
        if (m_headerAt < m_header.size()) {
            const qint64 n = std::min<qint64>(room, m_header.size() - m_headerAt);
            std::memcpy(buffer + done, m_header.constData() + m_headerAt, size_t(n));
            m_headerAt += n, done += n;
        } else if (m_contentLeft > 0) {
            const ssize_t n = ::read(m_fd, buffer + done, size_t(std::min(room, m_contentLeft)));
            if (n < 0 && errno == EINTR)
                continue;
            // Ended early: the file shrank, and the stream cannot be what size() promised.
            if (n <= 0)
                return stop();
            done += n, m_contentLeft -= n;
            if (m_contentLeft == 0) {
                struct stat st;
                if (fstat(m_fd, &st) < 0 || st.st_size != m_fileSize)
                    return stop();
                closeFile();
            }
        } else if (m_padLeft > 0 || (m_next == m_entries.size() && m_trailerLeft > 0)) {
            if (m_next == m_entries.size())
                closeFolders();
            qint64 &zeros = m_padLeft > 0 ? m_padLeft : m_trailerLeft;
            const qint64 n = std::min(room, zeros);
            std::memset(buffer + done, 0, size_t(n));
            zeros -= n, done += n;
        } else if (m_next < m_entries.size()) {
            if (!start(m_entries[m_next++]))
                return stop();
        } else {
            break;
        }
    }
    return done;
}

bool PaxWriter::start(const Entry &entry)
{
    const QByteArray name = nameOf(entry), target = targetOf(entry), records = paxRecords(entry);
    if (S_ISREG(entry.mode)) {
        const int folder = folderOf(entry);
        const char *leaf = std::strrchr(m_names.constData() + entry.name, '/');
        leaf = leaf ? leaf + 1 : m_names.constData() + entry.name;
        // Non-blocking, so a fifo put in the file's place cannot stall the event loop on opening.
        m_fd = folder < 0 ? -1 : openat(folder, leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        // Another file moved into the measured one's place is not what was chosen, whatever its size.
        if (m_fd < 0 || fstat(m_fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_size != entry.size
            || st.st_ino != entry.inode || st.st_dev != m_devices[entry.device])
            return false;
        posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        m_fileSize = entry.size;
        m_contentLeft = entry.size;
        m_padLeft = padded(entry.size) - entry.size;
        if (entry.size == 0)
            closeFile();
    }
    m_header.resize(records.isEmpty() ? Block : 2 * Block + padded(records.size()));
    m_header.fill('\0');
    m_headerAt = 0;
    char *block = m_header.data();
    if (!records.isEmpty()) {
        const QByteArray leaf = name.mid(name.lastIndexOf('/', name.size() - 2) + 1);
        fillHeader(block, ascii("PaxHeaders/" + leaf), 0644, records.size(), entry.mtime, 'x', {});
        std::memcpy(block + Block, records.constData(), size_t(records.size()));
        block += m_header.size() - Block;
    }
    fillHeader(block, ascii(name), entry.mode, entry.size, entry.mtime, typeOf(entry.mode), ascii(target));
    return true;
}

// The folder a file entry sits in, reached one step at a time from the chosen items' folder and
// never through a link: a folder swapped for a link while the stream runs leads nowhere.
int PaxWriter::folderOf(const Entry &entry)
{
    const char *name = m_names.constData() + entry.name;
    const char *slash = std::strrchr(name, '/');
    const QByteArray &root = m_roots[entry.root];
    const QByteArray folder = root + QByteArray(name, slash ? slash - name : 0);
    if (m_folderFd >= 0 && folder == m_folderPath)
        return m_folderFd;
    if (m_folderFd >= 0 && m_folderFd != m_rootFd)
        ::close(m_folderFd);
    m_folderFd = -1;
    if (m_rootFd < 0 || root != m_rootPath) {
        closeFolders();
        m_rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        m_rootPath = root;
    }
    int fd = m_rootFd;
    for (qsizetype at = root.size(); fd >= 0 && at < folder.size();) {
        qsizetype end = folder.indexOf('/', at);
        end = end < 0 ? folder.size() : end;
        const int next = openBelow(fd, folder.mid(at, end - at).constData());
        if (fd != m_rootFd)
            ::close(fd);
        fd = next, at = end + 1;
    }
    m_folderPath = folder;
    return m_folderFd = fd;
}

void PaxWriter::closeFolders()
{
    if (m_folderFd >= 0 && m_folderFd != m_rootFd)
        ::close(m_folderFd);
    if (m_rootFd >= 0)
        ::close(m_rootFd);
    m_folderFd = m_rootFd = -1;
}

void PaxWriter::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

qint64 PaxWriter::stop()
{
    closeFile();
    closeFolders();
    m_failed = true;
    return -1;
}
