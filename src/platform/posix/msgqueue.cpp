// msgqueue.cpp - the thread's message queue: posted messages, timers, dispatch, and the
// wait in poll() that turns wake-ups and socket readiness into messages.  Owns one queue
// per thread (created on first use, kept alive by the windows the thread created) and
// the timer refusal seam.
#include <limits.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "eventsource.h"
#include "sockshim.h"
#include "statusdisplay.h"

namespace vx {
namespace posix {

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    uint64_t period; // microseconds
    uint64_t due;    // MonotonicUs() of the next WM_TIMER
};

struct MessageQueue {
    std::atomic<int> refs; // QueueRef holders
    std::mutex lock;       // guards posted and timers
    std::deque<MSG> posted;
    std::vector<Timer> timers;
    // What the thread has seen of its queue, for the wait that counts only new input:
    // messages posted in all, the count when the thread last looked, and when that was.
    uint64_t posts = 0;
    uint64_t seenposts = 0;
    uint64_t seenus = 0;
    const int wakefd; // negative when none could be had: then only the owner posts

    MessageQueue() : refs(0), wakefd(shim::WakeCreate()) {}
    ~MessageQueue()
    {
        if (wakefd >= 0)
            shim::Close(wakefd);
    }
};

namespace {

thread_local QueueRef threadqueue;
constexpr int OUT_OF_MEMORY_PAUSE = 10; // ms
std::atomic<bool> refusetimers;

MSG MakeMsg(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    MSG msg = {};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    return msg;
}

// The caller holds the queue's lock.
Timer *FindTimer(MessageQueue &q, HWND hwnd, UINT_PTR id)
{
    for (Timer &t : q.timers)
        if (t.hwnd == hwnd && t.id == id)
            return &t;
    return nullptr;
}

Timer *EarliestTimer(MessageQueue &q)
{
    Timer *earliest = nullptr;
    for (Timer &t : q.timers)
        if (earliest == nullptr || t.due < earliest->due)
            earliest = &t;
    return earliest;
}

bool RemoveTimer(MessageQueue &q, HWND hwnd, UINT_PTR id)
{
    std::lock_guard<std::mutex> guard(q.lock);
    Timer *t = FindTimer(q, hwnd, id);
    if (t == nullptr)
        return false;
    q.timers.erase(q.timers.begin() + (t - q.timers.data()));
    return true;
}

// The next message in Windows' order: posted messages first, a due timer only when none
// is waiting.
bool TakeMessage(MessageQueue &q, MSG *msg)
{
    std::lock_guard<std::mutex> guard(q.lock);
    if (!q.posted.empty()) {
        *msg = q.posted.front();
        q.posted.pop_front();
        return true;
    }
    uint64_t now = MonotonicUs();
    Timer *t = EarliestTimer(q);
    if (t == nullptr || t->due > now)
        return false;
    // WM_TIMER is made when it is fetched, so a late reader finds one tick, not a backlog.
    t->due = now + t->period;
    *msg = MakeMsg(t->hwnd, WM_TIMER, t->id, 0);
    return true;
}

// Microseconds until the next timer is due, -1 without timers.  Timers keep microseconds
// so that a period of 1 ms lasts 1 ms, not up to 2 as whole milliseconds would round it.
int64_t UsUntilTimer(MessageQueue &q)
{
    std::lock_guard<std::mutex> guard(q.lock);
    Timer *t = EarliestTimer(q);
    if (t == nullptr)
        return -1;
    uint64_t now = MonotonicUs();
    return t->due <= now ? 0 : static_cast<int64_t>(std::min<uint64_t>(t->due - now, INT64_MAX));
}

// The earlier of two time-outs, -1 standing for none.
int64_t Earlier(int64_t a, int64_t b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }
int64_t MsToUs(int ms) { return ms < 0 ? -1 : static_cast<int64_t>(ms) * 1000; }

// Blocks until something may have produced a message: a wake-up (a post from another
// thread, a timer or socket registration changed), a socket that is ready for what its
// registration waits for, the next timer, or a held-back redraw of the status display.
// The lists are the thread's own and kept: a wait allocates nothing once warmed up.
void WaitForEvents(MessageQueue &q, int capms = -1)
{
    int64_t timeout = Earlier(Earlier(UsUntilTimer(q), MsToUs(display::RedrawDue())), MsToUs(capms));
    static thread_local std::vector<SocketWatch> watches;
    static thread_local std::vector<shim::PollItem> items;
    watches.clear();
    items.clear();
    try {
        CollectWatches(&q, &watches);
        items.push_back({q.wakefd, shim::IO_READABLE, 0});
        for (const SocketWatch &w : watches)
            items.push_back({w.fd, w.want, 0});
        if (shim::Poll(items.data(), items.size(), timeout) <= 0)
            return;
    } catch (const std::bad_alloc &) {
        // The lists could not grow: no socket is looked at this time.  A short pause
        // instead of the poll, and the caller comes back to try again.
        shim::PollItem wake = {q.wakefd, shim::IO_READABLE, 0};
        watches.clear();
        items.clear();
        shim::PollItem *one = q.wakefd >= 0 ? &wake : nullptr;
        if (shim::Poll(one, one != nullptr ? 1 : 0, Earlier(timeout, MsToUs(OUT_OF_MEMORY_PAUSE))) > 0)
            shim::WakeDrain(q.wakefd);
        return;
    }
    if (items[0].got != 0)
        shim::WakeDrain(q.wakefd);
    for (size_t i = 0; i < watches.size(); i++)
        if (items[i + 1].got != 0)
            SocketReady(watches[i], items[i + 1].got);
}

LRESULT Deliver(const Receiver &r, const MSG &msg)
{
    if (r.dlgproc != nullptr)
        return static_cast<LRESULT>(r.dlgproc(r.hwnd, msg.message, msg.wParam, msg.lParam));
    if (r.wndproc != nullptr)
        return r.wndproc(r.hwnd, msg.message, msg.wParam, msg.lParam);
    return 0;
}

} // namespace

QueueRef::QueueRef(MessageQueue *queue) : queue_(queue)
{
    if (queue_ != nullptr)
        queue_->refs.fetch_add(1);
}

QueueRef::QueueRef(const QueueRef &other) : QueueRef(other.queue_) {}

QueueRef &QueueRef::operator=(QueueRef other)
{
    std::swap(queue_, other.queue_);
    return *this;
}

QueueRef::~QueueRef()
{
    if (queue_ != nullptr && queue_->refs.fetch_sub(1) == 1)
        delete queue_;
}

uint64_t MonotonicUs()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

uint64_t MonotonicMs() { return MonotonicUs() / 1000; }

QueueRef ThisThreadQueue()
{
    // Without memory for it the thread has no queue yet, and its calls fail as
    // Windows' do when a thread's queue cannot be made.
    if (!threadqueue)
        threadqueue = QueueRef(new (std::nothrow) MessageQueue);
    return threadqueue;
}

void WakeQueue(MessageQueue &queue)
{
    // The owner itself is not waiting while it calls; it looks again before it blocks.
    if (&queue != threadqueue.get() && queue.wakefd >= 0)
        shim::WakeSignal(queue.wakefd);
}

bool QueueMessage(MessageQueue &queue, const MSG &msg)
{
    try {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.posted.push_back(msg);
        queue.posts++;
    } catch (const std::bad_alloc &) {
        return false;
    }
    WakeQueue(queue);
    return true;
}

void ForgetWindowInQueue(MessageQueue &queue, HWND hwnd)
{
    std::lock_guard<std::mutex> guard(queue.lock);
    auto &posted = queue.posted;
    posted.erase(
        std::remove_if(posted.begin(), posted.end(), [hwnd](const MSG &m) { return m.hwnd == hwnd; }),
        posted.end());
    auto &timers = queue.timers;
    timers.erase(
        std::remove_if(timers.begin(), timers.end(), [hwnd](const Timer &t) { return t.hwnd == hwnd; }),
        timers.end());
}

void RefuseTimers(bool refuse) { refusetimers.store(refuse); }

size_t PendingMessages()
{
    QueueRef q = ThisThreadQueue();
    if (!q)
        return 0;
    std::lock_guard<std::mutex> guard(q->lock);
    return q->posted.size();
}

size_t ThreadTimers()
{
    QueueRef q = ThisThreadQueue();
    if (!q)
        return 0;
    std::lock_guard<std::mutex> guard(q->lock);
    return q->timers.size();
}

} // namespace posix

using namespace posix;

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void *timerproc)
{
    // Timer procedures are not offered: every timer is a WM_TIMER to its window.
    if (Injected(Fallible::SetTimer) || refusetimers.load() || timerproc != nullptr)
        return 0;
    QueueRef q = WindowQueue(hwnd);
    if (!q)
        return 0;
    // A period of 0 would be due on every fetch; 1 ms is the finest there is.
    uint64_t period = std::max<uint64_t>(ms, 1) * 1000;
    try {
        std::lock_guard<std::mutex> guard(q->lock);
        uint64_t due = MonotonicUs() + period;
        Timer *t = FindTimer(*q, hwnd, id);
        if (t != nullptr)
            *t = {hwnd, id, period, due};
        else
            q->timers.push_back({hwnd, id, period, due});
    } catch (const std::bad_alloc &) {
        return 0;
    }
    WakeQueue(*q);
    return id != 0 ? id : 1; // success is never 0
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    QueueRef q = WindowQueue(hwnd);
    return q && RemoveTimer(*q, hwnd, id) ? TRUE : FALSE;
}

// Whether GetMessageA would return at once: a posted message or a due timer.
bool MessageReady(MessageQueue &q)
{
    if (UsUntilTimer(q) == 0)
        return true;
    std::lock_guard<std::mutex> guard(q.lock);
    return !q.posted.empty();
}

// Whether input came since the thread last looked at its queue: a message posted since,
// or a timer that fell due since.
bool NewInputReady(MessageQueue &q)
{
    std::lock_guard<std::mutex> guard(q.lock);
    if (q.posts != q.seenposts && !q.posted.empty())
        return true;
    Timer *t = EarliestTimer(q);
    return t != nullptr && t->due <= MonotonicUs() && t->due > q.seenus;
}

// Everything in the queue now has been seen by the thread, as Windows counts it.
void MarkSeen(MessageQueue &q)
{
    std::lock_guard<std::mutex> guard(q.lock);
    q.seenposts = q.posts;
    q.seenus = MonotonicUs();
}

// Only the form the logic uses: no objects, any input, a time-out in milliseconds.
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const void *, DWORD ms, DWORD, DWORD flags)
{
    QueueRef q = ThisThreadQueue();
    if (count != 0 || !q)
        return WAIT_FAILED;
    uint64_t deadline = MonotonicMs() + ms;
    bool available = (flags & MWMO_INPUTAVAILABLE) != 0;
    for (;;) {
        if (available ? MessageReady(*q) : NewInputReady(*q))
            return WAIT_OBJECT_0;
        uint64_t now = MonotonicMs();
        if (now >= deadline)
            return WAIT_TIMEOUT;
        WaitForEvents(*q, static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX)));
    }
}

// The next message that still has somewhere to go.  A message for a window destroyed
// after it was posted goes nowhere; so does a timer that was set while its window was
// being destroyed.
bool TakeLiveMessage(MessageQueue &q, MSG *msg)
{
    MSG m;
    while (TakeMessage(q, &m)) {
        if (m.hwnd != nullptr && !IsWindow(m.hwnd)) {
            if (m.message == WM_TIMER)
                RemoveTimer(q, m.hwnd, m.wParam);
            continue;
        }
        m.time = GetTickCount();
        *msg = m;
        return true;
    }
    return false;
}

// The logic only ever fetches every message of the thread, so the window and range
// filters are not applied.
BOOL GetMessageA(MSG *msg, HWND, UINT, UINT)
{
    QueueRef q = ThisThreadQueue();
    if (msg == nullptr || !q)
        return -1;
    while (!TakeLiveMessage(*q, msg))
        WaitForEvents(*q);
    MarkSeen(*q);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

// Only the form the logic uses: any message, removed.  Sockets that are ready already
// are looked at first, without waiting.
BOOL PeekMessageA(MSG *msg, HWND, UINT, UINT, UINT remove)
{
    QueueRef q = ThisThreadQueue();
    if (msg == nullptr || remove != PM_REMOVE || !q)
        return FALSE;
    bool taken = TakeLiveMessage(*q, msg);
    if (!taken) {
        WaitForEvents(*q, 0);
        taken = TakeLiveMessage(*q, msg);
    }
    MarkSeen(*q);
    return taken ? TRUE : FALSE;
}

BOOL IsDialogMessageA(HWND dialog, MSG *msg)
{
    if (msg == nullptr)
        return FALSE;
    Receiver r = DialogReceiverOf(dialog, msg->hwnd);
    if (r.hwnd == nullptr)
        return FALSE;
    Deliver(r, *msg);
    return TRUE;
}

// There is no keyboard, so there is nothing to translate.
BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageA(const MSG *msg)
{
    if (msg == nullptr || msg->hwnd == nullptr)
        return 0;
    return Deliver(ReceiverOf(msg->hwnd), *msg);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (Injected(Fallible::PostMessage))
        return FALSE;
    // As on Windows, no window means the calling thread itself.
    QueueRef q = hwnd == nullptr ? ThisThreadQueue() : WindowQueue(hwnd);
    if (!q)
        return FALSE;
    return QueueMessage(*q, MakeMsg(hwnd, message, wparam, lparam)) ? TRUE : FALSE;
}

void PostQuitMessage(int exitcode)
{
    QueueRef q = ThisThreadQueue();
    if (q)
        QueueMessage(*q, MakeMsg(nullptr, WM_QUIT, static_cast<WPARAM>(exitcode), 0));
}

} // namespace vx
