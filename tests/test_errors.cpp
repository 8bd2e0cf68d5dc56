// Error codes, message texts, the last-error text and the request entry steps.
#include <set>
#include <string>

#include "support/harness.h"

using namespace vxtest;

namespace {

class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLibrary(); }
    void TearDown() override { ResetLibrary(); }
};

std::string LastError()
{
    char buf[512];
    LPR_GetLastErrorText(buf, sizeof buf);
    return buf;
}

TEST_F(ErrorTest, LastErrorTextIsEmptyBeforeAnyFailure)
{
    char buf[8] = "junk";
    EXPECT_EQ(LPR_GetLastErrorText(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(ErrorTest, LastErrorTextCopiesAreCutToTheBuffer)
{
    LPR_COMMONARG common = CommonArg();
    vx::RecordError(&common, LPR_ERR_HOST_NAME, LPR_ERR_HOST_NAME, "nosuch.example");
    const std::string full = "Can't resolve host name nosuch.example";
    int length = static_cast<int>(full.size());

    char small[10];
    memset(small, '#', sizeof small);
    EXPECT_EQ(LPR_GetLastErrorText(small, 10), length);
    EXPECT_STREQ(small, full.substr(0, 9).c_str());

    char none[4] = "abc";
    EXPECT_EQ(LPR_GetLastErrorText(none, 0), length);
    EXPECT_EQ(LPR_GetLastErrorText(none, -5), length);
    EXPECT_STREQ(none, "abc") << "a size of 0 or less writes nothing";
    EXPECT_EQ(LPR_GetLastErrorText(nullptr, 100), length);

    char one[1] = {'x'};
    EXPECT_EQ(LPR_GetLastErrorText(one, 1), length);
    EXPECT_EQ(one[0], '\0');

    char large[300];
    EXPECT_EQ(LPR_GetLastErrorText(large, sizeof large), length);
    EXPECT_EQ(large, full);
    char exact[64];
    EXPECT_EQ(LPR_GetLastErrorText(exact, length + 1), length);
    EXPECT_EQ(exact, full);
}

TEST_F(ErrorTest, FirstFailureKeepsTheCodeWhileTheTextFollowsTheLast)
{
    LPR_COMMONARG common = CommonArg();
    vx::RecordError(&common, LPR_ERR_TIMEOUT, LPR_ERR_TIMEOUT);
    EXPECT_EQ(common.errorcode, LPR_ERR_TIMEOUT);
    EXPECT_EQ(LastError(), "Timeout");
    vx::RecordError(&common, LPR_ERR_NETWORK, LPR_ERR_SEND_INITIAL);
    EXPECT_EQ(common.errorcode, LPR_ERR_TIMEOUT);
    EXPECT_EQ(LastError(), "Couldn't send 'Initial' command");

    LPR_COMMONARG preset = CommonArg();
    preset.errorcode = 1234;
    vx::RecordError(&preset, LPR_ERR_FILE_NOT_FOUND, LPR_ERR_FILE_NOT_FOUND);
    EXPECT_EQ(preset.errorcode, 1234);
    EXPECT_EQ(LastError(), "File not found");
}

TEST_F(ErrorTest, TextsTakeTheirValues)
{
    LPR_COMMONARG common = CommonArg();
    vx::SetErrorText(LPR_ERR_NO_PRINTER, "laser");
    EXPECT_EQ(LastError(), "Server error: perhaps there is no laser printer");
    vx::SetErrorText(LPR_ERR_UNKNOWN_RESPONSE, -3);
    EXPECT_EQ(LastError(), "Unknown response -3");
    vx::SetErrorText(LPR_ERR_SPOOLER_UNKNOWN, 127);
    EXPECT_EQ(LastError(), "Unknown response from spooler: 127");
    vx::SetErrorTextRaw("queue disabled");
    EXPECT_EQ(LastError(), "queue disabled");
    EXPECT_EQ(common.errorcode, 0) << "setting a text records no code";
}

TEST_F(ErrorTest, LongTextsAreCutTo255Characters)
{
    LPR_COMMONARG common = CommonArg();
    std::string host(600, 'a');
    vx::RecordError(&common, LPR_ERR_HOST_NAME, LPR_ERR_HOST_NAME, host.c_str());
    char buf[1024];
    EXPECT_EQ(LPR_GetLastErrorText(buf, sizeof buf), 255);
    EXPECT_EQ(std::string(buf), ("Can't resolve host name " + host).substr(0, 255));
    vx::SetErrorTextRaw(std::string(400, 'r').c_str());
    EXPECT_EQ(LPR_GetLastErrorText(buf, sizeof buf), 255);
}

TEST_F(ErrorTest, EveryMessageHasOneText)
{
    std::set<UINT> ids;
    char buf[256];
    for (size_t i = 0; i < vx::message_text_count; i++) {
        const vx::MessageText &m = vx::message_texts[i];
        EXPECT_TRUE(ids.insert(m.id).second) << "duplicate id " << m.id;
        EXPECT_GT(vx::LoadStringA(vx::hinstlpr, m.id, buf, sizeof buf), 0) << m.id;
        EXPECT_STREQ(buf, m.text);
    }
    // Spot checks of texts that must stay byte for byte, misspellings included.
    ASSERT_GT(vx::LoadStringA(vx::hinstlpr, LPR_ERR_QUEUE_LIST, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Failed to recieve queue list");
    vx::LoadStringA(vx::hinstlpr, LPR_MSG_SENDING, buf, sizeof buf);
    EXPECT_STREQ(buf, "Sending print job to\nhost: %s\nprinter: %s");
    EXPECT_EQ(vx::LoadStringA(vx::hinstlpr, 4242, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(vx::LoadStringA(vx::hinstlpr, LPR_ERR_NETWORK, buf, 5), 4);
    EXPECT_STREQ(buf, "Netw");
}

// ---- request entry --------------------------------------------------------------------

struct Requests {
    static WORD Print(LPR_COMMONARG *common)
    {
        LPR_PRINTARG print = {};
        print.filename = "/nonexistent";
        print.host = "nosuch.invalid";
        print.printer = "lp";
        return LPR_Print(&print, common);
    }
    static WORD Delete(LPR_COMMONARG *common)
    {
        LPR_DELETEARG del = {"nosuch.invalid", "lp", 7};
        return LPR_DeleteJob(&del, common);
    }
    static WORD Queue(LPR_COMMONARG *common)
    {
        char *listing = nullptr;
        LPR_QUEUEARG queue = {"nosuch.invalid", "lp", &listing};
        return LPR_GetQueue(&queue, common);
    }
};

// Runs the three requests against whatever provider is installed and checks the
// entry's failure: 59 from a print, 50 from the others, 4943 only into an empty code,
// the last-error text untouched and the socket layer left unloaded.
void ExpectEntryFailure()
{
    vx::UnloadWinsock();
    vx::SetErrorTextRaw("earlier failure");
    int starts = vx::posix::WinsockStartCount();
    DebugCapture capture;
    LPR_COMMONARG common = CommonArg(LPR_DEBUG_TRACE);
    EXPECT_EQ(Requests::Print(&common), LPR_R_UNEXP_NET_ERR);
    EXPECT_EQ(common.errorcode, LPR_ERR_NETWORK);
    common.errorcode = 0;
    EXPECT_EQ(Requests::Delete(&common), LPR_R_NOT_SUPPORTED);
    EXPECT_EQ(common.errorcode, LPR_ERR_NETWORK);
    common.errorcode = 777;
    EXPECT_EQ(Requests::Queue(&common), LPR_R_NOT_SUPPORTED);
    EXPECT_EQ(common.errorcode, 777);
    EXPECT_EQ(LastError(), "earlier failure");
    EXPECT_EQ(vx::hwinsock, nullptr);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 0);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts);
    EXPECT_FALSE(capture.contains("exited")) << "no exit line on an entry failure";
}

TEST_F(ErrorTest, RequestsFailWithoutSocketLayer)
{
    ProviderOverride provider;
    provider.uninstall();
    ExpectEntryFailure();
}

int WSAAPI RefusingStartup(WORD, vx::WSADATA *) { return vx::WSASYSNOTREADY; }

TEST_F(ErrorTest, RequestsFailWhenStartupFails)
{
    ProviderOverride provider;
    provider.replace("WSAStartup", reinterpret_cast<void (*)()>(RefusingStartup)).install();
    ExpectEntryFailure();
}

TEST_F(ErrorTest, RequestsFailWhenAnEntryPointIsMissing)
{
    ProviderOverride provider;
    provider.without("gethostbyaddr").install();
    ExpectEntryFailure();
}

TEST_F(ErrorTest, ALoadThatFailedIsRetriedByTheNextRequest)
{
    vx::UnloadWinsock();
    {
        ProviderOverride provider;
        provider.uninstall();
        vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_ATTACH, nullptr);
        ASSERT_EQ(vx::hwinsock, nullptr);
    }
    LPR_COMMONARG common = CommonArg();
    int starts = vx::posix::WinsockStartCount();
    EXPECT_EQ(Requests::Queue(&common), LPR_R_BAD_NET_NAME) << "the worker ran: it looked the host up";
    EXPECT_NE(vx::hwinsock, nullptr);
    EXPECT_EQ(common.errorcode, LPR_ERR_HOST_NAME);
    // The load's start stays; the request's own start is balanced by its clean-up.
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts + 1);
}

TEST_F(ErrorTest, EachRequestBalancesItsStartWithOneCleanup)
{
    int starts = vx::posix::WinsockStartCount();
    LPR_COMMONARG common = CommonArg();
    Requests::Print(&common);
    Requests::Delete(&common);
    Requests::Queue(&common);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts);
}


TEST_F(ErrorTest, CancelWithNothingInProgressReturnsOne)
{
    EXPECT_EQ(LPR_CancelBlockingCall(), 1);
    EXPECT_EQ(LPR_CancelBlockingCall(), 1);
}

TEST_F(ErrorTest, FreeQueueReleasesOnceAndLeavesNull)
{
    int blocks = vx::posix::GlobalBlocksInUse();
    vx::HGLOBAL block = vx::GlobalAlloc(vx::GMEM_ZEROINIT, 64);
    ASSERT_NE(block, nullptr);
    char *listing = static_cast<char *>(vx::GlobalLock(block));
    EXPECT_EQ(LPR_FreeQueue(&listing), 0);
    EXPECT_EQ(listing, nullptr);
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), blocks);
    EXPECT_EQ(LPR_FreeQueue(&listing), 0);
    EXPECT_EQ(listing, nullptr);
    EXPECT_EQ(LPR_FreeQueue(nullptr), 0);
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), blocks);
}

} // namespace
