// Library start-up, shutdown and the trace log.
#include <cctype>

#include "support/harness.h"
#include "wsockstb.h"

using namespace vxtest;

namespace {

// Whether the line is the pattern with each '#' standing for a decimal number; the
// first such number goes to *first.
bool MatchesWithNumbers(const std::string &line, const char *pattern, unsigned long *first = nullptr)
{
    size_t at = 0;
    bool seen = false;
    for (; *pattern != '\0'; pattern++) {
        if (*pattern != '#') {
            if (at >= line.size() || line[at++] != *pattern)
                return false;
            continue;
        }
        size_t digits = at;
        while (digits < line.size() && isdigit(static_cast<unsigned char>(line[digits])))
            digits++;
        if (digits == at)
            return false;
        if (first != nullptr && !seen)
            *first = std::stoul(line.substr(at, digits - at));
        seen = true;
        at = digits;
    }
    return at == line.size();
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLibrary(); }
    void TearDown() override { ResetLibrary(); }
};

TEST_F(TraceTest, SilentWhileTheBitIsClear)
{
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE ^ 0xffff; // every other bit set
    vx::LPRTrace("VEXLOLPR %s %d %lu", "never", 1, 2u);
    vx::LibMain(vx::hinstlpr, vx::DLL_THREAD_ATTACH, nullptr);
    LPR_QUEUEARG queue = {"nosuch.invalid", "lp", nullptr};
    LPR_COMMONARG common = CommonArg(0);
    LPR_GetQueue(&queue, &common);
    EXPECT_TRUE(capture.outputs().empty()) << capture.text();
}

TEST_F(TraceTest, EachLineIsFollowedByASeparateLineEnd)
{
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    vx::LPRTrace("VEXLOLPR one %d wsockio", 1);
    vx::LPRTrace("VEXLOLPR two wsockio");
    std::vector<std::string> expected = {"VEXLOLPR one 1 wsockio", "\r\n", "VEXLOLPR two wsockio", "\r\n"};
    EXPECT_EQ(capture.outputs(), expected);
}

TEST_F(TraceTest, LongLinesAreCutTo255Characters)
{
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    std::string host(1000, 'h');
    vx::LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...host=%s unknwn lprws", host.c_str());
    ASSERT_EQ(capture.outputs().size(), 2u);
    const std::string &line = capture.outputs()[0];
    EXPECT_EQ(line.size(), 255u);
    EXPECT_EQ(line.substr(0, 44), "VEXLOLPR ERROR do_LPR_Print() exited...host=");
    EXPECT_EQ(line.back(), 'h');
    EXPECT_EQ(capture.outputs()[1], "\r\n");

    capture.clear();
    std::string exact(255 - 9, 'x');
    vx::LPRTrace("VEXLOLPR %s", exact.c_str());
    EXPECT_EQ(capture.outputs()[0], "VEXLOLPR " + exact);
}

TEST_F(TraceTest, WordFormatsPrintThirtyTwoBitValues)
{
    // "%lu" and "%ld" take 32-bit words, as they do wherever the formats come from.
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    DWORD big = 0xFFFFFFFFu;
    int negative = -5;
    WORD word = 0x0101;
    vx::LPRTrace("now=%lu ret=%ld ver=%#X hwnd=%lu sd=%d", big, negative, word, DWORD{1234567}, -1);
    ASSERT_FALSE(capture.outputs().empty());
    EXPECT_EQ(capture.outputs()[0], "now=4294967295 ret=-5 ver=0X101 hwnd=1234567 sd=-1");
}

TEST_F(TraceTest, RequestEntryLineComesFirstWithTheCallersSwitch)
{
    DebugCapture capture;
    LPR_QUEUEARG queue = {"nosuch.invalid", "lp", nullptr};
    LPR_COMMONARG common = CommonArg(LPR_DEBUG_TRACE);
    DWORD before = vx::GetTickCount();
    LPR_PRINTARG print = {};
    print.filename = "/nonexistent";
    print.host = "nosuch.invalid";
    print.printer = "lp";
    LPR_Print(&print, &common);
    std::vector<std::string> lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    unsigned long now = 0;
    ASSERT_TRUE(MatchesWithNumbers(lines[0], "VEXLOLPR LPR_Print() entered now=#... lprws", &now)) << lines[0];
    EXPECT_LT(static_cast<DWORD>(now - before), 5000u) << now << " " << before;
    EXPECT_TRUE(MatchesWithNumbers(lines.back(), "VEXLOLPR LPR_Print() exited... ret=# lpcommonarg->errorcode=# now=# lprws"))
        << lines.back();

    capture.clear();
    LPR_GetQueue(&queue, &common);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines()[0], "VEXLOLPR LPR_GetQueue() entered... lprws");
    capture.clear();
    LPR_DELETEARG del = {"nosuch.invalid", "lp", 1};
    LPR_DeleteJob(&del, &common);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines()[0], "VEXLOLPR LPR_Delete() entered... lprws");
}

TEST_F(TraceTest, SwitchStaysInForceAfterTheRequest)
{
    LPR_QUEUEARG queue = {"nosuch.invalid", "lp", nullptr};
    LPR_COMMONARG common = CommonArg(LPR_DEBUG_TRACE);
    {
        DebugCapture capture;
        vx::LibMain(vx::hinstlpr, vx::DLL_THREAD_ATTACH, nullptr);
        EXPECT_TRUE(capture.outputs().empty()) << "thread lines before any traced request";
    }
    LPR_GetQueue(&queue, &common);
    DebugCapture capture;
    vx::LibMain(vx::hinstlpr, vx::DLL_THREAD_ATTACH, nullptr);
    vx::LibMain(vx::hinstlpr, vx::DLL_THREAD_DETACH, nullptr);
    vx::LibMain(vx::hinstlpr, 77, nullptr);
    // The texts carry a line feed of their own, so each ends twice.
    std::vector<std::string> expected = {"LPR: Thread attaching    init\n", "\r\n",
                                         "LPR: Thread detaching    init\n", "\r\n"};
    EXPECT_EQ(capture.outputs(), expected);
}

TEST_F(TraceTest, ProcessAttachWithoutSocketLayerSucceeds)
{
    vx::SetErrorText(LPR_ERR_TIMEOUT);
    EXPECT_EQ(vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_DETACH, nullptr), vx::TRUE);
    EXPECT_EQ(vx::hwinsock, nullptr);
    ProviderOverride provider;
    provider.uninstall();
    EXPECT_EQ(vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_ATTACH, nullptr), vx::TRUE);
    EXPECT_EQ(vx::hwinsock, nullptr);
    char buf[16] = "junk";
    EXPECT_EQ(LPR_GetLastErrorText(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(TraceTest, ProcessDetachCleansUpAndReleases)
{
    int starts = vx::posix::WinsockStartCount();
    ASSERT_NE(vx::hwinsock, nullptr);
    ASSERT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 1);
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    EXPECT_EQ(vx::LibMain(vx::hinstlpr, vx::DLL_PROCESS_DETACH, nullptr), vx::TRUE);
    EXPECT_EQ(vx::hwinsock, nullptr);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 0);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts - 1);
    std::vector<std::string> expected = {"LPR: Process detaching    init\n", "\r\n",
                                         "VEXLOLPR Cleaning Winsock in VEXLOLPR.DLL... wsockstb", "\r\n"};
    EXPECT_EQ(capture.outputs(), expected);
    // A second detach finds nothing to clean up.
    EXPECT_EQ(vx::UnloadWinsock(), 1);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts - 1);
}

TEST_F(TraceTest, InitAndWepAnswerOne)
{
    for (DWORD arg : {0u, 1u, 0xFFFFFFFFu})
        EXPECT_EQ(LPR_Init(arg), 1);
    for (int arg : {0, -1, 12345})
        EXPECT_EQ(WEP(arg), 1);
}

} // namespace
