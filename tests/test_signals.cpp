// Requests under a timer signal whose handler does not restart system calls, as
// programs with timers (Python among them) install: the signal ends no request, and
// every wait still runs to its own time-out.  And the kernel's file-to-socket transfer,
// which has no flag against SIGPIPE, raises none in the program.
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <memory>

#include "platform/posix/sockshim.h"
#include "support/lpr.h"

using namespace vxtest;
namespace shim = vx::posix::shim;

// <sys/socket.h> would clash with the library's own socket constants.
extern "C" int socketpair(int domain, int type, int protocol, int fds[2]);
constexpr int LOCAL_DOMAIN = 1; // AF_UNIX

namespace {

constexpr long REPLY_TIMEOUT = 1500; // ms

std::atomic<int> alarms; // lock-free, so the handler may count
void OnAlarm(int) { alarms++; }

// SIGALRM every 100 ms while alive, its handler installed without SA_RESTART; the
// disposition and the timer are put back afterwards.
class Alarms {
public:
    Alarms()
    {
        struct sigaction action {};
        action.sa_handler = OnAlarm;
        sigaction(SIGALRM, &action, &oldaction_);
        itimerval every = {{0, 100000}, {0, 100000}};
        setitimer(ITIMER_REAL, &every, &oldtimer_);
    }
    ~Alarms()
    {
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &oldaction_, nullptr);
        setitimer(ITIMER_REAL, &oldtimer_, nullptr);
    }

private:
    struct sigaction oldaction_;
    itimerval oldtimer_;
};

// A listener on 127.0.0.1 whose accept queue is full, so that a connect to it blocks:
// fillers are connected until one gets no answer.
struct FullBacklog {
    uint16_t port = 0;
    int listenfd = ListenLoopback(&port);
    std::vector<int> fillers;
    bool full = false;
    FullBacklog()
    {
        shim::Endpoint to = {false, {127, 0, 0, 1}, 0, shim::HostToNet16(port)};
        for (int i = 0; i < 16 && listenfd >= 0 && !full; i++) {
            fillers.push_back(shim::StreamSocket(false));
            shim::SetNonBlocking(fillers.back(), true);
            shim::Connect(fillers.back(), to);
            shim::PollItem item = {fillers.back(), shim::IO_WRITABLE, 0};
            full = shim::Poll(&item, 1, 200000) == 0;
        }
    }
    ~FullBacklog()
    {
        for (int fd : fillers)
            CloseFd(fd);
        CloseFd(listenfd);
    }
};

// A server's script with a pause before each answer, so that the client waits through
// signals for every one.
std::vector<PeerStep> Slowed(const std::vector<PeerStep> &script)
{
    std::vector<PeerStep> slowed;
    for (const PeerStep &s : script) {
        if (s.kind == PeerStep::SEND)
            slowed.push_back(Peer::Sleep(250));
        slowed.push_back(s);
    }
    return slowed;
}

class SignalTest : public LprTest {};

TEST_F(SignalTest, TimerSignalsEndNoRequest)
{
    enum Server { SILENT, FULL_BACKLOG, SLOW };
    const struct {
        bool checkonly;
        Server server;
    } cases[] = {{true, SILENT},  {true, FULL_BACKLOG},  {true, SLOW},
                 {false, SILENT}, {false, FULL_BACKLOG}, {false, SLOW}};
    const std::string content(100000, 'q');
    const std::string path = File("job.txt", content);
    common_.replytimeout = REPLY_TIMEOUT;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.checkonly ? "check-only" : "print") + ", server " +
                     std::to_string(c.server));
        LPR_PRINTARG p = PrintArg(path);
        p.checkonly = c.checkonly;
        struct Outcome {
            WORD result;
            int32_t errorcode;
            std::string text, wire;
            long ms;
        } runs[2];
        for (bool signals : {false, true}) {
            std::unique_ptr<FakeLpd> lpd;
            std::unique_ptr<FullBacklog> backlog;
            // The servers' threads start with SIGALRM blocked: the signals go to the
            // requesting thread alone.
            sigset_t alarm, old;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            pthread_sigmask(SIG_BLOCK, &alarm, &old);
            if (c.server == FULL_BACKLOG) {
                backlog.reset(new FullBacklog);
                EXPECT_TRUE(backlog->full) << "the accept queue never filled";
                vx::lpdport = backlog->port;
            } else {
                std::vector<PeerStep> script = {Peer::Hold(6000)};
                if (c.server == SLOW && c.checkonly)
                    script = Slowed({Peer::ReadLine(), Peer::Ack(), Peer::ReadToClose()});
                else if (c.server == SLOW)
                    script = Slowed(AcceptJob(p, common_, content.size()));
                lpd.reset(new FakeLpd(script, 10000));
                vx::lpdport = lpd->port();
            }
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            common_.errorcode = 0;
            alarms = 0;
            auto start = std::chrono::steady_clock::now();
            Outcome &o = runs[signals];
            {
                std::unique_ptr<Alarms> timer(signals ? new Alarms : nullptr);
                o.result = LPR_Print(&p, &common_);
            }
            o.ms = Since(start);
            o.errorcode = common_.errorcode;
            o.text = LastError();
            if (signals) {
                EXPECT_GE(alarms.load(), 2) << "the request saw too few signals to tell";
            }
            if (c.server == SLOW) { // the silent server is stopped, not waited for
                lpd->join();
                o.wire = lpd->received();
            }
        }
        const Outcome &quiet = runs[0], &noisy = runs[1];
        EXPECT_EQ(noisy.result, quiet.result) << noisy.text;
        EXPECT_EQ(noisy.errorcode, quiet.errorcode);
        if (c.server == SLOW) {
            EXPECT_EQ(noisy.result, LPR_OK) << noisy.text;
            EXPECT_EQ(noisy.errorcode, 0);
            EXPECT_EQ(noisy.wire, c.checkonly ? std::string("\x02lp\n\x01\n")
                                              : JobBytes(p, common_, StemOf(noisy.wire), content));
        } else {
            // Nobody ever answers: both runs wait the whole reply time-out.
            EXPECT_NE(quiet.result, LPR_OK);
            EXPECT_EQ(noisy.text, quiet.text);
            EXPECT_GE(quiet.ms, REPLY_TIMEOUT - 100);
            EXPECT_GE(noisy.ms, REPLY_TIMEOUT - 100);
            EXPECT_LT(noisy.ms, REPLY_TIMEOUT + 3000);
        }
    }
}

// A live peer gets the file's octets from the offset; a peer gone is an error result
// with SIGPIPE at its default disposition (the test would die of it), and a SIGPIPE the
// program had pending stays pending.
TEST(SendFile, MovesTheOctetsAndAPeerGoneIsAnErrorNotASignal)
{
    char path[] = "/tmp/vexlolpr-sendfile-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    ASSERT_EQ(write(file, "0123456789", 10), 10);
    int pair[2];
    ASSERT_EQ(socketpair(LOCAL_DOMAIN, vx::SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(shim::SendFile(pair[0], file, 3, 5), 5);
    char got[8] = {};
    EXPECT_EQ(read(pair[1], got, sizeof got), 5);
    EXPECT_STREQ(got, "34567");
    EXPECT_EQ(shim::SendFile(pair[0], file, 8, 5), 2) << "up to the file's end";
    EXPECT_EQ(shim::SendFile(pair[0], file, 10, 5), 0) << "the file ended";
    close(pair[1]);
    for (bool pendingbefore : {false, true}) {
        sigset_t pipe, old, pending;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        if (pendingbefore) {
            pthread_sigmask(SIG_BLOCK, &pipe, &old);
            pthread_kill(pthread_self(), SIGPIPE);
        }
        EXPECT_LT(shim::SendFile(pair[0], file, 0, 10), 0) << pendingbefore;
        sigemptyset(&pending);
        sigpending(&pending);
        EXPECT_EQ(sigismember(&pending, SIGPIPE) == 1, pendingbefore);
        if (pendingbefore) {
            timespec now = {0, 0};
            sigtimedwait(&pipe, nullptr, &now);
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
    }
    close(pair[0]);
    close(file);
}

} // namespace
