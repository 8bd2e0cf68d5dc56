// sockshim.cpp - BSD socket and poll calls for the Winsock provider and the event
// source.  This is the one file of the platform that sees the system's socket headers.
#include "sockshim.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

namespace vx {
namespace posix {
namespace shim {

int WinsockErrorOf(int err)
{
    switch (err) {
    case EINTR: return 10004;                       // WSAEINTR
    case EBADF: return 10038;                       // a closed descriptor is no socket: WSAENOTSOCK
    case EACCES: case EPERM: return 10013;          // WSAEACCES
    case EFAULT: return 10014;                      // WSAEFAULT
    case EINVAL: return 10022;                      // WSAEINVAL
    case EMFILE: case ENFILE: return 10024;         // WSAEMFILE
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: case EINPROGRESS: return 10035; // WSAEWOULDBLOCK, also a pending connect
    case EALREADY: return 10037;                    // WSAEALREADY
    case ENOTSOCK: return 10038;                    // WSAENOTSOCK
    case EDESTADDRREQ: return 10039;                // WSAEDESTADDRREQ
    case EMSGSIZE: return 10040;                    // WSAEMSGSIZE
    case EPROTOTYPE: return 10041;                  // WSAEPROTOTYPE
    case ENOPROTOOPT: return 10042;                 // WSAENOPROTOOPT
    case EPROTONOSUPPORT: return 10043;             // WSAEPROTONOSUPPORT
    case ESOCKTNOSUPPORT: return 10044;             // WSAESOCKTNOSUPPORT
    case EOPNOTSUPP: return 10045;                  // WSAEOPNOTSUPP
    case EPFNOSUPPORT: return 10046;                // WSAEPFNOSUPPORT
    case EAFNOSUPPORT: return 10047;                // WSAEAFNOSUPPORT
    case EADDRINUSE: return 10048;                  // WSAEADDRINUSE
    case EADDRNOTAVAIL: return 10049;               // WSAEADDRNOTAVAIL
    case ENETDOWN: return 10050;                    // WSAENETDOWN
    case ENETUNREACH: return 10051;                 // WSAENETUNREACH
    case ENETRESET: return 10052;                   // WSAENETRESET
    case ECONNABORTED: return 10053;                // WSAECONNABORTED
    case ECONNRESET: case EPIPE: return 10054;      // WSAECONNRESET: the peer is gone
    case ENOBUFS: case ENOMEM: return 10055;        // WSAENOBUFS
    case EISCONN: return 10056;                     // WSAEISCONN
    case ENOTCONN: return 10057;                    // WSAENOTCONN
    case ESHUTDOWN: return 10058;                   // WSAESHUTDOWN
    case ETIMEDOUT: return 10060;                   // WSAETIMEDOUT
    case ECONNREFUSED: return 10061;                // WSAECONNREFUSED
    case ENAMETOOLONG: return 10063;                // WSAENAMETOOLONG
    case EHOSTDOWN: return 10064;                   // WSAEHOSTDOWN
    case EHOSTUNREACH: return 10065;                // WSAEHOSTUNREACH
    default: return 10107;                          // WSASYSCALLFAILURE
    }
}

// A blocking call that ran out of its SO_SNDTIMEO/SO_RCVTIMEO reports EAGAIN (or, for a
// connect, EINPROGRESS); on a blocking socket that is a time-out, not "would block".
static int Fail(int fd = -1)
{
    int err = errno;
    if (fd >= 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS) &&
        (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0)
        return -10060; // WSAETIMEDOUT
    return -WinsockErrorOf(err);
}

static sockaddr_in InetAddress(uint32_t address, uint16_t port)
{
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = port;
    sin.sin_addr.s_addr = address;
    return sin;
}

// The system's record of an endpoint, and its length.
static socklen_t SystemAddress(const Endpoint &e, sockaddr_storage *out)
{
    memset(out, 0, sizeof *out);
    if (!e.v6) {
        uint32_t address;
        memcpy(&address, e.octets, sizeof address);
        *reinterpret_cast<sockaddr_in *>(out) = InetAddress(address, e.port);
        return sizeof(sockaddr_in);
    }
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(out);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = e.port;
    memcpy(&sin6->sin6_addr, e.octets, sizeof e.octets);
    sin6->sin6_scope_id = e.scope;
    return sizeof(sockaddr_in6);
}

static Endpoint EndpointOf(const sockaddr_storage &address)
{
    Endpoint e = {};
    if (address.ss_family == AF_INET6) {
        const auto &sin6 = reinterpret_cast<const sockaddr_in6 &>(address);
        e.v6 = true;
        memcpy(e.octets, &sin6.sin6_addr, sizeof e.octets);
        e.scope = sin6.sin6_scope_id;
        e.port = sin6.sin6_port;
    } else {
        const auto &sin = reinterpret_cast<const sockaddr_in &>(address);
        memcpy(e.octets, &sin.sin_addr.s_addr, 4);
        e.port = sin.sin_port;
    }
    return e;
}

// ---- blocking calls and signals --------------------------------------------------------
// A signal handler installed without SA_RESTART (timers, Python) makes a blocking call
// fail with EINTR; on a socket with a time-out it does so even with SA_RESTART.  A
// Winsock call knows no such failure: it goes on until the time-out it had when it
// started, not one that starts again at every signal.

static int64_t NowUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

static bool Blocking(int fd)
{
    int saved = errno; // the caller still reports the call's own error
    int flags = fcntl(fd, F_GETFL);
    errno = saved;
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// When a blocking call of fd that began at `startus` runs out, by the socket's time-out
// for its direction (NowUs(); -1: no time-out).
static int64_t DeadlineOf(int fd, bool sending, int64_t startus)
{
    timeval tv = {};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, sending ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, &len) != 0 ||
        (tv.tv_sec == 0 && tv.tv_usec == 0))
        return -1;
    return startus + static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Waits through signals until fd is ready for `events` (or holds an error), or until
// `deadline` (NowUs(); -1: none).  1 ready, 0 out of time, or the negated Winsock error.
static int WaitReady(int fd, short events, int64_t deadline)
{
    for (;;) {
        timespec left = {0, 0};
        if (deadline >= 0) {
            int64_t us = deadline - NowUs();
            if (us <= 0)
                return 0;
            left = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        }
        pollfd item = {fd, events, 0};
        int rc = ppoll(&item, 1, deadline >= 0 ? &left : nullptr, nullptr);
        if (rc > 0)
            return 1;
        if (rc < 0 && errno != EINTR)
            return Fail();
        // Interrupted or out of time: the next turn tells them apart by the clock.
    }
}

int StreamSocket(bool v6)
{
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd >= 0 ? fd : Fail();
}

int Bind(int fd, const Endpoint &local)
{
    sockaddr_storage address;
    socklen_t len = SystemAddress(local, &address);
    return bind(fd, reinterpret_cast<sockaddr *>(&address), len) == 0 ? 0 : Fail();
}

int Connect(int fd, const Endpoint &peer)
{
    sockaddr_storage address;
    socklen_t len = SystemAddress(peer, &address);
    int64_t start = NowUs();
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), len) == 0)
        return 0;
    if (errno != EINTR || !Blocking(fd))
        return Fail(fd);
    // The interrupted connect goes on in the background: its end is awaited here, within
    // the send time-out the connect had, as if no signal had come.
    int ready = WaitReady(fd, POLLOUT, DeadlineOf(fd, true, start));
    if (ready <= 0)
        return ready == 0 ? -10060 : ready; // WSAETIMEDOUT, as the connect's own time-out
    int error = PendingError(fd);
    return error != 0 ? -error : PeerConnected(fd) ? 0 : -10057; // WSAENOTCONN
}

// A send of `len` octets, each call of `push(done, flags)` putting out what it can of
// the octets from `done` on.  No SIGPIPE: a peer that went away is an error result, as
// in Winsock.
template <class Push> static long Transfer(int fd, size_t len, Push push)
{
    int64_t start = NowUs();
    ssize_t n = push(0, 0);
    // A signal stops a blocking send with EINTR, or after part of the data with its
    // count; a Winsock one sends it all, or fails, within its time-out.
    bool cut = n < 0 ? errno == EINTR : static_cast<size_t>(n) < len;
    if (cut && Blocking(fd)) {
        size_t done = n < 0 ? 0 : static_cast<size_t>(n);
        int64_t deadline = DeadlineOf(fd, true, start);
        while (done < len) {
            int ready = WaitReady(fd, POLLOUT, deadline);
            if (ready <= 0) {
                if (done > 0)
                    break;
                return ready == 0 ? -10060 : ready; // WSAETIMEDOUT, as the send's own
            }
            n = push(done, MSG_DONTWAIT);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                break; // reported here, or by the next call when part went
        }
        n = done > 0 ? static_cast<ssize_t>(done) : n;
    }
    if (n >= 0)
        return static_cast<long>(n);
    if (errno == EPIPE) {
        // Linux says EPIPE both for a socket that was never connected and for one
        // whose peer is gone; Winsock tells them apart.
        // A socket without a round-trip sample never completed a handshake.
        tcp_info info;
        socklen_t infolen = sizeof info;
        memset(&info, 0, sizeof info);
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infolen) == 0 && info.tcpi_rtt == 0)
            return -10057; // WSAENOTCONN
        errno = EPIPE;
    }
    return Fail(fd);
}

long Send(int fd, const void *buf, size_t len)
{
    const char *bytes = static_cast<const char *>(buf);
    return Transfer(fd, len, [&](size_t done, int flags) {
        return send(fd, bytes + done, len - done, MSG_NOSIGNAL | flags);
    });
}

// The kernel's file-to-socket transfer has no MSG_NOSIGNAL: the calling thread holds
// SIGPIPE back for the call, and takes the one the call raised, leaving one that was
// pending before it.
static ssize_t SendFileQuietly(int fd, int file, off_t at, size_t len)
{
    sigset_t pipe, old, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigemptyset(&pending);
    bool before = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ssize_t n = sendfile(fd, file, &at, len);
    int error = errno;
    if (n < 0 && error == EPIPE && !before) {
        timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

long SendFile(int fd, int file, int64_t offset, size_t len)
{
    // Without a per-call flag, a blocking descriptor's continuation blocks within its
    // time-out, which is what a Winsock send does anyway.
    return Transfer(fd, len, [&](size_t done, int) {
        return SendFileQuietly(fd, file, static_cast<off_t>(offset + static_cast<int64_t>(done)), len - done);
    });
}

long Recv(int fd, void *buf, size_t len, bool peek)
{
    int flags = peek ? MSG_PEEK : 0;
    int64_t start = NowUs();
    ssize_t n = recv(fd, buf, len, flags);
    if (n < 0 && errno == EINTR && Blocking(fd)) {
        int64_t deadline = DeadlineOf(fd, false, start);
        do {
            int ready = WaitReady(fd, POLLIN, deadline);
            if (ready <= 0)
                return ready == 0 ? -10060 : ready; // WSAETIMEDOUT, as the receive's own
            n = recv(fd, buf, len, flags | MSG_DONTWAIT);
        } while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    }
    return n >= 0 ? static_cast<long>(n) : Fail(fd);
}

int Shutdown(int fd, int how)
{
    int posixhow = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return shutdown(fd, posixhow) == 0 ? 0 : Fail();
}

int Close(int fd) { return close(fd) == 0 ? 0 : Fail(); }

int SetLinger(int fd, bool on, int seconds)
{
    struct linger value;
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? 0 : Fail();
}

int SetIntOption(int fd, SockOpt option, int value)
{
    int level = SOL_SOCKET, name = 0;
    switch (option) {
    case OPT_REUSEADDR: name = SO_REUSEADDR; break;
    case OPT_NODELAY: level = IPPROTO_TCP, name = TCP_NODELAY; break;
    case OPT_SNDBUF: name = SO_SNDBUF; break;
    case OPT_RCVBUF: name = SO_RCVBUF; break;
    }
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : Fail();
}

int SetTimeout(int fd, bool sending, unsigned ms)
{
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setsockopt(fd, SOL_SOCKET, sending ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : Fail();
}

int SetNonBlocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return Fail();
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags)
        return 0; // as it is: no second call
    return fcntl(fd, F_SETFL, wanted) == 0 ? 0 : Fail();
}

int LocalAddress(int fd, Endpoint *local)
{
    sockaddr_storage address;
    socklen_t len = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len) != 0)
        return Fail();
    *local = EndpointOf(address);
    return 0;
}

// A look-up that a signal cut short is made again, a few times at most: it has no
// time-out of its own to keep to.
template <class Lookup> int Uninterrupted(Lookup lookup)
{
    int rc = lookup();
    for (int again = 0; again < 8 && rc == EAI_SYSTEM && errno == EINTR; again++)
        rc = lookup();
    return rc;
}

static int ResolverError(int rc)
{
    switch (rc) {
    case EAI_AGAIN: return 11002;  // WSATRY_AGAIN
    case EAI_FAIL: return 11003;   // WSANO_RECOVERY
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004; // WSANO_DATA
#endif
    case EAI_MEMORY: return 10055; // WSAENOBUFS
    default: return 11001;         // WSAHOST_NOT_FOUND
    }
}

int ResolveIPv4(const char *name, uint32_t *addresses, int max, char *canon, size_t canonsize)
{
    // Asked for IPv4 alone, the C library answers a hosts entry of ::1 with 127.0.0.1, an
    // address the name does not have; asked for both families it reports what is there,
    // and only the IPv4 entries are taken.
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *list = nullptr;
    int rc = Uninterrupted([&] { return getaddrinfo(name, nullptr, &hints, &list); });
    if (rc != 0)
        return -ResolverError(rc);
    int count = 0;
    canon[0] = '\0';
    for (addrinfo *ai = list; ai != nullptr && count < max; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in))
            continue;
        uint32_t address = reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false; // one entry per address, not one per socket type
        for (int i = 0; i < count; i++)
            seen = seen || addresses[i] == address;
        if (!seen)
            addresses[count++] = address;
    }
    const char *cname = list != nullptr && list->ai_canonname != nullptr ? list->ai_canonname : name;
    snprintf(canon, canonsize, "%s", cname);
    freeaddrinfo(list);
    return count > 0 ? count : -11001;
}

int ResolveIPv6(const char *name, bool numeric, Endpoint *addresses, int max, char *canon, size_t canonsize)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME | (numeric ? AI_NUMERICHOST : 0);
    addrinfo *list = nullptr;
    int rc = Uninterrupted([&] { return getaddrinfo(name, nullptr, &hints, &list); });
    if (rc != 0)
        return -ResolverError(rc);
    int count = 0;
    for (addrinfo *ai = list; ai != nullptr && count < max; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET6 || ai->ai_addrlen < sizeof(sockaddr_in6))
            continue;
        sockaddr_storage address = {};
        memcpy(&address, ai->ai_addr, sizeof(sockaddr_in6));
        addresses[count++] = EndpointOf(address);
    }
    const char *cname = list != nullptr && list->ai_canonname != nullptr ? list->ai_canonname : name;
    snprintf(canon, canonsize, "%s", cname);
    freeaddrinfo(list);
    return count > 0 ? count : -11001;
}

int ReverseIPv4(uint32_t address, char *name, size_t namesize)
{
    sockaddr_in sin = InetAddress(address, 0);
    int rc = Uninterrupted([&] {
        return getnameinfo(reinterpret_cast<sockaddr *>(&sin), sizeof sin, name,
                           static_cast<socklen_t>(namesize), nullptr, 0, NI_NAMEREQD);
    });
    return rc == 0 ? 0 : -ResolverError(rc);
}

uint32_t InetAddr(const char *text) { return inet_addr(text); }

uint16_t HostToNet16(uint16_t value) { return htons(value); }
uint32_t HostToNet32(uint32_t value) { return htonl(value); }
uint32_t NetToHost32(uint32_t value) { return ntohl(value); }

// Linux reports the peer's half-close as POLLRDHUP, which the event source needs to tell
// FD_CLOSE from FD_READ without reading.
static short PollEvents(unsigned want)
{
    return static_cast<short>(((want & IO_READABLE) ? POLLIN : 0) | ((want & IO_WRITABLE) ? POLLOUT : 0) |
                              ((want & IO_PEERCLOSED) ? POLLRDHUP : 0));
}

static unsigned ReadinessOf(short revents)
{
    return ((revents & POLLIN) ? IO_READABLE : 0u) | ((revents & POLLOUT) ? IO_WRITABLE : 0u) |
           ((revents & POLLRDHUP) ? IO_PEERCLOSED : 0u) | ((revents & POLLERR) ? IO_ERROR : 0u) |
           ((revents & POLLHUP) ? IO_HANGUP : 0u) | ((revents & POLLNVAL) ? IO_INVALID : 0u);
}

int Poll(PollItem *items, size_t count, int64_t timeoutus)
{
    // A thread's few descriptors fit on the stack; only a longer list takes memory.
    constexpr size_t ON_STACK = 16;
    pollfd local[ON_STACK];
    static thread_local std::vector<pollfd> many;
    pollfd *fds = local;
    if (count > ON_STACK) {
        try {
            many.resize(count);
        } catch (const std::bad_alloc &) {
            return -10055; // WSAENOBUFS
        }
        fds = many.data();
    }
    for (size_t i = 0; i < count; i++) {
        fds[i].fd = items[i].fd;
        fds[i].events = PollEvents(items[i].want);
        fds[i].revents = 0;
    }
    // A signal does not cut the wait short: it goes on until the time it was given.
    int64_t deadline = timeoutus < 0 ? -1 : NowUs() + timeoutus;
    int rc;
    for (;;) {
        int64_t left = deadline < 0 ? 0 : std::max<int64_t>(deadline - NowUs(), 0);
        timespec limit = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        rc = ppoll(fds, static_cast<nfds_t>(count), deadline < 0 ? nullptr : &limit, nullptr);
        if (rc >= 0 || errno != EINTR)
            break;
        if (deadline >= 0 && NowUs() >= deadline) {
            rc = 0;
            break;
        }
    }
    if (rc < 0)
        return Fail();
    for (size_t i = 0; i < count; i++)
        items[i].got = ReadinessOf(fds[i].revents);
    return rc;
}

int WakeCreate()
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd >= 0 ? fd : Fail();
}

void WakeSignal(int fd)
{
    uint64_t one = 1;
    // A full counter still polls readable, so a failed write loses nothing.
    ssize_t n = write(fd, &one, sizeof one);
    (void)n;
}

void WakeDrain(int fd)
{
    uint64_t count;
    ssize_t n = read(fd, &count, sizeof count);
    (void)n;
}

int PendingError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return WinsockErrorOf(errno);
    return err != 0 ? WinsockErrorOf(err) : 0;
}

long ReadableBytes(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : Fail();
}

bool PeerConnected(int fd)
{
    sockaddr_storage address;
    socklen_t len = sizeof address;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&address), &len) == 0;
}

} // namespace shim
} // namespace posix
} // namespace vx
