// msgqueue.cpp - the calling thread's message queue: fetching, waiting, dialog
// handling, dispatching and posting, as Windows does them.
#include "../platform.h"

namespace vx {

BOOL GetMessageA(MSG *msg, HWND hwnd, UINT first, UINT last) { return ::GetMessageA(msg, hwnd, first, last); }

BOOL PeekMessageA(MSG *msg, HWND hwnd, UINT first, UINT last, UINT remove)
{
    return ::PeekMessageA(msg, hwnd, first, last, remove);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const void *handles, DWORD ms, DWORD wakemask, DWORD flags)
{
    return ::MsgWaitForMultipleObjectsEx(count, static_cast<const HANDLE *>(handles), ms, wakemask, flags);
}

BOOL IsDialogMessageA(HWND dialog, MSG *msg) { return ::IsDialogMessageA(dialog, msg); }

BOOL TranslateMessage(const MSG *msg) { return ::TranslateMessage(msg); }

LRESULT DispatchMessageA(const MSG *msg) { return ::DispatchMessageA(msg); }

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    return ::PostMessageA(hwnd, message, wparam, lparam);
}

void PostQuitMessage(int exitcode) { ::PostQuitMessage(exitcode); }

} // namespace vx
