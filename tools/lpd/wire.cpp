// wire.cpp - timed, interruptible socket I/O for the loopback LPD server.
#include "lpd/wire.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace lpd {

volatile std::sig_atomic_t g_stop = 0;

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr std::chrono::seconds kLinger{1};
constexpr std::size_t kMaxDrain = 1u << 20;

bool retry(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

} // namespace

Wait wait_for(int fd, short events, Clock::time_point until, const Runtime &rt)
{
    for (;;) {
        if (g_stop)
            return Wait::stopped;
        timespec limit{};
        timespec *timeout = nullptr;
        if (until != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
            if (left <= 0)
                return Wait::timeout;
            limit.tv_sec = static_cast<time_t>(left / 1000000000);
            limit.tv_nsec = static_cast<long>(left % 1000000000);
            timeout = &limit;
        }
        pollfd entry{fd, events, 0};
        int n = ppoll(&entry, 1, timeout, &rt.wait_mask);
        // Error and hang-up conditions count as ready: the recv or send that follows
        // reports them.
        if (n > 0)
            return Wait::ready;
        if (n < 0 && errno != EINTR)
            return Wait::failed;
    }
}

const char *describe(Io io)
{
    switch (io) {
    case Io::ok: return "ok";
    case Io::eof: return "closed by the client";
    case Io::timeout: return "timed out";
    case Io::stopped: return "server stopping";
    case Io::failed: return "connection failed";
    case Io::too_long: return "line too long";
    }
    return "?";
}

Wire::Wire(int fd, const Runtime &rt) : fd_(fd), rt_(rt), buf_(kBufferSize) {}

Wire::~Wire() { close(); }

// The idle limit restarts with every wait, so a slow but steady sender is served; the
// deadline bounds the connection as a whole.
Clock::time_point Wire::io_limit() const { return std::min(Clock::now() + rt_.idle, rt_.deadline); }

Io Wire::fill()
{
    for (;;) {
        switch (wait_for(fd_, POLLIN, io_limit(), rt_)) {
        case Wait::ready: break;
        case Wait::timeout: return Io::timeout;
        case Wait::stopped: return Io::stopped;
        case Wait::failed: return Io::failed;
        }
        // The descriptor is non-blocking: readiness can be spurious, and a blocking
        // recv would sit outside the signal-aware wait.
        ssize_t n = recv(fd_, buf_.data(), buf_.size(), 0);
        if (n > 0) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(n);
            return Io::ok;
        }
        if (n == 0)
            return Io::eof;
        if (!retry(errno))
            return Io::failed;
    }
}

Io Wire::read_byte(char &byte)
{
    if (pos_ == end_) {
        Io io = fill();
        if (io != Io::ok)
            return io;
    }
    byte = buf_[pos_++];
    return Io::ok;
}

Io Wire::read_line(std::string &line, std::size_t max)
{
    line.clear();
    for (;;) {
        if (pos_ == end_) {
            Io io = fill();
            if (io != Io::ok)
                return io;
        }
        const char *begin = buf_.data() + pos_;
        std::size_t available = end_ - pos_;
        const char *lf = static_cast<const char *>(std::memchr(begin, '\n', available));
        std::size_t take = lf ? static_cast<std::size_t>(lf - begin) : available;
        if (line.size() + take > max) {
            take = max - line.size();
            line.append(begin, take);
            pos_ += take;
            return Io::too_long;
        }
        line.append(begin, take);
        pos_ += take;
        if (lf) {
            ++pos_;
            return Io::ok;
        }
    }
}

Io Wire::read_exact(std::uint64_t count, const std::function<void(const char *, std::size_t)> &sink)
{
    while (count > 0) {
        if (pos_ == end_) {
            Io io = fill();
            if (io != Io::ok)
                return io;
        }
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - pos_));
        sink(buf_.data() + pos_, take);
        pos_ += take;
        count -= take;
    }
    return Io::ok;
}

bool Wire::send(std::string_view data)
{
    while (!data.empty()) {
        if (wait_for(fd_, POLLOUT, io_limit(), rt_) != Wait::ready)
            return false;
        ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && !retry(errno))
            return false;
        if (n > 0)
            data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Wire::close()
{
    if (fd_ < 0)
        return;
    shutdown(fd_, SHUT_WR);
    Clock::time_point until = std::min(Clock::now() + kLinger, rt_.deadline);
    std::size_t drained = 0;
    while (drained < kMaxDrain && wait_for(fd_, POLLIN, until, rt_) == Wait::ready) {
        ssize_t n = recv(fd_, buf_.data(), buf_.size(), 0);
        if (n == 0 || (n < 0 && !retry(errno)))
            break;
        if (n > 0)
            drained += static_cast<std::size_t>(n);
    }
    ::close(fd_);
    fd_ = -1;
}

} // namespace lpd
