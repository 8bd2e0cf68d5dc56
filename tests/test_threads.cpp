// Requests from several threads: they run at the same time, a stuck one holds up no
// other, each cancel reaches the requests it names, a request started inside a running
// one on its thread fails as busy, each thread reads its own error text; and cancels
// from another thread or from a thread woken by a signal, at random moments of a
// transfer, end every request with a written result and leave nothing behind.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "platform/posix/posix.h"
#include "support/lpr.h"
#include "support/rawsock.h"

using namespace vxtest;
using Clock = std::chrono::steady_clock;

namespace {

long MsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// An LPD on loopback that serves every connection at once, each on a thread of its own,
// answers every command and subcommand with a zero octet, and counts the jobs whose
// files all arrived whole.  `pause_ms` holds back each final acknowledgement, so that a
// job lasts at least that long; a silent one accepts and never answers.
class SinkLpd {
public:
    enum Mode { SINK, SILENT };
    explicit SinkLpd(int pause_ms = 0, Mode mode = SINK) : pause_ms_(pause_ms), mode_(mode)
    {
        signal(SIGPIPE, SIG_IGN); // a client that broke off is seen as a failed write
        listenfd_ = ListenLoopback(&port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~SinkLpd()
    {
        stop_ = true;
        thread_.join();
        for (std::thread &t : served_threads_)
            t.join();
        CloseFd(listenfd_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    int jobs() const { return jobs_; }
    int connections() const { return connections_; }
    int most_at_once() const { return most_; }
    // Acknowledgements sent, each counted before it goes out: a client that has one has
    // it counted.
    int acks() const { return acks_; }
    // Waits (up to 2 s) until no connection waits in the listen queue and every one taken
    // is over and its descriptor closed, so that counting the process's descriptors sees
    // none of the server's.  The queue is looked at first: a connection gone from it was
    // counted before its accept.
    void WaitIdle() const
    {
        for (int i = 0; i < 200 && (Pending() || served_ < connections_); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

private:
    void Run()
    {
        auto start = Clock::now();
        while (!stop_ && MsSince(start) < 120000) {
            pollfd p = {listenfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            connections_++; // before the accept takes it out of the listen queue
            int fd = AcceptOne(listenfd_);
            if (fd < 0) {
                served_++;
                continue;
            }
            served_threads_.emplace_back([this, fd] {
                int now = ++active_;
                for (int most = most_; now > most && !most_.compare_exchange_weak(most, now);)
                    ;
                if (mode_ == SILENT)
                    Hold(fd);
                else if (Serve(fd))
                    jobs_++;
                active_--;
                CloseFd(fd);
                served_++;
            });
        }
    }
    // Takes what comes and answers nothing, until the client goes or the server stops.
    void Hold(int fd)
    {
        char c;
        while (Read(fd, &c, 1))
            ;
    }
    bool Pending() const
    {
        pollfd p = {listenfd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    // Reads into `line` up to a LF; false when the client went away first.
    bool ReadLine(int fd, std::string *line)
    {
        line->clear();
        char c;
        while (Read(fd, &c, 1)) {
            *line += c;
            if (c == '\n')
                return true;
        }
        return false;
    }
    bool Read(int fd, char *buf, size_t n)
    {
        while (n > 0) {
            pollfd p = {fd, POLLIN, 0};
            int ready = 0;
            for (int waited = 0; !stop_ && waited < 30000 && (ready = poll(&p, 1, 50)) == 0; waited += 50)
                ;
            if (ready <= 0)
                return false;
            long got = ReadSome(fd, buf, n);
            if (got <= 0)
                return false;
            buf += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    bool Ack(int fd)
    {
        acks_++;
        return WriteAll(fd, "", 1) == 1;
    }
    bool Serve(int fd)
    {
        std::string line;
        if (!ReadLine(fd, &line) || line[0] != '\x02' || !Ack(fd))
            return false;
        int files = 0;
        std::vector<char> buf(65536);
        while (ReadLine(fd, &line)) {
            unsigned long long count = strtoull(line.c_str() + 1, nullptr, 10);
            if (!Ack(fd))
                return false;
            for (unsigned long long left = count + 1; left > 0;) {
                size_t n = left < buf.size() ? static_cast<size_t>(left) : buf.size();
                if (!Read(fd, buf.data(), n))
                    return false;
                left -= n;
            }
            if (++files == 2 && pause_ms_ > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
            if (!Ack(fd))
                return false;
        }
        return files == 2;
    }

    int pause_ms_;
    Mode mode_;
    int listenfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> jobs_{0};
    std::atomic<int> connections_{0};
    std::atomic<int> served_{0};
    std::atomic<int> acks_{0};
    std::atomic<int> active_{0};
    std::atomic<int> most_{0};
    std::thread thread_;
    std::vector<std::thread> served_threads_; // touched by the accepting thread alone
};

class ThreadsTest : public LprTest {
protected:
    // A print record for `path` on queue "lp" of `host` (kept alive by the fixture).
    LPR_PRINTARG PrintTo(const std::string &path, const std::string &host)
    {
        LPR_PRINTARG p = PrintArg(path);
        hosts_.push_back(host);
        p.host = hosts_.back().c_str();
        return p;
    }
    static std::string Text()
    {
        char buf[512];
        LPR_GetLastErrorText(buf, sizeof buf);
        return buf;
    }
    std::deque<std::string> hosts_;
};

struct Outcome {
    WORD ret = 0xFFFF;
    int32_t errorcode = -1;
    long elapsed = 0;
};

// Runs one print request on a thread of its own; `before` runs first on that thread.
std::thread PrintOn(LPR_PRINTARG *p, LPR_COMMONARG *common, Outcome *out, std::function<void()> before = nullptr)
{
    return std::thread([=] {
        if (before)
            before();
        auto start = Clock::now();
        out->ret = LPR_Print(p, common);
        out->elapsed = MsSince(start);
        out->errorcode = common->errorcode;
    });
}

// Requests of the process that hold a status dialog now, on any thread.
int RequestsWithDialogs()
{
    vx::Guard guard(vx::threadlock);
    int n = 0;
    for (const vx::ThreadState *state = vx::threads; state != nullptr; state = state->next)
        for (const vx::Request *r = state->current; r != nullptr; r = r->outer)
            n += r->hwndwait.load() != nullptr && r->hwndwait.load() != vx::HWND_CLAIMED;
    return n;
}

bool WaitForDialogs(int n)
{
    for (int i = 0; i < 1000 && RequestsWithDialogs() < n; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return RequestsWithDialogs() >= n;
}

// One thread held by a printer that never answers, four others printing to a slow one
// at the same time: theirs all go through, side by side, while the first still waits.
TEST_F(ThreadsTest, OneStuckPrinterHoldsUpNobodyElse)
{
    constexpr int THREADS = 4, JOBS = 2;
    SinkLpd stuck(0, SinkLpd::SILENT), slow(300);
    LPR_PRINTARG held = PrintTo(File("held.txt", "held job\n"), stuck.host());
    LPR_COMMONARG heldcommon = CommonArg();
    heldcommon.replytimeout = 4000;
    Outcome heldout;
    std::atomic<bool> heldover{false};
    std::thread heldthread([&] {
        heldout.ret = LPR_Print(&held, &heldcommon);
        heldover = true;
    });
    ASSERT_TRUE(WaitForDialogs(1));
    const LPR_PRINTARG job = PrintTo(File("healthy.txt", "healthy job\n"), slow.host());
    std::atomic<int> ok{0}, whileheld{0};
    std::vector<std::thread> healthy;
    for (int t = 0; t < THREADS; t++)
        healthy.emplace_back([&] {
            for (int j = 0; j < JOBS; j++) {
                LPR_PRINTARG p = job;
                LPR_COMMONARG common = CommonArg();
                WORD ret = LPR_Print(&p, &common);
                EXPECT_EQ(ret, LPR_OK) << common.errorcode << " " << Text();
                ok += ret == LPR_OK && common.errorcode == 0;
                whileheld += heldover ? 0 : 1;
            }
        });
    for (std::thread &t : healthy)
        t.join();
    heldthread.join();
    EXPECT_EQ(ok, THREADS * JOBS);
    EXPECT_EQ(whileheld, THREADS * JOBS) << "a healthy job waited for the stuck one";
    EXPECT_GE(slow.most_at_once(), 2) << "the slow printer's jobs went one after the other";
    EXPECT_EQ(heldout.ret, LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(stuck.jobs(), 0);
}

// Each kind of cancel reaches the requests it names and no other: two threads wait for
// silent printers, A for 6 s and B for 2.5 s; a cancel ends A within its one-second read
// slice, B ends by its own time-out unless the cancel named it too.
TEST_F(ThreadsTest, CancelsReachTheirRequestsOnly)
{
    enum Kind { ONE_REQUEST, EVERY_REQUEST, FROM_A_LOOP };
    struct Case {
        const char *what;
        Kind kind;
        bool bcancelled;
    } cases[] = {
        {"LPR_CancelRequest of A's block", ONE_REQUEST, false},
        {"LPR_CancelBlockingCall from a third thread", EVERY_REQUEST, true},
        {"LPR_CancelBlockingCall from A's message loop", FROM_A_LOOP, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SinkLpd silenta(0, SinkLpd::SILENT), silentb(0, SinkLpd::SILENT);
        LPR_PRINTARG pa = PrintTo(File("a.txt", "a\n"), silenta.host());
        LPR_PRINTARG pb = PrintTo(File("b.txt", "b\n"), silentb.host());
        LPR_COMMONARG ca = CommonArg(), cb = CommonArg();
        ca.replytimeout = 6000;
        cb.replytimeout = 2500;
        Outcome a, b;
        HWND window = nullptr;
        auto timer = [&] {
            // A window of A's thread whose timer presses Cancel from A's message loop.
            window = vx::posix::CreateTestWindow([](HWND hwnd, UINT msg, WPARAM, LPARAM) -> vx::LRESULT {
                if (msg == vx::WM_TIMER) {
                    vx::KillTimer(hwnd, 1);
                    LPR_CancelBlockingCall();
                }
                return 0;
            });
            vx::SetTimer(window, 1, 300, nullptr);
        };
        std::thread ta = PrintOn(&pa, &ca, &a, c.kind == FROM_A_LOOP ? std::function<void()>(timer) : nullptr);
        std::thread tb = PrintOn(&pb, &cb, &b);
        ASSERT_TRUE(WaitForDialogs(2));
        if (c.kind == ONE_REQUEST) {
            EXPECT_EQ(LPR_CancelRequest(&ca), 0);
        } else if (c.kind == EVERY_REQUEST) {
            EXPECT_EQ(LPR_CancelBlockingCall(), 0);
        }
        ta.join();
        tb.join();
        if (window != nullptr)
            vx::DestroyWindow(window);
        EXPECT_EQ(a.ret, LPR_R_UNEXP_NET_ERR);
        EXPECT_EQ(a.errorcode, LPR_ERR_CANCELLED);
        EXPECT_LT(a.elapsed, 4000) << "A ran into its time-out instead";
        EXPECT_EQ(b.ret, LPR_R_UNEXP_NET_ERR);
        EXPECT_EQ(b.errorcode == LPR_ERR_CANCELLED, c.bcancelled) << b.errorcode;
    }
    LPR_COMMONARG none = CommonArg();
    EXPECT_EQ(LPR_CancelRequest(&none), 1) << "a block that no request runs with";
    EXPECT_EQ(LPR_CancelRequest(nullptr), 1);
    EXPECT_EQ(LPR_CancelBlockingCall(), 1);
}

// A request started from inside a running one on the same thread (here by a timer of
// the thread's own window) cannot run while the outer one waits: it waits lprtimeout
// seconds for the status display and fails as busy, having sent nothing; the outer one
// then goes on unharmed.
TEST_F(ThreadsTest, RequestInsideARunningOneFailsAsBusy)
{
    SinkLpd slow(1800), other;
    LPR_PRINTARG outer = PrintTo(File("outer.txt", "outer job\n"), slow.host());
    static LPR_PRINTARG inner;
    inner = PrintTo(File("inner.txt", "inner job\n"), other.host());
    static Outcome nested;
    nested = Outcome();
    LPR_COMMONARG common = CommonArg();
    common.replytimeout = 10000;
    HWND window = vx::posix::CreateTestWindow([](HWND hwnd, UINT msg, WPARAM, LPARAM) -> vx::LRESULT {
        if (msg == vx::WM_TIMER) {
            vx::KillTimer(hwnd, 1);
            LPR_COMMONARG c = CommonArg();
            c.lprtimeout = 1;
            auto start = Clock::now();
            nested.ret = LPR_Print(&inner, &c);
            nested.elapsed = MsSince(start);
            nested.errorcode = c.errorcode;
        }
        return 0;
    });
    vx::SetTimer(window, 1, 200, nullptr);
    EXPECT_EQ(LPR_Print(&outer, &common), LPR_OK);
    vx::DestroyWindow(window);
    EXPECT_EQ(common.errorcode, 0);
    EXPECT_EQ(nested.ret, LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(nested.errorcode, LPR_ERR_NETWORK);
    EXPECT_GE(nested.elapsed, 950);
    EXPECT_EQ(other.connections(), 0) << "the nested request sent something";
    EXPECT_EQ(slow.jobs(), 1);
}

// A thread whose state (the one block the library takes for it) cannot be had fails
// its request by the memory rule, having sent nothing; its next request works.
TEST_F(ThreadsTest, AThreadWithoutItsStateFailsAsOutOfMemory)
{
    SinkLpd lpd;
    LPR_PRINTARG p = PrintTo(File("m.txt", "m\n"), lpd.host());
    char *listing = nullptr;
    LPR_QUEUEARG q = {p.host, "lp", &listing};
    LPR_DELETEARG d = {p.host, "lp", 123};
    struct Case {
        const char *what;
        std::function<WORD(LPR_COMMONARG *)> call;
    } cases[] = {
        {"print", [&](LPR_COMMONARG *c) { return LPR_Print(&p, c); }},
        {"queue", [&](LPR_COMMONARG *c) { return LPR_GetQueue(&q, c); }},
        {"remove", [&](LPR_COMMONARG *c) { return LPR_DeleteJob(&d, c); }},
    };
    for (const Case &c : cases) {
        Outcome first, next;
        std::string text;
        std::thread([&] {
            LPR_COMMONARG common = CommonArg();
            vx::posix::FailGlobalAllocAt(1);
            first.ret = c.call(&common);
            first.errorcode = common.errorcode;
            text = Text();
            vx::posix::FailGlobalAllocAt(0);
            LPR_COMMONARG again = CommonArg();
            next.ret = LPR_Print(&p, &again);
        }).join();
        EXPECT_EQ(first.ret, LPR_R_NOT_ENOUGH_MEMORY) << c.what;
        EXPECT_EQ(first.errorcode, LPR_ERR_NO_MEMORY) << c.what;
        EXPECT_EQ(text, "Insufficient memory") << c.what;
        EXPECT_EQ(next.ret, LPR_OK) << c.what;
    }
    EXPECT_EQ(listing, nullptr);
    lpd.WaitIdle();
    EXPECT_EQ(lpd.connections(), 3) << "only the requests after the failures connected";
}

// Each thread reads the text of its own latest failure, whatever the others do
// meanwhile; a thread that has had none reads the process's latest.
TEST_F(ThreadsTest, EachThreadReadsItsOwnErrorText)
{
    constexpr int ROUNDS = 300;
    struct Side {
        const char *host;
        std::string first; // the text after the first round
        int foreign;
    } sides[] = {{"[zz]", "", 0}, {"127.0.0.1:1", "", 0}};
    std::vector<std::thread> threads;
    for (Side &side : sides)
        threads.emplace_back([&side] {
            LPR_PRINTARG p = {};
            p.host = side.host;
            p.printer = "lp";
            p.checkonly = 1;
            for (int round = 0; round < ROUNDS; round++) {
                LPR_COMMONARG common = CommonArg();
                LPR_Print(&p, &common);
                std::string text = Text();
                if (round == 0)
                    side.first = text;
                else
                    side.foreign += text != side.first;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_NE(sides[0].first, sides[1].first);
    EXPECT_EQ(sides[0].foreign, 0) << sides[0].first;
    EXPECT_EQ(sides[1].foreign, 0) << sides[1].first;
    std::string fresh;
    std::thread([&] { fresh = Text(); }).join();
    EXPECT_TRUE(fresh == sides[0].first || fresh == sides[1].first) << fresh;
}

// Several threads printing at once: every job arrives whole, once, and the state that
// the requests share stays sound (this suite also runs under ThreadSanitizer).
TEST_F(ThreadsTest, SeveralThreadsPrintingAtOnce)
{
    constexpr int THREADS = 4, JOBS = 6;
    SinkLpd lpd;
    std::string content(30000, 't');
    std::string path = File("shared.txt", content);
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    int before = OpenDescriptors();
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&, t] {
            std::string host = lpd.host();
            for (int j = 0; j < JOBS; j++) {
                LPR_PRINTARG p = {};
                p.filename = path.c_str();
                p.host = host.c_str();
                p.printer = "lp";
                p.copies = 1;
                p.format = 'f';
                p.controlfirst = (t + j) % 2;
                LPR_COMMONARG common = CommonArg();
                common.lprtimeout = 60;
                if (LPR_Print(&p, &common) == LPR_OK && common.errorcode == 0)
                    ok++;
                char text[256];
                LPR_GetLastErrorText(text, sizeof text); // read while others write
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(ok, THREADS * JOBS);
    for (int i = 0; i < 200 && lpd.jobs() < THREADS * JOBS; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(lpd.jobs(), THREADS * JOBS);
    lpd.WaitIdle();
    EXPECT_EQ(OpenDescriptors(), before);
}

// ---- cancels at random moments ----------------------------------------------------------

// Every request ends with a written result: success, or the result of the step the
// cancel interrupted with errorcode 4601; nothing else can go wrong against this server.
// A cancel that comes after the last write is seen by no later step: the job is whole
// at the server and the request succeeds, with the cancel's mark in errorcode.
void ExpectWrittenEnd(WORD ret, int32_t errorcode, int round)
{
    if (ret == LPR_OK) {
        EXPECT_TRUE(errorcode == 0 || errorcode == LPR_ERR_CANCELLED) << "round " << round << ": " << errorcode;
        return;
    }
    EXPECT_TRUE(ret == LPR_R_UNEXP_NET_ERR || ret == LPR_R_GEN_FAILURE) << "round " << round << ": " << ret;
    EXPECT_EQ(errorcode, LPR_ERR_CANCELLED) << "round " << round;
}

class RandomCancelTest : public ThreadsTest, public ::testing::WithParamInterface<bool> {};

sigset_t CancelSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

TEST_P(RandomCancelTest, ThousandCancelsAtRandomMomentsLeaveNothingBehind)
{
    const bool viasignal = GetParam();
    constexpr int ROUNDS = 500; // two instances: 1000 in all
    SinkLpd lpd;
    // Eight chunks, each followed by the tick of the message loop: the job lasts some
    // 10 ms (several times that under a sanitizer or load), and the cancels fall on every
    // step of it and a little beyond.
    std::string path = File("cancel.bin", std::string(64 * 1024, 'c'));
    LPR_PRINTARG p = PrintTo(path, lpd.host());
    int before = OpenDescriptors();
    int blocks = vx::posix::GlobalBlocksInUse();
    int windows = vx::posix::LiveWindows();

    // The signal-driven canceller: a thread that sleeps in sigwait and cancels on each
    // SIGUSR1, as a program's Ctrl-C thread does.  The signal is blocked in every
    // thread made from here on, so only sigwait takes it.
    sigset_t set = CancelSignal();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    std::atomic<bool> done{false};
    std::atomic<int> cancels{0};
    std::thread sigthread;
    if (viasignal)
        sigthread = std::thread([&] {
            for (;;) {
                int sig = 0;
                sigwait(&set, &sig);
                if (done)
                    return;
                LPR_CancelBlockingCall();
                cancels++;
            }
        });
    pthread_t sigtid = viasignal ? sigthread.native_handle() : pthread_t{};

    std::mt19937 random(viasignal ? 1179 : 515);
    // The delays reach up to `span` microseconds, which follows the job's length on this
    // machine: it grows a little after each request that failed and shrinks after each
    // that succeeded, so that about a quarter of the cancels come after the job
    // (0.25 ln 0.97 + 0.75 ln 1.01 is about 0).
    double span = 14000;
    int succeeded = 0, cancelled = 0;
    auto start = Clock::now();
    for (int round = 0; round < ROUNDS && MsSince(start) < 45000; round++) {
        int us = std::uniform_int_distribution<int>(0, static_cast<int>(span))(random);
        std::atomic<bool> requestdone{false};
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(us));
            if (requestdone)
                return;
            if (viasignal)
                pthread_kill(sigtid, SIGUSR1);
            else if (LPR_CancelBlockingCall() == 0)
                cancels++;
        });
        LPR_COMMONARG common = CommonArg();
        common.replytimeout = 5000;
        common.lprtimeout = 10;
        WORD ret = LPR_Print(&p, &common);
        requestdone = true;
        canceller.join();
        ExpectWrittenEnd(ret, common.errorcode, round);
        (ret == LPR_OK ? succeeded : cancelled)++;
        span = std::min(span * (ret == LPR_OK ? 0.97 : 1.01), 1e6);
        ASSERT_EQ(vx::ThisRequest().hwndwait.load(), nullptr) << "round " << round;
        if (HasFailure())
            break;
    }
    if (viasignal) {
        done = true;
        pthread_kill(sigtid, SIGUSR1);
        sigthread.join();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(succeeded + cancelled, ROUNDS) << "ran out of time";
    EXPECT_GT(cancelled, ROUNDS / 10) << "the cancels hardly ever landed";
    EXPECT_GT(succeeded, 0) << "no request outran its cancel";
    lpd.WaitIdle();
    EXPECT_GE(lpd.jobs(), succeeded) << "a success that the server did not get whole";
    EXPECT_EQ(OpenDescriptors(), before) << "descriptors left open";
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), blocks) << "global blocks left";
    EXPECT_EQ(vx::posix::LiveWindows(), windows) << "windows left";
    RecordProperty("succeeded", succeeded);
    RecordProperty("cancelled", cancelled);
}

INSTANTIATE_TEST_SUITE_P(From, RandomCancelTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "SignalThread" : "AnotherThread";
                         });

} // namespace
