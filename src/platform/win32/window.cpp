// window.cpp - the status dialog and its timer: the window functions of Windows as
// they are.  The dialog template is resource 2800 of the DLL (vexlolpr.rc.in).
#include "../platform.h"

namespace vx {

HWND GetActiveWindow() { return ::GetActiveWindow(); }

HWND CreateDialogParamA(HINSTANCE module, const char *templ, HWND parent, DLGPROC proc, LPARAM param)
{
    // The Windows DLGPROC of a build without STRICT is an unprototyped pointer to the
    // same function; the cast goes through void(*)(), which converts to any.
    ::DLGPROC windowsproc = reinterpret_cast<::DLGPROC>(reinterpret_cast<void (*)()>(proc));
    return ::CreateDialogParamA(module, templ, parent, windowsproc, param);
}

BOOL ShowWindow(HWND hwnd, int cmd) { return ::ShowWindow(hwnd, cmd); }

HWND GetDlgItem(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

BOOL SetDlgItemTextA(HWND dialog, int id, const char *text) { return ::SetDlgItemTextA(dialog, id, text); }

BOOL IsWindow(HWND hwnd) { return ::IsWindow(hwnd); }

// 32-bit Windows keeps a pointer in a LONG; the ...Ptr functions exist on 64-bit only.
LONG_PTR SetWindowLongPtrA(HWND dialog, int index, LONG_PTR value)
{
#ifdef _WIN64
    return ::SetWindowLongPtrA(dialog, index, value);
#else
    return ::SetWindowLongA(dialog, index, static_cast<LONG>(value));
#endif
}

LONG_PTR GetWindowLongPtrA(HWND dialog, int index)
{
#ifdef _WIN64
    return ::GetWindowLongPtrA(dialog, index);
#else
    return ::GetWindowLongA(dialog, index);
#endif
}

BOOL EndDialog(HWND dialog, INT_PTR result) { return ::EndDialog(dialog, result); }

BOOL DestroyWindow(HWND hwnd) { return ::DestroyWindow(hwnd); }

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void *timerproc)
{
    // Through void(*)(): the one cast between function types that is always allowed.
    TIMERPROC proc = reinterpret_cast<TIMERPROC>(reinterpret_cast<void (*)()>(timerproc));
    return ::SetTimer(hwnd, id, ms, proc);
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) { return ::KillTimer(hwnd, id); }

} // namespace vx
