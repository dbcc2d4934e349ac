#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QSocketNotifier;
class TlsLink;

// The reading side of the socket: what waits, in the clear or through TLS, read straight into the
// caller's buffer, and what came while nobody took it. It finds the end and failures and keeps
// them; its owner decides when to report them.
class SocketReader
{
public:
    // Data left unread beyond this stays in the operating system, so a peer cannot grow our memory.
    static constexpr qint64 ReadBufferSize = 256 * 1024;

    explicit SocketReader(TlsLink &tls);

    // The descriptor to read and the notifier that watches it; neither is owned.
    void attach(int fd, QSocketNotifier *reader);
    // Forgets the descriptor, what was held and how the stream ended.
    void reset();

    bool ended() const { return m_endOfStream || !m_readError.isEmpty(); }
    void setEnded() { m_endOfStream = true; }
    const QString &error() const { return m_readError; }
    const QByteArray &held() const { return m_held; }
    void dropHeld() { m_held.clear(); }

    // What waits to be read: at least 1 when a read will give something, 0 when nothing (also when
    // the end was found, which ended() then tells).
    qint64 waiting();
    // Fills `bytes` in place with what is held and, when `open`, what the socket gives, up to
    // `bound`; true when held bytes were taken.
    bool take(QByteArray &bytes, qint64 bound, bool open);
    // Takes what the socket gives into the held bytes, up to ReadBufferSize.
    void hold();

private:
    qint64 readInto(char *data, qint64 room);

    TlsLink &m_tls;
    int m_fd = -1;
    QSocketNotifier *m_reader = nullptr;
    // What the socket gave while nobody took it (a handler busy elsewhere, or one that read
    // nothing); handed out first. Only control messages ever wait here.
    QByteArray m_held;
    bool m_endOfStream = false;
    QString m_readError;
};
