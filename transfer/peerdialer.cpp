#include "transfer/peerdialer.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
bool toSocketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &storage, socklen_t &length)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in;
        return true;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        // A link-local address names its interface, by name or by number.
        const QString scope = address.scopeId();
        bool numeric = false;
        const uint index = scope.toUInt(&numeric);
        in6->sin6_scope_id = numeric ? index : scope.isEmpty() ? 0 : if_nametoindex(scope.toLocal8Bit().constData());
        length = sizeof *in6;
        return true;
    }
    return false;
}
}

int PeerDialer::connectNext(quint16 port, int &error)
{
    while (!m_addresses.isEmpty()) {
        sockaddr_storage storage;
        socklen_t length = 0;
        if (!toSocketAddress(m_addresses.takeFirst(), port, storage, length))
            continue;
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length) == 0 || errno == EINPROGRESS)
            return fd;
        error = errno;
        ::close(fd);
    }
    return -1;
}

QString PeerDialer::peerAddressOf(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return {};
    const QHostAddress peer(reinterpret_cast<const sockaddr *>(&storage));
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4).toString() : peer.toString();
}
