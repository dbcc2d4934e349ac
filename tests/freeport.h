#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback port nobody listens on just now, for the tests, benchmarks and tools that must not
// take the program's own; asked of the kernel, so it needs no application object.
inline quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                       && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}
