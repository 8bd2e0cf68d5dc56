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
// Global blocks currently allocated.
int GlobalBlocksInUse();

// Start count of the socket provider (WSAStartup calls less WSACleanup calls).
int WinsockStartCount();

} // namespace posix
} // namespace vx

#endif
