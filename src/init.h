// init.h - library start-up and shutdown, LPR_Init, WEP, the trace log, and the state
// that each thread keeps for its requests.
#ifndef VEXLOLPR_INIT_H
#define VEXLOLPR_INIT_H

#include <atomic>

#include "msgtext.h"
#include "platform/platform.h"
#include "wsockio.h"

namespace vx {

constexpr WORD TRACE_ON = LPR_DEBUG_TRACE; // bit of traceflags that enables tracing
constexpr int TRACEBUF_SIZE = 256;

extern HINSTANCE hinstlpr; // this library's module, for its string table and dialog
// debugflags of the latest request of any thread: the switch of the lines that belong to
// no request (the entry routine's).  A request's own lines follow its own debugflags.
extern std::atomic<WORD> traceflags;

// A lock for the few short stretches of process-wide state (the thread list, the port
// search, the job numbers, the socket layer's load, the last-error text).  It needs no
// thread library and no construction: a waiter spins briefly, then yields its slice.
class SpinLock {
public:
    void lock();
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};
class Guard {
public:
    explicit Guard(SpinLock &lock) : lock_(lock) { lock_.lock(); }
    ~Guard() { lock_.unlock(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    SpinLock &lock_;
};

// What a thread keeps between and during its requests: its record for waits outside
// any request (`base`, the bottom of its chain), the innermost request it runs, and the
// text of its latest failure.  Made on the thread's first need, freed when it ends.
struct ThreadState {
    Request base;
    Request *current; // innermost request of the thread; &base when none runs
    char lasterror[LASTERROR_SIZE];
    bool haserror;    // lasterror holds a failure of this thread
    ThreadState *next; // in the process's list
};

// The calling thread's state, made when it has none (null when it cannot be had).
ThreadState *ThisThread();
// The calling thread's state as it is: null when it has none.
ThreadState *PeekThread();
// The process's list of thread states: held while one thread looks at another's
// requests, and while a thread changes what another may look at (its chain of requests,
// a request's dialog).
extern SpinLock threadlock;
extern ThreadState *threads;

// The entry routine: called by the platform's start-up for each load notification.
// Always returns TRUE, so loading never fails.
BOOL LibMain(HINSTANCE hinst, DWORD reason, LPVOID reserved);

// Library initialisation at process attach; returns 1.
WORD LPR_DLLInit(HINSTANCE hinst);

// Writes one trace line (cut to 255 characters) and then "\r\n" to the debug output,
// when bit 0x10 of the switch is set: the calling thread's request's debugflags, or
// traceflags outside a request.  The format follows wvnsprintfA: "%lu" and "%ld" take
// 32-bit values.
void LPRTrace(const char *format, ...);
// The same, switched by `on` instead.
void LPRTraceIf(bool on, const char *format, ...);

// A handle or pointer as the 32-bit word that a "%lu" trace field shows.
template <class T> inline DWORD TraceWord(T *handle)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle));
}

} // namespace vx

#endif
