// pairsock.cpp - the system calls of the fuzz server.
#include "pairsock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxfuzz {

bool SocketPair(int *client, int *server)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    *client = fds[0];
    *server = fds[1];
    return true;
}

size_t Unread(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

std::string ReadWaiting(int fd, size_t keep)
{
    size_t waiting = Unread(fd);
    std::string bytes(waiting > keep ? waiting - keep : 0, '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = recv(fd, &bytes[done], bytes.size() - done, MSG_DONTWAIT);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string PeekWaiting(int fd)
{
    std::string bytes(Unread(fd), '\0');
    ssize_t n = bytes.empty() ? 0 : recv(fd, &bytes[0], bytes.size(), MSG_DONTWAIT | MSG_PEEK);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

bool SendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ShutdownSending(int fd) { shutdown(fd, SHUT_WR); }

void CloseDescriptor(int fd) { close(fd); }

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

int LowestFreeDescriptor()
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0)
        close(probe);
    return probe;
}

uint64_t OpenDescriptors(int from)
{
    uint64_t open = 0;
    for (int i = 0; i < 16; i++)
        if (DescriptorOpen(from + i))
            open |= uint64_t(1) << i;
    return open;
}

} // namespace vxfuzz
