// fuzz_queue.cpp - fuzz target: the queue listing, reshaped into the caller's block of
// NUL-terminated lines across the reads that deliver it.
//
// Input: a byte of flags (bits 0-1: how the server ends, see End; bits 2-4: the largest
// piece, see Split), a seed byte for the piece sizes, then the listing.  The server
// sends each piece once the client has read the one before, so lines, line ends and
// the block's bound fall across reads in every way.
//
// The block is checked against the listing taken whole: every LF a space and a NUL,
// two NULs behind; or, when that does not fit in 8190 bytes, the complete lines that do
// fit and one NUL.
#include <string.h>

#include "fuzzlpd.h"

namespace {

constexpr size_t BOUND = 8190; // the block's last two bytes are kept for the closing NULs

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > vxfuzz::MAX_INPUT)
        return 0;
    vxfuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    uint8_t seed = in.Byte();
    vxfuzz::End end = vxfuzz::EndOf(flags);
    std::string listing = in.Rest();

    vxfuzz::FuzzLpd lpd(vxfuzz::Split(listing, flags >> 2, seed), end);
    LPR_COMMONARG common = vxfuzz::CommonArg();
    char *queue = reinterpret_cast<char *>(&lpd); // anything but null: it must be overwritten
    LPR_QUEUEARG arg = {"127.0.0.1", "lp", &queue};
    WORD result = LPR_GetQueue(&arg, &common);

    std::string shaped;
    shaped.reserve(2 * listing.size());
    for (char c : listing) {
        if (c == '\n') {
            shaped.push_back(' ');
            shaped.push_back('\0');
        } else {
            shaped.push_back(c);
        }
    }
    bool fits = shaped.size() <= BOUND;
    std::string expected;
    if (fits) {
        expected = shaped + std::string(2, '\0');
    } else {
        // Behind the last line end that lies wholly below the bound (found from the
        // listing's own LFs: a space and a NUL may come from the server as they are).
        size_t cut = 0;
        size_t at = 0;
        for (char c : listing) {
            at += c == '\n' ? 2 : 1;
            if (c == '\n' && at <= BOUND)
                cut = at;
        }
        expected = shaped.substr(0, cut) + std::string(1, '\0');
    }

    if (!fits || end != vxfuzz::End::RESET) {
        FUZZ_CHECK(result == LPR_OK && common.errorcode == 0,
                   "a listing of %zu bytes (%s) gave result %d, code %d", listing.size(),
                   vxfuzz::EndName(end), result, common.errorcode);
        FUZZ_CHECK(queue != nullptr, "no listing delivered");
        FUZZ_CHECK(memcmp(queue, expected.data(), expected.size()) == 0,
                   "a listing of %zu bytes in %zu pieces was not stored as it must be", listing.size(),
                   lpd.answered());
    } else {
        // Reset at the end: nothing of the listing reaches the caller.
        FUZZ_CHECK(result == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_NETWORK,
                   "a reset listing gave result %d, code %d", result, common.errorcode);
        FUZZ_CHECK(queue == nullptr, "a failed listing left the caller a block");
        FUZZ_CHECK(vxfuzz::LastError() == "Failed to recieve queue list",
                   "a reset listing gave the text \"%s\"", vxfuzz::LastError().c_str());
    }
    LPR_FreeQueue(&queue);
    std::string wire = lpd.Finish();
    FUZZ_CHECK(wire == "\x03lp\n", "the client sent %s", vxfuzz::Show(wire).c_str());
    return 0;
}
