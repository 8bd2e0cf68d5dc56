// msgtext.cpp - the message table and the library-wide last-error text.
// A failure stores its code only while errorcode is still 0 (the first failure of a
// request is the one reported) but always replaces the text.
#include "msgtext.h"

#include <string.h>

#include "init.h"

namespace vx {

#define X(id, name, text) static_assert(name == id, #name " differs from the message table");
#include "msgtext.def"
#undef X

const MessageText message_texts[] = {
#define X(id, name, text) {id, text},
#include "msgtext.def"
#undef X
};
const size_t message_text_count = sizeof message_texts / sizeof message_texts[0];

// The latest failure's text, kept twice: for the thread whose request failed (its own
// text, which LPR_GetLastErrorText gives that thread), and for the process (what a
// thread that has had no failure gets).  The process's copy is written by requests of
// several threads, so every access to it holds the lock.
static char lasterror[LASTERROR_SIZE];
static SpinLock textlock;

void SetErrorCode(LPR_COMMONARG *lpcommonarg, int code)
{
    if (lpcommonarg->errorcode == 0)
        lpcommonarg->errorcode = code;
}

// Stores a finished text as the calling thread's and the process's.
static void StoreText(const char *text)
{
    if (ThreadState *state = ThisThread()) {
        memcpy(state->lasterror, text, LASTERROR_SIZE);
        state->haserror = true;
    }
    Guard guard(textlock);
    memcpy(lasterror, text, LASTERROR_SIZE);
}

static void FormatErrorText(UINT textid, va_list args)
{
    char format[LASTERROR_SIZE]; // the message text before formatting
    char text[LASTERROR_SIZE] = {};
    if (LoadStringA(hinstlpr, textid, format, sizeof format) == 0)
        format[0] = '\0';
    wvnsprintfA(text, sizeof text, format, args);
    StoreText(text);
}

void SetErrorText(UINT textid, ...)
{
    va_list args;
    va_start(args, textid);
    FormatErrorText(textid, args);
    va_end(args);
}

void SetErrorTextRaw(const char *text)
{
    char copy[LASTERROR_SIZE] = {};
    memcpy(copy, text, strnlen(text, sizeof copy - 1));
    StoreText(copy);
}

void RecordError(LPR_COMMONARG *lpcommonarg, int code, UINT textid, ...)
{
    SetErrorCode(lpcommonarg, code);
    va_list args;
    va_start(args, textid);
    FormatErrorText(textid, args);
    va_end(args);
}

void ClearLastErrorText()
{
    Guard guard(textlock);
    lasterror[0] = '\0';
}

static int CopyText(const char *text, char *buf, int size)
{
    int length = static_cast<int>(strlen(text));
    if (buf != nullptr && size > 0) {
        int n = length < size - 1 ? length : size - 1;
        memcpy(buf, text, static_cast<size_t>(n));
        buf[n] = '\0';
    }
    return length;
}

int CopyLastErrorText(char *buf, int size)
{
    // The thread's own text is written by this thread alone: no lock.
    const ThreadState *state = PeekThread();
    if (state != nullptr && state->haserror)
        return CopyText(state->lasterror, buf, size);
    Guard guard(textlock);
    return CopyText(lasterror, buf, size);
}

} // namespace vx
