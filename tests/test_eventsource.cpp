// The POSIX event source: the status dialog and plain windows, the thread's message
// queue and timers, Winsock 1.1 notifications over loopback, and the status display on
// a terminal.  Every message loop here ends on a timer or a bounded count.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "support/rawsock.h"

using namespace vxtest;

namespace {

constexpr UINT WSA = 15120;               // the notification message the library uses
constexpr vx::UINT_PTR DEADLINE = 0xDEAD; // timer that ends a loop
constexpr int MAX_LOOPS = 100000;

typedef std::chrono::steady_clock Clock;

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Fetches and dispatches the thread's messages until the deadline timer on `hwnd` fires
// after `ms`, or until `stop` accepts one; returns the messages fetched before that.
std::vector<vx::MSG> Collect(HWND hwnd, unsigned ms, std::function<bool(const vx::MSG &)> stop = nullptr)
{
    std::vector<vx::MSG> seen;
    EXPECT_NE(vx::SetTimer(hwnd, DEADLINE, ms, nullptr), 0u);
    for (int i = 0; i < MAX_LOOPS; i++) {
        vx::MSG msg;
        bool more = vx::GetMessageA(&msg, nullptr, 0, 0) != vx::FALSE;
        if (more && msg.hwnd == hwnd && msg.message == vx::WM_TIMER && msg.wParam == DEADLINE)
            break;
        seen.push_back(msg);
        if (!more)
            break;
        vx::DispatchMessageA(&msg);
        if (stop && stop(msg))
            break;
    }
    vx::KillTimer(hwnd, DEADLINE);
    return seen;
}

// ---- windows and the status dialog ----------------------------------------------------------

struct DialogCall {
    HWND hwnd;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    bool alive;         // IsWindow(hwnd) during the call
    std::string status; // control 1711 during the call
};
std::vector<DialogCall> dialogcalls;

INT_PTR WINAPI RecordingDialog(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    char status[64];
    vx::posix::DialogItemText(hwnd, 1711, status, sizeof status);
    dialogcalls.push_back({hwnd, message, wparam, lparam, vx::IsWindow(hwnd) != vx::FALSE, status});
    return vx::TRUE;
}

HWND CreateStatusDialog(LPARAM param = 0)
{
    return vx::CreateDialogParamA(nullptr, vx::MAKEINTRESOURCEA(2800), nullptr, RecordingDialog, param);
}

std::string ItemText(HWND dialog, int id)
{
    char buf[256];
    return vx::posix::DialogItemText(dialog, id, buf, sizeof buf) >= 0 ? buf : "<none>";
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { dialogcalls.clear(); }
    void TearDown() override { vx::posix::RefuseDialogs(false); }
};

TEST_F(DialogTest, InitDialogReachesTheProcedureBeforeCreationReturns)
{
    int before = vx::posix::LiveWindows();
    int record = 0;
    HWND dialog = CreateStatusDialog(reinterpret_cast<LPARAM>(&record));
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(dialogcalls.size(), 1u);
    EXPECT_EQ(dialogcalls[0].hwnd, dialog);
    EXPECT_EQ(dialogcalls[0].message, vx::WM_INITDIALOG);
    EXPECT_EQ(dialogcalls[0].wparam, 0u);
    EXPECT_EQ(dialogcalls[0].lparam, reinterpret_cast<LPARAM>(&record));
    EXPECT_TRUE(dialogcalls[0].alive) << "the handle is valid while the dialog initialises";
    EXPECT_EQ(dialogcalls[0].status, "Waiting...") << "the controls exist by then";
    EXPECT_FALSE(vx::posix::WindowVisible(dialog)) << "created hidden";
    EXPECT_EQ(vx::posix::LiveWindows(), before + 10) << "the dialog and nine controls";
    EXPECT_EQ(vx::GetActiveWindow(), nullptr);
    vx::DestroyWindow(dialog);
}

TEST_F(DialogTest, TheTemplateHasNineControlsWithTheirTexts)
{
    const std::vector<std::pair<int, std::string>> controls = {
        {2801, ""},  {2615, "Cancel"}, {1711, "Waiting..."}, {2804, "Transferred"},
        {2805, "0"}, {2806, "out of"}, {2807, "0"},          {2808, "bytes"},
        {1710, ""}};
    HWND dialog = CreateStatusDialog();
    ASSERT_NE(dialog, nullptr);
    std::set<HWND> handles = {dialog};
    for (const auto &control : controls) {
        HWND item = vx::GetDlgItem(dialog, control.first);
        EXPECT_NE(item, nullptr) << control.first;
        EXPECT_TRUE(vx::IsWindow(item)) << control.first;
        handles.insert(item);
        EXPECT_EQ(ItemText(dialog, control.first), control.second) << control.first;
        EXPECT_TRUE(vx::posix::ControlVisible(dialog, control.first)) << control.first;
    }
    EXPECT_EQ(handles.size(), 10u) << "every control is a window of its own";
    EXPECT_EQ(vx::GetDlgItem(dialog, 2802), nullptr);
    EXPECT_EQ(vx::posix::DialogItemText(dialog, 2802, nullptr, 0), -1);
    vx::DestroyWindow(dialog);
}

TEST_F(DialogTest, OnlyTemplate2800IsThereAndTheSeamRefusesIt)
{
    int before = vx::posix::LiveWindows();
    EXPECT_EQ(vx::CreateDialogParamA(nullptr, vx::MAKEINTRESOURCEA(2801), nullptr, RecordingDialog, 0),
              nullptr);
    EXPECT_EQ(vx::CreateDialogParamA(nullptr, "WAITDLG", nullptr, RecordingDialog, 0), nullptr);
    vx::posix::RefuseDialogs(true);
    EXPECT_EQ(CreateStatusDialog(), nullptr);
    vx::posix::RefuseDialogs(false);
    EXPECT_TRUE(dialogcalls.empty()) << "no procedure runs for a dialog that is not made";
    EXPECT_EQ(vx::posix::LiveWindows(), before);
    HWND dialog = CreateStatusDialog();
    EXPECT_NE(dialog, nullptr);
    vx::DestroyWindow(dialog);
}

TEST_F(DialogTest, DestroyTakesTheControlsAlongAndHandlesStayDead)
{
    int before = vx::posix::LiveWindows();
    HWND dialog = CreateStatusDialog();
    HWND cancel = vx::GetDlgItem(dialog, 2615);
    ASSERT_NE(cancel, nullptr);
    EXPECT_TRUE(vx::DestroyWindow(dialog));
    EXPECT_FALSE(vx::IsWindow(dialog));
    EXPECT_FALSE(vx::IsWindow(cancel));
    EXPECT_EQ(vx::posix::LiveWindows(), before);
    EXPECT_FALSE(vx::DestroyWindow(dialog));
    EXPECT_EQ(vx::GetDlgItem(dialog, 2615), nullptr);
    EXPECT_FALSE(vx::SetDlgItemTextA(dialog, 1711, "late"));
    EXPECT_FALSE(vx::ShowWindow(dialog, vx::SW_SHOW));
    EXPECT_FALSE(vx::EndDialog(dialog, 1));

    HWND again = CreateStatusDialog();
    EXPECT_NE(again, dialog) << "handles are never reused";
    EXPECT_NE(vx::GetDlgItem(again, 2615), cancel);
    EXPECT_FALSE(vx::IsWindow(dialog));
    EXPECT_FALSE(vx::IsWindow(nullptr));
    EXPECT_FALSE(vx::IsWindow(reinterpret_cast<HWND>(-1)));
    EXPECT_FALSE(vx::IsWindow(reinterpret_cast<HWND>(0x7654321)));
    vx::DestroyWindow(again);
}

TEST_F(DialogTest, TextsVisibilityAndEnd)
{
    HWND dialog = CreateStatusDialog();
    EXPECT_TRUE(vx::SetDlgItemTextA(dialog, 2801, "Sending print job to\nhost: h\nprinter: p"));
    EXPECT_EQ(ItemText(dialog, 2801), "Sending print job to\nhost: h\nprinter: p");
    EXPECT_TRUE(vx::SetDlgItemTextA(dialog, 1711, nullptr));
    EXPECT_EQ(ItemText(dialog, 1711), "");
    EXPECT_FALSE(vx::SetDlgItemTextA(dialog, 4242, "x"));
    char small[4];
    EXPECT_EQ(vx::posix::DialogItemText(dialog, 2804, small, sizeof small), 3);
    EXPECT_STREQ(small, "Tra");

    EXPECT_FALSE(vx::ShowWindow(dialog, vx::SW_SHOW)) << "it was hidden";
    EXPECT_TRUE(vx::posix::WindowVisible(dialog));
    EXPECT_TRUE(vx::ShowWindow(dialog, vx::SW_SHOW)) << "it was visible";
    EXPECT_TRUE(vx::ShowWindow(vx::GetDlgItem(dialog, 2807), vx::SW_HIDE));
    EXPECT_FALSE(vx::posix::ControlVisible(dialog, 2807));
    EXPECT_FALSE(vx::ShowWindow(vx::GetDlgItem(dialog, 2807), vx::SW_SHOWNORMAL));
    EXPECT_TRUE(vx::posix::ControlVisible(dialog, 2807));

    EXPECT_TRUE(vx::EndDialog(dialog, -1));
    EXPECT_FALSE(vx::posix::WindowVisible(dialog)) << "an ended dialog is hidden";
    EXPECT_TRUE(vx::IsWindow(dialog)) << "and lives until it is destroyed";
    HWND plain = vx::posix::CreateTestWindow(nullptr);
    EXPECT_FALSE(vx::EndDialog(plain, 1)) << "only dialogs end";
    vx::DestroyWindow(plain);
    vx::DestroyWindow(dialog);
}

// ---- the message queue --------------------------------------------------------------------

struct WindowCall {
    HWND hwnd;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};
std::vector<WindowCall> windowcalls;

vx::LRESULT WINAPI RecordingWindow(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    windowcalls.push_back({hwnd, message, wparam, lparam});
    return 77;
}

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        windowcalls.clear();
        dialogcalls.clear();
        window_ = vx::posix::CreateTestWindow(RecordingWindow);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override
    {
        vx::DestroyWindow(window_);
        vx::posix::RefuseTimers(false);
    }
    // Fetches the next message, which must come within `ms`.
    vx::MSG Next(unsigned ms = 2000)
    {
        std::vector<vx::MSG> got = Collect(window_, ms, [](const vx::MSG &) { return true; });
        EXPECT_EQ(got.size(), 1u) << "nothing came within " << ms << " ms";
        return got.empty() ? vx::MSG() : got[0];
    }
    HWND window_ = nullptr;
};

TEST_F(QueueTest, PostedMessagesComeInOrderAndQuitEndsTheLoop)
{
    EXPECT_TRUE(vx::PostMessageA(window_, vx::WM_USER + 1, 10, 20));
    EXPECT_TRUE(vx::PostMessageA(window_, vx::WM_USER + 2, 0, 0));
    vx::PostQuitMessage(7);
    EXPECT_EQ(vx::posix::PendingMessages(), 3u);

    vx::MSG msg;
    ASSERT_TRUE(vx::GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.hwnd, window_);
    EXPECT_EQ(msg.message, vx::WM_USER + 1);
    EXPECT_EQ(msg.wParam, 10u);
    EXPECT_EQ(msg.lParam, 20);
    EXPECT_LE(vx::GetTickCount() - msg.time, 1000u) << "stamped with the tick count";
    ASSERT_TRUE(vx::GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, vx::WM_USER + 2);
    EXPECT_FALSE(vx::GetMessageA(&msg, nullptr, 0, 0)) << "WM_QUIT ends a loop";
    EXPECT_EQ(msg.message, vx::WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_EQ(vx::posix::PendingMessages(), 0u);
}

TEST_F(QueueTest, PeekTakesWhatIsThereAndNeverWaits)
{
    vx::MSG msg;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE)) << "an empty queue";
    EXPECT_LT(MsSince(start), 100);
    HWND other = vx::posix::CreateTestWindow(RecordingWindow);
    EXPECT_TRUE(vx::PostMessageA(other, vx::WM_USER, 1, 0));
    EXPECT_TRUE(vx::PostMessageA(window_, vx::WM_USER, 2, 0));
    vx::PostQuitMessage(3);
    vx::DestroyWindow(other);
    ASSERT_TRUE(vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u) << "the dead window's message is skipped";
    ASSERT_TRUE(vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE)) << "WM_QUIT is a message like the others";
    EXPECT_EQ(msg.message, vx::WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE));
    // A due timer is found without blocking.
    ASSERT_NE(vx::SetTimer(window_, 9, 1, nullptr), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(vx::PeekMessageA(&msg, nullptr, 0, 0, vx::PM_REMOVE));
    EXPECT_EQ(msg.message, vx::WM_TIMER);
    vx::KillTimer(window_, 9);
}

TEST_F(QueueTest, PostFromAnotherThreadWakesABlockedGetMessage)
{
    static constexpr int POST_AFTER_MS = 50;
    HWND target = window_;
    Clock::time_point start = Clock::now(); // before the poster exists: the post comes later still
    std::thread poster([target] {
        std::this_thread::sleep_for(std::chrono::milliseconds(POST_AFTER_MS));
        vx::PostMessageA(target, vx::WM_USER + 5, 42, 0);
    });
    vx::MSG msg = Next(5000);
    long elapsed = MsSince(start);
    poster.join();
    EXPECT_EQ(msg.message, vx::WM_USER + 5);
    EXPECT_EQ(msg.wParam, 42u);
    EXPECT_GE(elapsed, POST_AFTER_MS) << "it did block until the post";
    EXPECT_LT(elapsed, 2000) << "the post woke it";
}

TEST_F(QueueTest, PostsFromManyThreadsAllArrive)
{
    constexpr int THREADS = 4, EACH = 500;
    HWND target = window_;
    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; t++)
        posters.emplace_back([target, t] {
            for (int i = 0; i < EACH; i++)
                vx::PostMessageA(target, vx::WM_USER, static_cast<WPARAM>(t), i);
        });
    std::vector<int> next(THREADS, 0);
    int received = 0;
    std::vector<vx::MSG> got = Collect(window_, 10000, [&](const vx::MSG &m) {
        if (m.message == vx::WM_USER) {
            EXPECT_EQ(m.lParam, next[m.wParam]++) << "each thread's posts keep their order";
            received++;
        }
        return received == THREADS * EACH;
    });
    for (std::thread &t : posters)
        t.join();
    EXPECT_EQ(received, THREADS * EACH);
}

TEST_F(QueueTest, DeadWindowsGetNothing)
{
    HWND other = vx::posix::CreateTestWindow(RecordingWindow);
    EXPECT_TRUE(vx::PostMessageA(other, vx::WM_USER, 1, 0));
    EXPECT_TRUE(vx::PostMessageA(other, vx::WM_USER, 2, 0));
    EXPECT_TRUE(vx::PostMessageA(window_, vx::WM_USER, 3, 0));
    EXPECT_TRUE(vx::DestroyWindow(other));
    EXPECT_EQ(vx::posix::PendingMessages(), 1u) << "the dead window's messages are gone";
    EXPECT_FALSE(vx::PostMessageA(other, vx::WM_USER, 4, 0));
    vx::MSG msg = Next();
    EXPECT_EQ(msg.wParam, 3u);
    msg.hwnd = other;
    EXPECT_EQ(vx::DispatchMessageA(&msg), 0);
    msg.hwnd = nullptr;
    EXPECT_EQ(vx::DispatchMessageA(&msg), 0);
    EXPECT_EQ(windowcalls.size(), 1u) << "only the live window's message was dispatched";
}

TEST_F(QueueTest, DispatchHandsTheMessageToTheWindowProcedure)
{
    vx::MSG msg = {};
    msg.hwnd = window_;
    msg.message = vx::WM_USER + 9;
    msg.wParam = 5;
    msg.lParam = -6;
    EXPECT_EQ(vx::DispatchMessageA(&msg), 77);
    ASSERT_EQ(windowcalls.size(), 1u);
    EXPECT_EQ(windowcalls[0].hwnd, window_);
    EXPECT_EQ(windowcalls[0].message, vx::WM_USER + 9);
    EXPECT_EQ(windowcalls[0].wparam, 5u);
    EXPECT_EQ(windowcalls[0].lparam, -6);
    EXPECT_FALSE(vx::TranslateMessage(&msg));
}

TEST_F(QueueTest, IsDialogMessageTakesTheDialogsAndItsControlsMessagesOnly)
{
    HWND dialog = CreateStatusDialog();
    dialogcalls.clear();
    vx::MSG msg = {};
    msg.hwnd = dialog;
    msg.message = WSA;
    msg.wParam = 3;
    msg.lParam = 0x10;
    EXPECT_TRUE(vx::IsDialogMessageA(dialog, &msg));
    msg.hwnd = vx::GetDlgItem(dialog, 2615);
    msg.message = vx::WM_COMMAND;
    EXPECT_TRUE(vx::IsDialogMessageA(dialog, &msg));
    ASSERT_EQ(dialogcalls.size(), 2u);
    EXPECT_EQ(dialogcalls[0].hwnd, dialog);
    EXPECT_EQ(dialogcalls[0].message, WSA);
    EXPECT_EQ(dialogcalls[0].lparam, 0x10);
    EXPECT_EQ(dialogcalls[1].hwnd, dialog) << "a control's message goes to the dialog procedure";
    EXPECT_EQ(dialogcalls[1].message, vx::WM_COMMAND);

    msg.hwnd = window_;
    EXPECT_FALSE(vx::IsDialogMessageA(dialog, &msg)) << "another window's message";
    EXPECT_FALSE(vx::IsDialogMessageA(window_, &msg)) << "not a dialog";
    EXPECT_FALSE(vx::IsDialogMessageA(nullptr, &msg));
    vx::DestroyWindow(dialog);
    msg.hwnd = dialog;
    EXPECT_FALSE(vx::IsDialogMessageA(dialog, &msg)) << "a dead dialog";
    EXPECT_EQ(dialogcalls.size(), 2u);
    EXPECT_TRUE(windowcalls.empty());
}

// ---- timers -------------------------------------------------------------------------------

int Ticks(const std::vector<vx::MSG> &msgs, HWND hwnd, vx::UINT_PTR id)
{
    int n = 0;
    for (const vx::MSG &m : msgs)
        n += m.hwnd == hwnd && m.message == vx::WM_TIMER && m.wParam == id;
    return n;
}

TEST_F(QueueTest, TimersArePeriodicUntilKilled)
{
    EXPECT_EQ(vx::SetTimer(window_, 7, 20, nullptr), 7u);
    std::vector<vx::MSG> got = Collect(window_, 300);
    int ticks = Ticks(got, window_, 7);
    EXPECT_GE(ticks, 5) << "about 15 ticks of 20 ms in 300 ms";
    EXPECT_LE(ticks, 16);
    EXPECT_EQ(windowcalls.size(), static_cast<size_t>(ticks)) << "each WM_TIMER is dispatched to the window";
    EXPECT_TRUE(vx::KillTimer(window_, 7));
    EXPECT_EQ(Ticks(Collect(window_, 150), window_, 7), 0);
    EXPECT_FALSE(vx::KillTimer(window_, 7));
}

TEST_F(QueueTest, ALateReaderFindsOneTickNotABacklog)
{
    constexpr unsigned PERIOD_MS = 40;
    ASSERT_NE(vx::SetTimer(window_, 3, PERIOD_MS, nullptr), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    Clock::time_point beforefetch = Clock::now(); // the fetch that restarts the period comes after
    vx::MSG msg = Next(1000);
    EXPECT_EQ(msg.message, vx::WM_TIMER);
    EXPECT_EQ(msg.wParam, 3u);
    msg = Next(1000);
    EXPECT_EQ(msg.message, vx::WM_TIMER);
    EXPECT_GE(MsSince(beforefetch), static_cast<long>(PERIOD_MS))
        << "the next tick is a period after the fetch, not at once";
}

TEST_F(QueueTest, ResettingATimerReplacesItsPeriod)
{
    ASSERT_EQ(vx::SetTimer(window_, 5, 60000, nullptr), 5u);
    ASSERT_EQ(vx::SetTimer(window_, 5, 20, nullptr), 5u);
    Clock::time_point start = Clock::now();
    std::vector<vx::MSG> got =
        Collect(window_, 1000, [](const vx::MSG &m) { return m.message == vx::WM_TIMER; });
    EXPECT_EQ(Ticks(got, window_, 5), 1);
    EXPECT_LT(MsSince(start), 900);
}

TEST_F(QueueTest, SetTimerIsRefusedByTheSeamAndForDeadWindows)
{
    vx::posix::RefuseTimers(true);
    EXPECT_EQ(vx::SetTimer(window_, 2, 10, nullptr), 0u);
    vx::posix::RefuseTimers(false);
    EXPECT_EQ(Ticks(Collect(window_, 100), window_, 2), 0) << "a refused timer never fires";
    EXPECT_EQ(vx::SetTimer(window_, 2, 10, nullptr), 2u);
    HWND gone = vx::posix::CreateTestWindow(nullptr);
    vx::DestroyWindow(gone);
    EXPECT_EQ(vx::SetTimer(gone, 2, 10, nullptr), 0u);
    EXPECT_FALSE(vx::KillTimer(gone, 2));
}

TEST_F(QueueTest, DestroyKillsTheWindowsTimers)
{
    HWND dialog = CreateStatusDialog();
    ASSERT_EQ(vx::SetTimer(dialog, 2, 10, nullptr), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the timer is due
    vx::DestroyWindow(dialog);
    std::vector<vx::MSG> got = Collect(window_, 150);
    EXPECT_EQ(Ticks(got, dialog, 2), 0);
}

// ---- Winsock notifications ------------------------------------------------------------------

struct Note {
    long event;
    int error;
};

std::vector<Note> NotesFor(const std::vector<vx::MSG> &msgs, vx::SOCKET s)
{
    std::vector<Note> notes;
    for (const vx::MSG &m : msgs)
        if (m.message == WSA && m.wParam == s)
            notes.push_back(
                {static_cast<long>(m.lParam & 0xffff), static_cast<int>((m.lParam >> 16) & 0xffff)});
    return notes;
}

int CountOf(const std::vector<Note> &notes, long event)
{
    int n = 0;
    for (const Note &note : notes)
        n += note.event == event;
    return n;
}

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibrary();
        ASSERT_EQ(vx::WinsockStartup(), 0);
        window_ = vx::posix::CreateTestWindow(nullptr);
    }
    void TearDown() override
    {
        if (s_ != vx::INVALID_SOCKET)
            ws.closesocket(s_);
        if (peer_ >= 0)
            CloseFd(peer_);
        vx::DestroyWindow(window_);
        ResetLibrary();
    }

    vx::sockaddr_in Loopback(uint16_t port)
    {
        vx::sockaddr_in sin = {};
        sin.sin_family = vx::AF_INET;
        sin.sin_port = ws.htons(port);
        sin.sin_addr.s_addr = Net32(0x7f000001);
        return sin;
    }
    // Starts a non-blocking connect of a socket registered for `events` with window_.
    void StartConnect(uint16_t port, long events, HWND hwnd = nullptr)
    {
        s_ = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
        ASSERT_NE(s_, vx::INVALID_SOCKET);
        ASSERT_EQ(ws.WSAAsyncSelect(s_, hwnd != nullptr ? hwnd : window_, WSA, events), 0);
        vx::sockaddr_in sin = Loopback(port);
        int rc = ws.connect(s_, reinterpret_cast<vx::sockaddr *>(&sin), sizeof sin);
        ASSERT_TRUE(rc == 0 || ws.WSAGetLastError() == vx::WSAEWOULDBLOCK) << ws.WSAGetLastError();
    }
    // A connected socket registered for all four events, and the peer's end; the
    // notifications of the connect are consumed.
    void ConnectPair(int peerrcvbuf = 0)
    {
        uint16_t port;
        int listenfd = ListenLoopback(&port);
        ASSERT_GE(listenfd, 0);
        if (peerrcvbuf > 0)
            SetReceiveBuffer(listenfd, peerrcvbuf); // inherited by the accepted socket
        StartConnect(port, ALL);
        vx::SOCKET s = s_;
        std::vector<Note> notes = NotesFor(Collect(window_, 3000,
                                                   [s](const vx::MSG &m) {
                                                       return m.message == WSA && m.wParam == s &&
                                                              (m.lParam & 0xffff) == vx::FD_WRITE;
                                                   }),
                                           s_);
        peer_ = AcceptOne(listenfd);
        CloseFd(listenfd);
        ASSERT_GE(peer_, 0);
        ASSERT_EQ(CountOf(notes, vx::FD_CONNECT), 1);
        ASSERT_EQ(CountOf(notes, vx::FD_WRITE), 1);
    }
    std::vector<Note> Pump(unsigned ms) { return NotesFor(Collect(window_, ms), s_); }
    void PeerWrite(const std::string &bytes)
    {
        ASSERT_EQ(WriteAll(peer_, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }
    int Recv(char *buf, int len) { return ws.recv(s_, buf, len, 0); }

    static constexpr long ALL = vx::FD_READ | vx::FD_WRITE | vx::FD_CONNECT | vx::FD_CLOSE;
    vx::WinsockTable &ws = vx::winsock;
    HWND window_ = nullptr;
    vx::SOCKET s_ = vx::INVALID_SOCKET;
    int peer_ = -1;
};

TEST_F(NotificationTest, ConnectPostsOneConnectAndOneWriteThenStaysQuiet)
{
    uint16_t port;
    int listenfd = ListenLoopback(&port);
    ASSERT_GE(listenfd, 0);
    ASSERT_NO_FATAL_FAILURE(StartConnect(port, ALL));
    // 250 ms in which the socket stays writable: level-triggered notices would flood.
    std::vector<Note> notes = Pump(250);
    CloseFd(listenfd);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].event, vx::FD_CONNECT);
    EXPECT_EQ(notes[0].error, 0);
    EXPECT_EQ(notes[1].event, vx::FD_WRITE);
    EXPECT_EQ(notes[1].error, 0);
}

TEST_F(NotificationTest, ARefusedConnectPostsOneConnectWithTheError)
{
    uint16_t port = UnusedLoopbackPort();
    ASSERT_NE(port, 0);
    ASSERT_NO_FATAL_FAILURE(StartConnect(port, ALL));
    std::vector<Note> notes = Pump(250);
    ASSERT_EQ(notes.size(), 1u) << "no FD_WRITE, and no flood from the dead socket";
    EXPECT_EQ(notes[0].event, vx::FD_CONNECT);
    EXPECT_EQ(notes[0].error, vx::WSAECONNREFUSED);
    char buf[4];
    EXPECT_EQ(ws.recv(s_, buf, sizeof buf, 0), vx::SOCKET_ERROR) << "the refusal is no empty stream";
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAECONNREFUSED) << "the next transfer still reports it";
    EXPECT_TRUE(Pump(100).empty());
}

TEST_F(NotificationTest, OnlyTheRequestedEventsArePosted)
{
    uint16_t port;
    int listenfd = ListenLoopback(&port);
    ASSERT_GE(listenfd, 0);
    ASSERT_NO_FATAL_FAILURE(StartConnect(port, vx::FD_CONNECT));
    std::vector<Note> notes = Pump(150);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].event, vx::FD_CONNECT);
    peer_ = AcceptOne(listenfd);
    CloseFd(listenfd);
    PeerWrite("data");
    CloseFd(peer_);
    peer_ = -1;
    EXPECT_TRUE(Pump(150).empty()) << "FD_READ and FD_CLOSE were not asked for";
}

TEST_F(NotificationTest, ReadIsPostedOnceAndAgainOnlyAfterARecv)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    PeerWrite("hello world");
    EXPECT_EQ(CountOf(Pump(150), vx::FD_READ), 1);
    PeerWrite("!!");
    EXPECT_EQ(CountOf(Pump(100), vx::FD_READ), 0) << "more data alone does not post again";
    char buf[64];
    ASSERT_EQ(Recv(buf, 4), 4);
    EXPECT_EQ(CountOf(Pump(100), vx::FD_READ), 1) << "data left after the recv";
    ASSERT_EQ(Recv(buf, sizeof buf), 9);
    EXPECT_EQ(CountOf(Pump(100), vx::FD_READ), 0) << "nothing left";
    EXPECT_EQ(Recv(buf, sizeof buf), vx::SOCKET_ERROR) << "the socket is non-blocking";
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEWOULDBLOCK);
    EXPECT_EQ(CountOf(Pump(100), vx::FD_READ), 0);
}

TEST_F(NotificationTest, AGracefulCloseIsPostedOnceAfterTheDataIsRead)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    PeerWrite("abc");
    CloseFd(peer_);
    peer_ = -1;
    std::vector<Note> notes = Pump(150);
    EXPECT_EQ(CountOf(notes, vx::FD_READ), 1);
    EXPECT_EQ(CountOf(notes, vx::FD_CLOSE), 0) << "data is still unread";
    char buf[16];
    ASSERT_EQ(Recv(buf, sizeof buf), 3);
    notes = Pump(150);
    ASSERT_EQ(CountOf(notes, vx::FD_CLOSE), 1);
    for (const Note &note : notes)
        EXPECT_EQ(note.error, 0);
    EXPECT_EQ(Recv(buf, sizeof buf), 0);
    EXPECT_EQ(CountOf(Pump(150), vx::FD_CLOSE), 0) << "never twice";
}

TEST_F(NotificationTest, APeerCloseWithoutDataEndsBothReadAndCloseWaits)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    CloseFd(peer_);
    peer_ = -1;
    std::vector<Note> notes = Pump(200);
    EXPECT_EQ(CountOf(notes, vx::FD_CLOSE), 1);
    EXPECT_EQ(CountOf(notes, vx::FD_READ), 1) << "the end of the stream is something to read";
    EXPECT_EQ(CountOf(notes, vx::FD_WRITE), 0);
    char buf[4];
    EXPECT_EQ(Recv(buf, sizeof buf), 0);
    notes = Pump(150);
    EXPECT_EQ(CountOf(notes, vx::FD_CLOSE), 0);
    EXPECT_LE(CountOf(notes, vx::FD_READ), 1) << "at most one per recv";
}

TEST_F(NotificationTest, AResetIsPostedAsCloseWithConnResetAndStaysForTheRecv)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ResetClose(peer_);
    peer_ = -1;
    std::vector<Note> notes = Pump(200);
    int closes = 0;
    for (const Note &note : notes)
        if (note.event == vx::FD_CLOSE) {
            closes++;
            EXPECT_EQ(note.error, vx::WSAECONNRESET);
        }
    EXPECT_EQ(closes, 1);
    char buf[4];
    EXPECT_EQ(Recv(buf, sizeof buf), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAECONNRESET) << "the notification did not consume the error";
    EXPECT_EQ(CountOf(Pump(150), vx::FD_CLOSE), 0);
}

TEST_F(NotificationTest, MaskZeroStopsNotificationsAndANewRegistrationStartsAfresh)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ASSERT_EQ(ws.WSAAsyncSelect(s_, window_, WSA, 0), 0);
    PeerWrite("x");
    CloseFd(peer_);
    peer_ = -1;
    EXPECT_TRUE(Pump(150).empty());
    ASSERT_EQ(ws.WSAAsyncSelect(s_, window_, WSA, vx::FD_READ), 0);
    std::vector<Note> notes = Pump(150);
    ASSERT_EQ(notes.size(), 1u) << "FD_READ only: it is all that was asked for";
    EXPECT_EQ(notes[0].event, vx::FD_READ);
}

TEST_F(NotificationTest, ANewRegistrationOfAConnectedSocketGetsOneWrite)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ASSERT_EQ(ws.WSAAsyncSelect(s_, window_, WSA, ALL), 0);
    std::vector<Note> notes = Pump(200);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].event, vx::FD_WRITE);
}

TEST_F(NotificationTest, ASendThatWouldBlockGetsOneWriteOnceThePeerDrains)
{
    ASSERT_NO_FATAL_FAILURE(ConnectPair(4096));
    int small = 4096;
    ws.setsockopt(s_, vx::SOL_SOCKET, vx::SO_SNDBUF, reinterpret_cast<const char *>(&small), sizeof small);
    std::string chunk(16384, 'x');
    long total = 0;
    bool blocked = false;
    for (int i = 0; i < 10000 && !blocked; i++) {
        int n = ws.send(s_, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n == vx::SOCKET_ERROR) {
            ASSERT_EQ(ws.WSAGetLastError(), vx::WSAEWOULDBLOCK);
            blocked = true;
        } else
            total += n;
    }
    ASSERT_TRUE(blocked);
    EXPECT_EQ(CountOf(Pump(150), vx::FD_WRITE), 0) << "no room yet";
    std::vector<char> buf(65536);
    long drained = 0;
    for (int i = 0; i < 100000 && drained < total; i++) {
        long n = ReadSome(peer_, buf.data(), buf.size());
        if (n <= 0)
            break;
        drained += n;
    }
    ASSERT_EQ(drained, total);
    std::vector<Note> notes = Pump(300);
    EXPECT_EQ(CountOf(notes, vx::FD_WRITE), 1) << "once, however long the room lasts";
}

TEST_F(NotificationTest, AClosedDescriptorIsForgottenBeforeItsNumberComesBack)
{
    uint16_t port;
    int listenfd = ListenLoopback(&port);
    ASSERT_GE(listenfd, 0);
    vx::SOCKET old = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    ASSERT_EQ(ws.WSAAsyncSelect(old, window_, WSA, ALL), 0);
    ASSERT_EQ(ws.closesocket(old), 0);
    s_ = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    ASSERT_EQ(s_, old) << "the system hands the lowest free number out again";
    vx::sockaddr_in sin = Loopback(port);
    ASSERT_EQ(ws.connect(s_, reinterpret_cast<vx::sockaddr *>(&sin), sizeof sin), 0)
        << "blocking: not registered";
    peer_ = AcceptOne(listenfd);
    CloseFd(listenfd);
    PeerWrite("x");
    EXPECT_TRUE(Pump(150).empty());
}

TEST_F(NotificationTest, ADestroyedWindowLosesItsRegistrations)
{
    uint16_t port;
    int listenfd = ListenLoopback(&port);
    ASSERT_GE(listenfd, 0);
    HWND other = vx::posix::CreateTestWindow(nullptr);
    ASSERT_NO_FATAL_FAILURE(StartConnect(port, ALL, other));
    vx::DestroyWindow(other);
    EXPECT_TRUE(Pump(200).empty());
    EXPECT_EQ(vx::posix::PendingMessages(), 0u);
    CloseFd(listenfd);
}

TEST_F(NotificationTest, AsyncSelectChecksItsArguments)
{
    s_ = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    HWND gone = vx::posix::CreateTestWindow(nullptr);
    vx::DestroyWindow(gone);
    EXPECT_EQ(ws.WSAAsyncSelect(s_, gone, WSA, ALL), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEINVAL);
    EXPECT_EQ(ws.WSAAsyncSelect(vx::INVALID_SOCKET, window_, WSA, ALL), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAENOTSOCK);
    for (int i = 0; i < 16 && vx::posix::WinsockStartCount() > 0; i++)
        ws.WSACleanup();
    EXPECT_EQ(ws.WSAAsyncSelect(s_, window_, WSA, ALL), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSANOTINITIALISED);
    vx::WinsockStartup();
}

// ---- the status display ---------------------------------------------------------------------

// Standard error sent to `fd` while alive.
class StderrTo {
public:
    explicit StderrTo(int fd) : saved_(dup(2)) { dup2(fd, 2); }
    ~StderrTo() { restore(); }
    void restore()
    {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }

private:
    int saved_;
};

// A pseudo-terminal; what is written to its terminal end is read off as it comes, so
// that a writer never blocks on a full buffer.
class Terminal {
public:
    Terminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0)
            return;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        reader_ = std::thread([this] { Drain(); });
    }
    ~Terminal()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    bool ok() const { return slave_ >= 0; }
    int slave() const { return slave_; }
    // Everything written to the terminal end so far.  A marker written after it comes
    // through last (the terminal keeps the order of writes), so once the reader has it,
    // it has everything before it; the marker itself is taken out again.
    std::string Read()
    {
        static const std::string marker = "<read-marker>";
        if (write(slave_, marker.data(), marker.size()) != static_cast<long>(marker.size())) {
            ADD_FAILURE() << "the marker could not be written";
            return "";
        }
        for (int i = 0; i < 1000; i++) { // 5 s at most
            {
                std::lock_guard<std::mutex> guard(lock_);
                size_t at = text_.find(marker);
                if (at != std::string::npos) {
                    text_.erase(at, marker.size());
                    return text_;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ADD_FAILURE() << "the terminal's output did not come through within 5 s";
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

private:
    void Drain()
    {
        char buf[4096];
        while (!stop_) {
            long n = read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> guard(lock_);
                text_.append(buf, static_cast<size_t>(n));
            } else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string text_;
    std::thread reader_;
};

size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override { window_ = vx::posix::CreateTestWindow(nullptr); }
    void TearDown() override { vx::DestroyWindow(window_); }
    HWND window_ = nullptr;
};

TEST_F(DisplayTest, NothingIsPrintedWhenStandardErrorIsNoTerminal)
{
    char path[] = "/tmp/vexlolpr-display-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    {
        StderrTo redirect(fd);
        HWND dialog = CreateStatusDialog();
        vx::ShowWindow(dialog, vx::SW_SHOW);
        vx::SetDlgItemTextA(dialog, 2801, "Sending print job to\nhost: h\nprinter: p");
        vx::SetDlgItemTextA(dialog, 2807, "100");
        vx::SetDlgItemTextA(dialog, 2805, "50");
        Collect(window_, 150);
        vx::DestroyWindow(dialog);
    }
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    close(fd);
}

TEST_F(DisplayTest, AHiddenDialogIsNotDrawnEvenOnATerminal)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    StderrTo redirect(terminal.slave());
    HWND dialog = CreateStatusDialog();
    vx::SetDlgItemTextA(dialog, 1711, "Connected!");
    Collect(window_, 150);
    vx::DestroyWindow(dialog);
    redirect.restore();
    EXPECT_EQ(terminal.Read(), "");
}

TEST_F(DisplayTest, AVisibleDialogIsDrawnAndFinishedOnAFreshLine)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    StderrTo redirect(terminal.slave());
    HWND dialog = CreateStatusDialog();
    vx::ShowWindow(dialog, vx::SW_SHOW);
    vx::SetDlgItemTextA(dialog, 2801, "Sending print job to\nhost: h\nprinter: p");
    vx::SetDlgItemTextA(dialog, 1711, "Connected!");
    vx::SetDlgItemTextA(dialog, 2807, "100");
    vx::SetDlgItemTextA(dialog, 2805, "50");
    vx::DestroyWindow(dialog);
    redirect.restore();
    std::string text = terminal.Read();
    EXPECT_NE(text.find("LPR Printing I/O Status"), std::string::npos) << text;
    EXPECT_NE(text.find("host: h"), std::string::npos);
    EXPECT_NE(text.find("printer: p"), std::string::npos);
    EXPECT_NE(text.find("Connected!"), std::string::npos);
    EXPECT_NE(text.find("Transferred 50 out of 100 bytes"), std::string::npos)
        << "the latest state is drawn at the end";
    EXPECT_NE(text.find("50%"), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the cursor is left on a fresh line";
}

TEST_F(DisplayTest, RapidChangesAreCoalesced)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    StderrTo redirect(terminal.slave());
    HWND dialog = CreateStatusDialog();
    vx::ShowWindow(dialog, vx::SW_SHOW);
    vx::SetDlgItemTextA(dialog, 2807, "500");
    Clock::time_point start = Clock::now();
    for (int i = 1; i <= 500; i++)
        vx::SetDlgItemTextA(dialog, 2805, std::to_string(i).c_str());
    long elapsed = MsSince(start);
    vx::DestroyWindow(dialog);
    redirect.restore();
    std::string text = terminal.Read();
    EXPECT_LE(Occurrences(text, "Transferred "), static_cast<size_t>(elapsed / 100 + 3))
        << "at most ten a second";
    EXPECT_NE(text.find("Transferred 500 out of 500 bytes"), std::string::npos);
}

TEST_F(DisplayTest, AHeldBackChangeIsDrawnWhileTheLoopWaits)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    StderrTo redirect(terminal.slave());
    HWND dialog = CreateStatusDialog();
    vx::ShowWindow(dialog, vx::SW_SHOW);
    vx::SetDlgItemTextA(dialog, 1711, "first");
    vx::SetDlgItemTextA(dialog, 1711, "second");
    Collect(window_, 300);
    std::string before = terminal.Read();
    vx::DestroyWindow(dialog);
    redirect.restore();
    EXPECT_NE(before.find("second"), std::string::npos) << "drawn before the dialog went";
}

} // namespace
