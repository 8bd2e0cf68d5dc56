// fuzzlpd.h - the fake LPD of the fuzz targets.  Its answers come from the fuzz input
// and reach the library over a connected pair of local stream sockets that the socket
// provider hands out in place of a TCP connection, so every byte takes the library's
// own way in: the provider's recv, the stream reads under the status dialog, the
// workers.  The server answers only when the client reads and has nothing left to
// read; each answer therefore arrives in a read of its own, the same way on every run,
// and the server never keeps the client waiting.
#ifndef VEXLOLPR_FUZZ_FUZZLPD_H
#define VEXLOLPR_FUZZ_FUZZLPD_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "vexlolpr.h"

namespace vxfuzz {

// Inputs beyond this size are skipped: the server's end writes without a reader on
// another thread, so one answer must fit in the pair's buffer.
constexpr size_t MAX_INPUT = 65536;

// How the server ends once its answers are used up and the client reads again.
enum class End {
    HALF_CLOSE, // shuts its sending side: the client reads the end, its writes still arrive
    CLOSE,      // reads what the client sent, then closes: the client's later writes fail
    RESET,      // closes with the client's bytes unread: the client's next read fails
};
// Two bits of an input's header; the fourth value is a half-close as well.
End EndOf(unsigned bits);
const char *EndName(End end);

// The bytes of a fuzz input, taken from the front; past the end, bytes are 0.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Take(size_t n);
    std::string Rest() { return Take(size_ - pos_); }
    bool empty() const { return pos_ >= size_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Splits `bytes` into pieces of pseudo-random sizes: `sizeclass` (0..7) sets the largest
// piece (0: all in one piece), `seed` the sequence of sizes.  Of more than 128 pieces,
// the first and the last 64 stay and those between are joined into one.
std::vector<std::string> Split(const std::string &bytes, unsigned sizeclass, unsigned seed);

class FuzzLpd
{
public:
    // Takes the socket provider over on first use and puts the library's process-wide
    // state back as it is after loading, so that every input runs alike.  Empty answers
    // are dropped: they would leave the client waiting for nothing.
    FuzzLpd(std::vector<std::string> answers, End end);
    ~FuzzLpd();
    FuzzLpd(const FuzzLpd &) = delete;
    FuzzLpd &operator=(const FuzzLpd &) = delete;

    // After the request: closes the server's end and checks that the library gave back
    // what it held: its descriptors, the status dialog and wait state, its memory
    // blocks, its starts of the socket layer.  Returns every byte the client sent.
    std::string Finish();
    // Connections the library opened during the request.
    int connections() const { return static_cast<int>(pairs_.size()); }
    // Answers the client has been handed so far.
    size_t answered() const { return next_; }

    // For the provider's entries (fuzzlpd.cpp).
    bool Owns(uintptr_t socket) const;
    uintptr_t Open();
    void BeforeReceive(uintptr_t socket);

private:
    struct Pair {
        int client;
        int server; // -1 once closed
    };
    void Collect(Pair &pair, size_t keep);
    std::vector<std::string> answers_;
    End end_;
    size_t next_ = 0;
    bool ended_ = false;
    bool finished_ = false;
    std::vector<Pair> pairs_;
    std::string received_;
    int blocks_;
    int starts_;
    int lowestfree_;
    uint64_t descriptors_;
};

// A broken expectation: the message on standard error, then abort(), which the fuzzer
// keeps as a crash with its input and the replay as a failed run.
[[noreturn]] void Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
#define FUZZ_CHECK(cond, ...)                                                                                \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            ::vxfuzz::Fail(__VA_ARGS__);                                                                     \
    } while (0)

// The request block of every fuzz request: short reply time-out (only a stalled server
// would meet it), sends back to back (the yield between writes would cost a timer tick).
LPR_COMMONARG CommonArg();
// A small file to print, made once per process and removed at its exit, and its content.
const char *PrintFile();
const std::string &PrintContent();
// The last-error text.
std::string LastError();
// Bytes for a message: printable ones as they are, the others as \xNN.
std::string Show(const std::string &bytes);

} // namespace vxfuzz

#endif
