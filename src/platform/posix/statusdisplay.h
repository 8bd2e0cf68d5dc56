// statusdisplay.h - the status dialog drawn as a live text block on standard error,
// as the window module drives it.  Only a visible dialog on a terminal is drawn.
#ifndef VEXLOLPR_POSIX_STATUSDISPLAY_H
#define VEXLOLPR_POSIX_STATUSDISPLAY_H

#include <stdint.h>

#include <string>

namespace vx {
namespace posix {
namespace display {

// What the block shows, taken from the dialog's controls.
struct Texts {
    std::string caption; // 2801: may hold several lines
    std::string status;  // 1711
    std::string done;    // 2805: bytes transferred
    std::string total;   // 2807: bytes in all; the counter is shown when nonzero
    uint64_t version;    // a later state of the dialog has a higher version
};

// The dialog (by its handle value) became visible: draws it when standard error is a
// terminal.  One dialog is drawn at a time; a second one stays undrawn.
void Show(uintptr_t dialog, const Texts &texts);
// A text changed: redrawn at once, or with the next redraw when the last one is less
// than a tenth of a second old.
void Change(uintptr_t dialog, const Texts &texts);
// The dialog was hidden or destroyed: draws its latest state a last time and leaves the
// cursor on a fresh line.
void Hide(uintptr_t dialog);
// Draws a held-back change whose time has come.  Milliseconds until the next one is
// due, -1 when none is held back.
int RedrawDue();

} // namespace display
} // namespace posix
} // namespace vx

#endif
