// fuzzlpd.cpp - the fake LPD of the fuzz targets and the socket provider that connects
// the library to it.  Owns the provider (installed once per process) and the server
// of the request in progress.
#include "fuzzlpd.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "pairsock.h"
#include "support/harness.h"
#include "wsockio.h"

namespace vxfuzz {

namespace {

FuzzLpd *current; // the server of the request in progress

// The real provider's entries that the replacements fall back on.
template <class Fn> Fn RealEntry(const char *name)
{
    const vx::posix::ModuleDef *real = vx::posix::WinsockProvider();
    for (size_t i = 0; i < real->count; i++)
        if (std::string(real->exports[i].name) == name)
            return reinterpret_cast<Fn>(real->exports[i].proc);
    Fail("the socket provider has no %s", name);
}

using SocketFn = vx::SOCKET(WSAAPI *)(int, int, int);
using AddressFn = int(WSAAPI *)(vx::SOCKET, const vx::sockaddr *, int);
using RecvFn = int(WSAAPI *)(vx::SOCKET, char *, int, int);
SocketFn realsocket;
AddressFn realbind;
AddressFn realconnect;
RecvFn realrecv;

// A stream socket of the library is one end of a fresh pair while a server is there.
vx::SOCKET WSAAPI FuzzSocket(int af, int type, int protocol)
{
    if (current == nullptr || af != vx::AF_INET || type != vx::SOCK_STREAM ||
        vx::posix::WinsockStartCount() <= 0)
        return realsocket(af, type, protocol);
    return current->Open();
}

// The pair is connected from the start: the local port and the connect have nothing to do.
int WSAAPI FuzzBind(vx::SOCKET s, const vx::sockaddr *name, int namelen)
{
    return current != nullptr && current->Owns(s) ? 0 : realbind(s, name, namelen);
}

int WSAAPI FuzzConnect(vx::SOCKET s, const vx::sockaddr *name, int namelen)
{
    return current != nullptr && current->Owns(s) ? 0 : realconnect(s, name, namelen);
}

int WSAAPI FuzzRecv(vx::SOCKET s, char *buf, int len, int flags)
{
    if (current != nullptr && current->Owns(s))
        current->BeforeReceive(s);
    return realrecv(s, buf, len, flags);
}

void InstallProvider()
{
    static vxtest::ProviderOverride *provider; // for the life of the process
    if (provider != nullptr)
        return;
    realsocket = RealEntry<SocketFn>("socket");
    realbind = RealEntry<AddressFn>("bind");
    realconnect = RealEntry<AddressFn>("connect");
    realrecv = RealEntry<RecvFn>("recv");
    provider = new vxtest::ProviderOverride;
    provider->replace("socket", reinterpret_cast<void (*)()>(FuzzSocket))
        .replace("bind", reinterpret_cast<void (*)()>(FuzzBind))
        .replace("connect", reinterpret_cast<void (*)()>(FuzzConnect))
        .replace("recv", reinterpret_cast<void (*)()>(FuzzRecv))
        .install();
    // The thread's message queue and its wake-up descriptor stay for the life of the
    // thread; made now, they do not count as left behind by the first request.
    vx::posix::PendingMessages();
    // The binding took its entries at load: it is made again from the new provider.
    vx::UnloadWinsock();
    if (vx::LoadWinsock() != 0)
        Fail("the socket layer does not load with the fuzz provider");
}

} // namespace

void Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("FUZZ CHECK FAILED: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    abort();
}

End EndOf(unsigned bits)
{
    switch (bits & 3) {
    case 1:
        return End::CLOSE;
    case 2:
        return End::RESET;
    default:
        return End::HALF_CLOSE;
    }
}

const char *EndName(End end)
{
    return end == End::CLOSE ? "close" : end == End::RESET ? "reset" : "half-close";
}

std::string Input::Take(size_t n)
{
    size_t take = n < size_ - pos_ ? n : size_ - pos_;
    std::string bytes(reinterpret_cast<const char *>(data_ + pos_), take);
    pos_ += take;
    return bytes;
}

std::vector<std::string> Split(const std::string &bytes, unsigned sizeclass, unsigned seed)
{
    // Around the library's own read sizes (1, 200, 511, 512) and well past them.
    static const size_t largest[8] = {0, 1, 3, 17, 200, 511, 513, 3000};
    size_t max = largest[sizeclass & 7];
    if (max == 0)
        return {bytes};
    uint32_t state = seed * 2654435761u + 1; // xorshift32 needs a state other than 0
    std::vector<std::string> pieces;
    for (size_t at = 0; at < bytes.size();) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t n = 1 + state % max;
        pieces.push_back(bytes.substr(at, n));
        at += n;
    }
    // Every piece costs a read or more; past a budget, the pieces between the first and
    // the last ones go as one, which keeps a run of a long listing in small pieces fast
    // and still splits both of its ends.
    const size_t BUDGET = 128;
    if (pieces.size() > BUDGET) {
        std::string middle;
        for (size_t i = BUDGET / 2; i < pieces.size() - BUDGET / 2; i++)
            middle += pieces[i];
        pieces.erase(pieces.begin() + BUDGET / 2 + 1, pieces.end() - BUDGET / 2);
        pieces[BUDGET / 2] = middle;
    }
    return pieces;
}

FuzzLpd::FuzzLpd(std::vector<std::string> answers, End end) : end_(end)
{
    for (std::string &a : answers)
        if (!a.empty())
            answers_.push_back(std::move(a));
    InstallProvider();
    FUZZ_CHECK(current == nullptr, "a fuzz server is already running");
    FUZZ_CHECK(vx::ThisRequest().hwndwait.load() == nullptr, "the status dialog of an earlier request is still there");
    // What the previous request left behind must not steer this one.
    vx::localport = 600;
    vx::ThisRequest().yieldcount = 0;
    vx::ClearLastErrorText();
    blocks_ = vx::posix::GlobalBlocksInUse();
    starts_ = vx::posix::WinsockStartCount();
    lowestfree_ = LowestFreeDescriptor();
    descriptors_ = OpenDescriptors(lowestfree_);
    current = this;
}

FuzzLpd::~FuzzLpd()
{
    if (!finished_)
        Finish();
}

bool FuzzLpd::Owns(uintptr_t socket) const
{
    for (const Pair &p : pairs_)
        if (static_cast<uintptr_t>(p.client) == socket)
            return true;
    return false;
}

uintptr_t FuzzLpd::Open()
{
    Pair pair;
    if (!SocketPair(&pair.client, &pair.server))
        Fail("no socket pair");
    pairs_.push_back(pair);
    return static_cast<uintptr_t>(pair.client);
}

// Takes what the client sent into the record.  `keep` bytes stay unread, so that a
// close of the server's end can still be a reset (a close with data unread).
void FuzzLpd::Collect(Pair &pair, size_t keep) { received_ += ReadWaiting(pair.server, keep); }

void FuzzLpd::BeforeReceive(uintptr_t socket)
{
    Pair *pair = nullptr;
    for (Pair &p : pairs_)
        if (static_cast<uintptr_t>(p.client) == socket)
            pair = &p;
    if (pair == nullptr || pair->server < 0 || Unread(pair->client) > 0)
        return; // the client has not read all of the previous answer yet
    Collect(*pair, 1);
    if (next_ < answers_.size()) {
        if (!SendAll(pair->server, answers_[next_]))
            Fail("the fuzz server could not send an answer of %zu bytes", answers_[next_].size());
        next_++;
        return;
    }
    if (ended_)
        return;
    ended_ = true;
    switch (end_) {
    case End::HALF_CLOSE:
        ShutdownSending(pair->server);
        break;
    case End::CLOSE:
        Collect(*pair, 0);
        CloseDescriptor(pair->server);
        pair->server = -1;
        break;
    case End::RESET:
        received_ += PeekWaiting(pair->server); // the unread bytes go with the close
        CloseDescriptor(pair->server);
        pair->server = -1;
        break;
    }
}

std::string FuzzLpd::Finish()
{
    if (finished_)
        return received_;
    finished_ = true;
    current = nullptr;
    for (Pair &p : pairs_) {
        if (p.server >= 0) {
            Collect(p, 0);
            CloseDescriptor(p.server);
            p.server = -1;
        }
    }
    // Checked once every server end is closed: a number the library closed may since
    // have gone to one of those ends.
    for (const Pair &p : pairs_)
        FUZZ_CHECK(!DescriptorOpen(p.client), "descriptor %d, the library's socket, is still open", p.client);
    uint64_t opened = OpenDescriptors(lowestfree_) & ~descriptors_;
    FUZZ_CHECK(opened == 0, "the request left descriptors open (from %d on: %#llx)", lowestfree_,
               static_cast<unsigned long long>(opened));
    FUZZ_CHECK(vx::ThisRequest().hwndwait.load() == nullptr, "the status dialog outlived the request");
    FUZZ_CHECK(vx::ThisRequest().waitinfo.mysocket == 0, "the wait state still names socket %d",
               static_cast<int>(vx::ThisRequest().waitinfo.mysocket));
    FUZZ_CHECK(vx::posix::LiveWindows() == 0, "%d windows outlived the request", vx::posix::LiveWindows());
    FUZZ_CHECK(vx::posix::PendingMessages() == 0, "%zu messages were left in the queue",
               vx::posix::PendingMessages());
    FUZZ_CHECK(vx::posix::GlobalBlocksInUse() == blocks_, "%d memory blocks were not given back",
               vx::posix::GlobalBlocksInUse() - blocks_);
    FUZZ_CHECK(vx::posix::WinsockStartCount() == starts_,
               "the socket layer was started %d times more than cleaned up",
               vx::posix::WinsockStartCount() - starts_);
    return received_;
}

LPR_COMMONARG CommonArg()
{
    LPR_COMMONARG common = vxtest::CommonArg(LPR_OPT_NOYIELD);
    common.replytimeout = 500;
    return common;
}

const std::string &PrintContent()
{
    static const std::string content = "fuzz job\n";
    return content;
}

namespace {
char printfile[64];
void RemovePrintFile() { remove(printfile); }
} // namespace

const char *PrintFile()
{
    if (printfile[0] == '\0') {
        snprintf(printfile, sizeof printfile, "/tmp/vexlolpr-fuzz-%ld.txt", static_cast<long>(getpid()));
        FILE *f = fopen(printfile, "wb");
        if (f == nullptr ||
            fwrite(PrintContent().data(), 1, PrintContent().size(), f) != PrintContent().size() ||
            fclose(f) != 0)
            Fail("cannot write %s", printfile);
        atexit(RemovePrintFile);
    }
    return printfile;
}

std::string LastError()
{
    char buf[512];
    LPR_GetLastErrorText(buf, sizeof buf);
    return buf;
}

std::string Show(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

} // namespace vxfuzz
