// eventsource.h - what the three parts of the POSIX event source tell each other: the
// window table (window.cpp), the thread message queues with their timers (msgqueue.cpp)
// and the socket notifications (asyncselect.cpp).
//
// Locks are only ever taken in the order sockets, windows, queue (each part holds one),
// and no lock is held while a window or dialog procedure runs.
#ifndef VEXLOLPR_POSIX_EVENTSOURCE_H
#define VEXLOLPR_POSIX_EVENTSOURCE_H

#include <vector>

#include "posix.h"

namespace vx {
namespace posix {

// ---- msgqueue.cpp ------------------------------------------------------------------------
struct MessageQueue;

// A counted reference to a queue.  The thread and each of its windows hold one, so a
// queue outlives its thread while windows of the thread are alive.  (Counted by hand:
// std::shared_ptr would put its own symbols among the shared library's exports.)
class QueueRef {
public:
    QueueRef() : queue_(nullptr) {}
    explicit QueueRef(MessageQueue *queue); // takes a reference to a queue
    QueueRef(const QueueRef &other);
    QueueRef &operator=(QueueRef other);
    ~QueueRef();
    MessageQueue *get() const { return queue_; }
    MessageQueue &operator*() const { return *queue_; }
    MessageQueue *operator->() const { return queue_; }
    explicit operator bool() const { return queue_ != nullptr; }

private:
    MessageQueue *queue_;
};

// The calling thread's queue, created on first use.
QueueRef ThisThreadQueue();
// Appends `msg` and wakes the thread that owns the queue; false, with nothing queued,
// when memory runs short.  Safe from any thread.
bool QueueMessage(MessageQueue &queue, const MSG &msg);
// Wakes the owner so that it looks at its sockets and timers again.
void WakeQueue(MessageQueue &queue);
// Drops the timers of `hwnd` and the messages waiting for it.
void ForgetWindowInQueue(MessageQueue &queue, HWND hwnd);
// Milliseconds of a monotonic clock that does not wrap.
uint64_t MonotonicMs();
uint64_t MonotonicUs();

// ---- window.cpp --------------------------------------------------------------------------
// The queue of the thread that created `hwnd`; null when hwnd is no live window.
QueueRef WindowQueue(HWND hwnd);
// The procedure that takes messages for a window, with the handle to give it; hwnd null:
// nobody (a control, or no live window).
struct Receiver {
    HWND hwnd;
    DLGPROC dlgproc;
    WNDPROC wndproc;
};
Receiver ReceiverOf(HWND hwnd);
// The dialog procedure of `dialog` when `hwnd` is that dialog or one of its controls;
// nobody otherwise.
Receiver DialogReceiverOf(HWND dialog, HWND hwnd);

// ---- asyncselect.cpp -----------------------------------------------------------------------
// A socket that the owner of a queue polls, with what it polls for (shim::Readiness).
// The serial ties the readiness back to the registration it was asked for.
struct SocketWatch {
    int fd;
    uint64_t serial;
    unsigned want;
};
void CollectWatches(const MessageQueue *queue, std::vector<SocketWatch> *watches);
// Turns the readiness that a poll reported into notifications.
void SocketReady(const SocketWatch &watch, unsigned got);
// Drops the registrations whose notifications go to `hwnd`.
void ForgetWindowSockets(HWND hwnd);

// ---- asyncselect.cpp, for the Winsock provider (wsock32.cpp) ----------------------------
// The error of a failed connect that FD_CONNECT reported, once: reading it for the
// notification took it from the socket, and the next recv or send must still fail with
// it, as it would have.  0 when there is none.
int TakeHeldError(int fd);

} // namespace posix
} // namespace vx

#endif
