// msgtext.h - message texts, the last-error text and the recording of failures.
#ifndef VEXLOLPR_MSGTEXT_H
#define VEXLOLPR_MSGTEXT_H

#include "platform/platform.h"

namespace vx {

constexpr int LASTERROR_SIZE = 256; // at most 255 characters and a NUL

struct MessageText {
    UINT id;
    const char *text;
};
extern const MessageText message_texts[]; // every text of the string table, by id
extern const size_t message_text_count;

// Stores code in the request's errorcode unless an earlier failure is there already.
void SetErrorCode(LPR_COMMONARG *lpcommonarg, int code);

// Replaces the last-error text with message `textid` formatted with the arguments.
void SetErrorText(UINT textid, ...);

// Replaces the last-error text with a text of the caller's, cut to 255 characters.
void SetErrorTextRaw(const char *text);

// The usual failure: SetErrorCode(code) and SetErrorText(textid, ...).
void RecordError(LPR_COMMONARG *lpcommonarg, int code, UINT textid, ...);

void ClearLastErrorText();
// Copies the last-error text into buf (cut to size - 1 characters and terminated, when
// size > 0); returns the text's full length.
int CopyLastErrorText(char *buf, int size);

} // namespace vx

#endif
