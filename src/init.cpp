// init.cpp - the library's entry routine, LPR_DLLInit, LPR_Init, WEP and LPRTrace.
// Owns the module handle and the trace switch.
#include "init.h"

#include "msgtext.h"
#include "wsockstb.h"

namespace vx {

HINSTANCE hinstlpr;
std::atomic<WORD> traceflags;

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

// The line is formatted on the caller's stack: a Cancel from another thread traces
// while the request's own thread does.
static void TraceLine(const char *format, va_list args)
{
    char line[TRACEBUF_SIZE];
    wvnsprintfA(line, sizeof line, format, args);
    OutputDebugStringA(line);
    OutputDebugStringA("\r\n");
}

void LPRTrace(const char *format, ...)
{
    if (!(traceflags.load(std::memory_order_relaxed) & TRACE_ON))
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
