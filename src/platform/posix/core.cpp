// core.cpp - POSIX tick count, debug output and string table.
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "../../msgtext.h"
#include "posix.h"

namespace vx {

static posix::DebugSink debugsink;
static std::atomic<posix::FailHook> failhook;
static std::atomic<DWORD> lastthreadid;
static thread_local DWORD threadid;

DWORD GetTickCount()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms); // wraps like the Windows count
}

// Numbered on first use; a number is not reused while the process lives.
DWORD GetCurrentThreadId()
{
    if (threadid == 0)
        threadid = ++lastthreadid;
    return threadid;
}

void Sleep(DWORD ms)
{
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec span = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&span, &span) != 0 && errno == EINTR)
        ;
}

// The word lives in the thread, as a plain value good for the thread's whole life; a
// holder, armed by the first set, hands it to the library when the thread ends, as the
// Windows entry routine does at thread detach, and clears it first: whatever runs later
// in the thread's exit (a library's destructor at process exit) finds no word.
namespace {
thread_local void *slotvalue;
struct SlotHolder {
    bool armed = false;
    ~SlotHolder()
    {
        void *value = slotvalue;
        slotvalue = nullptr;
        if (value != nullptr)
            ThreadSlotEnded(value);
    }
};
thread_local SlotHolder slotholder;
} // namespace

bool ThreadSlotOpen() { return true; }

void ThreadSlotClose() {}

void *GetThreadSlot() { return slotvalue; }

bool SetThreadSlot(void *value)
{
    slotholder.armed = true; // the holder exists, and so its destructor runs, from here on
    slotvalue = value;
    return true;
}

void OutputDebugStringA(const char *text)
{
    if (debugsink != nullptr) {
        debugsink(text);
        return;
    }
    // One write per output, so that lines of several processes do not interleave.
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, text, left);
        if (n < 0 && errno == EINTR)
            continue; // a signal while a full pipe held the write: the line is still due
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// Every module shares the one message table; the module handle only says whose.
int LoadStringA(HINSTANCE, UINT id, char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return 0;
    for (size_t i = 0; i < message_text_count; i++) {
        if (message_texts[i].id != id)
            continue;
        size_t n = strnlen(message_texts[i].text, static_cast<size_t>(size) - 1);
        memcpy(buf, message_texts[i].text, n);
        buf[n] = '\0';
        return static_cast<int>(n);
    }
    buf[0] = '\0';
    return 0;
}

namespace posix {

FailHook SetFailHook(FailHook hook) { return failhook.exchange(hook); }

bool Injected(Fallible primitive)
{
    FailHook hook = failhook.load(std::memory_order_relaxed);
    return hook != nullptr && hook(primitive);
}

DebugSink SetDebugSink(DebugSink sink)
{
    DebugSink previous = debugsink;
    debugsink = sink;
    return previous;
}

} // namespace posix
} // namespace vx
