// peer.h - a scripted TCP peer on loopback for the suites, and the fake LPD of the
// protocol suites.  It listens on 127.0.0.1, or on ::1
// (port chosen by the system), accepts one connection on its own thread and plays its
// script against it, recording every byte received; it stops by itself at a deadline.
#ifndef VEXLOLPR_TEST_PEER_H
#define VEXLOLPR_TEST_PEER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

struct PeerStep {
    enum Kind { SEND, READ, READ_LINE, READ_TO_CLOSE, SLEEP, CLOSE, RESET, HOLD, SHRINK_RCVBUF, CALL, TRICKLE, STREAM, PEEK } kind;
    std::string bytes;          // SEND, TRICKLE, STREAM
    size_t count;               // READ, PEEK: bytes; SLEEP/HOLD: milliseconds; TRICKLE: pause
    std::function<void()> call = {}; // CALL
};

class Peer {
public:
    explicit Peer(std::vector<PeerStep> script, int deadline_ms = 15000, bool accept = true, bool ipv6 = false);
    ~Peer();
    uint16_t port() const { return port_; }
    std::string received();
    uint16_t client_port() const { return client_port_; }
    bool finished() const { return finished_; }
    // Waits until the script has played out (or its deadline passed).
    void join();

    static PeerStep Send(const std::string &bytes) { return {PeerStep::SEND, bytes, 0}; }
    static PeerStep Read(size_t n) { return {PeerStep::READ, "", n}; }
    static PeerStep ReadToClose() { return {PeerStep::READ_TO_CLOSE, "", 0}; }
    // Reads up to and including the next LF.
    static PeerStep ReadLine() { return {PeerStep::READ_LINE, "", 0}; }
    // Waits until `n` bytes have come, and reads none of them: the client is done with
    // those writes, and a close now finds them unread.
    static PeerStep Peek(size_t n) { return {PeerStep::PEEK, "", n}; }
    static PeerStep Ack(char byte = 0) { return Send(std::string(1, byte)); }
    static PeerStep Sleep(size_t ms) { return {PeerStep::SLEEP, "", ms}; }
    static PeerStep Close() { return {PeerStep::CLOSE, "", 0}; }
    static PeerStep Reset() { return {PeerStep::RESET, "", 0}; }
    // Keeps the connection open without reading for `ms` milliseconds.
    static PeerStep Hold(size_t ms) { return {PeerStep::HOLD, "", ms}; }
    // Runs `fn` on the peer's thread at this point of the script (to change a file
    // between two steps of the client, for instance).
    static PeerStep Call(std::function<void()> fn) { return {PeerStep::CALL, "", 0, std::move(fn)}; }
    // Sends `bytes` one at a time with a pause of `ms` before each but the first; a
    // client that went away ends the step.
    static PeerStep Trickle(const std::string &bytes, size_t ms) { return {PeerStep::TRICKLE, bytes, ms}; }
    // Sends `bytes` again and again until the client goes away, the owner stops the
    // peer or the deadline passes.
    static PeerStep Stream(const std::string &bytes) { return {PeerStep::STREAM, bytes, 0}; }

private:
    void Run();
    bool ReadSomeUntil(size_t want, bool to_close);
    bool ReadLineUntil();
    bool PeekUntil(size_t want);
    bool WaitReadable(int fd); // false at the deadline or when stopped
    void Pause(size_t ms);
    bool SendSome(const char *buf, size_t len); // false when the client is gone or time is up
    void StreamUntilGone(const std::string &bytes);
    std::vector<PeerStep> script_;
    int deadline_ms_;
    bool accept_;
    int listenfd_ = -1;
    int connfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<uint16_t> client_port_{0};
    std::atomic<bool> finished_{false};
    std::atomic<bool> stop_{false}; // the owner is done: end the script early
    std::mutex lock_;
    std::string received_;
    std::thread thread_;
    uint64_t start_ms_ = 0;
};

using FakeLpd = Peer;

// Descriptors open in this process (from /proc/self/fd).
int OpenDescriptors();

} // namespace vxtest

#endif
