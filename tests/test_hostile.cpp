// Hostile and extreme input from callers: names of every length in every string field,
// names that would break the framing, 65535 copies, files that cannot be printed or
// change under the job, and null pointers where records and strings are expected.
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "support/lpr.h"

using namespace vxtest;

namespace {

class HostileTest : public LprTest {
protected:
    void SetUp() override
    {
        LprTest::SetUp();
        common_.replytimeout = 3000;
        common_.debugflags = LPR_DEBUG_TRACE; // the trace formats every name as well
    }
    void TearDown() override
    {
        LPR_FreeQueue(&listing_);
        LprTest::TearDown();
    }
    // The wire of a complete job; the helpers want strings where the library takes null.
    std::string Expected(LPR_PRINTARG p, LPR_COMMONARG c, const std::string &wire, const std::string &content)
    {
        p.printer = p.printer != nullptr ? p.printer : "";
        c.clienthost = c.clienthost != nullptr ? c.clienthost : "";
        return JobBytes(p, c, StemOf(wire), content);
    }
    std::vector<PeerStep> Accepting(LPR_PRINTARG p, LPR_COMMONARG c, size_t size)
    {
        p.printer = p.printer != nullptr ? p.printer : "";
        c.clienthost = c.clienthost != nullptr ? c.clienthost : "";
        return AcceptJob(p, c, size);
    }
    static std::string Cut(const std::string &text) { return text.substr(0, vx::LASTERROR_SIZE - 1); }
    char *listing_ = nullptr;
};

// ---- names of every length ------------------------------------------------------------------

enum class Field { Host, Printer, User, ClientHost, JobName, Class, FileName };

struct NameCase {
    Field field;
    size_t length;
};

const char *FieldName(Field f)
{
    switch (f) {
    case Field::Host: return "Host";
    case Field::Printer: return "Printer";
    case Field::User: return "User";
    case Field::ClientHost: return "ClientHost";
    case Field::JobName: return "JobName";
    case Field::Class: return "Class";
    case Field::FileName: return "FileName";
    }
    return "?";
}

std::string NameCaseName(const NameCase &c) { return std::string(FieldName(c.field)) + "_" + std::to_string(c.length); }

void PrintTo(const NameCase &c, std::ostream *os) { *os << NameCaseName(c); }

std::vector<NameCase> NameCases()
{
    std::vector<NameCase> cases;
    for (Field f : {Field::Host, Field::Printer, Field::User, Field::ClientHost, Field::JobName, Field::Class,
                    Field::FileName})
        for (size_t length : {0, 1, 255, 4096, 65536})
            cases.push_back({f, length});
    return cases;
}

class NameLengths : public HostileTest, public ::testing::WithParamInterface<NameCase> {
protected:
    // A name of the length asked for.  A host of one character is a number, which is a
    // dotted address and never looked up; a longer one is one label longer than any
    // label may be, which no resolver sends.
    static std::string Name(Field f, size_t length)
    {
        if (f == Field::Host && length == 1)
            return "7";
        return std::string(length, f == Field::Host ? 'h' : 'n');
    }
};

TEST_P(NameLengths, PrintEitherCarriesTheNameOrRefusesIt)
{
    const NameCase &c = GetParam();
    std::string name = Name(c.field, c.length);
    std::string content = "hostile names\n";
    std::string path = File("a.txt", content);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    if (c.field == Field::FileName && (c.length == 1 || c.length == 255)) {
        // A relative name of exactly that length, in the scratch directory.
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        std::ofstream(name, std::ios::binary) << content;
    } else if (c.field == Field::FileName && c.length > 0) {
        // Longer than any path may be, though every part of it is there.
        name = dir_ + "/";
        while (name.size() < c.length - 5)
            name += "./";
        name = name.substr(0, c.length - 5);
        if (name.back() == '.')
            name.back() = '/';
        name += "a.txt";
        ASSERT_EQ(name.size(), c.length);
    }
    LPR_PRINTARG p = PrintArg(path);
    switch (c.field) {
    case Field::Host: p.host = name.c_str(); break;
    case Field::Printer: p.printer = name.c_str(); break;
    case Field::User: common_.username = name.c_str(); break;
    case Field::ClientHost: common_.clienthost = name.c_str(); break;
    case Field::JobName: p.jobname = name.c_str(); break;
    case Field::Class: p.bannerclass = name.c_str(); break;
    case Field::FileName: p.filename = name.c_str(); break;
    }
    bool hostfails = c.field == Field::Host && c.length != 1;
    bool filefails = c.field == Field::FileName && (c.length == 0 || c.length >= 4096);

    WORD result;
    std::string wire;
    uint16_t client;
    {
        FakeLpd lpd(Accepting(p, common_, content.size()), 8000);
        vx::lpdport = lpd.port();
        result = LPR_Print(&p, &common_);
        if (!hostfails && !filefails && c.field != Field::Host)
            lpd.join();
        wire = lpd.received();
        client = lpd.client_port();
    }
    ASSERT_EQ(chdir(cwd), 0);
    if (hostfails) {
        EXPECT_EQ(result, LPR_R_BAD_NET_NAME);
        EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME);
        EXPECT_EQ(LastError(), Cut("Can't resolve host name " + name)) << "the text is cut, not overrun";
        EXPECT_EQ(client, 0) << "no connection";
    } else if (c.field == Field::Host) {
        // 0.0.0.7 is no address to connect to: a network failure, not a crash.
        EXPECT_EQ(result, LPR_R_UNEXP_NET_ERR);
        EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
        EXPECT_EQ(client, 0);
    } else if (filefails) {
        EXPECT_EQ(result, LPR_R_BAD_DEVICE);
        EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_NOT_FOUND);
        EXPECT_EQ(LastError(), "File not found");
        EXPECT_EQ(client, 0) << "no connection";
    } else {
        ASSERT_EQ(result, LPR_OK) << LastError();
        EXPECT_EQ(common_.errorcode, 0);
        EXPECT_EQ(wire, Expected(p, common_, wire, content)) << "the name went out as it is";
        EXPECT_NE(wire.find(name), std::string::npos);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

// The fields that the queue listing and the removal send.
class RequestNameLengths : public NameLengths {};

TEST_P(RequestNameLengths, QueueAndRemovalCarryTheirNames)
{
    const NameCase &c = GetParam();
    std::string name = Name(c.field, c.length);
    LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
    LPR_DELETEARG d = {"127.0.0.1", "lp", 42};
    if (c.field == Field::Host)
        q.host = d.host = name.c_str();
    if (c.field == Field::Printer)
        q.printer = d.printer = name.c_str();
    if (c.field == Field::User)
        common_.username = name.c_str();
    bool hostfails = c.field == Field::Host && c.length != 1;

    WORD queued, removed;
    std::string queuewire, removewire;
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Send("no entries\n"), Peer::Close()}, 6000);
        vx::lpdport = lpd.port();
        queued = LPR_GetQueue(&q, &common_);
        if (queued == LPR_OK)
            lpd.join();
        queuewire = lpd.received();
    }
    int queuecode = common_.errorcode;
    std::string queuetext = LastError();
    common_.errorcode = 0;
    vx::ClearLastErrorText();
    {
        FakeLpd lpd({Peer::ReadLine(), Peer::Send("done\n"), Peer::Close()}, 6000);
        vx::lpdport = lpd.port();
        removed = LPR_DeleteJob(&d, &common_);
        if (removed == LPR_OK)
            lpd.join();
        removewire = lpd.received();
    }
    if (hostfails) {
        EXPECT_EQ(queued, LPR_R_BAD_NET_NAME);
        EXPECT_EQ(queuecode, LPR_ERR_HOST_NAME);
        EXPECT_EQ(queuetext, Cut("Can't resolve host name " + name));
        EXPECT_EQ(listing_, nullptr);
        if (c.length == 0) {
            EXPECT_EQ(removed, LPR_R_UNEXP_NET_ERR) << "an empty host is refused untouched";
            EXPECT_EQ(common_.errorcode, 0);
        } else {
            EXPECT_EQ(removed, LPR_R_BAD_NET_NAME);
            EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME);
            EXPECT_EQ(LastError(), Cut("Can't resolve host name " + name));
        }
        EXPECT_EQ(queuewire, "");
        EXPECT_EQ(removewire, "");
    } else if (c.field == Field::Host) {
        EXPECT_EQ(queued, LPR_R_UNEXP_NET_ERR);
        EXPECT_EQ(queuecode, LPR_ERR_NETWORK);
        EXPECT_EQ(removed, LPR_R_UNEXP_NET_ERR);
        EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
        EXPECT_EQ(listing_, nullptr);
    } else {
        std::string printer = c.field == Field::Printer ? name : "lp";
        std::string user = c.field == Field::User ? name : "tester";
        ASSERT_EQ(queued, LPR_OK) << queuetext;
        EXPECT_EQ(queuewire, "\x03" + printer + "\n");
        ASSERT_NE(listing_, nullptr);
        EXPECT_STREQ(listing_, "no entries ");
        if (c.field == Field::Printer && c.length == 0) {
            EXPECT_EQ(removed, LPR_R_BAD_NET_NAME) << "a removal needs a printer";
            EXPECT_EQ(removewire, "");
        } else {
            EXPECT_EQ(removed, LPR_OK) << LastError();
            EXPECT_EQ(removewire, "\x05" + printer + " " + user + " 42\n");
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

std::vector<NameCase> RequestNameCases()
{
    std::vector<NameCase> cases;
    for (const NameCase &c : NameCases())
        if (c.field == Field::Host || c.field == Field::Printer || c.field == Field::User)
            cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryField, NameLengths, ::testing::ValuesIn(NameCases()),
                         [](const ::testing::TestParamInfo<NameCase> &info) { return NameCaseName(info.param); });
INSTANTIATE_TEST_SUITE_P(EveryField, RequestNameLengths, ::testing::ValuesIn(RequestNameCases()),
                         [](const ::testing::TestParamInfo<NameCase> &info) { return NameCaseName(info.param); });

// ---- names that would break the framing ----------------------------------------------------

struct FramingCase {
    std::string name;
    const char *field; // as the text names it
    std::string value;
};

void PrintTo(const FramingCase &c, std::ostream *os) { *os << c.name; }

class Framing : public HostileTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, RefusedBeforeConnectingByEveryRequestThatSendsIt)
{
    const FramingCase &c = GetParam();
    std::string field = c.field;
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
    LPR_DELETEARG d = {"127.0.0.1", "lp", 3};
    if (field == "printer")
        p.printer = q.printer = d.printer = c.value.c_str();
    else if (field == "user")
        common_.username = c.value.c_str();
    else
        common_.clienthost = c.value.c_str();
    std::string text = "The " + field + " name can't be sent to the server: it holds a space or a control character";
    FakeLpd lpd({Peer::ReadToClose()}, 1500);
    vx::lpdport = lpd.port();

    EXPECT_EQ(LPR_Print(&p, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(common_.errorcode, LPR_ERR_BAD_NAME);
    EXPECT_EQ(LastError(), text);
    if (field == "printer") { // the listing sends only the printer
        common_.errorcode = 0;
        EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_R_BAD_NET_NAME);
        EXPECT_EQ(common_.errorcode, LPR_ERR_BAD_NAME);
        EXPECT_EQ(LastError(), text);
    }
    if (field != "client host") { // the removal sends printer and user
        common_.errorcode = 0;
        EXPECT_EQ(LPR_DeleteJob(&d, &common_), LPR_R_BAD_NET_NAME);
        EXPECT_EQ(common_.errorcode, LPR_ERR_BAD_NAME);
        EXPECT_EQ(LastError(), text);
    }
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0) << "no connection was made";
}

INSTANTIATE_TEST_SUITE_P(
    SpaceAndControls, Framing,
    ::testing::Values(FramingCase{"PrinterSpace", "printer", "lp 2"}, FramingCase{"PrinterLineFeed", "printer", "lp\n"},
                      FramingCase{"PrinterDel", "printer", "lp\x7f"}, FramingCase{"UserSpace", "user", "ann root"},
                      FramingCase{"UserTab", "user", "ann\troot"}, FramingCase{"UserSoh", "user", "\x01"},
                      FramingCase{"ClientSpace", "client host", "ws 1"},
                      FramingCase{"ClientLineFeed", "client host", "ws1\nUdfA999evil"}),
    [](const ::testing::TestParamInfo<FramingCase> &info) { return info.param.name; });

// ---- copies ---------------------------------------------------------------------------------

TEST_F(HostileTest, CopiesAtBothEndsAnnounceTheirTrueCount)
{
    for (WORD copies : {WORD(0), WORD(65535)}) {
        std::string content = "copies\n";
        LPR_PRINTARG p = PrintArg(File("a.txt", content));
        p.copies = copies;
        p.controlfirst = 1;
        std::string wire;
        {
            FakeLpd lpd(AcceptJob(p, common_, content.size()), 10000);
            vx::lpdport = lpd.port();
            common_.errorcode = 0;
            ASSERT_EQ(LPR_Print(&p, &common_), LPR_OK) << LastError();
            lpd.join();
            wire = lpd.received();
        }
        EXPECT_EQ(wire, JobBytes(p, common_, StemOf(wire), content));
        // The control file's subcommand line, then exactly that many bytes and a NUL.
        size_t line = wire.find("\n\x02", 0) + 1;
        ASSERT_EQ(wire[line], '\x02');
        size_t end = wire.find('\n', line);
        size_t announced = std::stoul(wire.substr(line + 1, wire.find(' ', line) - line - 1));
        size_t nul = wire.find('\0', end + 1);
        ASSERT_NE(nul, std::string::npos);
        EXPECT_EQ(nul - end - 1, announced) << copies << " copies";
        std::string text = wire.substr(end + 1, announced);
        std::string printline = "fd" + StemOf(wire) + "\n";
        size_t lines = 0;
        for (size_t at = text.find(printline); at != std::string::npos; at = text.find(printline, at + 1))
            lines++;
        EXPECT_EQ(lines, copies);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

// ---- files ----------------------------------------------------------------------------------

TEST_F(HostileTest, FilesThatAreNoFilesAreNotFound)
{
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string sub = dir_ + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    FakeLpd lpd({Peer::ReadToClose()}, 3000);
    vx::lpdport = lpd.port();
    for (const std::string &path : {sub, std::string("/dev/zero"), std::string("/dev/null")}) {
        LPR_PRINTARG p = PrintArg(path);
        common_.errorcode = 0;
        EXPECT_EQ(LPR_Print(&p, &common_), LPR_R_BAD_DEVICE) << path;
        EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_NOT_FOUND) << path;
        EXPECT_EQ(LastError(), "File not found") << path;
    }
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0);
}

// A named pipe without a writer: the open must not wait for one (there is no time-out
// and no dialog to cancel yet at that point).
TEST_F(HostileTest, NamedPipeWithoutWriterDoesNotHang)
{
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    LPR_PRINTARG p = PrintArg(fifo);
    std::atomic<bool> done{false};
    std::thread unblock([&] {
        // Bounded: after 3 s a writer comes, so that a hanging open ends.
        for (int i = 0; i < 300 && !done; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done) {
            int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        }
    });
    auto start = std::chrono::steady_clock::now();
    WORD result = LPR_Print(&p, &common_);
    long elapsed = Since(start);
    done = true;
    unblock.join();
    EXPECT_EQ(result, LPR_R_BAD_DEVICE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_NOT_FOUND);
    EXPECT_LT(elapsed, 1000) << "the open waited for a writer";
}

TEST_F(HostileTest, UnreadableFileIsNotFound)
{
    std::string path = File("secret.txt", "not for you");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    // Root reads anything; as nobody (this thread's file checks only) it may not.
    int previous = geteuid() == 0 ? setfsuid(65534) : -1;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        close(fd);
        if (previous >= 0)
            setfsuid(static_cast<uid_t>(previous));
        GTEST_SKIP() << "this process can read a file of mode 000";
    }
    FakeLpd lpd({Peer::ReadToClose()}, 1500);
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg(path);
    WORD result = LPR_Print(&p, &common_);
    if (previous >= 0)
        setfsuid(static_cast<uid_t>(previous));
    EXPECT_EQ(result, LPR_R_BAD_DEVICE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_NOT_FOUND);
    EXPECT_EQ(LastError(), "File not found");
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0);
}

// The file changes after the size was taken and announced: the peer does it when the
// data file's subcommand line has arrived, before it acknowledges that line.  Both ways
// of moving the file: read by the library (yielding), and by the kernel (not).
class ChangingFile : public HostileTest, public ::testing::WithParamInterface<bool> {
protected:
    std::string Run(const std::string &content, std::function<void(const std::string &)> change, WORD *result)
    {
        if (GetParam())
            common_.debugflags |= LPR_OPT_NOYIELD;
        std::string path = File("changing.bin", content);
        LPR_PRINTARG p = PrintArg(path);
        std::vector<PeerStep> script = AcceptJob(p, common_, content.size());
        // Job command, its answer, the data file's line, then the change.
        script.insert(script.begin() + 3, Peer::Call([path, change] { change(path); }));
        std::string wire;
        {
            FakeLpd lpd(script, 8000);
            vx::lpdport = lpd.port();
            *result = LPR_Print(&p, &common_);
            lpd.join();
            wire = lpd.received();
        }
        EXPECT_EQ(OpenDescriptors(), descriptors_);
        expected_ = JobBytes(p, common_, StemOf(wire), content);
        return wire;
    }
    std::string expected_;
};

TEST_P(ChangingFile, RemovedAfterTheOpenStillArrivesIntact)
{
    WORD result;
    std::string wire = Run(std::string(20000, 'r'), [](const std::string &path) { unlink(path.c_str()); }, &result);
    EXPECT_EQ(result, LPR_OK) << LastError();
    EXPECT_EQ(wire, expected_);
}

TEST_P(ChangingFile, GrownFileSendsOnlyTheAnnouncedCount)
{
    WORD result;
    std::string wire = Run(std::string(20000, 'g'),
                           [](const std::string &path) {
                               // A byte that no other part of the job carries (the scratch
                               // folder's random name may hold any letter).
                               std::ofstream(path, std::ios::binary | std::ios::app) << std::string(9000, '\x01');
                           },
                           &result);
    EXPECT_EQ(result, LPR_OK) << LastError();
    EXPECT_EQ(wire, expected_);
    EXPECT_EQ(wire.find('\x01'), std::string::npos) << "nothing of the growth went out";
}

TEST_P(ChangingFile, ShrunkFileFailsAndAbortsTheConnection)
{
    DebugCapture capture;
    WORD result;
    std::string wire = Run(std::string(20000, 's'),
                           [](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), 6000), 0); }, &result);
    EXPECT_EQ(result, LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_FILE_SHORTER);
    EXPECT_EQ(LastError(), "File was shorter than reported");
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_abort()"));
    EXPECT_FALSE(capture.contains("wsock_release()"));
    // What the file still had went out, and nothing after it: no closing NUL, no
    // control file.
    size_t line = wire.find(" dfA");
    ASSERT_NE(line, std::string::npos);
    size_t start = wire.find('\n', line) + 1;
    EXPECT_EQ(wire.substr(start), std::string(6000, 's'));
}

INSTANTIATE_TEST_SUITE_P(ReadOrByKernel, ChangingFile, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "NoYield" : "Yield"; });

// ---- null pointers --------------------------------------------------------------------------

TEST_F(HostileTest, NullRecordsAndRequestBlocksTouchNothing)
{
    FakeLpd lpd({Peer::ReadToClose()}, 1500);
    vx::lpdport = lpd.port();
    LPR_PRINTARG p = PrintArg(File("a.txt", "x"));
    LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
    LPR_DELETEARG d = {"127.0.0.1", "lp", 1};
    char sentinel = 's';
    listing_ = &sentinel;
    vx::SetErrorTextRaw("earlier");
    common_.errorcode = 42;
    int starts = vx::posix::WinsockStartCount();
    DebugCapture capture;

    EXPECT_EQ(LPR_Print(nullptr, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_Print(&p, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_Print(nullptr, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_DeleteJob(nullptr, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_DeleteJob(&d, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_DeleteJob(nullptr, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_GetQueue(nullptr, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_GetQueue(&q, nullptr), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(LPR_GetQueue(nullptr, nullptr), LPR_R_BAD_NET_NAME);

    EXPECT_EQ(common_.errorcode, 42);
    EXPECT_EQ(LastError(), "earlier");
    EXPECT_EQ(listing_, &sentinel) << "the caller's variable is left alone";
    listing_ = nullptr;
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts) << "the socket layer was not started";
    EXPECT_TRUE(capture.outputs().empty()) << "not even a trace line: " << capture.text();
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0);

    // The other exports take null where the header says so.
    EXPECT_EQ(LPR_FreeQueue(nullptr), 0);
    EXPECT_EQ(LPR_GetLastErrorText(nullptr, 100), 7);
    char buf[4] = "abc";
    EXPECT_EQ(LPR_GetLastErrorText(buf, 0), 7);
    EXPECT_STREQ(buf, "abc");
}

TEST_F(HostileTest, NowhereToPutTheListing)
{
    LPR_QUEUEARG q = {"127.0.0.1", "lp", nullptr};
    EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_R_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NO_MEMORY);
    EXPECT_EQ(LastError(), "Insufficient memory");
}

// A null string field reads as an empty one: the same result, code, text and wire.
struct NullCase {
    std::string name;
    int request; // 0 print, 1 queue, 2 removal
    std::function<void(LPR_PRINTARG &, LPR_QUEUEARG &, LPR_DELETEARG &, LPR_COMMONARG &, const char *)> set;
    WORD result;
    int code;
    std::string text;
};

void PrintTo(const NullCase &c, std::ostream *os) { *os << c.name; }

class NullFields : public HostileTest, public ::testing::WithParamInterface<NullCase> {
protected:
    struct Outcome {
        WORD result;
        int code;
        std::string text;
        std::string wire;
    };
    Outcome Once(const char *value)
    {
        const NullCase &c = GetParam();
        std::string content = "null fields\n";
        LPR_PRINTARG p = PrintArg(File("a.txt", content));
        LPR_QUEUEARG q = {"127.0.0.1", "lp", &listing_};
        LPR_DELETEARG d = {"127.0.0.1", "lp", 9};
        LPR_COMMONARG common = common_;
        c.set(p, q, d, common, value);
        std::vector<PeerStep> script = {Peer::ReadLine(), Peer::Send("answer\n"), Peer::Close()};
        if (c.request == 0)
            script = Accepting(p, common, content.size());
        vx::ClearLastErrorText();
        Outcome out;
        {
            FakeLpd lpd(script, 5000);
            vx::lpdport = lpd.port();
            out.result = c.request == 0 ? LPR_Print(&p, &common)
                         : c.request == 1 ? LPR_GetQueue(&q, &common)
                                          : LPR_DeleteJob(&d, &common);
            if (out.result == LPR_OK)
                lpd.join();
            out.wire = lpd.received();
        }
        LPR_FreeQueue(&listing_);
        out.code = common.errorcode;
        out.text = LastError();
        if (c.request == 0 && out.result == LPR_OK) {
            EXPECT_EQ(out.wire, Expected(p, common, out.wire, content)) << (value ? "empty" : "null");
        }
        return out;
    }
};

TEST_P(NullFields, NullReadsAsEmpty)
{
    const NullCase &c = GetParam();
    Outcome null = Once(nullptr);
    Outcome empty = Once("");
    EXPECT_EQ(null.result, c.result);
    EXPECT_EQ(null.code, c.code);
    EXPECT_EQ(null.text, c.text);
    EXPECT_EQ(null.result, empty.result);
    EXPECT_EQ(null.code, empty.code);
    EXPECT_EQ(null.text, empty.text);
    if (null.result == LPR_OK) {
        // The job number differs between two jobs; the rest must not.
        std::string a = null.wire, b = empty.wire;
        if (c.request == 0) {
            std::string sa = StemOf(a), sb = StemOf(b);
            for (size_t at = a.find(sa); at != std::string::npos; at = a.find(sa, at + 1))
                a.replace(at, sa.size(), sb);
        }
        EXPECT_EQ(a, b);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors_);
}

using P = LPR_PRINTARG;
using Q = LPR_QUEUEARG;
using D = LPR_DELETEARG;
using C = LPR_COMMONARG;

INSTANTIATE_TEST_SUITE_P(
    EveryString, NullFields,
    ::testing::Values(
        NullCase{"PrintFileName", 0, [](P &p, Q &, D &, C &, const char *v) { p.filename = v; }, LPR_R_BAD_DEVICE,
                 LPR_ERR_FILE_NOT_FOUND, "File not found"},
        NullCase{"PrintHost", 0, [](P &p, Q &, D &, C &, const char *v) { p.host = v; }, LPR_R_BAD_NET_NAME,
                 LPR_ERR_HOST_NAME, "Can't resolve host name "},
        NullCase{"PrintPrinter", 0, [](P &p, Q &, D &, C &, const char *v) { p.printer = v; }, LPR_OK, 0, ""},
        NullCase{"PrintUser", 0, [](P &, Q &, D &, C &c, const char *v) { c.username = v; }, LPR_OK, 0, ""},
        NullCase{"PrintClientHost", 0, [](P &, Q &, D &, C &c, const char *v) { c.clienthost = v; }, LPR_OK, 0,
                 ""},
        NullCase{"QueueHost", 1, [](P &, Q &q, D &, C &, const char *v) { q.host = v; }, LPR_R_BAD_NET_NAME,
                 LPR_ERR_HOST_NAME, "Can't resolve host name "},
        NullCase{"QueuePrinter", 1, [](P &, Q &q, D &, C &, const char *v) { q.printer = v; }, LPR_OK, 0, ""},
        NullCase{"RemovalHost", 2, [](P &, Q &, D &d, C &, const char *v) { d.host = v; }, LPR_R_UNEXP_NET_ERR, 0,
                 ""},
        NullCase{"RemovalPrinter", 2, [](P &, Q &, D &d, C &, const char *v) { d.printer = v; },
                 LPR_R_BAD_NET_NAME, 0, ""},
        NullCase{"RemovalUser", 2, [](P &, Q &, D &, C &c, const char *v) { c.username = v; }, LPR_OK, 0, ""}),
    [](const ::testing::TestParamInfo<NullCase> &info) { return info.param.name; });

// Two fields where null has a meaning of its own, as documented: a null job name is
// the file's path, a null class means no class line; empty ones are empty lines.
TEST_F(HostileTest, NullJobNameAndClassAreTheirDocumentedDefaults)
{
    std::string content = "job name\n";
    for (const char *value : {static_cast<const char *>(nullptr), ""}) {
        LPR_PRINTARG p = PrintArg(File("a.txt", content));
        p.jobname = value;
        p.bannerclass = value;
        std::string wire;
        {
            FakeLpd lpd(AcceptJob(p, common_, content.size()));
            vx::lpdport = lpd.port();
            ASSERT_EQ(LPR_Print(&p, &common_), LPR_OK) << LastError();
            lpd.join();
            wire = lpd.received();
        }
        EXPECT_EQ(wire, JobBytes(p, common_, StemOf(wire), content));
        std::string jobline = value == nullptr ? "\nJ" + std::string(p.filename) + "\n" : "\nJ\n";
        EXPECT_NE(wire.find(jobline), std::string::npos) << wire;
        EXPECT_EQ(wire.find("\nC\n") != std::string::npos, value != nullptr) << wire;
    }
}

} // namespace
