#include "transfer/socketreader.h"

#include "transfer/tlslink.h"

#include <QSocketNotifier>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {
bool isCloseError(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ESHUTDOWN;
}
}

SocketReader::SocketReader(TlsLink &tls)
    : m_tls(tls)
{
}

void SocketReader::attach(int fd, QSocketNotifier *reader)
{
    m_fd = fd;
    m_reader = reader;
}

void SocketReader::reset()
{
    m_fd = -1;
    m_reader = nullptr;
    m_held.clear();
    m_endOfStream = false;
    m_readError.clear();
}

bool SocketReader::take(QByteArray &bytes, qint64 bound, bool open)
{
    const qint64 fromHeld = qMin<qint64>(bound, m_held.size());
    int inSocket = 0;
    if (open)
        ::ioctl(m_fd, FIONREAD, &inSocket);
    const qint64 inTls = m_tls.started() && open ? m_tls.pending() : 0;
    const qint64 room = open ? qMin<qint64>(bound, fromHeld + qMax<qint64>(fromHeld > 0 ? 0 : 1, inSocket + inTls)) : fromHeld;
    // A block reserves the largest size at once, and keeps it from then on.
    if (room > 16 * 1024 && bytes.capacity() < ReadBufferSize)
        bytes.reserve(ReadBufferSize);
    bytes.resize(room);
    qint64 got = fromHeld;
    if (fromHeld > 0) {
        std::memcpy(bytes.data(), m_held.constData(), size_t(fromHeld));
        m_held.remove(0, fromHeld);
    }
    while (open && got < room) {
        const qint64 read = readInto(bytes.data() + got, room - got);
        if (read <= 0)
            break;
        got += read;
        // One read takes all the kernel has; under TLS each read takes a record.
        if (!m_tls.started())
            break;
    }
    bytes.resize(got);
    return fromHeld > 0;
}

// What waits to be read: at least 1 when a read will give something, 0 when nothing (also when the
// end was found, which ended() then tells).
qint64 SocketReader::waiting()
{
    const auto inSocket = [this] {
        int count = 0;
        ::ioctl(m_fd, FIONREAD, &count);
        return qint64(count);
    };
    if (const qint64 held = m_held.size(); held > 0)
        return held + inSocket() + (m_tls.started() ? m_tls.pending() : 0);
    if (!m_tls.started()) {
        if (const qint64 count = inSocket(); count > 0)
            return count;
        // Readable with nothing to read: the peer closed, or the connection failed.
        char byte;
        const ssize_t peeked = ::recv(m_fd, &byte, 1, MSG_PEEK);
        if (peeked > 0)
            return peeked;
        if (peeked == 0)
            m_endOfStream = true;
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            isCloseError(errno) ? void(m_endOfStream = true) : void(m_readError = QString::fromLocal8Bit(std::strerror(errno)));
        return 0;
    }
    // Bytes in the socket may be a piece of a record, or a record that holds no data: only what
    // decrypts to data counts. Peeking opens the next record without taking from it.
    int pending = m_tls.pending();
    if (pending == 0) {
        switch (m_tls.peek()) {
        case TlsLink::Outcome::Progress:
            break;
        case TlsLink::Outcome::Wait:
            return 0;
        case TlsLink::Outcome::End:
            m_endOfStream = true;
            return 0;
        case TlsLink::Outcome::Failure:
            m_readError = TlsLink::errorText();
            return 0;
        }
        pending = qMax(1, m_tls.pending());
    }
    // Records OpenSSL read ahead are not in the socket's count; the read stops where data does.
    return qint64(pending) + (m_tls.hasPending() ? TlsLink::ReadAhead : inSocket());
}

// What the socket gives now into `data`: 0 when nothing is there, -1 at the end or on a failure,
// which ended() then tells. Never reports: its callers do, where that is safe.
qint64 SocketReader::readInto(char *data, qint64 room)
{
    if (ended())
        return -1;
    for (;;) {
        if (m_tls.started()) {
            qint64 count = 0;
            switch (m_tls.read(data, room, count)) {
            case TlsLink::Outcome::Progress:
                return count;
            case TlsLink::Outcome::Wait:
                return 0;
            case TlsLink::Outcome::End:
                m_endOfStream = true;
                break;
            case TlsLink::Outcome::Failure:
                m_readError = TlsLink::errorText();
                break;
            }
        } else {
            const ssize_t result = ::recv(m_fd, data, size_t(room), 0);
            if (result > 0)
                return result;
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return 0;
            if (result == 0 || isCloseError(errno))
                m_endOfStream = true;
            else
                m_readError = QString::fromLocal8Bit(std::strerror(errno));
        }
        // The end is always readable: the notifier would fire without pause.
        if (m_reader)
            m_reader->setEnabled(false);
        return -1;
    }
}

void SocketReader::hold()
{
    if (m_tls.started() && !m_tls.secured())
        return;
    while (m_held.size() < ReadBufferSize && !ended()) {
        int inSocket = 0;
        ::ioctl(m_fd, FIONREAD, &inSocket);
        const qsizetype at = m_held.size();
        const qint64 room = qMin<qint64>(ReadBufferSize - at, qMax(inSocket, 4096));
        m_held.resize(at + room);
        const qint64 got = readInto(m_held.data() + at, room);
        m_held.resize(at + qMax<qint64>(got, 0));
        if (got <= 0)
            break;
    }
    // Full: the rest stays in the kernel until the holder takes some.
    if (m_held.size() >= ReadBufferSize && m_reader)
        m_reader->setEnabled(false);
}

