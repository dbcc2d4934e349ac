#pragma once

#include <QObject>
#include <QSocketNotifier>

// Ctrl-C as an event of the loop: the handler only writes a byte to a pipe that the loop watches,
// since almost nothing may be done inside a signal handler.
class InterruptWatch : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatch(QObject *parent = nullptr);
    ~InterruptWatch() override;

signals:
    void interrupted();

private:
    static void handle(int signal);
    void drain();

    static inline int s_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
