// init.cpp - the library's entry routine, LPR_DLLInit, LPR_Init, WEP and LPRTrace.
// Owns the module handle, the trace switch and the trace buffer.
#include "init.h"

#include "msgtext.h"
#include "wsockstb.h"

namespace vx {

HINSTANCE hinstlpr;
WORD traceflags;
static char tracebuf[TRACEBUF_SIZE];

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
        break;
    case DLL_THREAD_ATTACH:
        LPRTrace("LPR: Thread attaching    init\n");
        break;
    case DLL_THREAD_DETACH:
        LPRTrace("LPR: Thread detaching    init\n");
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
    ClearLastErrorText();
    // A socket layer that cannot be loaded now is retried by every request.
    LoadWinsock();
    return 1;
}

void LPRTrace(const char *format, ...)
{
    if (!(traceflags & TRACE_ON))
        return;
    va_list args;
    va_start(args, format);
    wvnsprintfA(tracebuf, sizeof tracebuf, format, args);
    va_end(args);
    OutputDebugStringA(tracebuf);
    OutputDebugStringA("\r\n");
}

} // namespace vx

extern "C" {

LPR_EXPORT WORD LPRAPI LPR_Init(DWORD /*unused*/) { return 1; }

LPR_EXPORT int LPRAPI WEP(int /*unused*/) { return 1; }

} // extern "C"
