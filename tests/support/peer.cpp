// peer.cpp - the scripted loopback peer.
#include "peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "rawsock.h"

namespace vxtest {

static uint64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

Peer::Peer(std::vector<PeerStep> script, int deadline_ms, bool accept, bool ipv6)
    : script_(std::move(script)), deadline_ms_(deadline_ms), accept_(accept)
{
    listenfd_ = ListenLoopback(&port_, ipv6);
    start_ms_ = NowMs();
    thread_ = std::thread([this] { Run(); });
}

Peer::~Peer()
{
    stop_ = true;
    join();
    if (connfd_ >= 0)
        close(connfd_);
    if (listenfd_ >= 0)
        close(listenfd_);
}

void Peer::join()
{
    if (thread_.joinable())
        thread_.join();
}

std::string Peer::received()
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

// Milliseconds left before the deadline, at least 0.
static int Left(uint64_t start, int deadline)
{
    int64_t left = static_cast<int64_t>(start) + deadline - static_cast<int64_t>(NowMs());
    return left > 0 ? static_cast<int>(left) : 0;
}

bool Peer::WaitReadable(int fd)
{
    // In short slices, so that a stop request is seen soon.
    while (!stop_) {
        int left = Left(start_ms_, deadline_ms_);
        if (left == 0)
            return false;
        pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, std::min(left, 20));
        if (rc > 0)
            return true;
        if (rc < 0)
            return false;
    }
    return false;
}

void Peer::Pause(size_t ms)
{
    uint64_t until = NowMs() + ms;
    while (!stop_ && NowMs() < until && Left(start_ms_, deadline_ms_) > 0)
        usleep(5000);
}

bool Peer::ReadSomeUntil(size_t want, bool to_close)
{
    size_t got = 0;
    char buf[65536];
    while (to_close || got < want) {
        if (!WaitReadable(connfd_))
            return false;
        size_t room = to_close ? sizeof buf : std::min(sizeof buf, want - got);
        ssize_t n = recv(connfd_, buf, room, 0);
        if (n <= 0)
            return n == 0 && to_close;
        std::lock_guard<std::mutex> guard(lock_);
        received_.append(buf, static_cast<size_t>(n));
        got += static_cast<size_t>(n);
    }
    return true;
}

bool Peer::ReadLineUntil()
{
    for (size_t i = 0; i < 1 << 20; i++) {
        char c;
        if (!WaitReadable(connfd_) || recv(connfd_, &c, 1, 0) != 1)
            return false;
        std::lock_guard<std::mutex> guard(lock_);
        received_ += c;
        if (c == '\n')
            return true;
    }
    return false;
}

bool Peer::PeekUntil(size_t want)
{
    std::string buf(want, '\0');
    for (;;) {
        if (!WaitReadable(connfd_))
            return false;
        ssize_t n = recv(connfd_, &buf[0], want, MSG_PEEK);
        if (n <= 0)
            return false;
        if (static_cast<size_t>(n) >= want)
            return true;
        Pause(2); // readable already: poll would not wait for the rest
    }
}

// Writes never raise SIGPIPE here: a client that aborted is an expected end of a step.
bool Peer::SendSome(const char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        if (stop_ || Left(start_ms_, deadline_ms_) == 0)
            return false;
        pollfd p = {connfd_, POLLOUT, 0};
        int rc = poll(&p, 1, 20);
        if (rc < 0)
            return false;
        if (rc == 0)
            continue;
        ssize_t n = send(connfd_, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return true;
}

void Peer::StreamUntilGone(const std::string &bytes)
{
    // Bounded by the deadline and the stop request that SendSome checks.
    while (!bytes.empty() && SendSome(bytes.data(), bytes.size())) {
    }
}

void Peer::Run()
{
    if (!accept_ || listenfd_ < 0) {
        finished_ = true;
        return;
    }
    if (!WaitReadable(listenfd_))
        return;
    sockaddr_storage from; // the port lies at the same place in both families
    socklen_t len = sizeof from;
    connfd_ = accept(listenfd_, reinterpret_cast<sockaddr *>(&from), &len);
    if (connfd_ < 0)
        return;
    client_port_ = ntohs(reinterpret_cast<sockaddr_in *>(&from)->sin_port);
    for (const PeerStep &step : script_) {
        switch (step.kind) {
        case PeerStep::SEND:
            if (WriteAll(connfd_, step.bytes.data(), step.bytes.size()) < 0)
                return;
            break;
        case PeerStep::READ:
            if (!ReadSomeUntil(step.count, false))
                return;
            break;
        case PeerStep::READ_LINE:
            if (!ReadLineUntil())
                return;
            break;
        case PeerStep::PEEK:
            if (!PeekUntil(step.count))
                return;
            break;
        case PeerStep::READ_TO_CLOSE:
            ReadSomeUntil(0, true);
            break;
        case PeerStep::SLEEP:
        case PeerStep::HOLD:
            Pause(step.count);
            break;
        case PeerStep::CLOSE:
            close(connfd_);
            connfd_ = -1;
            break;
        case PeerStep::RESET: {
            struct linger lng = {1, 0}; // close with a reset
            setsockopt(connfd_, SOL_SOCKET, SO_LINGER, &lng, sizeof lng);
            close(connfd_);
            connfd_ = -1;
            break;
        }
        case PeerStep::CALL:
            if (step.call)
                step.call();
            break;
        case PeerStep::TRICKLE:
            for (size_t i = 0; i < step.bytes.size(); i++) {
                if (i > 0)
                    Pause(step.count);
                if (!SendSome(&step.bytes[i], 1))
                    return;
            }
            break;
        case PeerStep::STREAM:
            StreamUntilGone(step.bytes);
            break;
        case PeerStep::SHRINK_RCVBUF: {
            int size = static_cast<int>(step.count);
            setsockopt(connfd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            break;
        }
        }
    }
    finished_ = true;
}

int OpenDescriptors()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            n++;
    closedir(dir);
    return n - 1; // the directory's own descriptor
}

} // namespace vxtest
