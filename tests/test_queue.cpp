// Queue listing and job removal against the fake LPD, and the reshaping of a listing.
#include <string.h>

#include <fstream>

#include "support/lpr.h"

using namespace vxtest;

namespace {

// ---- reshaping ------------------------------------------------------------------------

std::string Shape(const std::vector<std::string> &chunks, bool *complete = nullptr)
{
    std::string block(vx::LISTING_SIZE, '\0');
    vx::ListingBuilder b = {&block[0], 0, 0};
    for (const std::string &c : chunks)
        if (!b.Add(c.data(), static_cast<int>(c.size()))) {
            b.Cut();
            if (complete != nullptr)
                *complete = false;
            return block;
        }
    if (complete != nullptr)
        *complete = true;
    return block.substr(0, b.Finish());
}

TEST(Listing, LineEndsBecomeSpaceAndNul)
{
    EXPECT_EQ(Shape({"a\nb\n"}), std::string("a \0b \0\0\0", 8));
    EXPECT_EQ(Shape({"a\n", "\n", "b"}), std::string("a \0 \0b\0\0", 8)) << "an empty line is one space";
    EXPECT_EQ(Shape({std::string("x\r\ny\0z\n", 7)}), std::string("x\r \0y\0z \0\0\0", 11)) << "CR and NUL stay";
    EXPECT_EQ(Shape({}), std::string("\0\0", 2));
    EXPECT_EQ(Shape({"no\nline ", "end"}), std::string("no \0line end\0\0", 14));
}

TEST(Listing, TheLastTwoBytesAreKeptForTheClosingNuls)
{
    bool complete;
    std::string exact = Shape({std::string(8190, 'q')}, &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(exact.size(), 8192u);
    std::string full = Shape({std::string(8188, 'q') + "\n"}, &complete);
    EXPECT_TRUE(complete) << "a line end ending at 8189 fits";
    EXPECT_EQ(full.size(), 8192u);
    Shape({std::string(8188, 'q') + "\nz"}, &complete);
    EXPECT_FALSE(complete) << "nothing fits behind it";
    Shape({std::string(8189, 'q') + "\n"}, &complete);
    EXPECT_FALSE(complete) << "a line end across 8190 does not";
}

// ---- finding a job in a listing --------------------------------------------------------

// A listing block as LPR_GetQueue hands it out, from the server's text.
std::string Block(const std::string &text)
{
    std::string block(vx::LISTING_SIZE, '\0');
    vx::ListingBuilder b = {&block[0], 0, 0};
    EXPECT_TRUE(b.Add(text.data(), static_cast<int>(text.size())));
    return block.substr(0, b.Finish());
}

struct Found {
    Found(int r, DWORD n = 0, DWORD p = 0, std::string k = "") : result(r), number(n), position(p), rank(k) {}
    int result;
    DWORD number; // for LPR_FIND_LISTED
    DWORD position;
    std::string rank;
};

Found Find(const std::string &text, DWORD number, const char *owner, const char *name)
{
    LPR_JOBENTRY entry;
    memset(&entry, 0, sizeof entry);
    entry.size = sizeof entry;
    std::string block = Block(text);
    int result = LPR_FindJob(block.c_str(), number, owner, name, &entry);
    if (result != LPR_FIND_LISTED)
        return {result};
    return {result, entry.jobnumber, entry.position, entry.rank};
}

// The forms servers answer with, written out; the servers' own answers are read by the
// next test.
TEST(FindJob, TheFormsOfTheServers)
{
    const std::string table = "Rank   Owner      Job  Files                                 Total Size\n"
                              "active alice      350  report.txt                            20282 bytes\n"
                              "1st    bob        351  /home/bob/a very long name of a fil  7 bytes\n"
                              "2nd    alice      352  notes                                 5 bytes\n";
    const std::string lprng = "Printer: lp@host\n Queue: 2 printable jobs\n Server: pid 77 active\n"
                              " Rank   Owner/ID                  Class Job Files                 Size Time\n"
                              "active  alice@client+350             A   350 report.txt           20282 10:21:07\n"
                              "2       bob@client+17                A    17 x.ps                     9 10:21:09\n";
    struct Case {
        const char *name;
        std::string text;
        DWORD number;
        const char *owner;
        const char *jobname;
        Found want;
    } cases[] = {
        {"by number", table, 351, nullptr, nullptr, {LPR_FIND_LISTED, 351, 2, "1st"}},
        {"by number and owner", table, 352, "alice", nullptr, {LPR_FIND_LISTED, 352, 3, "2nd"}},
        {"another owner's job", table, 352, "bob", nullptr, {LPR_FIND_NOT_LISTED}},
        {"not there", table, 353, nullptr, nullptr, {LPR_FIND_NOT_LISTED}},
        {"renumbered, by name", table, 9, "alice", "report.txt", {LPR_FIND_LISTED, 350, 1, "active"}},
        {"renumbered, the name cut by the column", table, 9, "bob", "/home/bob/a very long name of a file.txt",
         {LPR_FIND_LISTED, 351, 2, "1st"}},
        {"renumbered, by the path's last part", table, 9, "alice", "/tmp/notes", {LPR_FIND_LISTED, 352, 3, "2nd"}},
        {"renumbered, a Windows path's last part", table, 9, "alice", "C:\\tmp\\notes", {LPR_FIND_LISTED, 352, 3, "2nd"}},
        {"a name's start alone is not enough", table, 9, "alice", "notes-2", {LPR_FIND_NOT_LISTED}},
        {"the number wins over a name", table, 352, "alice", "report.txt", {LPR_FIND_LISTED, 352, 3, "2nd"}},
        {"long form with owner and host", lprng, 17, "bob", nullptr, {LPR_FIND_LISTED, 17, 2, "2"}},
        {"long form, not there", lprng, 18, "bob", nullptr, {LPR_FIND_NOT_LISTED}},
        {"empty queue", "no entries\n", 350, nullptr, nullptr, {LPR_FIND_NOT_LISTED}},
        {"printer heading, empty", "Printer: lp is ready\nno entries\n", 1, nullptr, nullptr, {LPR_FIND_NOT_LISTED}},
        {"LPRng, empty", "Printer: lp@host\n Queue: no printable jobs in queue\n", 1, nullptr, nullptr,
         {LPR_FIND_NOT_LISTED}},
        {"LPRng's count, none", "lp@host  0 jobs\n", 1, nullptr, nullptr, {LPR_FIND_NOT_LISTED}},
        {"LPRng's count of jobs tells nothing", "lp@host  2 jobs\n", 1, nullptr, nullptr, {LPR_FIND_UNKNOWN}},
        {"a form not known", "Queue lp: 3 jobs waiting\n", 1, nullptr, nullptr, {LPR_FIND_UNKNOWN}},
        {"nothing at all", "", 1, nullptr, nullptr, {LPR_FIND_NOTHING}},
        {"blank lines only", "\n  \n", 1, nullptr, nullptr, {LPR_FIND_NOTHING}},
    };
    for (const Case &c : cases) {
        Found got = Find(c.text, c.number, c.owner, c.jobname);
        EXPECT_EQ(got.result, c.want.result) << c.name;
        EXPECT_EQ(got.number, c.want.number) << c.name;
        EXPECT_EQ(got.position, c.want.position) << c.name;
        EXPECT_EQ(got.rank, c.want.rank) << c.name;
    }
    LPR_JOBENTRY entry = {};
    entry.size = sizeof entry - 1;
    EXPECT_EQ(LPR_FindJob("", 1, nullptr, nullptr, &entry), -1);
    entry.size = sizeof entry;
    EXPECT_EQ(LPR_FindJob(nullptr, 1, nullptr, nullptr, &entry), -1);
    EXPECT_EQ(LPR_FindJob("", 1, nullptr, nullptr, nullptr), -1);
}

// The servers' own answers (tests/interop/listings; its README tells which jobs each
// holds): the short form of vexlolpd, BSD lpd and cups-lpd, the long form of LPRng.
TEST(FindJob, TheServersOwnListings)
{
    const char *report = "/home/alice/reports/quarterly-report-2026.txt";
    struct Case {
        const char *file;
        DWORD number;
        const char *owner;
        const char *jobname;
        Found want;
    } cases[] = {
        {"vexlolpd-three-short", 259, "bob", nullptr, {LPR_FIND_LISTED, 259, 2, "2nd"}},
        {"vexlolpd-three-short", 300, "alice", "notes.txt", {LPR_FIND_LISTED, 300, 3, "3rd"}},
        {"vexlolpd-three-short", 301, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"vexlolpd-empty-short", 258, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"bsd-three-short", 311, "bob", nullptr, {LPR_FIND_LISTED, 311, 2, "2nd"}},
        {"bsd-active-short", 341, "alice", nullptr, {LPR_FIND_LISTED, 341, 1, "active"}},
        {"bsd-active-short", 342, "bob", "memo", {LPR_FIND_LISTED, 342, 2, "1st"}},
        {"bsd-empty-short", 309, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"lprng-three-short", 303, "alice", nullptr, {LPR_FIND_UNKNOWN}},
        {"lprng-empty-short", 303, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"lprng-three-long", 305, "bob", nullptr, {LPR_FIND_LISTED, 305, 2, "2"}},
        {"lprng-three-long", 303, "alice", report, {LPR_FIND_LISTED, 303, 1, "1"}},
        {"lprng-three-long", 304, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"lprng-active-long", 334, "alice", nullptr, {LPR_FIND_LISTED, 334, 1, "active"}},
        {"lprng-empty-long", 334, "alice", nullptr, {LPR_FIND_NOT_LISTED}},
        {"lprng-done-long", 117, "bob", "memo", {LPR_FIND_NOT_LISTED}},
        {"cups-three-short", 500, "alice", report, {LPR_FIND_LISTED, 1, 1, "1st"}},
        {"cups-three-short", 501, "bob", "memo", {LPR_FIND_LISTED, 2, 2, "2nd"}},
        {"cups-three-short", 502, "alice", "notes.txt", {LPR_FIND_LISTED, 3, 3, "3rd"}},
        {"cups-three-short", 503, "bob", "notes.txt", {LPR_FIND_NOT_LISTED}},
        {"cups-active-short", 600, "alice", "big-job", {LPR_FIND_LISTED, 1, 1, "active"}},
        {"cups-empty-short", 500, "alice", report, {LPR_FIND_NOT_LISTED}},
        {"cupsanon-three-short", 502, "alice", "notes.txt", {LPR_FIND_UNKNOWN}},
        {"cupsanon-three-short", 2, nullptr, nullptr, {LPR_FIND_LISTED, 2, 2, "2nd"}},
        {"cupsanon-three-long", 502, "alice", "notes.txt", {LPR_FIND_UNKNOWN}},
        {"cupsanon-empty-short", 502, "alice", "notes.txt", {LPR_FIND_NOT_LISTED}},
    };
    for (const Case &c : cases) {
        std::ifstream in(std::string(VEXLOLPR_LISTINGS) + "/" + c.file + ".txt", std::ios::binary);
        ASSERT_TRUE(in) << c.file;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Found got = Find(text, c.number, c.owner, c.jobname);
        std::string name = std::string(c.file) + " job " + std::to_string(c.number);
        EXPECT_EQ(got.result, c.want.result) << name;
        EXPECT_EQ(got.number, c.want.number) << name;
        EXPECT_EQ(got.position, c.want.position) << name;
        EXPECT_EQ(got.rank, c.want.rank) << name;
    }
}

TEST(Listing, CutAfterTheLastCompleteLine)
{
    bool complete;
    std::string block = Shape({"first\n", std::string(9000, 'w')}, &complete);
    EXPECT_FALSE(complete);
    EXPECT_EQ(block.size(), 8192u);
    EXPECT_EQ(std::string(block.c_str()), "first ");
    EXPECT_EQ(block[7], '\0') << "the list ends behind the last line";
    block = Shape({std::string(9000, 'w')}, &complete);
    EXPECT_EQ(block[0], '\0') << "no complete line: an empty list";
}

// ---- queue listing --------------------------------------------------------------------

class QueueListingTest : public LprTest {
protected:
    WORD Queue(const char *printer = "lp")
    {
        LPR_QUEUEARG q = {"127.0.0.1", printer, &listing_};
        return LPR_GetQueue(&q, &common_);
    }
    void TearDown() override
    {
        LPR_FreeQueue(&listing_);
        LprTest::TearDown();
    }
    // The listing's strings, up to the empty one that ends them.
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const char *p = listing_; p != nullptr && *p != '\0'; p += strlen(p) + 1)
            lines.push_back(p);
        return lines;
    }
    char *listing_ = nullptr;
};

TEST_F(QueueListingTest, ListingArrivesInPiecesAndIsReshaped)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send("Rank Owner Job\n1st  ann "), Peer::Sleep(150),
                 Peer::Send("107\n\nlast"), Peer::Sleep(100), Peer::Send(" line\n"), Peer::Close()});
    vx::lpdport = lpd.port();
    ASSERT_EQ(Queue(), LPR_OK) << LastError();
    std::vector<std::string> expected = {"Rank Owner Job ", "1st  ann 107 ", " ", "last line "};
    EXPECT_EQ(Lines(), expected);
    lpd.join();
    EXPECT_EQ(lpd.received(), "\x03lp\n");
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), blocks_ + 1) << "the listing is the caller's";
    LPR_FreeQueue(&listing_);
    EXPECT_EQ(listing_, nullptr);
}

TEST_F(QueueListingTest, LongListingBitChoosesTheCommandOnly)
{
    const struct {
        WORD flags;
        const char *sent;
    } cases[] = {
        {0, "\x03lp\n"},
        {LPR_OPT_NOYIELD | LPR_DEBUG_TRACE, "\x03lp\n"},
        {LPR_OPT_LONGLIST, "\x04lp\n"},
        {LPR_OPT_LONGLIST | LPR_OPT_NOYIELD | LPR_DEBUG_TRACE, "\x04lp\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        FakeLpd lpd({Peer::ReadLine(), Peer::Send("lp is ready\nann: 1st [job 107]\n  a.txt 5 bytes\n"), Peer::Close()});
        vx::lpdport = lpd.port();
        common_.debugflags = c.flags;
        ASSERT_EQ(Queue(), LPR_OK) << LastError();
        std::vector<std::string> expected = {"lp is ready ", "ann: 1st [job 107] ", "  a.txt 5 bytes "};
        EXPECT_EQ(Lines(), expected);
        lpd.join();
        EXPECT_EQ(lpd.received(), c.sent);
        LPR_FreeQueue(&listing_);
    }
}

TEST_F(QueueListingTest, PortSuffixReachesTheServer)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send("empty\n"), Peer::Close()});
    std::string host = "127.0.0.1:" + std::to_string(lpd.port());
    vx::lpdport = 9;
    LPR_QUEUEARG q = {host.c_str(), "lp", &listing_};
    ASSERT_EQ(LPR_GetQueue(&q, &common_), LPR_OK) << LastError();
    EXPECT_EQ(Lines(), std::vector<std::string>{"empty "});
}

TEST_F(QueueListingTest, OverlongListingIsCutAndStillDelivered)
{
    std::string many;
    for (int i = 0; i < 2000; i++)
        many += "job " + std::to_string(i) + "\n";
    FakeLpd lpd({Peer::ReadLine(), Peer::Send(many), Peer::Hold(3000)});
    vx::lpdport = lpd.port();
    ASSERT_EQ(Queue(), LPR_OK);
    std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "job 0 ");
    EXPECT_LT(lines.size(), 2000u);
    EXPECT_EQ(lines.back(), "job " + std::to_string(lines.size() - 1) + " ");
}

TEST_F(QueueListingTest, ServerThatNeverClosesFailsTheReceive)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send("one line\n"), Peer::Hold(5000)});
    vx::lpdport = lpd.port();
    common_.replytimeout = 1000;
    EXPECT_EQ(Queue(), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(listing_, nullptr) << "the block is released on failure";
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "Failed to recieve queue list");
}

TEST_F(QueueListingTest, UnresolvableHostLeavesTheVariableAlone)
{
    char sentinel = 's';
    listing_ = &sentinel;
    LPR_QUEUEARG q = {"nosuch.invalid", "lp", &listing_};
    EXPECT_EQ(LPR_GetQueue(&q, &common_), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(listing_, &sentinel);
    EXPECT_EQ(common_.errorcode, LPR_ERR_HOST_NAME);
    listing_ = nullptr;
}

TEST_F(QueueListingTest, NoMemoryForTheListing)
{
    vx::SetErrorTextRaw("before");
    vx::posix::FailGlobalAllocAt(1);
    EXPECT_EQ(Queue(), LPR_R_NOT_ENOUGH_MEMORY);
    vx::posix::FailGlobalAllocAt(0);
    EXPECT_EQ(listing_, nullptr);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NO_MEMORY);
    EXPECT_EQ(LastError(), "before") << "no text is formatted";
}

TEST_F(QueueListingTest, ResetDuringTheListing)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send("partial"), Peer::Sleep(100), Peer::Reset()});
    vx::lpdport = lpd.port();
    EXPECT_EQ(Queue(), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(listing_, nullptr);
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "Failed to recieve queue list");
}

// ---- job removal ------------------------------------------------------------------------

class DeleteTest : public LprTest {
protected:
    WORD Delete(const char *host, const char *printer, WORD job)
    {
        LPR_DELETEARG d = {host, printer, job};
        return LPR_DeleteJob(&d, &common_);
    }
};

TEST_F(DeleteTest, CommandCarriesOneJobAndTheAnswerIsDrained)
{
    for (WORD job : {WORD(1), WORD(65535)}) {
        FakeLpd lpd({Peer::ReadLine(), Peer::Send(std::string(3000, 'r') + "\n"), Peer::Close()});
        vx::lpdport = lpd.port();
        EXPECT_EQ(Delete("127.0.0.1", "lp", job), LPR_OK) << LastError();
        lpd.join();
        EXPECT_EQ(lpd.received(), "\x05lp tester " + std::to_string(job) + "\n");
    }
    common_.username = "";
    FakeLpd quiet({Peer::ReadLine(), Peer::Close()});
    vx::lpdport = quiet.port();
    EXPECT_EQ(Delete("127.0.0.1", "lp", 7), LPR_OK);
    quiet.join();
    EXPECT_EQ(quiet.received(), "\x05lp  7\n") << "an empty user is not refused";
}

TEST_F(DeleteTest, PortSuffixReachesTheServer)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Close()});
    std::string host = "127.0.0.1:" + std::to_string(lpd.port());
    vx::lpdport = 9;
    EXPECT_EQ(Delete(host.c_str(), "lp", 12), LPR_OK) << LastError();
    lpd.join();
    EXPECT_EQ(lpd.received(), "\x05lp tester 12\n");
}

TEST_F(DeleteTest, ChecksComeBeforeAnyConnection)
{
    vx::SetErrorTextRaw("earlier");
    common_.errorcode = 42;
    FakeLpd lpd({Peer::ReadToClose()}, 1000);
    vx::lpdport = lpd.port();
    EXPECT_EQ(Delete("", "lp", 1), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(Delete("127.0.0.1", "", 1), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(Delete("127.0.0.1", "lp", 0), LPR_R_BAD_NET_NAME);
    EXPECT_EQ(common_.errorcode, 42);
    EXPECT_EQ(LastError(), "earlier");
    EXPECT_EQ(Delete("nosuch.invalid", "", 0), LPR_R_BAD_NET_NAME) << "the host is reported first";
    EXPECT_EQ(LastError(), "Can't resolve host name nosuch.invalid");
    lpd.join();
    EXPECT_EQ(lpd.client_port(), 0);
}

TEST_F(DeleteTest, SilentServerEndsTheDrainWithVerifyText)
{
    FakeLpd lpd({Peer::ReadLine(), Peer::Send("working on it"), Peer::Hold(5000)});
    vx::lpdport = lpd.port();
    common_.replytimeout = 1000;
    EXPECT_EQ(Delete("127.0.0.1", "lp", 3), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common_.errorcode, LPR_ERR_VERIFY_NOTIFY);
    EXPECT_EQ(LastError(), "Couldn't verify 'Notify' command");
}

TEST_F(DeleteTest, RefusedConnection)
{
    uint16_t port;
    CloseFd(ListenLoopback(&port));
    vx::lpdport = port;
    EXPECT_EQ(Delete("127.0.0.1", "lp", 3), LPR_R_UNEXP_NET_ERR);
    // The connect notification counted as success; the refusal shows at the send, whose
    // own code comes first.
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
    EXPECT_EQ(LastError(), "LPD is not running on remote host");
}

} // namespace
