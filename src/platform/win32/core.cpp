// core.cpp - tick count, debug output and the string table on Windows.  The texts are
// the DLL's STRINGTABLE resource, generated from msgtext.def at build time.
#include "../platform.h"

namespace vx {

DWORD GetTickCount() { return ::GetTickCount(); }

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

void Sleep(DWORD ms) { ::Sleep(ms); }

// The slot is taken at process attach, before any thread can ask for it, and given
// back at process detach, after the last.
static DWORD threadslot = TLS_OUT_OF_INDEXES;

bool ThreadSlotOpen()
{
    if (threadslot == TLS_OUT_OF_INDEXES)
        threadslot = ::TlsAlloc();
    return threadslot != TLS_OUT_OF_INDEXES;
}

void ThreadSlotClose()
{
    if (threadslot != TLS_OUT_OF_INDEXES)
        ::TlsFree(threadslot);
    threadslot = TLS_OUT_OF_INDEXES;
}

void *GetThreadSlot() { return threadslot != TLS_OUT_OF_INDEXES ? ::TlsGetValue(threadslot) : nullptr; }

bool SetThreadSlot(void *value) { return threadslot != TLS_OUT_OF_INDEXES && ::TlsSetValue(threadslot, value); }

void OutputDebugStringA(const char *text) { ::OutputDebugStringA(text); }

int LoadStringA(HINSTANCE module, UINT id, char *buf, int size)
{
    // Windows reads a buffer size of 0 as a request for a pointer to the resource
    // itself; the contract here is "copy nothing".
    if (buf == nullptr || size <= 0)
        return 0;
    return ::LoadStringA(module, id, buf, size);
}

} // namespace vx
