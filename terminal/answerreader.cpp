#include "terminal/answerreader.h"

#include <unistd.h>

#include <cerrno>

AnswerReader::AnswerReader(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_notifier(fd, QSocketNotifier::Read)
{
    m_notifier.setEnabled(false);
    connect(&m_notifier, &QSocketNotifier::activated, this, &AnswerReader::readable);
}

void AnswerReader::awaitLine()
{
    m_pending.clear();
    m_notifier.setEnabled(true);
}

void AnswerReader::stopWaiting()
{
    m_notifier.setEnabled(false);
}

void AnswerReader::readable()
{
    // The notifier says a read will not block; the terminal's own flags stay as the shell left them.
    char bytes[256];
    const ssize_t count = read(m_fd, bytes, sizeof bytes);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count > 0) {
        m_pending.append(bytes, count);
        const qsizetype end = m_pending.indexOf('\n');
        if (end < 0 && m_pending.size() < 4096)
            return;
        m_pending.truncate(end < 0 ? m_pending.size() : end);
    }
    m_notifier.setEnabled(false);
    emit answered(QString::fromLocal8Bit(m_pending).trimmed());
}
