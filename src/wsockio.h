// wsockio.h - blocking socket I/O around the status dialog: the wait state, the dialog
// procedure, connection setup and teardown, stream read and write.
#ifndef VEXLOLPR_WSOCKIO_H
#define VEXLOLPR_WSOCKIO_H

#include "platform/platform.h"

namespace vx {

// The status dialog of the operation in progress: 0 when there is none.
extern HWND hwndwait;

// Whether a status dialog exists that a cancel can be posted to.
bool WaitDialogAlive();

} // namespace vx

#endif
