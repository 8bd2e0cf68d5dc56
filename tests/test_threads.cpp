// Requests from several threads: they take turns (a request of another thread waits for
// the running one, bounded by its lprtimeout, with its own messages flowing, or fails
// as a request that finds the status dialog busy), and cancels from another thread or
// from a thread woken by a signal, at random moments of a transfer, end every request
// with a written result and leave nothing behind.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// An LPD on loopback that takes any number of connections one after the other, answers
// every command and subcommand with a zero octet, and counts the jobs whose files all
// arrived whole.  `pause_ms` holds back each final acknowledgement, so that a job lasts
// at least that long.
class SinkLpd {
public:
    explicit SinkLpd(int pause_ms = 0) : pause_ms_(pause_ms)
    {
        signal(SIGPIPE, SIG_IGN); // a client that broke off is seen as a failed write
        listenfd_ = ListenLoopback(&port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~SinkLpd()
    {
        stop_ = true;
        thread_.join();
        CloseFd(listenfd_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    int jobs() const { return jobs_; }
    int connections() const { return connections_; }
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
            if (fd >= 0) {
                if (Serve(fd))
                    jobs_++;
                CloseFd(fd);
            }
            served_++;
        }
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
            if (stop_ || poll(&p, 1, 5000) <= 0)
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
    int listenfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> jobs_{0};
    std::atomic<int> connections_{0};
    std::atomic<int> served_{0};
    std::atomic<int> acks_{0};
    std::thread thread_;
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

TEST_F(ThreadsTest, AnotherThreadsRequestWaitsForItsTurn)
{
    SinkLpd slow(800), other;
    LPR_PRINTARG first = PrintTo(File("first.txt", "first job\n"), slow.host());
    LPR_PRINTARG second = PrintTo(File("second.txt", "second job\n"), other.host());
    Outcome a, b;
    std::thread ta([&] {
        LPR_COMMONARG common = CommonArg();
        common.replytimeout = 10000;
        a.ret = LPR_Print(&first, &common);
        a.errorcode = common.errorcode;
    });
    // The second starts once the first holds the status dialog.
    for (int i = 0; i < 500 && vx::hwndwait.load() == nullptr; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_NE(vx::hwndwait.load(), nullptr);
    bool overlapped = false;
    std::thread tb([&] {
        LPR_COMMONARG common = CommonArg();
        common.lprtimeout = 10;
        auto start = Clock::now();
        b.ret = LPR_Print(&second, &common);
        b.elapsed = MsSince(start);
        b.errorcode = common.errorcode;
        // The first job's fifth and last acknowledgement comes after the slow server's
        // pause; the first request gives up its turn only once it has it.
        overlapped = slow.acks() < 5;
    });
    ta.join();
    tb.join();
    EXPECT_EQ(a.ret, LPR_OK);
    EXPECT_EQ(b.ret, LPR_OK) << Text();
    EXPECT_EQ(b.errorcode, 0);
    EXPECT_FALSE(overlapped) << "the second request ended before the first was through";
    EXPECT_GE(b.elapsed, 300) << "the second request did not wait";
    EXPECT_EQ(slow.jobs(), 1);
    EXPECT_EQ(other.jobs(), 1);
}

// Out of patience: the written busy result, nothing sent, the first request unharmed.
TEST_F(ThreadsTest, RequestThatRunsOutOfPatienceFailsAsBusy)
{
    SinkLpd slow(2500), other;
    LPR_PRINTARG first = PrintTo(File("first.txt", "first job\n"), slow.host());
    Outcome a;
    std::thread ta([&] {
        LPR_COMMONARG common = CommonArg();
        common.replytimeout = 10000;
        a.ret = LPR_Print(&first, &common);
        a.errorcode = common.errorcode;
    });
    for (int i = 0; i < 500 && vx::hwndwait.load() == nullptr; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_NE(vx::hwndwait.load(), nullptr);

    struct Case {
        const char *what;
        std::function<WORD(LPR_COMMONARG *)> call;
    };
    char *listing = reinterpret_cast<char *>(1);
    LPR_PRINTARG second = PrintTo(File("second.txt", "second job\n"), other.host());
    LPR_QUEUEARG q = {hosts_.back().c_str(), "lp", &listing};
    LPR_DELETEARG d = {hosts_.back().c_str(), "lp", 123};
    std::vector<Case> cases = {
        {"print", [&](LPR_COMMONARG *c) { return LPR_Print(&second, c); }},
        {"queue", [&](LPR_COMMONARG *c) { return LPR_GetQueue(&q, c); }},
        {"remove", [&](LPR_COMMONARG *c) { return LPR_DeleteJob(&d, c); }},
    };
    for (const Case &c : cases) {
        Outcome b;
        std::thread tb([&] {
            LPR_COMMONARG common = CommonArg();
            common.lprtimeout = 0;
            auto start = Clock::now();
            b.ret = c.call(&common);
            b.elapsed = MsSince(start);
            b.errorcode = common.errorcode;
        });
        tb.join();
        EXPECT_EQ(b.ret, LPR_R_UNEXP_NET_ERR) << c.what;
        EXPECT_EQ(b.errorcode, LPR_ERR_NETWORK) << c.what;
        EXPECT_EQ(Text(), "Network error") << c.what;
        EXPECT_LT(b.elapsed, 500) << c.what << ": no patience, no waiting";
    }
    EXPECT_EQ(listing, nullptr) << "a failed listing request leaves NULL behind";

    // With patience of one second, the failure comes after that second; the waiting
    // thread traces by its own switch and leaves the running request's alone.
    Outcome b;
    DebugCapture capture;
    std::thread tb([&] {
        LPR_COMMONARG common = CommonArg(LPR_DEBUG_TRACE);
        common.lprtimeout = 1;
        auto start = Clock::now();
        b.ret = LPR_Print(&second, &common);
        b.elapsed = MsSince(start);
        b.errorcode = common.errorcode;
    });
    tb.join();
    EXPECT_EQ(b.ret, LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(b.errorcode, LPR_ERR_NETWORK);
    EXPECT_GE(b.elapsed, 950);
    EXPECT_LT(b.elapsed, 2000);
    EXPECT_TRUE(capture.contains("VEXLOLPR TakeTurn() : WAITING lpr-timeout=1 sec. for the request of another thread"));
    EXPECT_TRUE(capture.contains("VEXLOLPR ERROR TakeTurn() exited... the request of another thread still runs"));
    EXPECT_FALSE(capture.contains("LPR_Print() entered")) << "the running request traces nothing";
    EXPECT_EQ(vx::traceflags.load(), 0) << "the switch is the running request's";
    ta.join();
    EXPECT_EQ(a.ret, LPR_OK);
    EXPECT_EQ(a.errorcode, 0);
    EXPECT_EQ(slow.jobs(), 1);
    EXPECT_EQ(other.connections(), 0) << "a request that did not get its turn sent nothing";
}

// While a thread waits for its turn, its own windows go on getting their messages, and
// a WM_QUIT it meets is put back for the application's own loop.
constexpr UINT WM_APP_PING = vx::WM_USER + 77;
std::atomic<int> delivered;
vx::LRESULT WINAPI CountingProc(HWND, UINT msg, WPARAM, LPARAM)
{
    if (msg == WM_APP_PING)
        delivered++;
    return 0;
}

TEST_F(ThreadsTest, WaitingThreadKeepsItsMessagesFlowing)
{
    SinkLpd slow(1500), other;
    LPR_PRINTARG first = PrintTo(File("first.txt", "first job\n"), slow.host());
    LPR_PRINTARG second = PrintTo(File("second.txt", "second job\n"), other.host());
    std::thread ta([&] {
        LPR_COMMONARG common = CommonArg();
        common.replytimeout = 10000;
        EXPECT_EQ(LPR_Print(&first, &common), LPR_OK);
    });
    for (int i = 0; i < 500 && vx::hwndwait.load() == nullptr; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_NE(vx::hwndwait.load(), nullptr);
    delivered = 0;
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> waiting{false};
    bool quitkept = false;
    int deliveredwhilewaiting = -1;
    Outcome b;
    std::thread tb([&] {
        window = vx::posix::CreateTestWindow(CountingProc);
        LPR_COMMONARG common = CommonArg();
        common.lprtimeout = 10;
        waiting = true;
        b.ret = LPR_Print(&second, &common);
        deliveredwhilewaiting = delivered;
        vx::MSG msg;
        quitkept = vx::PeekMessageA(&msg, 0, 0, 0, vx::PM_REMOVE) && msg.message == vx::WM_QUIT && msg.wParam == 7;
        vx::DestroyWindow(window);
    });
    for (int i = 0; i < 500 && !waiting; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 3; i++)
        vx::PostMessageA(window, WM_APP_PING, 0, 0);
    vx::PostMessageA(window, vx::WM_QUIT, 7, 0);
    ta.join();
    tb.join();
    EXPECT_EQ(b.ret, LPR_OK);
    EXPECT_EQ(deliveredwhilewaiting, 3);
    EXPECT_TRUE(quitkept) << "the WM_QUIT met while waiting is posted again";
    EXPECT_EQ(other.jobs(), 1);
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
        ASSERT_EQ(vx::hwndwait.load(), nullptr) << "round " << round;
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
