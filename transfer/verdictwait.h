#pragma once

#include "transfer/tcpcontrol.h"

#include <QObject>
#include <QTimer>

// A private sender's wait for the receiver's word after its last byte. A receiver that refused
// part of it closes; one that says nothing once it has had every byte for the limit is an earlier
// Veltrane, which never gives its word. Bytes still unacknowledged are a slow link, not silence.
class VerdictWait : public QObject
{
    Q_OBJECT

public:
    VerdictWait(TcpControl &socket, int limitMs, QObject *parent = nullptr);
    void start();
    void stop() { m_timer.stop(); }

signals:
    void overdue();

private:
    void check();

    TcpControl &NT;
    int m_limitMs;
    QTimer m_timer;
    // The receiver has had every byte since the wait last started.
    bool m_acknowledged = false;
};
