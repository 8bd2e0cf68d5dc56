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

static char lasterror[LASTERROR_SIZE];
static char msgscratch[LASTERROR_SIZE]; // message text loaded before formatting

void SetErrorCode(LPR_COMMONARG *lpcommonarg, int code)
{
    if (lpcommonarg->errorcode == 0)
        lpcommonarg->errorcode = code;
}

static void FormatErrorText(UINT textid, va_list args)
{
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

void ClearLastErrorText() { lasterror[0] = '\0'; }

const char *LastErrorText() { return lasterror; }

} // namespace vx
