// Print jobs against the fake LPD: the wire bytes of both orders and of the check-only
// mode, the control file, the job number, refusals and acknowledgements, failures.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <vector>

#include "support/lpr.h"

using namespace vxtest;

namespace {

// ---- pure parts -----------------------------------------------------------------------

std::string Control(vx::ControlFileArgs a)
{
    std::string text(vx::BuildControlFile(a, nullptr) + 1, '#');
    size_t n = vx::BuildControlFile(a, &text[0]);
    EXPECT_EQ(text[n], '\0');
    text.resize(n);
    return text;
}

TEST(ControlFile, TheWorkedExample)
{
    vx::ControlFileArgs a = {"ws1", "ann", "C:\\A.TXT", "fA107ws1", 2, 'f', nullptr, "ws1", 0};
    std::string text = Control(a);
    EXPECT_EQ(text, "Hws1\nPann\nJC:\\A.TXT\nCws1\nLann\nfdfA107ws1\nfdfA107ws1\nUdfA107ws1\nNC:\\A.TXT\n");
    EXPECT_EQ(text.size(), 73u);
}

TEST(ControlFile, BannerCopiesAndFormats)
{
    vx::ControlFileArgs a = {"h", "u", "/f", "fA001h", 0, 'l', "job", nullptr, 0};
    EXPECT_EQ(Control(a), "Hh\nPu\nJjob\nLu\nUdfA001h\nN/f\n") << "no copies, no class line";
    a.nobanner = 1;
    a.bannerclass = "cls";
    a.copies = 1;
    EXPECT_EQ(Control(a), "Hh\nPu\nJjob\nldfA001h\nUdfA001h\nN/f\n") << "no banner: neither C nor L";
    a.nobanner = 0;
    a.format = 'p';
    a.copies = 3;
    EXPECT_EQ(Control(a), "Hh\nPu\nJjob\nCcls\nLu\nT/f\npdfA001h\nT/f\npdfA001h\nT/f\npdfA001h\nUdfA001h\nN/f\n");
}

TEST(ControlFile, ControlCharactersCannotForgeLines)
{
    vx::ControlFileArgs a = {"h", "u", "/tmp/a\nUdfA999evil\n", "fA001h", 1, '\n', "j\x01", "c\r", 0};
    std::string text = Control(a);
    EXPECT_EQ(text, "Hh\nPu\nJj?\nCc?\nLu\n?dfA001h\nUdfA001h\nN/tmp/a?UdfA999evil?\n");
}

TEST(ControlFile, SixtyFiveThousandCopiesFitWithTheirTrueCount)
{
    vx::ControlFileArgs a = {"h", "u", "/f", "fA001h", 65535, 'f', nullptr, nullptr, 1};
    size_t n = vx::BuildControlFile(a, nullptr);
    EXPECT_EQ(n, std::string("Hh\nPu\nJ/f\nUdfA001h\nN/f\n").size() + 65535u * strlen("fdfA001h\n"));
    EXPECT_EQ(Control(a).size(), n);
}

// The record of the numbers handed out lies in a directory of the test's own, so that
// the user's other jobs do not move these numbers.
class JobNumber : public ::testing::Test {
protected:
    static constexpr int64_t T = 1765180000; // seconds since 1970
    void SetUp() override
    {
        char tmpl[] = "/tmp/vexlolpr-jobs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        vx::posix::SetStateDirectory(dir_.c_str());
    }
    void TearDown() override
    {
        vx::posix::SetStateDirectory(nullptr);
        (void)system(("rm -rf " + dir_).c_str());
    }
    std::string RecordPath() const { return dir_ + "/vexlolpr-jobnumber"; }
    std::string Record() const
    {
        std::ifstream in(RecordPath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void SetRecord(const std::string &text) const { std::ofstream(RecordPath(), std::ios::binary) << text; }
    // The number that a process of its own, started afresh, gets.
    static int InAnotherProcess(int clocknumber, int64_t now)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return -2;
        pid_t pid = fork();
        if (pid == 0) {
            int n = vx::NextJobNumber(clocknumber, now);
            _exit(write(fds[1], &n, sizeof n) == sizeof n ? 0 : 1);
        }
        close(fds[1]);
        int n = -1;
        if (pid < 0 || read(fds[0], &n, sizeof n) != sizeof n)
            n = -1;
        close(fds[0]);
        int status = 0;
        if (pid > 0)
            waitpid(pid, &status, 0);
        return n;
    }
    std::string dir_;
};

TEST_F(JobNumber, FromTheClockAndDistinctWithinABurst)
{
    struct tm t = {};
    t.tm_hour = 10;
    t.tm_min = 21;
    t.tm_sec = 7;
    EXPECT_EQ(vx::JobNumberFromTime(t), 107);
    t.tm_min = 31;
    EXPECT_EQ(vx::JobNumberFromTime(t), 107) << "the number repeats every ten minutes";
    t.tm_min = 59;
    t.tm_sec = 59;
    EXPECT_EQ(vx::JobNumberFromTime(t), 959);

    EXPECT_EQ(vx::NextJobNumber(500, T), 500);
    EXPECT_EQ(vx::NextJobNumber(500, T), 501) << "same second: the next number";
    EXPECT_EQ(vx::NextJobNumber(500, T), 502);
    EXPECT_EQ(vx::NextJobNumber(501, T + 1), 503) << "the clock has not caught up with the numbers handed out";
    EXPECT_EQ(vx::NextJobNumber(510, T + 10), 510) << "once it has, it gives the number again";
    EXPECT_EQ(vx::NextJobNumber(959, T + 269), 959);
    vx::NextJobNumber(959, T + 269);
    for (int i = 0; i < 40; i++)
        vx::NextJobNumber(959, T + 269);
    EXPECT_EQ(vx::NextJobNumber(959, T + 269), 2) << "counts on modulo 1000, past 000";
    EXPECT_EQ(vx::NextJobNumber(959, T + 869), 959) << "ten minutes on, the numbers of then are free again";

    // Where the record cannot be had, the process's own numbers still count.
    vx::posix::SetStateDirectory((dir_ + "/absent").c_str());
    EXPECT_EQ(vx::NextJobNumber(959, T + 869), 960);
}

// Each job of a shell loop is a process of its own: the record carries the numbers from
// one to the next.
TEST_F(JobNumber, DistinctAcrossProcesses)
{
    std::vector<int> numbers;
    for (int i = 0; i < 10; i++)
        numbers.push_back(InAnotherProcess(500, T));
    EXPECT_EQ(numbers, (std::vector<int>{500, 501, 502, 503, 504, 505, 506, 507, 508, 509}));
    EXPECT_EQ(Record(), "500 509 1765180000\n");
    EXPECT_EQ(InAnotherProcess(505, T + 5), 510) << "the clock has not caught up";
    EXPECT_EQ(InAnotherProcess(520, T + 20), 520) << "it has";

    // A holder that does not let go (a stopped process) costs a short wait, and the job
    // goes on with the clock's number, as without a record.
    vx::LSTATE held = vx::StateOpen(vx::StateRecord::JOBNUMBER, 0);
    ASSERT_NE(held, vx::LSTATE_ERROR);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InAnotherProcess(520, T + 20), 520);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    vx::StateClose(held);
    EXPECT_EQ(InAnotherProcess(520, T + 20), 521);
}

// A burst of processes at once, half of them in a login session ($XDG_RUNTIME_DIR set),
// across the clock's wrap from 959 to 000: one record, twenty numbers, none 000.
TEST_F(JobNumber, OneRecordForProcessesWithAndWithoutASessionAcrossTheWrap)
{
    vx::posix::SetStateDirectory(nullptr);
    std::string session = dir_ + "/session";
    ASSERT_EQ(mkdir(session.c_str(), 0700), 0);
    // Ten at clock 959, then (the clock has moved on a second) ten at 000.
    std::set<int> numbers;
    for (int round = 0; round < 2; round++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 10; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                setenv("VEXLOLPR_STATE_DIR", dir_.c_str(), 1);
                if (i % 2 == 0)
                    setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
                int n = round == 0 ? vx::NextJobNumber(959, T) : vx::NextJobNumber(0, T + 1);
                _exit(write(fds[1], &n, sizeof n) == sizeof n ? 0 : 1);
            }
            children.push_back(pid);
        }
        close(fds[1]);
        for (int n; read(fds[0], &n, sizeof n) == sizeof n;)
            numbers.insert(n);
        close(fds[0]);
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(numbers.size(), 20u);
    EXPECT_EQ(numbers.count(0), 0u);
}

TEST_F(JobNumber, OnlyAWellFormedRecentRecordMovesTheNumber)
{
    struct Case {
        std::string record;
        int number; // for clock number 500 at T
    };
    const std::string t = std::to_string(T);
    const Case cases[] = {
        {"500 505 " + t + "\n", 506},
        {"498 503 " + std::to_string(T - 2) + "\n", 504},
        {"498 499 " + std::to_string(T - 2) + "\n", 500},
        {"500 505 " + std::to_string(T - 599) + "\n", 506},
        {"500 505 " + std::to_string(T - 600) + "\n", 500},
        {"500 505 " + std::to_string(T + 600) + "\n", 500},
        {"", 500},
        {"junk\n", 500},
        {"500 505\n", 500},
        {"500 505 " + t, 500},
        {"500 505 " + t + "\n\n", 500},
        {"500 505 " + t + "\nextra", 500},
        {" 500 505 " + t + "\n", 500},
        {"500  505 " + t + "\n", 500},
        {"1500 505 " + t + "\n", 500},
        {"500 1505 " + t + "\n", 500},
        {"500 -5 " + t + "\n", 500},
        {"500 505 1" + t + "000000000\n", 500},
        {std::string("500 505 \0", 9) + t + "\n", 500},
        {"500 505 " + t + std::string("\n\0", 2), 500},
    };
    for (const Case &c : cases) {
        SetRecord(c.record);
        EXPECT_EQ(InAnotherProcess(500, T), c.number) << "record: '" << c.record << "'";
        EXPECT_EQ(Record(), "500 " + std::to_string(c.number) + " " + t + "\n") << "written afresh";
    }
}

// ---- against the fake LPD ---------------------------------------------------------------

class PrintTest : public LprTest {
protected:
    WORD Print(LPR_PRINTARG &p) { return LPR_Print(&p, &common_); }
};

class WireTest : public PrintTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WireTest, JobGoesAsWrittenAndItsChunksCount)
{
    std::string content(20000, 'x');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>('a' + i % 26);
    LPR_PRINTARG p = PrintArg(File("report.txt", content));
    p.controlfirst = GetParam();
    p.jobname = "quarterly";
    p.bannerclass = "acct";
    FakeLpd lpd(AcceptJob(p, common_, content.size()));
    vx::lpdport = lpd.port();
    DebugCapture capture;
    common_.debugflags = LPR_DEBUG_TRACE;
    ASSERT_EQ(Print(p), LPR_OK) << LastError();
    lpd.join();
    std::string wire = lpd.received();
    std::string stem = StemOf(wire);
    ASSERT_EQ(stem.size(), 5u + strlen(common_.clienthost)) << wire;
    EXPECT_EQ(wire, JobBytes(p, common_, stem, content));
    // 20000 bytes go as 8192, 8192 and 3616, counted as they go.
    auto sends = [&](int n) {
        std::string line = "sent " + std::to_string(n) + " bytes (" + std::to_string(n) + " last time)";
        return std::count_if(capture.outputs().begin(), capture.outputs().end(),
                             [&](const std::string &s) { return s.find(line) != std::string::npos; });
    };
    EXPECT_EQ(sends(8192), 2);
    EXPECT_EQ(sends(3616), 1);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_do_data_file() SENDING DATA FILE now="));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_do_control_file() DONE sending control file... lprws"));
    EXPECT_GE(lpd.client_port(), 601);
}

// The job handle after each way a job can end: which step of the server's fails tells
// whether the server can have the job.  Steps of a data-first job: 0 'Initial', 1 its
// answer, 2-5 the data file (line, answer, content, answer), 6-9 the control file.
TEST_F(PrintTest, TheJobHandleSaysHowFarTheJobGot)
{
    const std::string content(20000, 'j');
    struct Case {
        const char *name;
        bool controlfirst;
        size_t step;    // the server's step that goes wrong
        bool reset;     // it resets the connection there; else it refuses (1)
        int state;
        bool numbered;  // the server accepted the job command
        uint64_t bytes; // of the data file sent
    } cases[] = {
        {"whole job", false, 99, false, LPR_JOB_QUEUED, true, 20000},
        {"job command refused", false, 1, false, LPR_JOB_NOT_QUEUED, false, 0},
        {"data file refused", false, 3, false, LPR_JOB_NOT_QUEUED, true, 0},
        {"data file's answer missing", false, 5, true, LPR_JOB_NOT_QUEUED, true, 20000},
        {"last answer a refusal", false, 9, false, LPR_JOB_NOT_QUEUED, true, 20000},
        {"last answer missing", false, 9, true, LPR_JOB_UNCLEAR, true, 20000},
        {"control first: control file refused", true, 3, false, LPR_JOB_NOT_QUEUED, true, 0},
        {"control first: last answer missing", true, 9, true, LPR_JOB_UNCLEAR, true, 20000},
        {"control first: whole job", true, 99, false, LPR_JOB_QUEUED, true, 20000},
    };
    for (const Case &c : cases) {
        LPR_PRINTARG p = PrintArg(File("handle.txt", content));
        p.controlfirst = c.controlfirst;
        std::vector<PeerStep> script = AcceptJob(p, common_, content.size());
        if (c.step < script.size()) {
            script.resize(c.reset ? c.step : c.step + 1);
            if (c.reset)
                script.push_back(Peer::Reset());
            else
                script.back() = Peer::Ack(1);
        }
        FakeLpd lpd(script);
        vx::lpdport = lpd.port();
        common_.errorcode = 0;
        LPR_JOBINFO info;
        memset(&info, 0x5a, sizeof info);
        info.size = sizeof info;
        WORD ret = LPR_PrintJob(&p, &common_, &info);
        lpd.join();
        EXPECT_EQ(ret == LPR_OK, c.state == LPR_JOB_QUEUED) << c.name;
        EXPECT_EQ(info.state, c.state) << c.name;
        EXPECT_EQ(info.bytessent, c.bytes) << c.name;
        EXPECT_EQ(info.reserved[0] | info.reserved[1] | info.reserved[2], 0) << c.name;
        if (!c.numbered) {
            EXPECT_EQ(info.jobnumber, 0) << c.name;
            EXPECT_STREQ(info.controlfile, "") << c.name;
            continue;
        }
        std::string stem = StemOf(lpd.received());
        char number[8];
        snprintf(number, sizeof number, "%03u", info.jobnumber);
        EXPECT_NE(info.jobnumber, 0) << c.name;
        EXPECT_EQ(stem, "fA" + std::string(number) + common_.clienthost) << c.name;
        EXPECT_EQ(info.controlfile, "c" + stem) << c.name;
        EXPECT_EQ(info.datafile, "d" + stem) << c.name;
    }
    // A record of an older size, or none, is refused before anything happens.
    LPR_PRINTARG p = PrintArg(File("handle.txt", content));
    LPR_JOBINFO info = {};
    info.size = sizeof info - 1;
    EXPECT_EQ(LPR_PrintJob(&p, &common_, &info), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_PrintJob(&p, &common_, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(info.state, 0);
}

// Without yielding, a transfer's chunks grow while they go out quickly: whatever sizes
// they take, the bytes on the wire are the file's, around every chunk boundary, and no
// write is larger than the largest chunk.
TEST_F(PrintTest, ChunksThatGrowCarryTheFileByteForByte)
{
    const size_t sizes[] = {1,      8191,   8192,   8193,   65535,  65536,
                            65537,  262143, 262144, 262145, 524289, 1048576 + 8191};
    for (size_t size : sizes) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; i++)
            content[i] = static_cast<char>((i * 7 + i / 8192) & 0xff);
        LPR_PRINTARG p = PrintArg(File("bulk.bin", content));
        FakeLpd lpd(AcceptJob(p, common_, content.size()));
        vx::lpdport = lpd.port();
        DebugCapture capture;
        common_.debugflags = LPR_DEBUG_TRACE | LPR_OPT_NOYIELD;
        common_.errorcode = 0;
        ASSERT_EQ(Print(p), LPR_OK) << size << ": " << LastError();
        lpd.join();
        std::string wire = lpd.received();
        EXPECT_EQ(wire, JobBytes(p, common_, StemOf(wire), content)) << size;
        size_t largest = 0;
        for (const std::string &line : capture.outputs()) {
            size_t at = line.find("OK sent ");
            if (at != std::string::npos)
                largest = std::max(largest, static_cast<size_t>(strtoul(line.c_str() + at + 8, nullptr, 10)));
        }
        EXPECT_LE(largest, vx::BULK_CHUNK) << size;
    }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, WireTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "ControlFirst" : "DataFirst";
                         });

// When bytes leave is the socket's business, which bytes leave is the protocol's: the
// provider's setsockopt and send are wrapped to see both in one sequence.
using SetOpt = int(WSAAPI *)(vx::SOCKET, int, int, const char *, int);
using Send = int(WSAAPI *)(vx::SOCKET, const char *, int, int);
SetOpt realsetsockopt;
Send realsend;
std::vector<std::string> socketlog;

int WSAAPI LoggedSetsockopt(vx::SOCKET s, int level, int name, const char *value, int len)
{
    if (level == vx::IPPROTO_TCP && name == vx::TCP_NODELAY && len == static_cast<int>(sizeof(int)))
        socketlog.push_back("nodelay " + std::to_string(*reinterpret_cast<const int *>(value)));
    return realsetsockopt(s, level, name, value, len);
}

int WSAAPI LoggedSend(vx::SOCKET s, const char *buf, int len, int flags)
{
    int n = realsend(s, buf, len, flags);
    socketlog.push_back("send " + std::to_string(n));
    return n;
}

class SocketOptionTest : public PrintTest, public ::testing::WithParamInterface<size_t> {
protected:
    void SetUp() override
    {
        PrintTest::SetUp();
        realsetsockopt = vx::winsock.setsockopt;
        realsend = vx::winsock.send;
        vx::UnloadWinsock();
        provider_.replace("setsockopt", reinterpret_cast<void (*)()>(LoggedSetsockopt))
            .replace("send", reinterpret_cast<void (*)()>(LoggedSend))
            .install();
        socketlog.clear();
    }
    ProviderOverride provider_;
};

// Short writes leave at once (each is answered, and one held back waits for a delayed
// acknowledgement); the chunks of a file larger than one chunk may coalesce.
TEST_P(SocketOptionTest, ShortWritesLeaveAtOnceAndOnlyChunksCoalesce)
{
    std::string content(GetParam(), 'k');
    LPR_PRINTARG p = PrintArg(File("opts.txt", content));
    FakeLpd lpd(AcceptJob(p, common_, content.size()));
    vx::lpdport = lpd.port();
    ASSERT_EQ(Print(p), LPR_OK) << LastError();
    lpd.join();
    ASSERT_FALSE(socketlog.empty());
    EXPECT_EQ(socketlog.front(), "nodelay 1") << "set before the first write";
    std::string trail;
    for (const std::string &entry : socketlog)
        trail += entry + ",";
    std::string stem = StemOf(lpd.received());
    std::string subcommand = "send " + std::to_string(("\x03" + std::to_string(content.size()) + " d" + stem + "\n").size());
    if (content.size() > 8192)
        EXPECT_NE(trail.find(subcommand + ",nodelay 0,send 8192,send 8192,send 3616,nodelay 1,send 1,"),
                  std::string::npos) << trail;
    else
        EXPECT_NE(trail.find(subcommand + ",send " + std::to_string(content.size()) + ",send 1,"),
                  std::string::npos) << trail;
    EXPECT_EQ(std::count(socketlog.begin(), socketlog.end(), "nodelay 0"), content.size() > 8192 ? 1 : 0);
    EXPECT_EQ(lpd.received(), JobBytes(p, common_, stem, content)) << "the same bytes either way";
}

INSTANTIATE_TEST_SUITE_P(Sizes, SocketOptionTest, ::testing::Values(size_t{1000}, size_t{20000}));

TEST_F(PrintTest, CheckOnlyAsksAndWithdraws)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadToClose()});
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg("/nonexistent/never/opened");
    p.filename = nullptr;
    p.checkonly = 1;
    int windows = vx::posix::LiveWindows();
    EXPECT_EQ(Print(p), LPR_OK);
    EXPECT_EQ(vx::posix::LiveWindows(), windows) << "no status dialog in check-only mode";
    lpd.join();
    EXPECT_EQ(lpd.received(), std::string("\x02lp\n\x01\n"));
}

struct Refusal {
    std::string name;
    std::string reply;
    std::string text;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class RefusalTest : public PrintTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, ServerTextBecomesTheLastError)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send(GetParam().reply), Peer::ReadToClose()});
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg(File("a.txt", "hello"));
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_LPD_REPORTED);
    EXPECT_EQ(LastError(), GetParam().text);
    lpd.join();
    EXPECT_EQ(lpd.received(), "\x02lp\n") << "nothing more after a refusal";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RefusalTest,
    ::testing::Values(Refusal{"OneByte", "\x01", "Server error: perhaps there is no lp printer"},
                      Refusal{"CodeAndText", "\x01queue is disabled\nsecond line", "1 queue is disabled"},
                      Refusal{"NegativeCode", "\xfequeue is full", "-2 queue is full"},
                      Refusal{"LetterFirstLine", "No such queue\nfoo", "No such queue"},
                      Refusal{"LetterNoLineEnd", "printer down", "printer down"}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return info.param.name; });

TEST_F(PrintTest, AcceptanceIsTheFirstByteWhateverFollows)
{
    std::string content = "data";
    LPR_PRINTARG p = PrintArg(File("a.txt", content));
    std::vector<PeerStep> script = AcceptJob(p, common_, content.size());
    script[1] = Peer::Send(std::string("\0 and some chatter\n", 19));
    FakeLpd lpd(script);
    vx::lpdport = lpd.port();
    EXPECT_EQ(Print(p), LPR_OK) << LastError();
}

TEST_F(PrintTest, CloseInsteadOfAnAnswerIsAFailedRead)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Close()});
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "Couldn't verify 'Initial' command");
}

struct AckCase {
    std::string name;
    bool controlstep; // the byte answers the control file's subcommand, else the data file's
    char byte;
    int code;
    std::string text;
};

void PrintTo(const AckCase &c, std::ostream *os) { *os << c.name; }

class AckTest : public PrintTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckTest, SubcommandRefusals)
{
    const AckCase &c = GetParam();
    LPR_PRINTARG p = PrintArg(File("a.txt", "content"));
    p.controlfirst = c.controlstep;
    FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Ack(c.byte), Peer::ReadToClose()});
    vx::lpdport = lpd.port();
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, c.code);
    EXPECT_EQ(LastError(), c.text);
    lpd.join();
    // Nothing is sent after the refusal: the second line was the last.
    std::string wire = lpd.received();
    EXPECT_EQ(std::count(wire.begin(), wire.end(), '\n'), 2) << wire;
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, AckTest,
    ::testing::Values(
        AckCase{"Control1", true, 1, 5023, "Error from spooler: server error, please try again later"},
        AckCase{"Control2", true, 2, 5014, "Error from spooler: out of spooling space, please try again later"},
        AckCase{"Control7", true, 7, 5012, "Unknown response from spooler: 7"},
        AckCase{"ControlFF", true, '\xff', 5012, "Unknown response from spooler: -1"},
        AckCase{"Data1", false, 1, 5012, "LPD reported error"},
        AckCase{"Data2", false, 2, 5014, "Error from spooler: out of spooling space, please try again later"},
        AckCase{"Data5", false, 5, 5017, "Unknown response 5"}),
    [](const ::testing::TestParamInfo<AckCase> &info) { return info.param.name; });

TEST_F(PrintTest, SubcommandClosedWithoutAnswerIsAFailedRead)
{
    LPR_PRINTARG p = PrintArg(File("a.txt", "content"));
    FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Close()});
    vx::lpdport = lpd.port();
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_VERIFY_NOTIFY);
    EXPECT_EQ(LastError(), "Couldn't verify 'Notify' command");
}

TEST_F(PrintTest, CloseInsteadOfTheFinalAcknowledgementsCountsAsAccepted)
{
    std::string content = "content";
    LPR_PRINTARG p = PrintArg(File("a.txt", content));
    p.controlfirst = 0;
    std::vector<PeerStep> script = AcceptJob(p, common_, content.size());
    script.resize(script.size() - 2); // no final acknowledgement of the control file
    script.push_back(Peer::Close());
    FakeLpd lpd(script);
    vx::lpdport = lpd.port();
    EXPECT_EQ(Print(p), LPR_OK) << LastError();
}

TEST_F(PrintTest, FinalRefusalsOfEitherFile)
{
    std::string content = "content";
    LPR_PRINTARG p = PrintArg(File("a.txt", content));
    std::vector<PeerStep> script = AcceptJob(p, common_, content.size());
    script[5] = Peer::Ack(3); // the data file's final acknowledgement
    FakeLpd lpd(script);
    vx::lpdport = lpd.port();
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_DATA_NOT_TRANSFERRED);
    EXPECT_EQ(LastError(), "Data file not properly transferred: aborting print job");
    lpd.join();
    EXPECT_EQ(lpd.received().find("\x02" "1"), std::string::npos) << "no control file after a failed data file";
}

TEST_F(PrintTest, HostMayNameItsPort)
{
    std::string content = "via a port of its own";
    LPR_PRINTARG p = PrintArg(File("a.txt", content));
    FakeLpd lpd(AcceptJob(p, common_, content.size()));
    std::string host = "127.0.0.1:" + std::to_string(lpd.port());
    p.host = host.c_str();
    vx::lpdport = 9; // not used: the suffix decides
    ASSERT_EQ(Print(p), LPR_OK) << LastError();
    lpd.join();
    EXPECT_EQ(lpd.received(), JobBytes(p, common_, StemOf(lpd.received()), content));

    for (const char *bad : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:51x", "127.0.0.1:", "127.0.0.1:123456"}) {
        common_.errorcode = 0;
        p.host = bad;
        EXPECT_EQ(Print(p), LPR_R_BAD_NET_NAME) << bad;
        EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME) << bad;
        EXPECT_EQ(LastError(), std::string("Can't resolve host name ") + bad);
    }
}

TEST_F(PrintTest, HostIsLookedUpBeforeTheFile)
{
    LPR_PRINTARG p = PrintArg("/nonexistent/file");
    p.host = "nosuch.invalid";
    common_.errorcode = 0;
    EXPECT_EQ(Print(p), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME);
    EXPECT_EQ(LastError(), "Can't resolve host name nosuch.invalid");
}

TEST_F(PrintTest, MissingOrEmptyFilesSendNothing)
{
    FakeLpd lpd({Peer::ReadToClose()}, 1500);
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg(dir_ + "/absent");
    EXPECT_EQ(Print(p), LPR_R_BAD_DEVICE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_NOT_FOUND);
    EXPECT_EQ(LastError(), "File not found");
    common_.errorcode = 0;
    p = PrintArg(File("empty", ""));
    EXPECT_EQ(Print(p), LPR_R_BAD_DEVICE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_UNEXPECTED_EOF);
    EXPECT_EQ(LastError(), "Unexpected end of file or dir");
    p = PrintArg(dir_);
    EXPECT_EQ(Print(p), LPR_R_BAD_DEVICE) << "a directory is no file to print";
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0) << "no connection was made";
    EXPECT_EQ(OpenDescriptors(), descriptors_ + 1) << "only the fake server's socket is open";
}

TEST_F(PrintTest, NamesThatWouldBreakTheFramingAreRefused)
{
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    p.printer = "lp\n\x05lp root 1";
    EXPECT_EQ(Print(p), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(common_.errorcode, LPR_ERR_BAD_NAME);
    EXPECT_EQ(LastError(), "The printer name can't be sent to the server: it holds a space or a control character");
    p.printer = "lp";
    common_.errorcode = 0;
    common_.clienthost = "ws1\nevil";
    EXPECT_EQ(Print(p), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LastError(), "The client host name can't be sent to the server: it holds a space or a control character");
}

TEST_F(PrintTest, RefusedConnectionShowsAtTheInitialCommand)
{
    uint16_t port;
    CloseFd(ListenLoopback(&port));
    vx::lpdport = port;
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    // The failed send recorded its own code first; the text follows the refusal.
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "LPD is not running on remote host");
    p.checkonly = 1;
    common_.errorcode = 0;
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NO_LPD);
}

TEST_F(PrintTest, CheckOnlyIsBoundedByTheReplyTimeout)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Hold(6000)});
    vx::lpdport = lpd.port();
    common_.replytimeout = 800;
    LPR_PRINTARG p = PrintArg("");
    p.checkonly = 1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_LT(Since(start), 3000);
    EXPECT_EQ(common_.errorcode, LPR_ERR_TIMEOUT);
    EXPECT_EQ(LastError(), "Timeout");
}

TEST_F(PrintTest, SilentServerTimesOutTheAnswer)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Hold(5000)});
    vx::lpdport = lpd.port();
    common_.replytimeout = 1000;
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    EXPECT_EQ(Print(p), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "Couldn't verify 'Initial' command");
}

TEST_F(PrintTest, CancelDuringTheDataFileKeepsTheCancelCode)
{
    std::string content(64 << 20, 'z');
    LPR_PRINTARG p = PrintArg(File("big.bin", content));
    // The cancel comes from the server's thread once the data file's first octet is in:
    // the client is then within the data file, which the server never takes in whole.
    FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Ack(), Peer::Peek(1),
                 Peer::Call([] { EXPECT_EQ(LPR_CancelBlockingCall(), 0); }), Peer::Hold(8000)},
                12000);
    vx::lpdport = lpd.port();
    common_.replytimeout = 4000;
    EXPECT_EQ(Print(p), LPR_R_GEN_FAILURE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED);
    EXPECT_EQ(LastError(), "Couldn't send data file");
}

TEST_F(PrintTest, ABurstOfJobsGetsDistinctNames)
{
    std::vector<std::string> stems;
    for (int i = 0; i < 3; i++) {
        std::string content = "job " + std::to_string(i);
        LPR_PRINTARG p = PrintArg(File("f" + std::to_string(i), content));
        FakeLpd lpd(AcceptJob(p, common_, content.size()));
        vx::lpdport = lpd.port();
        ASSERT_EQ(Print(p), LPR_OK) << LastError();
        lpd.join();
        stems.push_back(StemOf(lpd.received()));
    }
    EXPECT_NE(stems[0], stems[1]);
    EXPECT_NE(stems[1], stems[2]);
    EXPECT_NE(stems[0], stems[2]);
}

TEST_F(PrintTest, WithoutTheTimeJobsStillGetDistinctNames)
{
    std::vector<std::string> stems;
    vx::posix::FailLocalTime(true);
    for (int i = 0; i < 2; i++) {
        LPR_PRINTARG p = PrintArg(File("f" + std::to_string(i), "x"));
        FakeLpd lpd(AcceptJob(p, common_, 1));
        vx::lpdport = lpd.port();
        EXPECT_EQ(Print(p), LPR_OK) << LastError();
        lpd.join();
        stems.push_back(StemOf(lpd.received()));
    }
    vx::posix::FailLocalTime(false);
    EXPECT_NE(stems[0], stems[1]);
}

TEST_F(PrintTest, NoTransferBufferMeansResultEight)
{
    LPR_PRINTARG p = PrintArg(File("a.txt", "content"));
    FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Ack(), Peer::ReadToClose()});
    vx::lpdport = lpd.port();
    // The caption, the job command and the stem take blocks of their own first.
    vx::posix::FailGlobalAllocAt(5);
    WORD result = Print(p);
    vx::posix::FailGlobalAllocAt(0);
    EXPECT_EQ(result, LPR_R_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NO_MEMORY);
    EXPECT_EQ(LastError(), "Insufficient memory");
}

// ---- IPv6 -----------------------------------------------------------------------------

// Every request over IPv6, each way of writing the address, from a reserved port as over
// IPv4; the bytes are those of IPv4.
TEST_F(PrintTest, BracketedAddressesReachAnIpv6Server)
{
    std::string content = "over IPv6\n";
    LPR_PRINTARG p = PrintArg(File("six.txt", content));
    for (std::string form : {"[::1]", "[::1]:%", "[0:0:0:0:0:0:0:1]:%"}) {
        FakeLpd lpd(AcceptJob(p, common_, content.size()), 15000, true, true);
        std::string host = form.substr(0, form.find('%')) + (form.back() == '%' ? std::to_string(lpd.port()) : "");
        vx::lpdport = form.back() == '%' ? 9 : lpd.port();
        p.host = host.c_str();
        ASSERT_EQ(Print(p), LPR_OK) << host << ": " << LastError();
        lpd.join();
        EXPECT_EQ(lpd.received(), JobBytes(p, common_, StemOf(lpd.received()), content)) << host;
        if (geteuid() == 0) {
            EXPECT_TRUE(lpd.client_port() >= 601 && lpd.client_port() <= 1000) << lpd.client_port();
        }
    }
    FakeLpd lister({Peer::ReadLine(), Peer::Send("lp is ready\n"), Peer::Close()}, 15000, true, true);
    std::string host = "[::1]:" + std::to_string(lister.port());
    char *listing = nullptr;
    LPR_QUEUEARG q = {host.c_str(), "lp", &listing};
    ASSERT_EQ(LPR_GetQueue(&q, &common_), LPR_OK) << LastError();
    EXPECT_STREQ(listing, "lp is ready ");
    LPR_FreeQueue(&listing);
    lister.join();
    EXPECT_EQ(lister.received(), "\x03lp\n");
    FakeLpd remover({Peer::ReadLine(), Peer::Close()}, 15000, true, true);
    host = "[::1]:" + std::to_string(remover.port());
    LPR_DELETEARG d = {host.c_str(), "lp", 107};
    ASSERT_EQ(LPR_DeleteJob(&d, &common_), LPR_OK) << LastError();
    remover.join();
    EXPECT_EQ(remover.received(), std::string("\x05lp ") + common_.username + " 107\n");
}

// A host the library cannot take apart, or an IPv6 literal without its brackets, is a
// host name that does not resolve: nothing is sent, and the text names it as written.
TEST_F(PrintTest, MalformedIpv6HostsAreBadNames)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Close()}, 3000, true, true);
    vx::lpdport = lpd.port();
    for (const char *host : {"[::1", "[]", "[::1]:0", "[::1]:99999", "[::1]x", "[::1]:", "[::1]]", "[:::1]",
                             "[127.0.0.1]", "::1", "[::1]:12a"}) {
        char *listing = nullptr;
        LPR_QUEUEARG q = {host, "lp", &listing};
        common_.errorcode = 0;
        EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_R_BAD_NET_NAME) << host;
        EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME) << host;
        EXPECT_NE(LastError().find(host), std::string::npos) << host << ": " << LastError();
        EXPECT_EQ(listing, nullptr) << host;
    }
    EXPECT_EQ(lpd.client_port(), 0) << "nothing reached the server";
}

// Without the IPv6 look-up (a system without WS2_32.DLL) an IPv6 host does not resolve
// and IPv4 goes on as before.
TEST_F(PrintTest, WithoutTheIpv6LookUpOnlyIpv6HostsFail)
{
    vx::UnloadWinsock();
    const vx::posix::ModuleDef *ws2 = vx::posix::SetModule("WS2_32.DLL", nullptr);
    vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(vx::hwinsock2, nullptr);
    FakeLpd six({Peer::ReadLine(), Peer::Close()}, 3000, true, true);
    std::string host = "[::1]:" + std::to_string(six.port());
    char *listing = nullptr;
    LPR_QUEUEARG q = {host.c_str(), "lp", &listing};
    EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME);
    common_.errorcode = 0;
    FakeLpd four({Peer::ReadLine(), Peer::Send("ready\n"), Peer::Close()});
    host = "127.0.0.1:" + std::to_string(four.port());
    q.host = host.c_str();
    EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_OK) << LastError();
    LPR_FreeQueue(&listing);
    vx::UnloadWinsock();
    vx::posix::SetModule("WS2_32.DLL", ws2);
    vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_ATTACH, nullptr);
    EXPECT_NE(vx::hwinsock2, nullptr);
    EXPECT_EQ(six.client_port(), 0);
}

} // namespace
