// init.cpp - the library's entry routine, LPR_DLLInit, LPR_Init, WEP, LPRTrace and the
// threads' states.  Owns the module handle, the trace switch and the thread list.
#include "init.h"

#include <new>

#include "msgtext.h"
#include "wsockstb.h"

namespace vx {

HINSTANCE hinstlpr;
std::atomic<WORD> traceflags;
SpinLock threadlock;
ThreadState *threads;

void SpinLock::lock()
{
    for (int spins = 0; flag_.test_and_set(std::memory_order_acquire); spins++)
        if (spins >= 64)
            Sleep(spins < 256 ? 0 : 1);
}

// ---- the threads' states -----------------------------------------------------------------

ThreadState *PeekThread() { return static_cast<ThreadState *>(GetThreadSlot()); }

ThreadState *ThisThread()
{
    if (ThreadState *state = PeekThread())
        return state;
    // Global memory, as every block the library takes: a shortage is one more failure of
    // the memory rule, and the suites count the blocks.
    HGLOBAL handle = GlobalAlloc(GMEM_ZEROINIT, sizeof(ThreadState));
    void *block = handle != nullptr ? GlobalLock(handle) : nullptr;
    if (block == nullptr) {
        if (handle != nullptr)
            GlobalFree(handle);
        return nullptr;
    }
    ThreadState *state = new (block) ThreadState();
    state->current = &state->base;
    if (!SetThreadSlot(state)) {
        state->~ThreadState();
        GlobalUnlock(handle);
        GlobalFree(handle);
        return nullptr;
    }
    Guard guard(threadlock);
    state->next = threads;
    threads = state;
    return state;
}

// Takes a state out of the list and frees it: false when it is not (or no longer) there.
static bool FreeThreadState(ThreadState *state)
{
    {
        Guard guard(threadlock);
        ThreadState **link = &threads;
        while (*link != nullptr && *link != state)
            link = &(*link)->next;
        if (*link == nullptr)
            return false;
        *link = state->next;
    }
    state->~ThreadState();
    HGLOBAL handle = GlobalHandle(state);
    GlobalUnlock(handle);
    GlobalFree(handle);
    return true;
}

void ThreadSlotEnded(void *value) { FreeThreadState(static_cast<ThreadState *>(value)); }

// At process detach no thread runs the library any more: every state goes.
static void FreeAllThreadStates()
{
    for (;;) {
        ThreadState *state;
        {
            Guard guard(threadlock);
            state = threads;
        }
        if (state == nullptr)
            break;
        FreeThreadState(state);
    }
    SetThreadSlot(nullptr);
}

BOOL LibMain(HINSTANCE hinst, DWORD reason, LPVOID /*reserved*/)
{
    // The texts differ in their endings on purpose: three of them carry a line feed
    // of their own, and each is followed by the trace routine's "\r\n".
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        LPRTrace("LPR: Process attaching    init");
        LPR_DLLInit(hinst);
        break;
    case DLL_PROCESS_DETACH:
        LPRTrace("LPR: Process detaching    init\n");
        UnloadWinsock();
        FreeAllThreadStates();
        ThreadSlotClose();
        break;
    case DLL_THREAD_ATTACH:
        LPRTrace("LPR: Thread attaching    init\n");
        break;
    case DLL_THREAD_DETACH:
        LPRTrace("LPR: Thread detaching    init\n");
        if (ThreadState *state = PeekThread()) {
            SetThreadSlot(nullptr);
            FreeThreadState(state);
        }
        break;
    default:
        break;
    }
    return TRUE;
}

WORD LPR_DLLInit(HINSTANCE hinst)
{
    hinstlpr = hinst;
    LPRTrace("LPR: LPR_DLLInit() initializing DLL, hInst = %lu", TraceWord(hinst));
    // Without the slot no thread has a state of its own, and every request fails as one
    // that found no memory.
    ThreadSlotOpen();
    ClearLastErrorText();
    // A socket layer that cannot be loaded now is retried by every request.
    LoadWinsock();
    return 1;
}

// The line is formatted on the caller's stack: a Cancel from another thread traces
// while the request's own thread does.
static void TraceLine(const char *format, va_list args)
{
    char line[TRACEBUF_SIZE];
    wvnsprintfA(line, sizeof line, format, args);
    OutputDebugStringA(line);
    OutputDebugStringA("\r\n");
}

// The switch of the calling thread's innermost request; the process's outside one.
static WORD TraceSwitch()
{
    ThreadState *state = PeekThread();
    if (state != nullptr && state->current != &state->base)
        return state->current->debugflags;
    return traceflags.load(std::memory_order_relaxed);
}

void LPRTrace(const char *format, ...)
{
    if (!(TraceSwitch() & TRACE_ON))
        return;
    va_list args;
    va_start(args, format);
    TraceLine(format, args);
    va_end(args);
}

void LPRTraceIf(bool on, const char *format, ...)
{
    if (!on)
        return;
    va_list args;
    va_start(args, format);
    TraceLine(format, args);
    va_end(args);
}

} // namespace vx

extern "C" {

LPR_EXPORT WORD LPRAPI LPR_Init(DWORD /*unused*/) { return 1; }

LPR_EXPORT int LPRAPI WEP(int /*unused*/) { return 1; }

} // extern "C"
