// module.cpp - the POSIX stand-in for loadable modules and the library's load and
// unload notifications.  Modules are providers registered in this process by name;
// the registry is a fixed table, usable before any constructor has run.
#include <string.h>
#include <strings.h>

#include "../../init.h"
#include "posix.h"

namespace vx {

namespace posix {
extern const ModuleDef winsock_provider;  // wsock32.cpp
extern const ModuleDef winsock2_provider; // wsock32.cpp
}

namespace {

struct ModuleSlot {
    const char *name; // null: free slot
    const posix::ModuleDef *def; // null: the name is known but not installed
    int loads;
};

const int MAX_MODULES = 8;
ModuleSlot modules[MAX_MODULES] = {{"WSOCK32.DLL", &posix::winsock_provider, 0},
                                   {"WS2_32.DLL", &posix::winsock2_provider, 0}};
UINT errormode;
UINT errormodeatload;
char module_tag; // its address is this library's instance handle

ModuleSlot *FindSlot(const char *name)
{
    for (ModuleSlot &slot : modules)
        if (slot.name != nullptr && strcasecmp(slot.name, name) == 0)
            return &slot;
    return nullptr;
}

ModuleSlot *SlotOf(HMODULE module)
{
    for (ModuleSlot &slot : modules)
        if (reinterpret_cast<HMODULE>(&slot) == module)
            return &slot;
    return nullptr;
}

} // namespace

HMODULE LoadLibraryA(const char *name)
{
    errormodeatload = errormode;
    ModuleSlot *slot = name != nullptr ? FindSlot(name) : nullptr;
    if (slot == nullptr || slot->def == nullptr)
        return nullptr;
    slot->loads++;
    return reinterpret_cast<HMODULE>(slot);
}

FARPROC GetProcAddress(HMODULE module, const char *name)
{
    ModuleSlot *slot = SlotOf(module);
    if (slot == nullptr || slot->def == nullptr || name == nullptr)
        return nullptr;
    const posix::ModuleDef *def = slot->def;
    for (size_t i = 0; i < def->count; i++)
        if (strcmp(def->exports[i].name, name) == 0)
            return reinterpret_cast<FARPROC>(def->exports[i].proc);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module)
{
    ModuleSlot *slot = SlotOf(module);
    if (slot == nullptr || slot->loads == 0)
        return FALSE;
    slot->loads--;
    return TRUE;
}

UINT SetErrorMode(UINT mode)
{
    UINT previous = errormode;
    errormode = mode;
    return previous;
}

namespace posix {

const ModuleDef *WinsockProvider() { return &winsock_provider; }

const ModuleDef *SetModule(const char *name, const ModuleDef *def)
{
    ModuleSlot *slot = FindSlot(name);
    for (int i = 0; slot == nullptr && i < MAX_MODULES; i++)
        if (modules[i].name == nullptr) {
            slot = &modules[i];
            slot->name = name;
        }
    if (slot == nullptr)
        return nullptr;
    const ModuleDef *previous = slot->def;
    slot->def = def;
    return previous;
}

int ModuleLoadCount(const char *name)
{
    ModuleSlot *slot = FindSlot(name);
    return slot != nullptr ? slot->loads : 0;
}

UINT CurrentErrorMode() { return errormode; }

UINT ErrorModeAtLastLoad() { return errormodeatload; }

} // namespace posix

// The library's load and unload notifications.  For the static library these run at
// program start and exit, which is the same thing seen from the program.
__attribute__((constructor)) static void ProcessAttach()
{
    LibMain(reinterpret_cast<HINSTANCE>(&module_tag), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) static void ProcessDetach()
{
    LibMain(reinterpret_cast<HINSTANCE>(&module_tag), DLL_PROCESS_DETACH, nullptr);
}

} // namespace vx
