// msgtext.cpp - the message table and the library-wide last-error text.
// A failure stores its code only while errorcode is still 0 (the first failure of a
// request is the one reported) but always replaces the text.
#include "msgtext.h"

#include <string.h>

#include <atomic>

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

// The text is the process's; a request that gives up waiting for its turn writes it
// while another thread's request may, so every access holds the lock (a spin lock: the
// holder only copies or formats a few hundred bytes, and it needs no thread library).
static char lasterror[LASTERROR_SIZE];
static char msgscratch[LASTERROR_SIZE]; // message text loaded before formatting
static std::atomic_flag textlock = ATOMIC_FLAG_INIT;

namespace {
struct TextLock {
    TextLock()
    {
        while (textlock.test_and_set(std::memory_order_acquire))
            ;
    }
    ~TextLock() { textlock.clear(std::memory_order_release); }
};
} // namespace

void SetErrorCode(LPR_COMMONARG *lpcommonarg, int code)
{
    if (lpcommonarg->errorcode == 0)
        lpcommonarg->errorcode = code;
}

static void FormatErrorText(UINT textid, va_list args)
{
    TextLock lock;
    if (LoadStringA(hinstlpr, textid, msgscratch, sizeof msgscratch) == 0)
        msgscratch[0] = '\0';
    wvnsprintfA(lasterror, sizeof lasterror, msgscratch, args);
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
    TextLock lock;
    size_t n = strnlen(text, sizeof lasterror - 1);
    memcpy(lasterror, text, n);
    lasterror[n] = '\0';
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
    TextLock lock;
    lasterror[0] = '\0';
}

int CopyLastErrorText(char *buf, int size)
{
    TextLock lock;
    int length = static_cast<int>(strlen(lasterror));
    if (buf != nullptr && size > 0) {
        int n = length < size - 1 ? length : size - 1;
        memcpy(buf, lasterror, static_cast<size_t>(n));
        buf[n] = '\0';
    }
    return length;
}

} // namespace vx
