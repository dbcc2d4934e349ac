#include "transfer/sendqueue.h"

#include "transfer/tlslink.h"

#include <csignal>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
bool isCloseError(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ESHUTDOWN;
}

// Writing to a connection the peer has reset raises SIGPIPE, which would end the program: send()
// is told not to, and sendfile(), which cannot be, runs with the signal held back and taken after.
class QuietPipe
{
public:
    QuietPipe()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~QuietPipe()
    {
        const int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        const timespec now{};
        if (!m_wasPending && sigismember(&pending, SIGPIPE))
            sigtimedwait(&m_pipe, nullptr, &now);
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
        errno = saved;
    }

private:
    sigset_t m_pipe, m_old;
    bool m_wasPending = false;
};
}

SendQueue::~SendQueue()
{
    clear();
}

void SendQueue::append(Pending pending)
{
    m_bytes += pending.length;
    m_queue.append(std::move(pending));
}

void SendQueue::clear()
{
    for (const Pending &pending : std::as_const(m_queue))
        if (pending.file >= 0)
            ::close(pending.file);
    m_queue.clear();
    m_bytes = 0;
    m_completed = 0;
}

void SendQueue::markClear()
{
    for (Pending &pending : m_queue)
        pending.clear = true;
}

SendQueue::Result SendQueue::push(int fd, TlsLink &tls)
{
    while (!m_queue.isEmpty()) {
        Pending &pending = m_queue.first();
        // Under TLS nothing but what was said in the clear goes before the handshake is through.
        if (tls.started() && !tls.secured() && !pending.clear)
            break;
        qint64 written = 0;
        const Result result = writeSome(fd, tls, pending, written);
        if (result.stop != Stop::Sent)
            return result;
        pending.done += written;
        m_bytes -= written;
        // Under TLS a send is complete once its last record has left the outbox too.
        if (pending.done < pending.length || !tls.flushed()) {
            if (written == 0)
                break;
        } else {
            if (pending.file >= 0)
                ::close(pending.file);
            m_queue.removeFirst();
            ++m_completed;
        }
    }
    return {};
}

// `written` is what the kernel (under TLS, the outbox) took now, 0 when it has no room.
SendQueue::Result SendQueue::writeSome(int fd, TlsLink &tls, Pending &pending, qint64 &written)
{
    const qint64 left = pending.length - pending.done;
    for (;;) {
        ssize_t sent;
        if (pending.file >= 0) {
            off_t offset = off_t(pending.offset + pending.done);
            const QuietPipe quiet;
            sent = ::sendfile(fd, pending.file, &offset, size_t(qMin<qint64>(left, 1 << 30)));
        } else if (tls.started() && !pending.clear) {
            // The piece as it is: a partial write takes whole records and the rest goes next time,
            // from wherever the caller's bytes now are. Its records leave together.
            TlsLink::Outcome outcome = left > 0 ? tls.write(pending.bytes.constData() + pending.done, left, written)
                                                : TlsLink::Outcome::Progress;
            if (outcome == TlsLink::Outcome::Progress)
                outcome = tls.flush();
            switch (outcome) {
            case TlsLink::Outcome::Progress:
            case TlsLink::Outcome::Wait:
                return {};
            case TlsLink::Outcome::End:
                return {Stop::Closed, {}};
            case TlsLink::Outcome::Failure:
                return {Stop::Failed, TlsLink::errorText()};
            }
            return {Stop::Failed, TlsLink::errorText()};
        } else {
            sent = ::send(fd, pending.bytes.constData() + pending.done, size_t(left), MSG_NOSIGNAL);
        }
        if (sent > 0) {
            written = sent;
            return {};
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return {};
        if (sent < 0 && isCloseError(errno))
            return {Stop::Closed, {}};
        if (sent < 0 && pending.file < 0)
            return {Stop::Failed, QString::fromLocal8Bit(std::strerror(errno))};
        // The file ended early or could not be read: nothing more of it goes, and nothing after it.
        return {Stop::SourceFailed, {}};
    }
}
