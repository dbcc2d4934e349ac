#pragma once

#include <QTcpServer>

#include <functional>

// Hands over each peer's descriptor as the kernel gave it; the connection is ours to run.
class PeerListener : public QTcpServer
{
public:
    explicit PeerListener(std::function<void(int)> taken, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::function<void(int)> m_taken;
};
