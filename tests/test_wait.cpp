// The status dialog and the wait loop: timing modes, notification matching, Cancel,
// the application's messages and WM_QUIT during a wait, progress display.
#include <thread>

#include "support/io.h"

using namespace vxtest;
using Clock = std::chrono::steady_clock;

namespace {

class WaitTest : public IoTest {
protected:
    // A connection to a peer that keeps it open (and silent) for `hold` ms, with the
    // dialog up and the wait's timer period set to `timeout`.
    vx::SOCKET Open(Peer &peer, DWORD timeout)
    {
        vx::SOCKET sd = Connect(peer, &common_);
        EXPECT_NE(sd, vx::INVALID_SOCKET);
        vx::ThisRequest().waitinfo.timeout = timeout;
        return sd;
    }
    LPARAM Event(long event, int error = 0) { return static_cast<LPARAM>((error << 16) | event); }
};

TEST_F(WaitTest, NoDialogMeansNoWait)
{
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ), vx::RET_ERR);
    EXPECT_EQ(vx::ThisRequest().waitinfo.myevent, 0);
    EXPECT_TRUE(capture.contains("VEXLOLPR ERROR wsock_wait() exited1... NO hwndwait RET_ERR=-1 wsockio"));
}

TEST_F(WaitTest, EmptyMaskEndsOnTheTimer)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 1000);
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(0), vx::RET_TIMEOUT);
    EXPECT_GE(Since(start), 900);
    EXPECT_LT(Since(start), 3000);
}

TEST_F(WaitTest, PeerCloseEndsAnyWait)
{
    Peer peer({Peer::Sleep(200), Peer::Close()});
    Open(peer, 5000);
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(0), vx::RET_EVENT);
    EXPECT_LT(Since(start), 3000);
}

TEST_F(WaitTest, TimingModesFollowTheTimeout)
{
    Peer peer({Peer::Sleep(300), Peer::Close()});
    Open(peer, 65535);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ | vx::FD_CLOSE), vx::RET_EVENT);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_wait():ONLY TIMER IS USED! wsockio"));
    EXPECT_TRUE(capture.contains("waitinfo.timeout=65535 msec. x=10000 msec. count=0 giveuptime=0 wsockio"));
}

TEST_F(WaitTest, LongTimeoutsCountTenSecondTicks)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 65536);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    // The socket stays quiet; a posted close notification ends the wait at once.
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, vx::ThisRequest().waitinfo.mysocket, Event(vx::FD_CLOSE));
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ), vx::RET_EVENT);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_wait():TIMER WITH COUNT IS USED ! wsockio"));
    EXPECT_TRUE(capture.contains("waitinfo.timeout=65536 msec. x=10000 msec. count=5 giveuptime=0 wsockio"));

    vx::ThisRequest().waitinfo.timeout = 120000; // two minutes: twelve ticks
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, vx::ThisRequest().waitinfo.mysocket, Event(vx::FD_CLOSE));
    vx::wsock_wait(vx::FD_READ);
    EXPECT_TRUE(capture.contains("count=11 giveuptime=0"));
    // Each tick of the timer with count lowers the count; the last one times out.
    vx::ThisRequest().count = 1;
    vx::ThisRequest().waitinfo.ret = vx::RET_PENDING;
    vx::wsock_AsynchTimeout(vx::ThisRequest().hwndwait, vx::IDT_TIMEOUT);
    EXPECT_EQ(vx::ThisRequest().count, 0u);
    EXPECT_EQ(vx::ThisRequest().waitinfo.ret, vx::RET_PENDING);
    vx::wsock_AsynchTimeout(vx::ThisRequest().hwndwait, 99); // not the wait's timer
    EXPECT_EQ(vx::ThisRequest().waitinfo.ret, vx::RET_PENDING);
    vx::wsock_AsynchTimeout(vx::ThisRequest().hwndwait, vx::IDT_TIMEOUT);
    EXPECT_EQ(vx::ThisRequest().waitinfo.ret, vx::RET_TIMEOUT);
}

TEST_F(WaitTest, RefusedTimerFallsBackToTheGiveUpTime)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 700);
    vx::posix::RefuseTimers(true);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ), vx::RET_TIMEOUT);
    EXPECT_GE(Since(start), 650);
    EXPECT_LT(Since(start), 3000);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_wait():GIVEUPTIME IS USED! wsockio"));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_wait()... GIVEUP - IDT_TIMEOUT wsockio"));

    // Without a timer, a notification queued behind another message ends the wait when
    // its turn comes, not at the give-up time: fetching the first one leaves it "seen",
    // and a wait for new input only would sleep past it.
    vx::ThisRequest().waitinfo.timeout = 5000;
    vx::MSG stale;
    while (vx::PeekMessageA(&stale, nullptr, 0, 0, vx::PM_REMOVE)) // time-outs the loop posted more than once
        ;
    HWND window = vx::posix::CreateTestWindow([](HWND, UINT, WPARAM, LPARAM) -> vx::LRESULT { return 0; });
    vx::PostMessageA(window, vx::WM_USER, 0, 0);
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, vx::ThisRequest().waitinfo.mysocket, Event(vx::FD_READ));
    start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ), vx::RET_EVENT);
    EXPECT_LT(Since(start), 2500) << "slept until the give-up time with the notification queued";
    vx::DestroyWindow(window);
}

TEST_F(WaitTest, NotificationsAreMatchedToSocketAndEvent)
{
    Peer peer({Peer::Hold(5000)});
    vx::SOCKET sd = Open(peer, 400);
    // Another socket's close and a write event during a receive wait are ignored.
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, sd + 1000, Event(vx::FD_CLOSE));
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, sd, Event(vx::FD_WRITE));
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ | vx::FD_CLOSE), vx::RET_TIMEOUT);
    // A close of the socket ends it, whatever the wait is for; so does an awaited event.
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, sd, Event(vx::FD_CLOSE, vx::WSAECONNRESET));
    EXPECT_EQ(vx::wsock_wait(vx::FD_WRITE), vx::RET_EVENT);
    vx::PostMessageA(vx::ThisRequest().hwndwait, vx::WSA_MSG, sd, Event(vx::FD_WRITE));
    EXPECT_EQ(vx::wsock_wait(vx::FD_WRITE), vx::RET_EVENT);
    EXPECT_EQ(vx::ThisRequest().waitinfo.myevent, 0) << "no event is awaited between waits";

    EXPECT_EQ(vx::wsock_AsynhMessage(sd, Event(vx::FD_CONNECT)), vx::RET_PENDING);
    vx::ThisRequest().waitinfo.myevent = vx::FD_CONNECT;
    EXPECT_EQ(vx::wsock_AsynhMessage(sd, Event(vx::FD_CONNECT, vx::WSAECONNREFUSED)), vx::RET_EVENT);
    EXPECT_EQ(vx::wsock_AsynhMessage(sd, Event(vx::FD_OOB)), vx::RET_EVENT);
    EXPECT_EQ(vx::wsock_AsynhMessage(sd + 1, Event(vx::FD_CONNECT)), vx::RET_PENDING);
}

TEST_F(WaitTest, CancelMarksTheRequestButDoesNotEndTheWait)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 500);
    EXPECT_EQ(LPR_CancelBlockingCall(), 0);
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(0), vx::RET_TIMEOUT);
    EXPECT_GE(Since(start), 400);
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED);
    // The button itself and IDCANCEL do the same; the mark replaces an earlier code.
    common_.errorcode = LPR_ERR_TIMEOUT;
    EXPECT_EQ(WNWaitDlg(vx::ThisRequest().hwndwait, vx::WM_COMMAND, vx::IDCANCEL, 0), vx::TRUE);
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED);
    common_.errorcode = 0;
    EXPECT_EQ(WNWaitDlg(vx::ThisRequest().hwndwait, vx::WM_COMMAND, 1234, 0), vx::FALSE);
    EXPECT_EQ(common_.errorcode, 0);
}

TEST_F(WaitTest, CancelWithoutDialogPostsNothing)
{
    size_t pending = vx::posix::PendingMessages();
    EXPECT_EQ(LPR_CancelBlockingCall(), 1);
    EXPECT_EQ(vx::posix::PendingMessages(), pending);
}

int appmessages;
vx::LRESULT WINAPI AppWindow(HWND, UINT msg, WPARAM, LPARAM)
{
    if (msg == vx::WM_USER)
        appmessages++;
    return 0;
}

TEST_F(WaitTest, ApplicationMessagesFlowAndQuitSurvives)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 300);
    HWND app = vx::posix::CreateTestWindow(AppWindow);
    appmessages = 0;
    vx::PostMessageA(app, vx::WM_USER, 0, 0);
    vx::PostQuitMessage(7);
    vx::PostMessageA(app, vx::WM_USER, 0, 0);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_wait(0), vx::RET_TIMEOUT) << "WM_QUIT does not end a wait";
    EXPECT_EQ(appmessages, 2);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_wait() parsing messages... msg.message=1024"));
    // The application's own loop still gets its WM_QUIT.
    ASSERT_GE(vx::posix::PendingMessages(), 1u);
    vx::MSG msg;
    EXPECT_EQ(vx::GetMessageA(&msg, 0, 0, 0), vx::FALSE);
    EXPECT_EQ(msg.message, vx::WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    vx::DestroyWindow(app);
}

TEST_F(WaitTest, DialogGoneEndsTheWaitPending)
{
    Peer peer({Peer::Hold(5000)});
    Open(peer, 5000);
    HWND app = vx::posix::CreateTestWindow(AppWindow);
    // An application that destroys the dialog from its own window procedure.
    static HWND victim;
    victim = vx::ThisRequest().hwndwait;
    struct Killer {
        static vx::LRESULT WINAPI Proc(HWND, UINT msg, WPARAM, LPARAM)
        {
            if (msg == vx::WM_USER)
                vx::DestroyWindow(victim);
            return 0;
        }
    };
    HWND killer = vx::posix::CreateTestWindow(Killer::Proc);
    vx::PostMessageA(killer, vx::WM_USER, 0, 0);
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_wait(vx::FD_READ), vx::RET_PENDING);
    EXPECT_LT(Since(start), 2000);
    vx::DestroyWindow(killer);
    vx::DestroyWindow(app);
}

TEST_F(WaitTest, DialogStartsHiddenWithItsTemplateTexts)
{
    Peer peer({Peer::Hold(5000)});
    common_.showdialog = 0;
    Open(peer, 1000);
    ASSERT_TRUE(vx::IsWindow(vx::ThisRequest().hwndwait));
    EXPECT_FALSE(vx::posix::WindowVisible(vx::ThisRequest().hwndwait));
    EXPECT_EQ(Control(vx::IDC_CANCEL), "Cancel");
    EXPECT_EQ(Control(vx::IDC_TRANSFERRED), "Transferred");
    EXPECT_EQ(Control(vx::IDC_OUTOF), "out of");
    EXPECT_EQ(Control(vx::IDC_BYTES), "bytes");
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "0");
    EXPECT_EQ(Control(vx::IDC_SIZE), "0");
    EXPECT_EQ(Status(), "Connected!");
    // Hidden, it still takes a cancel.
    EXPECT_EQ(LPR_CancelBlockingCall(), 0);
    vx::wsock_wait(0);
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED);
}

TEST_F(WaitTest, ProgressReachesTheDialog)
{
    Peer peer({Peer::Hold(5000)});
    common_.showdialog = 1;
    Open(peer, 1000);
    EXPECT_TRUE(vx::posix::WindowVisible(vx::ThisRequest().hwndwait));
    vx::wsock_settext("Sending print job to\nhost: h\nprinter: p");
    EXPECT_EQ(Control(vx::IDC_CAPTION), "Sending print job to\nhost: h\nprinter: p");
    vx::wsock_setsize(123456789);
    EXPECT_EQ(Control(vx::IDC_SIZE), "123456789");
    for (int id : {vx::IDC_SIZE, vx::IDC_PROGRESS, vx::IDC_TRANSFERRED, vx::IDC_OUTOF, vx::IDC_BYTES})
        EXPECT_TRUE(vx::posix::ControlVisible(vx::ThisRequest().hwndwait, id)) << id;
    vx::wsock_setprogress(-2147483647 - 1);
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "-2147483648");
    vx::wsock_setprogress(8192);
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "8192");
    vx::wsock_setprogress(0);
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "0");
    vx::wsock_setsize(3221225472); // beyond 32 bits
    EXPECT_EQ(Control(vx::IDC_SIZE), "3221225472");
    vx::wsock_setprogress(INT64_MAX);
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "9223372036854775807");
    vx::wsock_setprogress(INT64_MIN);
    EXPECT_EQ(Control(vx::IDC_PROGRESS), "-9223372036854775808");
}

TEST_F(WaitTest, ProgressWithoutDialogIsHarmless)
{
    int windows = vx::posix::LiveWindows();
    vx::wsock_settext("nothing to show");
    vx::wsock_setsize(10);
    vx::wsock_setprogress(5);
    EXPECT_EQ(vx::posix::LiveWindows(), windows);
}

TEST_F(WaitTest, CancelFromAnotherThreadReachesTheWait)
{
    Peer peer({Peer::Hold(6000)});
    Open(peer, 5000);
    common_.replytimeout = 10000;
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        LPR_CancelBlockingCall();
    });
    char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_read(vx::ThisRequest().waitinfo.mysocket, buf, sizeof buf, 0, &common_), -1);
    long elapsed = Since(start);
    canceller.join();
    EXPECT_LT(elapsed, 2500) << "a cancelled read ends within about a second";
    EXPECT_EQ(Status(), "Receiving...cancelled!");
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED);
}

} // namespace
