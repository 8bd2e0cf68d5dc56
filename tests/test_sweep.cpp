// Every fallible call of every request, made to fail once in turn.  A request is run once
// against the fake LPD to count the calls it makes that can fail: each entry of the
// socket provider, each primitive of the platform that can fail, each C++ allocation on
// the request's thread.  Then, for every one of those calls and each way it can fail that
// the library tells apart, the request runs again with that one call failing.  After
// every run: the outcome is a written one, nothing is left behind, a late cancel writes
// nothing, and the next request of the process works.  Each variant prints its row of
// the table (request, mode, calls, failures injected, outcomes).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <new>
#include <sstream>

#include "support/lpr.h"

// The replacements below take from malloc and give back to free, both sides alike; the
// compiler cannot see that where it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

using namespace vxtest;

// ---- the injection ------------------------------------------------------------------------

namespace {

enum Site {
    S_WSAStartup, S_socket, S_bind, S_connect, S_send, S_recv, S_setsockopt, S_getsockname, S_shutdown,
    S_closesocket, S_WSAAsyncSelect, S_gethostbyname, S_SetTimer, S_CreateDialog, S_GlobalAlloc, S_GlobalLock,
    S_FileOpen, S_FileSeek, S_FileRead, S_PostMessage, S_LocalTime, S_StateOpen, S_StateRead, S_StateWrite, S_new,
    S_getaddrinfo, S_SendFileRange, SITES
};
const char *const site_names[SITES] = {
    "WSAStartup", "socket", "bind", "connect", "send", "recv", "setsockopt", "getsockname", "shutdown",
    "closesocket", "WSAAsyncSelect", "gethostbyname", "SetTimer", "CreateDialogParamA", "GlobalAlloc", "GlobalLock",
    "FileOpen", "FileSeek", "FileRead", "PostMessageA", "LocalTimeNow", "StateOpen", "StateRead", "StateWrite",
    "operator new", "getaddrinfo", "SendFileRange"};

// One call made to fail: the nth call of a site, with a socket error (0: the primitive's
// own failure).
struct Plan {
    Site site;
    int nth;
    int error;
};

struct Injection {
    int counts[SITES];
    Plan plan;
    bool fired;
    int retrystart[SITES]; // counts when the first scripted address-in-use failure came
    int retryend[SITES];   // counts when the connect after the last one came
    bool retrying;
};
Injection inj;
thread_local bool armed; // the request's own thread, while the request runs
int scriptedinuse;       // connects still to refuse with WSAEADDRINUSE (not an injection)
bool denyreserved;       // binds of reserved ports refused, as for an unprivileged user

bool Fire(Site s)
{
    if (!armed)
        return false;
    int n = ++inj.counts[s];
    if (inj.fired || s != inj.plan.site || n != inj.plan.nth)
        return false;
    inj.fired = true;
    return true;
}

bool FirePrimitive(vx::posix::Fallible f)
{
    using vx::posix::Fallible;
    switch (f) {
    case Fallible::SetTimer: return Fire(S_SetTimer);
    case Fallible::CreateDialog: return Fire(S_CreateDialog);
    case Fallible::GlobalAlloc: return Fire(S_GlobalAlloc);
    case Fallible::GlobalLock: return Fire(S_GlobalLock);
    case Fallible::FileOpen: return Fire(S_FileOpen);
    case Fallible::FileSeek: return Fire(S_FileSeek);
    case Fallible::FileRead: return Fire(S_FileRead);
    case Fallible::PostMessage: return Fire(S_PostMessage);
    case Fallible::LocalTime: return Fire(S_LocalTime);
    case Fallible::StateOpen: return Fire(S_StateOpen);
    case Fallible::StateRead: return Fire(S_StateRead);
    case Fallible::StateWrite: return Fire(S_StateWrite);
    }
    return false;
}

} // namespace

// Every allocation of the process comes here; those of the request's thread count.
void *operator new(size_t n)
{
    if (Fire(S_new))
        throw std::bad_alloc();
    void *p = malloc(n != 0 ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    return Fire(S_new) ? nullptr : malloc(n != 0 ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

namespace {

// ---- the socket provider, each entry able to fail ---------------------------------------

vx::WinsockTable real;

int Failed(int error)
{
    real.WSASetLastError(error);
    return vx::SOCKET_ERROR;
}

int WSAAPI W_WSAStartup(WORD version, vx::WSADATA *data)
{
    return Fire(S_WSAStartup) ? inj.plan.error : real.WSAStartup(version, data);
}
vx::SOCKET WSAAPI W_socket(int af, int type, int protocol)
{
    if (Fire(S_socket))
        return Failed(inj.plan.error), vx::INVALID_SOCKET;
    return real.socket(af, type, protocol);
}
int WSAAPI W_bind(vx::SOCKET s, const vx::sockaddr *name, int len)
{
    int port = real.htons(reinterpret_cast<const vx::sockaddr_in *>(name)->sin_port);
    if (Fire(S_bind))
        return Failed(inj.plan.error);
    if (denyreserved && port != 0 && port < 1024)
        return Failed(vx::WSAEACCES);
    return real.bind(s, name, len);
}
int WSAAPI W_connect(vx::SOCKET s, const vx::sockaddr *name, int len)
{
    // The scripted refusals are the scenario, not calls to fail.
    if (scriptedinuse > 0) {
        if (!inj.retrying)
            memcpy(inj.retrystart, inj.counts, sizeof inj.counts);
        inj.retrying = true;
        scriptedinuse--;
        return Failed(vx::WSAEADDRINUSE);
    }
    bool fire = Fire(S_connect);
    if (inj.retrying && inj.retryend[S_connect] == 0)
        memcpy(inj.retryend, inj.counts, sizeof inj.counts);
    if (!fire)
        return real.connect(s, name, len);
    // "Would block" is a connect under way, which ends with its notification.
    if (inj.plan.error == vx::WSAEWOULDBLOCK) {
        int rc = real.connect(s, name, len);
        if (rc != 0 && real.WSAGetLastError() != vx::WSAEWOULDBLOCK)
            return rc;
    }
    return Failed(inj.plan.error);
}
int WSAAPI W_send(vx::SOCKET s, const char *buf, int len, int flags)
{
    if (!Fire(S_send))
        return real.send(s, buf, len, flags);
    if (inj.plan.error == vx::WSAEWOULDBLOCK)
        vx::posix::NoteSendBlocked(static_cast<int>(s)); // FD_WRITE once there is room
    return Failed(inj.plan.error);
}
int WSAAPI W_SendFileRange(vx::SOCKET s, vx::LFILE file, int64_t offset, int len)
{
    if (!Fire(S_SendFileRange))
        return real.SendFileRange(s, file, offset, len);
    if (inj.plan.error == vx::WSAEWOULDBLOCK)
        vx::posix::NoteSendBlocked(static_cast<int>(s));
    return Failed(inj.plan.error);
}
int WSAAPI W_recv(vx::SOCKET s, char *buf, int len, int flags)
{
    if (!Fire(S_recv))
        return real.recv(s, buf, len, flags);
    if (inj.plan.error == vx::WSAEWOULDBLOCK)
        vx::posix::NoteRecv(static_cast<int>(s)); // a recv re-enables FD_READ
    return Failed(inj.plan.error);
}
int WSAAPI W_setsockopt(vx::SOCKET s, int level, int name, const char *value, int len)
{
    return Fire(S_setsockopt) ? Failed(inj.plan.error) : real.setsockopt(s, level, name, value, len);
}
int WSAAPI W_getsockname(vx::SOCKET s, vx::sockaddr *name, int *len)
{
    return Fire(S_getsockname) ? Failed(inj.plan.error) : real.getsockname(s, name, len);
}
int WSAAPI W_shutdown(vx::SOCKET s, int how)
{
    return Fire(S_shutdown) ? Failed(inj.plan.error) : real.shutdown(s, how);
}
int WSAAPI W_closesocket(vx::SOCKET s)
{
    // A close that reports a failure has released the descriptor all the same, as the
    // systems' do; a test that kept it open would only find its own leak.
    int rc = real.closesocket(s);
    return Fire(S_closesocket) ? Failed(inj.plan.error) : rc;
}
int WSAAPI W_WSAAsyncSelect(vx::SOCKET s, HWND hwnd, UINT message, long events)
{
    return Fire(S_WSAAsyncSelect) ? Failed(inj.plan.error) : real.WSAAsyncSelect(s, hwnd, message, events);
}
vx::hostent *WSAAPI W_gethostbyname(const char *name)
{
    if (Fire(S_gethostbyname))
        return Failed(inj.plan.error), nullptr;
    return real.gethostbyname(name);
}
// WS2_32's look-up reports its failure as its result.
int WSAAPI W_getaddrinfo(const char *node, const char *service, const vx::addrinfo *hints, vx::addrinfo **result)
{
    if (Fire(S_getaddrinfo))
        return Failed(inj.plan.error), inj.plan.error;
    return real.getaddrinfo(node, service, hints, result);
}
void WSAAPI W_freeaddrinfo(vx::addrinfo *list) { real.freeaddrinfo(list); }

// The ways each site can fail that the library tells apart.
std::vector<int> ClassesOf(Site s)
{
    switch (s) {
    case S_WSAStartup: return {vx::WSASYSNOTREADY};
    case S_socket: return {vx::WSAEMFILE};
    case S_bind: return {vx::WSAEADDRINUSE, vx::WSAEACCES};
    case S_connect:
        return {vx::WSAENETUNREACH, vx::WSAEWOULDBLOCK, vx::WSAEINTR, vx::WSAEADDRINUSE, vx::WSAECONNREFUSED,
                vx::WSAETIMEDOUT};
    case S_send:
    case S_SendFileRange: return {vx::WSAECONNRESET, vx::WSAEWOULDBLOCK};
    case S_recv: return {vx::WSAECONNRESET, vx::WSAEWOULDBLOCK};
    case S_setsockopt: return {vx::WSAENOPROTOOPT};
    case S_getsockname: return {vx::WSAEINVAL};
    case S_shutdown: return {vx::WSAENOTCONN};
    case S_closesocket: return {vx::WSAEINTR};
    case S_WSAAsyncSelect: return {vx::WSAENOBUFS};
    case S_gethostbyname: return {vx::WSATRY_AGAIN};
    case S_getaddrinfo: return {vx::WSATRY_AGAIN};
    default: return {0};
    }
}

// ---- the requests -------------------------------------------------------------------------

enum class Kind { DataFirst, ControlFirst, CheckOnly, Queue, Removal };
enum class Extra { None, Unprivileged, AddressInUse, Ipv6, NoYield };

struct Variant {
    Kind kind;
    bool shown;
    Extra extra;
};

const char *KindName(Kind k)
{
    switch (k) {
    case Kind::DataFirst: return "print, data file first";
    case Kind::ControlFirst: return "print, control file first";
    case Kind::CheckOnly: return "check-only";
    case Kind::Queue: return "queue listing";
    case Kind::Removal: return "removal";
    }
    return "?";
}

std::string VariantName(const Variant &v)
{
    const char *kinds[] = {"DataFirst", "ControlFirst", "CheckOnly", "Queue", "Removal"};
    std::string name = std::string(kinds[static_cast<int>(v.kind)]) + (v.shown ? "Shown" : "Hidden");
    if (v.extra == Extra::Unprivileged)
        name += "Unprivileged";
    if (v.extra == Extra::AddressInUse)
        name += "AfterAddressInUse";
    if (v.extra == Extra::Ipv6)
        name += "Ipv6";
    if (v.extra == Extra::NoYield)
        name += "NoYield"; // the file moved by the kernel
    return name;
}

// What the sweep expects of a failed call: that the request fails, or that it may still
// succeed because the written logic ignores or retries past that failure.
enum class Expect { Fail, MayPass };

// The calls whose failure the library may go past, and why.  Everything else must fail
// the request with a code and a text.
Expect ExpectationOf(Site s, int error, Kind kind)
{
    switch (s) {
    case S_bind:           // the next reserved port, or one the system chooses
    case S_getsockname:    // only for the trace line of a system-chosen port
    case S_shutdown:       // the close goes on without it
    case S_closesocket:    // nothing to do about it
    case S_SetTimer:       // the wait falls back to the give-up time
    case S_PostMessage:    // a notification that cannot be queued stays due
    case S_LocalTime:      // the job number: the next after the previous job's, or the
    case S_StateOpen:      // process's own rule without the record of the user's
    case S_StateRead:      // other processes
    case S_StateWrite:
    case S_new:            // inside the platform: the call fails as the system's would,
                           // or a list is not grown this time
        return Expect::MayPass;
    case S_setsockopt: // Nagle and linger are ignored; check-only's time-outs are not
        return kind == Kind::CheckOnly ? Expect::Fail : Expect::MayPass;
    case S_connect: // still under way, or a retry from the next port
        return error == vx::WSAEWOULDBLOCK || error == vx::WSAEADDRINUSE ? Expect::MayPass : Expect::Fail;
    case S_send:
    case S_SendFileRange:
    case S_recv: // waited for and tried again; check-only's withdrawal is not checked
        return error == vx::WSAEWOULDBLOCK || (kind == Kind::CheckOnly && s == S_send) ? Expect::MayPass
                                                                                       : Expect::Fail;
    case S_WSAAsyncSelect: // turning the notifications off at the close
        return Expect::MayPass;
    case S_GlobalAlloc:
    case S_GlobalLock: // the caption of a listing is a courtesy
        return kind == Kind::Queue ? Expect::MayPass : Expect::Fail;
    default:
        return Expect::Fail;
    }
}

constexpr size_t CONTENT_SIZE = 10000; // two chunks: the file's loop and its coalescing
const char LISTING[] = "Rank   Owner  Job  Files\nactive tester 42   a.txt\n";

struct RunResult {
    WORD result = 0;
    int32_t code = 0;
    std::string text;
    std::string wire;
    std::vector<std::string> lines;
    bool fired = false;
};

class SweepTest : public LprTest, public ::testing::WithParamInterface<Variant> {
protected:
    void SetUp() override
    {
        LprTest::SetUp();
        content_ = std::string(CONTENT_SIZE, '\0');
        for (size_t i = 0; i < CONTENT_SIZE; i++)
            content_[i] = static_cast<char>('a' + i % 26);
        path_ = File("job.txt", content_);
        InstallProvider();
        previous_ = vx::posix::SetFailHook(FirePrimitive);
        vx::WinsockStartup();
        // One request first, so that what every thread makes once (its queue, the lists
        // of its waits) is there before calls are counted.
        RunResult warm = Run(nullptr);
        ASSERT_EQ(warm.result, LPR_OK) << warm.text;
        baseline_ = Snapshot();
    }
    void TearDown() override
    {
        vx::posix::SetFailHook(previous_);
        vx::posix::SetModule("WS2_32.DLL", ws2previous_);
        scriptedinuse = 0;
        denyreserved = false;
        LprTest::TearDown();
    }

    void InstallProvider()
    {
        const vx::posix::ModuleDef *def = vx::posix::WinsockProvider();
        auto entry = [&](const char *name) {
            for (size_t i = 0; i < def->count; i++)
                if (strcmp(def->exports[i].name, name) == 0)
                    return def->exports[i].proc;
            return static_cast<void (*)()>(nullptr);
        };
#define TAKE(name) real.name = reinterpret_cast<decltype(real.name)>(entry(#name));
        TAKE(WSAStartup) TAKE(WSACleanup) TAKE(socket) TAKE(bind) TAKE(connect) TAKE(send) TAKE(shutdown)
        TAKE(recv) TAKE(closesocket) TAKE(WSAGetLastError) TAKE(WSASetLastError) TAKE(gethostbyname) TAKE(htons)
        TAKE(WSAAsyncSelect) TAKE(setsockopt) TAKE(getsockname) TAKE(SendFileRange)
#undef TAKE
        vx::UnloadWinsock();
#define WRAP(name) .replace(#name, reinterpret_cast<void (*)()>(W_##name))
        provider_ WRAP(WSAStartup) WRAP(socket) WRAP(bind) WRAP(connect) WRAP(send) WRAP(recv) WRAP(setsockopt)
            WRAP(getsockname) WRAP(shutdown) WRAP(closesocket) WRAP(WSAAsyncSelect) WRAP(gethostbyname)
                WRAP(SendFileRange);
#undef WRAP
        provider_.install();
        // The IPv6 look-up of WS2_32 through the same wrappers.
        const vx::posix::ModuleDef *ws2 = vx::posix::SetModule("WS2_32.DLL", &ws2_);
        ws2previous_ = ws2;
        for (size_t i = 0; i < ws2->count; i++) {
            if (strcmp(ws2->exports[i].name, "getaddrinfo") == 0)
                real.getaddrinfo = reinterpret_cast<decltype(real.getaddrinfo)>(ws2->exports[i].proc);
            if (strcmp(ws2->exports[i].name, "freeaddrinfo") == 0)
                real.freeaddrinfo = reinterpret_cast<decltype(real.freeaddrinfo)>(ws2->exports[i].proc);
        }
        ASSERT_EQ(vx::LoadWinsock(), 0);
        ASSERT_NE(vx::hwinsock2, nullptr);
    }

    struct State {
        int descriptors, blocks, starts;
    };
    State Snapshot() const
    {
        return {OpenDescriptors(), vx::posix::GlobalBlocksInUse(), vx::posix::WinsockStartCount()};
    }

    std::vector<PeerStep> Script(const LPR_PRINTARG &p) const
    {
        switch (GetParam().kind) {
        case Kind::CheckOnly: return {Peer::ReadLine(), Peer::Ack(), Peer::ReadToClose()};
        case Kind::Queue: return {Peer::ReadLine(), Peer::Send(LISTING), Peer::Close()};
        case Kind::Removal: return {Peer::ReadLine(), Peer::Send("dfA042client dequeued\n"), Peer::Close()};
        default: {
            // The server closes first after the last acknowledgement, so that the client's
            // reserved ports are not held in TIME_WAIT by thousands of runs.
            std::vector<PeerStep> script = AcceptJob(p, common_, content_.size());
            script.back() = Peer::Close();
            return script;
        }
        }
    }

    // One request of the variant, with `plan` failing one call (null: none); `scripted`:
    // with the variant's address-in-use failures.
    RunResult Run(const Plan *plan, bool scripted = true)
    {
        const Variant &v = GetParam();
        LPR_COMMONARG c = CommonArg();
        // The retries come a second apart, within the connect's reply time-out.
        c.replytimeout = v.extra == Extra::AddressInUse ? 3000 : 1000;
        c.showdialog = v.shown;
        if (v.extra == Extra::NoYield)
            c.debugflags |= LPR_OPT_NOYIELD;
        LPR_PRINTARG p = PrintArg(path_);
        const char *host = v.extra == Extra::Ipv6 ? "[::1]" : "localhost";
        p.host = host;
        p.controlfirst = v.kind == Kind::ControlFirst;
        p.checkonly = v.kind == Kind::CheckOnly;
        memset(&inj, 0, sizeof inj);
        inj.plan = plan != nullptr ? *plan : Plan{SITES, 0, 0};
        // Two retries: the second closes the first replacement, and its own replacement
        // may fail while the first is still the one the dialog watches.
        scriptedinuse = v.extra == Extra::AddressInUse && scripted ? 2 : 0;
        denyreserved = v.extra == Extra::Unprivileged;
        vx::ClearLastErrorText();

        RunResult r;
        char *listing = nullptr;
        FakeLpd lpd(Script(p), 8000, true, v.extra == Extra::Ipv6);
        vx::lpdport = lpd.port();
        armed = true;
        if (v.kind == Kind::Queue) {
            LPR_QUEUEARG q = {host, "lp", &listing};
            r.result = LPR_GetQueue(&q, &c);
        } else if (v.kind == Kind::Removal) {
            LPR_DELETEARG d = {host, "lp", 42};
            r.result = LPR_DeleteJob(&d, &c);
        } else {
            r.result = LPR_Print(&p, &c);
        }
        armed = false;
        r.fired = inj.fired;
        r.code = c.errorcode;
        r.text = LastError();
        for (const char *s = listing; s != nullptr && *s != '\0'; s += strlen(s) + 1)
            r.lines.push_back(s);
        LPR_FreeQueue(&listing);
        if (r.result == LPR_OK)
            lpd.join(); // the exchange is over: the server has all of it
        r.wire = lpd.received();
        LateCancelWritesNothing(c);
        return r;
    }

    // A cancel after the request finds nothing to cancel and writes nothing anywhere.
    void LateCancelWritesNothing(const LPR_COMMONARG &c)
    {
        LPR_COMMONARG before = c;
        if (LPR_CancelBlockingCall() != 1)
            Problem("a late cancel found a request to cancel");
        vx::MSG msg;
        while (vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE))
            vx::DispatchMessageA(&msg);
        if (memcmp(&before, &c, sizeof c) != 0)
            Problem("a late cancel wrote into the finished request's block");
    }

    // Whether what a successful request delivered is whole.
    bool Whole(const RunResult &r, const LPR_PRINTARG &p, const LPR_COMMONARG &c) const
    {
        switch (GetParam().kind) {
        case Kind::CheckOnly: return r.wire == "\x02lp\n\x01\n" || r.wire == "\x02lp\n";
        case Kind::Queue: return r.lines == std::vector<std::string>{"Rank   Owner  Job  Files ", "active tester 42   a.txt "};
        case Kind::Removal: return r.wire == "\x05lp tester 42\n";
        default: return r.wire == JobBytes(p, c, StemOf(r.wire), content_);
        }
    }

    std::string Describe(const Plan &plan) const
    {
        std::ostringstream out;
        out << site_names[plan.site] << " #" << plan.nth;
        if (plan.error != 0)
            out << " (" << plan.error << ")";
        return out.str();
    }

    void Problem(const std::string &what)
    {
        if (problems_.size() < 30)
            problems_.push_back(current_ + ": " + what);
        problemcount_++;
    }

    // Everything a request may hold is given back.
    void ExpectNothingLeft()
    {
        State now = Snapshot();
        if (now.descriptors != baseline_.descriptors)
            Problem("descriptors " + std::to_string(now.descriptors - baseline_.descriptors) + " more");
        if (now.blocks != baseline_.blocks)
            Problem("global blocks left");
        if (now.starts != baseline_.starts)
            Problem("socket-layer starts unbalanced: " + std::to_string(now.starts - baseline_.starts));
        if (vx::posix::LiveWindows() != 0 || vx::posix::ThreadTimers() != 0)
            Problem("a window or a timer left");
        if (vx::posix::PendingMessages() != 0)
            Problem("queued messages left");
        if (vx::ThisRequest().hwndwait.load() != nullptr || vx::ThisRequest().waitinfo.mysocket != 0 || vx::ThisRequest().lperrorcode != nullptr)
            Problem("the wait state is not clear");
    }

    void Judge(const Plan &plan, const RunResult &r)
    {
        const Variant &v = GetParam();
        LPR_PRINTARG p = PrintArg(path_);
        LPR_COMMONARG c = CommonArg();
        p.controlfirst = v.kind == Kind::ControlFirst;
        std::ostringstream key;
        if (r.result == LPR_OK) {
            key << "ok";
            if (ExpectationOf(plan.site, plan.error, v.kind) == Expect::Fail)
                Problem("succeeded, but the failed call may not be ignored");
            if (!Whole(r, p, c))
                Problem("reported success without the whole exchange");
        } else {
            key << r.result << "/" << r.code;
            if (r.code == 0)
                Problem("failed (" + std::to_string(r.result) + ") with errorcode 0");
            // Written: a socket layer that cannot be started, and a listing block that
            // cannot be had, leave the last-error text as it was.
            bool silent = plan.site == S_WSAStartup || (v.kind == Kind::Queue && r.result == LPR_R_NOT_ENOUGH_MEMORY &&
                                                         r.code == LPR_ERR_NO_MEMORY && r.text.empty());
            if (r.text.empty() && !silent)
                Problem("failed (" + key.str() + ") without a text");
            // One rule for the memory the library takes itself, in all three requests.
            bool ownmemory = plan.site == S_GlobalAlloc || plan.site == S_GlobalLock;
            if (ownmemory && (r.result != LPR_R_NOT_ENOUGH_MEMORY || r.code != LPR_ERR_NO_MEMORY))
                Problem("no memory, but failed as " + key.str());
        }
        outcomes_[key.str()]++;
        if (getenv("SWEEP_VERBOSE") != nullptr)
            printf("    %-28s %s %s\n", current_.c_str(), key.str().c_str(), r.text.c_str());
    }

    void NextRequestWorks()
    {
        RunResult next = Run(nullptr, false);
        LPR_PRINTARG p = PrintArg(path_);
        LPR_COMMONARG c = CommonArg();
        p.controlfirst = GetParam().kind == Kind::ControlFirst;
        if (next.result != LPR_OK || !Whole(next, p, c))
            Problem("the next request failed: " + std::to_string(next.result) + " " + next.text);
    }

    std::string content_, path_;
    ProviderOverride provider_;
    const vx::posix::ModuleExport ws2exports_[2] = {
        {"getaddrinfo", reinterpret_cast<void (*)()>(W_getaddrinfo)},
        {"freeaddrinfo", reinterpret_cast<void (*)()>(W_freeaddrinfo)}};
    const vx::posix::ModuleDef ws2_ = {"WS2_32.DLL", ws2exports_, 2};
    const vx::posix::ModuleDef *ws2previous_ = nullptr;
    vx::posix::FailHook previous_ = nullptr;
    State baseline_ = {};
    std::string current_;
    std::vector<std::string> problems_;
    int problemcount_ = 0;
    std::map<std::string, int> outcomes_;
};

TEST_P(SweepTest, EveryFailedCallEndsCleanly)
{
    const Variant &v = GetParam();
    RunResult counted = Run(nullptr);
    ASSERT_EQ(counted.result, LPR_OK) << counted.text;
    Injection census = inj;
    int calls = 0, points = 0, injected = 0;
    for (int s = 0; s < SITES; s++) {
        // After address-in-use failures, only the calls of the retries are swept: the
        // rest is what the other variants sweep, and each run here pauses two seconds.
        int from = 1, to = census.counts[s];
        if (v.extra == Extra::AddressInUse) {
            from = census.retrystart[s] + 1;
            to = census.retryend[s];
        }
        calls += census.counts[s];
        for (int n = from; n <= to; n++) {
            for (int error : ClassesOf(static_cast<Site>(s))) {
                Plan plan = {static_cast<Site>(s), n, error};
                points++;
                current_ = Describe(plan);
                RunResult r = Run(&plan);
                if (!r.fired)
                    continue; // this run made fewer such calls
                injected++;
                Judge(plan, r);
                ExpectNothingLeft();
                NextRequestWorks();
                ExpectNothingLeft();
            }
        }
    }
    std::ostringstream seen;
    for (const auto &o : outcomes_)
        seen << " " << o.first << "x" << o.second;
    printf("| %s | %s%s | %d | %d of %d | %s |\n", KindName(v.kind), v.shown ? "shown" : "hidden",
           v.extra == Extra::Unprivileged   ? ", unprivileged"
           : v.extra == Extra::AddressInUse ? ", two address-in-use retries"
           : v.extra == Extra::Ipv6         ? ", over IPv6"
                                            : "",
           calls, injected, points, seen.str().c_str());
    for (int s = 0; s < SITES; s++)
        if (census.counts[s] != 0)
            printf("    %s: %d\n", site_names[s], census.counts[s]);
    EXPECT_GT(injected, 0);
    EXPECT_EQ(problemcount_, 0) << [&] {
        std::string all;
        for (const std::string &p : problems_)
            all += "\n  " + p;
        return all;
    }();
}

const Variant variants[] = {
    {Kind::DataFirst, false, Extra::None},    {Kind::DataFirst, true, Extra::None},
    {Kind::ControlFirst, false, Extra::None}, {Kind::ControlFirst, true, Extra::None},
    {Kind::CheckOnly, false, Extra::None},    {Kind::CheckOnly, true, Extra::None},
    {Kind::Queue, false, Extra::None},        {Kind::Queue, true, Extra::None},
    {Kind::Removal, false, Extra::None},      {Kind::Removal, true, Extra::None},
    {Kind::DataFirst, false, Extra::Unprivileged},
    {Kind::DataFirst, false, Extra::AddressInUse},
    {Kind::DataFirst, false, Extra::Ipv6},
    {Kind::DataFirst, true, Extra::NoYield},
    {Kind::CheckOnly, false, Extra::Ipv6},
    {Kind::Queue, false, Extra::Ipv6},
};

INSTANTIATE_TEST_SUITE_P(Requests, SweepTest, ::testing::ValuesIn(variants),
                         [](const ::testing::TestParamInfo<Variant> &info) { return VariantName(info.param); });

} // namespace
