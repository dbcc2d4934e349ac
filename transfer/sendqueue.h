#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <utility>

class TlsLink;

// What SendData and SendFile handed over and the operating system has not taken yet, in order.
// Bytes stay the caller's own until the kernel has the last of them (under TLS, the last of their
// records); a file's range goes by sendfile() without passing through this process.
class SendQueue
{
public:
    // One SendData or SendFile: its bytes, or a file's range, and how much of it has gone.
    struct Pending {
        QByteArray bytes;
        int file = -1;
        qint64 offset = 0;
        qint64 length = 0;
        qint64 done = 0;
        bool clear = false;
    };

    // How a push ended: Sent when the kernel took all it could (or TLS held the rest back), the
    // others with the connection or the file failed and the queue left as it was.
    enum class Stop { Sent, Closed, Failed, SourceFailed };
    struct Result {
        Stop stop = Stop::Sent;
        QString error;
    };

    SendQueue() = default;
    ~SendQueue();
    SendQueue(const SendQueue &) = delete;
    SendQueue &operator=(const SendQueue &) = delete;

    void append(Pending pending);
    // Closes the files still queued and forgets every send, the counted completions with them.
    void clear();
    bool isEmpty() const { return m_queue.isEmpty(); }
    int size() const { return int(m_queue.size()); }
    bool firstIsClear() const { return !m_queue.isEmpty() && m_queue.first().clear; }
    // What is queued now was said before TLS began, and goes in the clear.
    void markClear();
    qint64 bytes() const { return m_bytes; }

    // Hands the kernel what it takes now, from the front.
    Result push(int fd, TlsLink &tls);
    // Sends whose last byte the operating system took since the last call.
    int completed() const { return m_completed; }
    int takeCompleted() { return std::exchange(m_completed, 0); }

private:
    Result writeSome(int fd, TlsLink &tls, Pending &pending, qint64 &written);

    QList<Pending> m_queue;
    qint64 m_bytes = 0;
    int m_completed = 0;
};
