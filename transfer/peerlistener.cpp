#include "transfer/peerlistener.h"

PeerListener::PeerListener(std::function<void(int)> taken, QObject *parent)
    : QTcpServer(parent)
    , m_taken(std::move(taken))
{
}

void PeerListener::incomingConnection(qintptr descriptor)
{
    m_taken(int(descriptor));
}
