// fuzz_initial.cpp - fuzz target: the server's answer to the job's opening ('Initial')
// command, refusal texts included, in the normal and in the check-only mode.
//
// Input: one byte of flags (bit 0: check-only mode; bits 1-2: how the server ends, see
// End), then the answer, sent as one piece.
#include <string.h>

#include "fuzzlpd.h"

namespace {

constexpr size_t REPLY_READ = 200; // the client takes the answer in one read of this size

// The last-error text that a refusal leaves: the server's first line, or the refusal
// byte as a number before the rest of that line; a lone byte names the queue instead.
std::string RefusalText(const std::string &reply)
{
    if (reply.size() == 1)
        return "Server error: perhaps there is no lp printer";
    size_t end = reply.find('\n', 1);
    std::string line = reply.substr(0, end);
    unsigned char first = static_cast<unsigned char>(line[0]);
    if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))
        return line.c_str(); // a NUL in the line ends the text
    return std::to_string(static_cast<signed char>(first)) + " " + (line.c_str() + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > vxfuzz::MAX_INPUT)
        return 0;
    vxfuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    bool checkonly = flags & 1;
    vxfuzz::End end = vxfuzz::EndOf(flags >> 1);
    std::string answer = in.Rest();

    vxfuzz::FuzzLpd lpd({answer}, end);
    LPR_COMMONARG common = vxfuzz::CommonArg();
    LPR_PRINTARG print = {};
    print.filename = vxfuzz::PrintFile();
    print.host = "127.0.0.1";
    print.printer = "lp";
    print.copies = 1;
    print.format = 'f';
    print.checkonly = checkonly;
    WORD result = LPR_Print(&print, &common);
    std::string wire = lpd.Finish();
    std::string text = vxfuzz::LastError();

    FUZZ_CHECK(lpd.connections() == 1, "%d connections for one job", lpd.connections());
    FUZZ_CHECK(wire.compare(0, 4, "\x02lp\n") == 0, "the job did not open with its command: %s",
               vxfuzz::Show(wire).c_str());
    std::string reply = answer.substr(0, REPLY_READ);
    if (reply.empty()) {
        // Closed or reset without an answer: nothing was verified.
        FUZZ_CHECK(result == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_NETWORK,
                   "no answer (%s) gave result %d, code %d", vxfuzz::EndName(end), result, common.errorcode);
        FUZZ_CHECK(text == "Couldn't verify 'Initial' command", "no answer gave the text \"%s\"",
                   text.c_str());
        FUZZ_CHECK(wire == "\x02lp\n", "more was sent after no answer: %s", vxfuzz::Show(wire).c_str());
    } else if (reply[0] != 0) {
        FUZZ_CHECK(result == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_LPD_REPORTED,
                   "a refusal gave result %d, code %d", result, common.errorcode);
        std::string expected = RefusalText(reply);
        FUZZ_CHECK(text == expected, "the refusal %s gave the text \"%s\", not \"%s\"",
                   vxfuzz::Show(reply).c_str(), vxfuzz::Show(text).c_str(), vxfuzz::Show(expected).c_str());
        FUZZ_CHECK(wire == "\x02lp\n", "more was sent after a refusal: %s", vxfuzz::Show(wire).c_str());
    } else if (checkonly) {
        // Whatever follows the 0 in the same read changes nothing.
        FUZZ_CHECK(result == LPR_OK && common.errorcode == 0, "an accepted check gave result %d, code %d",
                   result, common.errorcode);
        FUZZ_CHECK(wire == "\x02lp\n\x01\n", "the check was not withdrawn: %s", vxfuzz::Show(wire).c_str());
    } else {
        // Accepted: the rest of the exchange is the acknowledgement target's.
        FUZZ_CHECK(result == LPR_OK || result == LPR_R_UNEXP_NET_ERR || result == LPR_R_GEN_FAILURE,
                   "an accepted job gave result %d", result);
        FUZZ_CHECK((result == LPR_OK) == (common.errorcode == 0), "result %d with code %d", result,
                   common.errorcode);
        FUZZ_CHECK(wire.size() > 4 && (wire[4] == '\x02' || wire[4] == '\x03'),
                   "no file followed the accepted job command: %s", vxfuzz::Show(wire).c_str());
    }
    return 0;
}
