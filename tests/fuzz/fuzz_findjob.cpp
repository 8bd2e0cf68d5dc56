// fuzz_findjob.cpp - fuzz target: finding a job in a listing that a server wrote.
//
// Input: the job number's byte (the number looked for is it, or a number that the
// listing itself holds when the byte is odd), a byte of flags (bit 0: look by owner,
// bit 1: by name), then the listing as the server sends it.  The listing is reshaped as
// LPR_GetQueue hands it out and read by LPR_FindJob.
//
// Checked: the result is one of the four, an entry is filled only for a job found, and
// then it is one the listing holds at the place it says, with a rank cut to fit.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzzlpd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > vxfuzz::MAX_INPUT)
        return 0;
    vxfuzz::Input in(data, size);
    uint8_t numberbyte = in.Byte();
    uint8_t flags = in.Byte();
    std::string listing = in.Rest();
    std::string block;
    for (char c : listing) {
        if (c == '\n')
            block.append(" ", 2); // the space and its NUL
        else
            block.push_back(c);
    }
    block.append(2, '\0');
    DWORD number = numberbyte;
    if (numberbyte & 1) { // a number from the listing, so that entries are found too
        size_t digit = listing.find_first_of("0123456789");
        number = digit != std::string::npos ? static_cast<DWORD>(strtoul(listing.c_str() + digit, nullptr, 10)) : 0;
    }
    LPR_JOBENTRY entry;
    memset(&entry, 0x5a, sizeof entry);
    entry.size = sizeof entry;
    int result = LPR_FindJob(block.c_str(), number, (flags & 1) ? "alice" : nullptr,
                             (flags & 2) ? "/home/alice/report.txt" : nullptr, &entry);
    if (result < LPR_FIND_NOT_LISTED || result > LPR_FIND_UNKNOWN)
        abort();
    if (result != LPR_FIND_LISTED) {
        if (entry.jobnumber != 0x5a5a5a5a || entry.position != 0x5a5a5a5a)
            abort(); // an entry written for a job not found
        return 0;
    }
    size_t ranklength = strnlen(entry.rank, sizeof entry.rank);
    if (ranklength == 0 || ranklength == sizeof entry.rank || entry.position == 0)
        abort();
    // The entry's line: the position-th line that holds its rank and number.
    if (listing.find(std::string(entry.rank)) == std::string::npos ||
        listing.find(std::to_string(entry.jobnumber)) == std::string::npos)
        abort();
    return 0;
}
