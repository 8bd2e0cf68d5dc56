// init.h - library start-up and shutdown, LPR_Init, WEP and the trace log.
#ifndef VEXLOLPR_INIT_H
#define VEXLOLPR_INIT_H

#include <atomic>

#include "platform/platform.h"

namespace vx {

constexpr WORD TRACE_ON = LPR_DEBUG_TRACE; // bit of traceflags that enables tracing
constexpr int TRACEBUF_SIZE = 256;

extern HINSTANCE hinstlpr; // this library's module, for its string table and dialog
// debugflags of the latest request.  Set by the thread whose request runs, read by any
// thread that traces (a Cancel from another thread does).
extern std::atomic<WORD> traceflags;

// The entry routine: called by the platform's start-up for each load notification.
// Always returns TRUE, so loading never fails.
BOOL LibMain(HINSTANCE hinst, DWORD reason, LPVOID reserved);

// Library initialisation at process attach; returns 1.
WORD LPR_DLLInit(HINSTANCE hinst);

// Writes one trace line (cut to 255 characters) and then "\r\n" to the debug output,
// when bit 0x10 of traceflags is set.  The format follows wvnsprintfA: "%lu" and "%ld"
// take 32-bit values.
void LPRTrace(const char *format, ...);
// The same, switched by `on` instead: for a thread that waits for its turn and must not
// touch the switch of the request that runs.
void LPRTraceIf(bool on, const char *format, ...);

// A handle or pointer as the 32-bit word that a "%lu" trace field shows.
template <class T> inline DWORD TraceWord(T *handle)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle));
}

} // namespace vx

#endif
