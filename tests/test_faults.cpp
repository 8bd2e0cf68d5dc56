// Faults of the server at every step of every exchange: a reset, a stall and a close
// where the print job (both file orders), the queue listing and the removal wait for the
// server; and the slow, endless, deaf and vanishing servers.  Each case checks the result,
// the code, the text, how the connection was closed, and that nothing is left behind.
#include <chrono>

#include "support/lpr.h"

using namespace vxtest;

namespace {

enum class Exchange { DataFirst, ControlFirst, Queue, Removal };
enum class Fault { Reset, Hold, Close };

// Where the fault strikes.  For a print job "first"/"second" are the files in the order
// sent; for the queue listing and the removal only the first three apply ("Content1"
// then means: part of the answer was sent).
enum class Step { AfterConnect, AfterCommand, AfterSubcommand1, InContent1, BeforeFinal1,
                  AfterSubcommand2, InContent2, BeforeFinal2 };

struct Outcome {
    WORD result;
    int code;
    std::string text; // the last-error text; "" on success
};

struct FaultCase {
    Exchange exchange;
    Step step;
    Fault fault;
    Outcome want;
};

const char *Name(Exchange e)
{
    switch (e) {
    case Exchange::DataFirst: return "DataFirst";
    case Exchange::ControlFirst: return "ControlFirst";
    case Exchange::Queue: return "Queue";
    case Exchange::Removal: return "Removal";
    }
    return "?";
}

const char *Name(Step s)
{
    switch (s) {
    case Step::AfterConnect: return "AfterConnect";
    case Step::AfterCommand: return "AfterCommand";
    case Step::AfterSubcommand1: return "AfterFirstSubcommand";
    case Step::InContent1: return "InFirstContent";
    case Step::BeforeFinal1: return "BeforeFirstFinalAck";
    case Step::AfterSubcommand2: return "AfterSecondSubcommand";
    case Step::InContent2: return "InSecondContent";
    case Step::BeforeFinal2: return "BeforeSecondFinalAck";
    }
    return "?";
}

const char *Name(Fault f) { return f == Fault::Reset ? "Reset" : f == Fault::Hold ? "Hold" : "Close"; }

std::string CaseName(const FaultCase &c)
{
    std::string step = Name(c.step);
    if (c.exchange == Exchange::Queue && c.step == Step::InContent1)
        step = "DuringListing";
    if (c.exchange == Exchange::Removal && c.step == Step::InContent1)
        step = "DuringDrain";
    return std::string(Name(c.exchange)) + "_" + step + "_" + Name(c.fault);
}

void PrintTo(const FaultCase &c, std::ostream *os) { *os << CaseName(c); }

const WORD FAILED = LPR_R_UNEXP_NET_ERR;
const Outcome OK = {LPR_OK, 0, ""};
const Outcome VERIFY_INITIAL = {FAILED, LPR_ERR_NETWORK, "Couldn't verify 'Initial' command"};
const Outcome VERIFY_NOTIFY = {FAILED, LPR_ERR_VERIFY_NOTIFY, "Couldn't verify 'Notify' command"};
const Outcome VERIFY_DATA = {FAILED, LPR_ERR_VERIFY_DATA, "Couldn't verify data file"};
const Outcome VERIFY_CONTROL = {FAILED, LPR_ERR_VERIFY_CONTROL, "Couldn't verify control file"};
const Outcome QUEUE_LIST = {FAILED, LPR_ERR_NETWORK, "Failed to recieve queue list"};

// Every case of the matrix with what it must give.  A close where the client still had
// bytes unread at the server is a reset on the wire (the system resets a connection
// closed with unread data), so a close "after connect" or "in a file's content" gives
// what a reset gives; a close where a final acknowledgement is awaited counts as
// accepted, and the job goes on (and fails at the next subcommand, or succeeds when it
// was the last step).
std::vector<FaultCase> Matrix()
{
    std::vector<FaultCase> cases;
    auto all = [&](Exchange e, Step s, Outcome reset, Outcome hold, Outcome close) {
        cases.push_back({e, s, Fault::Reset, reset});
        cases.push_back({e, s, Fault::Hold, hold});
        cases.push_back({e, s, Fault::Close, close});
    };
    for (Exchange e : {Exchange::DataFirst, Exchange::ControlFirst}) {
        bool datafirst = e == Exchange::DataFirst;
        Outcome verify1 = datafirst ? VERIFY_DATA : VERIFY_CONTROL;
        Outcome verify2 = datafirst ? VERIFY_CONTROL : VERIFY_DATA;
        all(e, Step::AfterConnect, VERIFY_INITIAL, VERIFY_INITIAL, VERIFY_INITIAL);
        all(e, Step::AfterCommand, VERIFY_INITIAL, VERIFY_INITIAL, VERIFY_INITIAL);
        all(e, Step::AfterSubcommand1, VERIFY_NOTIFY, VERIFY_NOTIFY, VERIFY_NOTIFY);
        all(e, Step::InContent1, verify1, verify1, verify1);
        all(e, Step::BeforeFinal1, verify1, verify1, VERIFY_NOTIFY);
        all(e, Step::AfterSubcommand2, VERIFY_NOTIFY, VERIFY_NOTIFY, VERIFY_NOTIFY);
        all(e, Step::InContent2, verify2, verify2, verify2);
        all(e, Step::BeforeFinal2, verify2, verify2, OK);
    }
    all(Exchange::Queue, Step::AfterConnect, QUEUE_LIST, QUEUE_LIST, QUEUE_LIST);
    all(Exchange::Queue, Step::AfterCommand, QUEUE_LIST, QUEUE_LIST, OK);
    all(Exchange::Queue, Step::InContent1, QUEUE_LIST, QUEUE_LIST, OK);
    all(Exchange::Removal, Step::AfterConnect, VERIFY_NOTIFY, VERIFY_NOTIFY, VERIFY_NOTIFY);
    all(Exchange::Removal, Step::AfterCommand, VERIFY_NOTIFY, VERIFY_NOTIFY, OK);
    all(Exchange::Removal, Step::InContent1, VERIFY_NOTIFY, VERIFY_NOTIFY, OK);
    return cases;
}

constexpr DWORD REPLY_TIMEOUT = 800;
constexpr size_t HOLD_MS = 8000; // longer than any wait of the client
constexpr size_t CONTENT_SIZE = 4000; // small: the client has sent it all when it waits
const char PARTIAL_ANSWER[] = "one line\npart";

// Checks that every test of this file shares: how the connection ended (from the trace)
// and that the request left no descriptor behind once the fake server is gone.
class FaultTest : public LprTest {
protected:
    void SetUp() override
    {
        LprTest::SetUp();
        common_.replytimeout = REPLY_TIMEOUT;
        common_.debugflags = LPR_DEBUG_TRACE;
    }
    void TearDown() override
    {
        LPR_FreeQueue(&listing_);
        LprTest::TearDown();
    }
    void ExpectClosed(const DebugCapture &capture, bool released)
    {
        bool aborted = capture.contains("VEXLOLPR wsock_abort()");
        bool graceful = capture.contains("wsock_release()");
        EXPECT_EQ(graceful, released) << "graceful release";
        EXPECT_EQ(aborted, !released) << "abortive close";
    }
    void ExpectOutcome(WORD result, const Outcome &want)
    {
        EXPECT_EQ(result, want.result);
        EXPECT_EQ(common_.errorcode, want.code);
        EXPECT_EQ(LastError(), want.text);
    }
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const char *p = listing_; p != nullptr && *p != '\0'; p += strlen(p) + 1)
            lines.push_back(p);
        return lines;
    }
    char *listing_ = nullptr;
};

std::string Pattern(size_t size)
{
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i++)
        content[i] = static_cast<char>('a' + i % 26);
    return content;
}

// ---- the matrix ---------------------------------------------------------------------------

class FaultMatrix : public FaultTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    // The part of an accepting server's script that runs before the fault.
    std::vector<PeerStep> PrintPrefix(const LPR_PRINTARG &p, Step step)
    {
        vx::ControlFileArgs args = {common_.clienthost, common_.username, p.filename, "fA000client", p.copies,
                                    p.format, p.jobname, p.bannerclass, p.nobanner};
        size_t controlsize = vx::BuildControlFile(args, nullptr) + 1; // and its NUL
        size_t datasize = CONTENT_SIZE + 1;
        size_t first = p.controlfirst ? controlsize : datasize;
        size_t second = p.controlfirst ? datasize : controlsize;
        std::vector<PeerStep> s;
        if (step == Step::AfterConnect) {
            s.push_back(Peer::Peek(1)); // the command has come, and stays unread
            return s;
        }
        s.push_back(Peer::ReadLine());
        if (step == Step::AfterCommand)
            return s;
        s.insert(s.end(), {Peer::Ack(), Peer::ReadLine()});
        if (step == Step::AfterSubcommand1)
            return s;
        s.push_back(Peer::Ack());
        if (step == Step::InContent1)
            return Partly(s, first);
        s.push_back(Peer::Read(first));
        if (step == Step::BeforeFinal1)
            return s;
        s.insert(s.end(), {Peer::Ack(), Peer::ReadLine()});
        if (step == Step::AfterSubcommand2)
            return s;
        s.push_back(Peer::Ack());
        if (step == Step::InContent2)
            return Partly(s, second);
        s.push_back(Peer::Read(second));
        return s;
    }
    // Half of a file is read, and the rest waited for unread: the client has finished
    // its writes (the data file's content and its closing octet go in two), so that the
    // fault meets it waiting for the final acknowledgement and not between those writes.
    static std::vector<PeerStep> Partly(std::vector<PeerStep> s, size_t size)
    {
        s.insert(s.end(), {Peer::Read(size / 2), Peer::Peek(size - size / 2)});
        return s;
    }
    static std::vector<PeerStep> AnswerPrefix(Step step)
    {
        if (step == Step::AfterConnect)
            return {Peer::Peek(1)};
        if (step == Step::AfterCommand)
            return {Peer::ReadLine()};
        return {Peer::ReadLine(), Peer::Send(PARTIAL_ANSWER), Peer::Sleep(100)};
    }
    static PeerStep FaultStep(Fault f)
    {
        return f == Fault::Reset ? Peer::Reset() : f == Fault::Hold ? Peer::Hold(HOLD_MS) : Peer::Close();
    }
};

TEST_P(FaultMatrix, FailsCleanlyWithTheStepsOwnCodeAndText)
{
    const FaultCase &c = GetParam();
    std::string content = Pattern(CONTENT_SIZE);
    LPR_PRINTARG p = PrintArg(File("a.txt", content));
    p.controlfirst = c.exchange == Exchange::ControlFirst;
    bool print = c.exchange == Exchange::DataFirst || c.exchange == Exchange::ControlFirst;
    std::vector<PeerStep> script = print ? PrintPrefix(p, c.step) : AnswerPrefix(c.step);
    script.push_back(FaultStep(c.fault));

    DebugCapture capture;
    WORD result;
    long elapsed;
    std::string wire;
    {
        FakeLpd lpd(script, 12000);
        vx::lpdport = lpd.port();
        auto start = std::chrono::steady_clock::now();
        if (print) {
            result = LPR_Print(&p, &common_);
        } else if (c.exchange == Exchange::Queue) {
            LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
            result = LPR_GetQueue(&q, &common_);
        } else {
            LPR_DELETEARG d = {"127.0.0.1", "lp", 42};
            result = LPR_DeleteJob(&d, &common_);
        }
        elapsed = Since(start);
        if (c.fault != Fault::Hold)
            lpd.join();
        wire = lpd.received();
    }
    ExpectOutcome(result, c.want);
    ExpectClosed(capture, result == LPR_OK);
    EXPECT_EQ(OpenDescriptors(), descriptors_) << "a descriptor outlived the request";
    if (c.fault == Fault::Hold) {
        // One reply time-out, at the granularity of the read's waits (a second).
        EXPECT_GE(elapsed, static_cast<long>(REPLY_TIMEOUT)) << "gave up before the reply time-out";
        EXPECT_LT(elapsed, static_cast<long>(REPLY_TIMEOUT) + 2500) << "waited past the reply time-out";
    } else {
        EXPECT_LT(elapsed, static_cast<long>(REPLY_TIMEOUT)) << "a reset or close is seen at once";
    }

    if (c.exchange == Exchange::Queue) {
        if (result == LPR_OK) {
            std::vector<std::string> expected;
            if (c.step == Step::InContent1)
                expected = {"one line ", "part"};
            EXPECT_EQ(Lines(), expected) << "what arrived before the close is the listing";
        } else {
            EXPECT_EQ(listing_, nullptr) << "no listing after a failure";
        }
    }
    if (c.exchange == Exchange::Removal && c.step != Step::AfterConnect) {
        EXPECT_EQ(wire, "\x05lp tester 42\n");
    }
    if (print && result == LPR_OK) {
        EXPECT_EQ(wire, JobBytes(p, common_, StemOf(wire), content)) << "the whole job went out";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultMatrix, ::testing::ValuesIn(Matrix()),
                         [](const ::testing::TestParamInfo<FaultCase> &info) { return CaseName(info.param); });

// ---- slow, endless, deaf and vanishing servers ---------------------------------------------

class ServerFaults : public FaultTest {};

// Every answer of an accepting server comes after a pause: slow is not wrong.
TEST_F(ServerFaults, PausedAnswersStillCarryTheJobInBothOrders)
{
    for (BOOL controlfirst : {0, 1}) {
        std::string content = Pattern(3000);
        LPR_PRINTARG p = PrintArg(File("slow.txt", content));
        p.controlfirst = controlfirst;
        std::vector<PeerStep> script;
        for (PeerStep &s : AcceptJob(p, common_, content.size())) {
            if (s.kind == PeerStep::SEND)
                script.push_back(Peer::Sleep(120));
            script.push_back(s);
        }
        DebugCapture capture;
        std::string wire;
        {
            FakeLpd lpd(script);
            vx::lpdport = lpd.port();
            common_.errorcode = 0;
            ASSERT_EQ(LPR_Print(&p, &common_), LPR_OK) << LastError();
            lpd.join();
            wire = lpd.received();
        }
        EXPECT_EQ(wire, JobBytes(p, common_, StemOf(wire), content)) << "controlfirst=" << controlfirst;
        EXPECT_EQ(common_.errorcode, 0);
        ExpectClosed(capture, true);
        EXPECT_EQ(OpenDescriptors(), descriptors_);
    }
}

TEST_F(ServerFaults, TrickledListingArrivesWhole)
{
    DebugCapture capture;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Trickle("Rank Owner Job\n1st  ann  107\n", 10), Peer::Close()});
        vx::lpdport = lpd.port();
        LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
        ASSERT_EQ(LPR_GetQueue(&q, &common_), LPR_OK) << LastError();
        lpd.join();
    }
    std::vector<std::string> expected = {"Rank Owner Job ", "1st  ann  107 "};
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(common_.errorcode, 0);
    ExpectClosed(capture, true);
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

TEST_F(ServerFaults, TrickledRemovalAnswerIsDrained)
{
    DebugCapture capture;
    std::string wire;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Trickle("dfA042client dequeued\n", 10), Peer::Close()});
        vx::lpdport = lpd.port();
        LPR_DELETEARG d = {"127.0.0.1", "lp", 42};
        EXPECT_EQ(LPR_DeleteJob(&d, &common_), LPR_OK) << LastError();
        lpd.join();
        wire = lpd.received();
    }
    EXPECT_EQ(wire, "\x05lp tester 42\n");
    EXPECT_EQ(common_.errorcode, 0);
    ExpectClosed(capture, true);
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

// The job command's answer is judged from what the first receive brings: a refusal that
// trickles in is a refusal all the same, told by its first octet.
TEST_F(ServerFaults, TrickledRefusalIsARefusal)
{
    DebugCapture capture;
    std::string wire;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Trickle("\x01queue is disabled\n", 20), Peer::ReadToClose()});
        vx::lpdport = lpd.port();
        LPR_PRINTARG p = PrintArg(File("a.txt", "content"));
        EXPECT_EQ(LPR_Print(&p, &common_), LPR_R_UNEXP_NET_ERR);
        lpd.join();
        wire = lpd.received();
    }
    EXPECT_EQ(common_.errorcode, LPR_ERR_LPD_REPORTED);
    EXPECT_EQ(LastError(), "Server error: perhaps there is no lp printer");
    EXPECT_EQ(wire, "\x02lp\n") << "nothing after the refusal";
    ExpectClosed(capture, false);
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

TEST_F(ServerFaults, EndlessListingIsCutAtItsBoundAndDelivered)
{
    DebugCapture capture;
    auto start = std::chrono::steady_clock::now();
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Stream("d1 queued 1024 bytes\n")}, 5000);
        vx::lpdport = lpd.port();
        LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
        ASSERT_EQ(LPR_GetQueue(&q, &common_), LPR_OK) << LastError();
        lpd.join(); // the stream ends when the client has gone
    }
    EXPECT_LT(Since(start), 4000) << "the server's stream ended with the client, not its deadline";
    EXPECT_EQ(common_.errorcode, 0);
    std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    size_t used = 0;
    for (const std::string &line : lines) {
        EXPECT_EQ(line, "d1 queued 1024 bytes ");
        used += line.size() + 1;
    }
    EXPECT_LE(used + 1, vx::LISTING_SIZE) << "the listing and its end fit the block";
    EXPECT_GT(used + 2 * 22, vx::LISTING_BOUND) << "cut only when the next line did not fit";
    ExpectClosed(capture, false); // the rest of the listing was never read
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

TEST_F(ServerFaults, DeafServerTimesTheDataFileOut)
{
    std::string content(16 << 20, 'q');
    LPR_PRINTARG p = PrintArg(File("big.bin", content));
    DebugCapture capture;
    WORD result;
    long elapsed;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Ack(), Peer::Hold(15000)}, 20000);
        vx::lpdport = lpd.port();
        auto start = std::chrono::steady_clock::now();
        result = LPR_Print(&p, &common_);
        elapsed = Since(start);
    }
    EXPECT_EQ(result, LPR_R_GEN_FAILURE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_TIMEOUT);
    EXPECT_EQ(LastError(), "Couldn't send data file");
    EXPECT_GE(elapsed, static_cast<long>(REPLY_TIMEOUT));
    EXPECT_LT(elapsed, static_cast<long>(REPLY_TIMEOUT) + 4000);
    ExpectClosed(capture, false);
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

TEST_F(ServerFaults, CloseInTheMiddleOfALargeDataFile)
{
    std::string content(16 << 20, 'q');
    LPR_PRINTARG p = PrintArg(File("big.bin", content));
    DebugCapture capture;
    WORD result;
    long elapsed;
    std::string wire;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Ack(), Peer::ReadLine(), Peer::Ack(), Peer::Read(65536), Peer::Close()},
                    10000);
        vx::lpdport = lpd.port();
        auto start = std::chrono::steady_clock::now();
        result = LPR_Print(&p, &common_);
        elapsed = Since(start);
        lpd.join();
        wire = lpd.received();
    }
    EXPECT_EQ(result, LPR_R_GEN_FAILURE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK) << "the failed send's own code comes first";
    EXPECT_EQ(LastError(), "Couldn't send data file");
    EXPECT_LT(elapsed, static_cast<long>(REPLY_TIMEOUT)) << "a reset is seen at once";
    EXPECT_EQ(wire.find("cfA"), std::string::npos) << "no control file after a failed data file";
    ExpectClosed(capture, false);
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

} // namespace
