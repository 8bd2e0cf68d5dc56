// wsockio.cpp - the status dialog and the wait state.  Owns hwndwait.
// No connection step exists yet, so no dialog is ever created and the dialog
// procedure handles nothing.
#include "wsockio.h"

namespace vx {

HWND hwndwait;

bool WaitDialogAlive() { return false; }

} // namespace vx

extern "C" LPR_EXPORT INT_PTR LPRAPI WNWaitDlg(HWND, UINT, WPARAM, LPARAM) { return vx::FALSE; }
