// window.cpp - windows without a window system: the status dialog built from its one
// template, its controls, and plain windows for tests.  Owns the window table, its lock,
// the handle counter and the dialog refusal seam.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "eventsource.h"
#include "statusdisplay.h"

namespace vx {
namespace posix {

namespace {

enum Kind { DIALOG, CONTROL, PLAIN };

struct Window {
    Kind kind;
    QueueRef owner;
    DLGPROC dlgproc;  // DIALOG
    WNDPROC wndproc;  // PLAIN
    HWND parent;      // CONTROL: its dialog
    int id;           // CONTROL: its identifier
    const char *cls;  // CONTROL: its class
    std::string text; // DIALOG: caption; CONTROL: text
    bool visible;
    bool ended;                 // DIALOG: EndDialog was called
    INT_PTR result;             // DIALOG: what EndDialog recorded
    LONG_PTR user;              // DIALOG: DWLP_USER
    std::vector<HWND> controls; // DIALOG: in template order
    std::vector<int> controlids; // DIALOG: their identifiers, found without a lookup each
};

struct ControlTemplate {
    int id;
    const char *cls;
    const char *text;
};

// Template 2800, the status dialog, is the only one there is.
constexpr uintptr_t STATUS_TEMPLATE = 2800;
const char STATUS_CAPTION[] = "LPR Printing I/O Status";
const ControlTemplate status_controls[] = {
    {2801, "STATIC", ""},
    {2615, "BUTTON", "Cancel"},
    {1711, "STATIC", "Waiting..."},
    {2804, "STATIC", "Transferred"},
    {2805, "STATIC", "0"},
    {2806, "STATIC", "out of"},
    {2807, "STATIC", "0"},
    {2808, "STATIC", "bytes"},
    {1710, "EDIT", ""},
};
constexpr int ID_CAPTION = 2801, ID_STATUS = 1711, ID_DONE = 2805, ID_TOTAL = 2807;

std::mutex windowlock;
std::map<uintptr_t, Window> windows;
// Handles count up from 1 and are never reused, so a stale handle stays dead; the
// counter cannot reach (HWND)-1, the logic's "claimed" mark.
uintptr_t lasthandle;
uint64_t displayversion; // orders the states handed to the status display
std::atomic<bool> refusedialogs;

uintptr_t Key(HWND hwnd) { return reinterpret_cast<uintptr_t>(hwnd); }

HWND NewHandle() { return reinterpret_cast<HWND>(++lasthandle); }

Window *Find(HWND hwnd)
{
    auto it = windows.find(Key(hwnd));
    return it != windows.end() ? &it->second : nullptr;
}

Window *FindDialog(HWND hwnd)
{
    Window *w = Find(hwnd);
    return w != nullptr && w->kind == DIALOG ? w : nullptr;
}

Window *ControlOf(Window *d, int id)
{
    if (d == nullptr)
        return nullptr;
    for (size_t i = 0; i < d->controlids.size(); i++)
        if (d->controlids[i] == id)
            return Find(d->controls[i]);
    return nullptr;
}

Window *FindControl(HWND dialog, int id) { return ControlOf(FindDialog(dialog), id); }

Window MakeWindow(Kind kind, const QueueRef &owner)
{
    Window w;
    w.kind = kind;
    w.owner = owner;
    w.dlgproc = nullptr;
    w.wndproc = nullptr;
    w.parent = nullptr;
    w.id = 0;
    w.cls = "";
    w.visible = false;
    w.ended = false;
    w.result = 0;
    w.user = 0;
    return w;
}

constexpr size_t STATUS_CONTROLS = sizeof status_controls / sizeof status_controls[0];

// Builds the status dialog and its controls, all or nothing: when memory runs short
// halfway, what was entered is taken out again.  Null then.  The caller holds the lock.
HWND BuildStatusDialog(const QueueRef &owner, DLGPROC proc)
{
    HWND dialog = NewHandle();
    size_t entered = 0;
    HWND handles[STATUS_CONTROLS];
    try {
        Window d = MakeWindow(DIALOG, owner);
        d.dlgproc = proc;
        d.text = STATUS_CAPTION;
        d.controls.reserve(STATUS_CONTROLS);
        d.controlids.reserve(STATUS_CONTROLS);
        for (const ControlTemplate &t : status_controls) {
            HWND h = NewHandle();
            Window c = MakeWindow(CONTROL, owner);
            c.parent = dialog;
            c.id = t.id;
            c.cls = t.cls;
            c.text = t.text;
            c.visible = true;
            windows.emplace(Key(h), std::move(c));
            handles[entered++] = h;
            d.controls.push_back(h);
            d.controlids.push_back(t.id);
        }
        windows.emplace(Key(dialog), std::move(d));
        return dialog;
    } catch (const std::bad_alloc &) {
        for (size_t i = 0; i < entered; i++)
            windows.erase(Key(handles[i]));
        return nullptr;
    }
}

std::string ControlText(HWND dialog, int id)
{
    Window *c = FindControl(dialog, id);
    return c != nullptr ? c->text : std::string();
}

// The dialog's state as the status display shows it; the caller holds the lock.
display::Texts DisplayTexts(HWND dialog)
{
    return {ControlText(dialog, ID_CAPTION), ControlText(dialog, ID_STATUS), ControlText(dialog, ID_DONE),
            ControlText(dialog, ID_TOTAL), ++displayversion};
}

// The handles that one DestroyWindow takes away: a window and, for a dialog, its
// controls.  Fixed in size, so that taking a window down needs no memory.
struct Removed {
    HWND handles[1 + STATUS_CONTROLS];
    size_t count;
};

// Takes a control out of its dialog's lists, if the dialog is still there.
void Unlist(HWND control, HWND parent)
{
    Window *d = Find(parent);
    if (d == nullptr)
        return;
    auto at = std::find(d->controls.begin(), d->controls.end(), control);
    if (at == d->controls.end())
        return;
    d->controlids.erase(d->controlids.begin() + (at - d->controls.begin()));
    d->controls.erase(at);
}

// Removes a window and, for a dialog, its controls; the caller holds the lock.
Removed Remove(HWND hwnd, Window &w)
{
    Removed removed = {{hwnd}, 1};
    if (w.kind == DIALOG)
        for (HWND h : w.controls)
            if (removed.count < sizeof removed.handles / sizeof removed.handles[0])
                removed.handles[removed.count++] = h;
    if (w.kind == CONTROL)
        Unlist(hwnd, w.parent);
    for (size_t i = 0; i < removed.count; i++)
        windows.erase(Key(removed.handles[i]));
    return removed;
}

// Hides a dialog; the caller holds the lock.  Whether it was visible.
bool HideDialog(Window &d)
{
    bool was = d.visible;
    d.visible = false;
    return was;
}

// The status display's copy of a dialog's texts; false when memory runs short, and the
// display then is not told.  The caller holds the lock.
bool CopyTexts(HWND dialog, display::Texts *texts)
{
    try {
        *texts = DisplayTexts(dialog);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace
} // namespace posix

using namespace posix;

HWND GetActiveWindow() { return nullptr; }

HWND CreateDialogParamA(HINSTANCE, const char *templ, HWND parent, DLGPROC proc, LPARAM param)
{
    if (Injected(Fallible::CreateDialog) || refusedialogs.load() ||
        reinterpret_cast<uintptr_t>(templ) != STATUS_TEMPLATE)
        return nullptr;
    if (parent != nullptr && !IsWindow(parent))
        return nullptr;
    QueueRef owner = ThisThreadQueue();
    if (!owner)
        return nullptr;
    HWND dialog;
    {
        std::lock_guard<std::mutex> guard(windowlock);
        dialog = BuildStatusDialog(owner, proc);
    }
    if (dialog == nullptr)
        return nullptr;
    // The dialog exists while its procedure initialises it, as on Windows.
    if (proc != nullptr)
        proc(dialog, WM_INITDIALOG, 0, param);
    return IsWindow(dialog) ? dialog : nullptr;
}

BOOL ShowWindow(HWND hwnd, int cmd)
{
    bool was, dialog, copied = false;
    display::Texts texts;
    {
        std::lock_guard<std::mutex> guard(windowlock);
        Window *w = Find(hwnd);
        if (w == nullptr)
            return FALSE;
        was = w->visible;
        w->visible = cmd != SW_HIDE;
        dialog = w->kind == DIALOG;
        if (dialog)
            copied = CopyTexts(hwnd, &texts);
    }
    if (dialog && copied && cmd != SW_HIDE && !was)
        display::Show(Key(hwnd), texts);
    if (dialog && cmd == SW_HIDE && was)
        display::Hide(Key(hwnd));
    return was ? TRUE : FALSE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *d = FindDialog(dialog);
    if (d == nullptr)
        return nullptr;
    for (size_t i = 0; i < d->controlids.size(); i++)
        if (d->controlids[i] == id)
            return d->controls[i];
    return nullptr;
}

BOOL SetDlgItemTextA(HWND dialog, int id, const char *text)
{
    bool shown;
    display::Texts texts;
    {
        std::lock_guard<std::mutex> guard(windowlock);
        Window *d = FindDialog(dialog);
        Window *c = ControlOf(d, id);
        if (c == nullptr)
            return FALSE;
        try {
            c->text = text != nullptr ? text : ""; // as it was when memory runs short
        } catch (const std::bad_alloc &) {
            return FALSE;
        }
        shown = d->visible && CopyTexts(dialog, &texts);
    }
    if (shown)
        display::Change(Key(dialog), texts);
    return TRUE;
}

BOOL IsWindow(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windowlock);
    return Find(hwnd) != nullptr ? TRUE : FALSE;
}

LONG_PTR SetWindowLongPtrA(HWND dialog, int index, LONG_PTR value)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *d = FindDialog(dialog);
    if (d == nullptr || index != DWLP_USER)
        return 0;
    LONG_PTR previous = d->user;
    d->user = value;
    return previous;
}

LONG_PTR GetWindowLongPtrA(HWND dialog, int index)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *d = FindDialog(dialog);
    return d != nullptr && index == DWLP_USER ? d->user : 0;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    bool was;
    {
        std::lock_guard<std::mutex> guard(windowlock);
        Window *d = FindDialog(dialog);
        if (d == nullptr)
            return FALSE;
        d->ended = true;
        d->result = result;
        // Windows hides a dialog that is ended; destroying it is left to the caller.
        was = HideDialog(*d);
    }
    if (was)
        display::Hide(Key(dialog));
    return TRUE;
}

BOOL DestroyWindow(HWND hwnd)
{
    QueueRef owner;
    Removed removed;
    bool wasdialog;
    {
        std::lock_guard<std::mutex> guard(windowlock);
        Window *w = Find(hwnd);
        if (w == nullptr)
            return FALSE;
        owner = w->owner;
        wasdialog = w->kind == DIALOG;
        removed = Remove(hwnd, *w);
    }
    // Like Windows: the window's timers go, and so do the messages still waiting for it.
    for (size_t i = 0; i < removed.count; i++) {
        ForgetWindowInQueue(*owner, removed.handles[i]);
        ForgetWindowSockets(removed.handles[i]);
    }
    if (wasdialog)
        display::Hide(Key(hwnd));
    return TRUE;
}

namespace posix {

QueueRef WindowQueue(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *w = Find(hwnd);
    return w != nullptr ? w->owner : QueueRef();
}

Receiver ReceiverOf(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *w = Find(hwnd);
    if (w == nullptr || w->kind == CONTROL)
        return {nullptr, nullptr, nullptr};
    return {hwnd, w->dlgproc, w->wndproc};
}

Receiver DialogReceiverOf(HWND dialog, HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *d = FindDialog(dialog);
    Window *w = Find(hwnd);
    bool ours = w != nullptr && (hwnd == dialog || (w->kind == CONTROL && w->parent == dialog));
    if (d == nullptr || !ours)
        return {nullptr, nullptr, nullptr};
    return {dialog, d->dlgproc, nullptr};
}

void RefuseDialogs(bool refuse) { refusedialogs.store(refuse); }

HWND CreateTestWindow(WNDPROC proc)
{
    QueueRef owner = ThisThreadQueue();
    if (!owner)
        return nullptr;
    std::lock_guard<std::mutex> guard(windowlock);
    HWND hwnd = NewHandle();
    Window w = MakeWindow(PLAIN, owner);
    w.wndproc = proc;
    try {
        windows.emplace(Key(hwnd), std::move(w));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return hwnd;
}

int DialogItemText(HWND dialog, int id, char *buf, int size)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *c = FindControl(dialog, id);
    if (c == nullptr)
        return -1;
    if (buf == nullptr || size <= 0)
        return static_cast<int>(c->text.size());
    size_t n = std::min(c->text.size(), static_cast<size_t>(size) - 1);
    memcpy(buf, c->text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

bool WindowVisible(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *w = Find(hwnd);
    return w != nullptr && w->visible;
}

bool ControlVisible(HWND dialog, int id)
{
    std::lock_guard<std::mutex> guard(windowlock);
    Window *c = FindControl(dialog, id);
    return c != nullptr && c->visible;
}

int LiveWindows()
{
    std::lock_guard<std::mutex> guard(windowlock);
    return static_cast<int>(windows.size());
}

} // namespace posix
} // namespace vx
