// rawsock.cpp - plain system sockets for the suites' peers.
#include "rawsock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxtest {

uint32_t Net32(uint32_t host) { return htonl(host); }

uint16_t BoundPort(int fd)
{
    sockaddr_storage address; // the port lies at the same place in both families
    socklen_t len = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len) != 0)
        return 0;
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

int ListenLoopback(uint16_t *port, bool ipv6)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage address;
    memset(&address, 0, sizeof address);
    socklen_t len = sizeof(sockaddr_in);
    if (ipv6) {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&address);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = in6addr_loopback;
        len = sizeof *sin6;
    } else {
        auto *sin = reinterpret_cast<sockaddr_in *>(&address);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), len) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    *port = BoundPort(fd);
    return fd;
}

int ListenOn(int fd) { return listen(fd, 8); }

int BindPort(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int AcceptOne(int listenfd) { return accept(listenfd, nullptr, nullptr); }

long ReadSome(int fd, void *buf, size_t len) { return read(fd, buf, len); }

long WriteAll(int fd, const void *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, static_cast<const char *>(buf) + done, len - done);
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

void CloseFd(int fd) { close(fd); }

void ResetClose(int fd)
{
    linger value = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
    close(fd);
}

int SetReceiveBuffer(int fd, int bytes) { return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

uint16_t UnusedLoopbackPort()
{
    // A port the system has just handed out and taken back: nothing listens on it, and
    // nothing else is likely to take it in the moment a test needs it.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint16_t port = bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0 ? BoundPort(fd) : 0;
    close(fd);
    return port;
}

} // namespace vxtest
