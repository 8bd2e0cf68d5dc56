// posix.h - what the POSIX platform offers beyond the common interface: the in-process
// module registry that stands in for loadable modules, and seams for tests.
#ifndef VEXLOLPR_PLATFORM_POSIX_H
#define VEXLOLPR_PLATFORM_POSIX_H

#include "../platform.h"

namespace vx {
namespace posix {

struct ModuleExport {
    const char *name;
    void (*proc)();
};
struct ModuleDef {
    const char *name;
    const ModuleExport *exports;
    size_t count;
};

// The module behind "WSOCK32.DLL": Winsock 1.1 over BSD sockets.
const ModuleDef *WinsockProvider();

// Installs `def` under `name` (a string that outlives the registration) (replacing what was there) or, with null, removes the
// name, so that a load of it fails.  Returns what was installed before.
const ModuleDef *SetModule(const char *name, const ModuleDef *def);
// How many loads of `name` are not yet balanced by FreeLibrary.
int ModuleLoadCount(const char *name);
// The error mode in force, and the one that was in force at the latest LoadLibraryA.
UINT CurrentErrorMode();
UINT ErrorModeAtLastLoad();

// Debug output goes to standard error unless a sink is set; each call is one output.
typedef void (*DebugSink)(const char *text);
DebugSink SetDebugSink(DebugSink sink);

// Fault injection: the n-th GlobalAlloc from now on (1: the next) fails; 0: none fails.
void FailGlobalAllocAt(int n);

// Fault injection for every primitive of the platform that can fail: each asks the hook
// before it does its work, and fails as the system's would when the hook says so (a
// null handle, FALSE, 0 or -1, with nothing done).  The hook may be called from any
// thread; none is set by default.
enum class Fallible {
    SetTimer, CreateDialog, GlobalAlloc, GlobalLock, FileOpen, FileSeek, FileRead, PostMessage,
    LocalTime, StateOpen, StateRead, StateWrite
};
typedef bool (*FailHook)(Fallible primitive);
FailHook SetFailHook(FailHook hook);
bool Injected(Fallible primitive);
// Global blocks currently allocated.
int GlobalBlocksInUse();

// Start count of the socket provider (WSAStartup calls less WSACleanup calls).
int WinsockStartCount();

// ---- the event source: what the Winsock provider tells it -----------------------------
// WSAAsyncSelect: notifications of `events` on descriptor fd go to `hwnd` as `message`;
// events 0 stops them.  Makes the descriptor non-blocking.  0, or a negated WSA error.
int AsyncSelect(int fd, HWND hwnd, UINT message, long events);
void NoteRecv(int fd);          // a recv was made: FD_READ may be posted again
void NoteSendBlocked(int fd);   // a send would block: FD_WRITE once space comes back
void NoteConnectPending(int fd); // a non-blocking connect is under way: FD_CONNECT when done
void NoteClosed(int fd);        // closesocket: forget the descriptor

// ---- seams for tests ------------------------------------------------------------------
void RefuseTimers(bool refuse);  // SetTimer fails while set
void RefuseDialogs(bool refuse); // CreateDialogParamA fails while set
// A plain window of the calling thread whose messages go to `proc`.
HWND CreateTestWindow(WNDPROC proc);
// What a dialog shows: a control's text (length, or -1 without such a control), whether
// the dialog or one of its controls is visible.
int DialogItemText(HWND dialog, int id, char *buf, int size);
bool WindowVisible(HWND hwnd);
bool ControlVisible(HWND dialog, int id);
// Messages posted to the calling thread and not yet fetched; its timers.
size_t PendingMessages();
size_t ThreadTimers();
// Live windows of the process (dialogs, their controls and test windows).
int LiveWindows();
// The state record in `dir` (checked like the usual places) instead of the user's;
// null: the user's again.  Not for use while a request runs.
void SetStateDirectory(const char *dir);
// LocalTimeNow fails while set, as where the system has no time to give.
void FailLocalTime(bool fail);

} // namespace posix
} // namespace vx

#endif
