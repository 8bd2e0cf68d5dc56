// module.cpp - loadable modules on Windows and the DLL's entry routine, which hands
// every load notification to the library's LibMain.
#include "../../init.h"

namespace vx {

HMODULE LoadLibraryA(const char *name) { return ::LoadLibraryA(name); }

FARPROC GetProcAddress(HMODULE module, const char *name) { return ::GetProcAddress(module, name); }

BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }

UINT SetErrorMode(UINT mode) { return ::SetErrorMode(mode); }

} // namespace vx

// The C runtime's start-up calls this after constructing the library's statics.  Thread
// notifications stay switched on: LibMain traces them.
extern "C" BOOL WINAPI DllMain(HINSTANCE hinst, DWORD reason, LPVOID reserved)
{
    return vx::LibMain(hinst, reason, reserved);
}
