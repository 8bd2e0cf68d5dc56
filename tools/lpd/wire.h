// wire.h - timed, interruptible socket I/O for the loopback LPD server.  Every wait ends
// at the idle time-out, at the server's deadline or at SIGTERM/SIGINT, whichever comes
// first; the stop flag set by the signal handler lives here.
#pragma once

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lpd {

using Clock = std::chrono::steady_clock;

struct Runtime {
    Clock::time_point deadline = Clock::time_point::max(); // max: none
    std::chrono::milliseconds idle{30000};                 // longest wait for one read or write
    sigset_t wait_mask{};                                  // signal mask during waits
    bool verbose = false;
};

// Set from the SIGTERM/SIGINT handler.  Those signals stay blocked outside the waits and
// are let through atomically by ppoll, so a stop can never slip in unnoticed.
extern volatile std::sig_atomic_t g_stop;

enum class Wait { ready, timeout, stopped, failed };

// Waits for `events` on fd until `until` (time_point::max(): no limit).
Wait wait_for(int fd, short events, Clock::time_point until, const Runtime &rt);

enum class Io { ok, eof, timeout, stopped, failed, too_long };
const char *describe(Io io);

// One accepted connection (non-blocking descriptor, owned and closed here).
class Wire {
public:
    Wire(int fd, const Runtime &rt);
    ~Wire();
    Wire(const Wire &) = delete;
    Wire &operator=(const Wire &) = delete;

    // The next octet.  eof: the peer closed before it.
    Io read_byte(char &byte);
    // Up to the next LF, which is consumed but not stored.  too_long: no LF within `max`
    // octets.  eof: the peer closed before the LF (`line` holds what came).
    Io read_line(std::string &line, std::size_t max);
    // Exactly `count` octets, handed to `sink` piece by piece.
    Io read_exact(std::uint64_t count, const std::function<void(const char *, std::size_t)> &sink);
    bool send(std::string_view data);
    // Ends our direction, then reads and drops the peer's rest for a short while before
    // closing: closing with unread input would reset the connection and could destroy
    // a last answer the peer has not read yet.
    void close();

private:
    Io fill();
    Clock::time_point io_limit() const;

    int fd_;
    const Runtime &rt_;
    std::vector<char> buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

} // namespace lpd
