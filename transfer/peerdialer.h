#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <utility>

// The addresses a peer's name gave, tried one after another until one takes a connection attempt.
class PeerDialer
{
public:
    void setAddresses(const QList<QHostAddress> &addresses) { m_addresses = addresses; }
    QList<QHostAddress> takeAddresses() { return std::exchange(m_addresses, {}); }
    bool isEmpty() const { return m_addresses.isEmpty(); }
    void clear() { m_addresses.clear(); }

    // A non-blocking descriptor connecting to the next address that accepts the attempt, or -1
    // with `error` set to why the last one did not.
    int connectNext(quint16 port, int &error);

    // The peer's address as the socket reports it; an IPv4 peer reached over IPv6 shows as IPv4.
    static QString peerAddressOf(int fd);

private:
    QList<QHostAddress> m_addresses;
};
