// core.cpp - tick count, debug output and the string table on Windows.  The texts are
// the DLL's STRINGTABLE resource, generated from msgtext.def at build time.
#include "../platform.h"

namespace vx {

DWORD GetTickCount() { return ::GetTickCount(); }

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

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
