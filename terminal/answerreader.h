#pragma once

#include <QObject>
#include <QSocketNotifier>

// Lines typed at the terminal, read as they come while the event loop runs on: a transfer that
// waits for an answer still hears its peer, and Ctrl-C still counts.
class AnswerReader : public QObject
{
    Q_OBJECT

public:
    explicit AnswerReader(int fd, QObject *parent = nullptr);

    // The next line, through answered(); the end of the input answers with an empty one.
    void awaitLine();
    void stopWaiting();

signals:
    void answered(const QString &line);

private:
    void readable();

    int m_fd;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};
