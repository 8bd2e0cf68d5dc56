// fuzz_remove.cpp - fuzz target: the answer to a job removal, which the client reads and
// drops until the server closes.
//
// Input: a byte of flags (bits 0-1: how the server ends, see End; bits 2-4: the largest
// piece, see Split), a seed byte for the piece sizes, then the answer.
#include "fuzzlpd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > vxfuzz::MAX_INPUT)
        return 0;
    vxfuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    uint8_t seed = in.Byte();
    vxfuzz::End end = vxfuzz::EndOf(flags);
    std::string answer = in.Rest();

    vxfuzz::FuzzLpd lpd(vxfuzz::Split(answer, flags >> 2, seed), end);
    LPR_COMMONARG common = vxfuzz::CommonArg();
    LPR_DELETEARG arg = {"127.0.0.1", "lp", 42};
    WORD result = LPR_DeleteJob(&arg, &common);
    std::string wire = lpd.Finish();

    // Whatever the answer says, only the way the server ends decides.
    if (end == vxfuzz::End::RESET)
        FUZZ_CHECK(result == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_VERIFY_NOTIFY,
                   "a reset after %zu bytes gave result %d, code %d", answer.size(), result,
                   common.errorcode);
    else
        FUZZ_CHECK(result == LPR_OK && common.errorcode == 0,
                   "an answer of %zu bytes (%s) gave result %d, code %d", answer.size(), vxfuzz::EndName(end),
                   result, common.errorcode);
    FUZZ_CHECK(wire == "\x05lp tester 42\n", "the client sent %s", vxfuzz::Show(wire).c_str());
    return 0;
}
