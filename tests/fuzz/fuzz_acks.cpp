// fuzz_acks.cpp - fuzz target: the acknowledgements of a print job, the one of its
// opening command, of the two subcommands (control file, data file) and the final one
// of each file, in both orders of the files.
//
// Input: one byte of flags (bit 0: control file first; bits 1-2: how the server ends,
// see End), then the server's answers, each a length byte and that many bytes.  Each
// answer reaches the client once it has read everything before it; an answer longer
// than a read is taken by the reads that follow, as it would be from a TCP stream.
//
// The outcome is checked against a model of the exchange: which reads see which bytes,
// what each acknowledgement means, and what the client may send after it.
#include <stdlib.h>

#include "fuzzlpd.h"

namespace {

// The server's side of the stream as the client's reads meet it, mirroring FuzzLpd.
struct Stream {
    std::vector<std::string> answers;
    vxfuzz::End end = vxfuzz::End::HALF_CLOSE;
    size_t next = 0;
    std::string pending;
    bool ended = false;
    bool resetseen = false;

    // A read of at most `len` bytes: their number (the bytes in *got), 0 at the end, -1
    // when the connection was reset.
    int Read(size_t len, std::string *got)
    {
        if (pending.empty() && next < answers.size())
            pending = answers[next++];
        else if (pending.empty())
            ended = true;
        if (!pending.empty()) {
            *got = pending.substr(0, len);
            pending.erase(0, got->size());
            return static_cast<int>(got->size());
        }
        got->clear();
        if (end == vxfuzz::End::RESET && !resetseen) {
            resetseen = true;
            return -1;
        }
        return 0;
    }
    // Whether a write still reaches the server.
    bool Writable() const { return !ended || end == vxfuzz::End::HALF_CLOSE; }
};

struct Outcome {
    WORD result;
    int32_t code;
    std::string writes; // what reached the server: J job command, C/D subcommand, c/d file
};

// What tells the two files' exchanges apart.
struct FileModel {
    char subcommand, content; // their letters in Outcome::writes
    int32_t refused, unknown; // codes of acknowledgement 1, and of any but 0, 1 and 2
    WORD unsent;              // result when the content cannot be sent
    size_t finalread;         // the final answer's read: the control file's takes a whole one
    int32_t unverified, rejected; // codes of a failed final read and of a final answer not 0
};
const FileModel CONTROL_FILE = {'C', 'c', LPR_ERR_SPOOLER_SERVER, LPR_ERR_LPD_REPORTED, LPR_R_UNEXP_NET_ERR,
                                200, LPR_ERR_VERIFY_CONTROL, LPR_ERR_CONTROL_NOT_TRANSFERRED};
const FileModel DATA_FILE = {'D', 'd', LPR_ERR_LPD_REPORTED, LPR_ERR_UNKNOWN_RESPONSE, LPR_R_GEN_FAILURE,
                             1, LPR_ERR_VERIFY_DATA, LPR_ERR_DATA_NOT_TRANSFERRED};

Outcome Expect(Stream s, bool controlfirst)
{
    Outcome o = {LPR_OK, 0, "J"};
    std::string r;
    int n = s.Read(200, &r);
    if (n <= 0)
        return {LPR_R_UNEXP_NET_ERR, LPR_ERR_NETWORK, o.writes};
    if (r[0] != 0)
        return {LPR_R_UNEXP_NET_ERR, LPR_ERR_LPD_REPORTED, o.writes};
    auto fail = [&o](WORD result, int32_t code) {
        o.result = result;
        o.code = code;
        return false;
    };
    auto file = [&](const FileModel &m) {
        if (!s.Writable())
            return fail(LPR_R_UNEXP_NET_ERR, LPR_ERR_NETWORK);
        o.writes += m.subcommand;
        if (s.Read(1, &r) <= 0)
            return fail(LPR_R_UNEXP_NET_ERR, LPR_ERR_VERIFY_NOTIFY);
        switch (static_cast<unsigned char>(r[0])) {
        case 0:
            break;
        case 1:
            return fail(LPR_R_UNEXP_NET_ERR, m.refused);
        case 2:
            return fail(LPR_R_UNEXP_NET_ERR, LPR_ERR_SPOOL_SPACE);
        default:
            return fail(LPR_R_UNEXP_NET_ERR, m.unknown);
        }
        if (!s.Writable())
            return fail(m.unsent, LPR_ERR_NETWORK);
        o.writes += m.content;
        // A server that closes instead of the final answer has taken the file.
        n = s.Read(m.finalread, &r);
        if (n < 0)
            return fail(LPR_R_UNEXP_NET_ERR, m.unverified);
        if (n > 0 && r[0] != 0)
            return fail(LPR_R_UNEXP_NET_ERR, m.rejected);
        return true;
    };
    auto control = [&]() { return file(CONTROL_FILE); };
    auto datafile = [&]() { return file(DATA_FILE); };
    // The first step that fails ends the job; o holds its outcome.
    bool complete = controlfirst ? control() && datafile() : datafile() && control();
    (void)complete;
    return o;
}

// Splits what the client sent into its pieces (as letters, like Outcome::writes) and
// checks their framing: the job command, each subcommand line with the length it
// announces and the job's file name, each file with that length and its closing NUL.
std::string Pieces(const std::string &wire)
{
    FUZZ_CHECK(wire.compare(0, 4, "\x02lp\n") == 0, "the job did not open with its command: %s",
               vxfuzz::Show(wire).c_str());
    std::string pieces = "J";
    std::string stem;
    size_t at = 4;
    while (at < wire.size()) {
        char code = wire[at];
        FUZZ_CHECK(code == '\x02' || code == '\x03', "no subcommand at offset %zu: %s", at,
                   vxfuzz::Show(wire).c_str());
        size_t lf = wire.find('\n', at);
        FUZZ_CHECK(lf != std::string::npos, "a subcommand line without its end: %s",
                   vxfuzz::Show(wire).c_str());
        std::string line = wire.substr(at + 1, lf - at - 1);
        size_t space = line.find(' ');
        FUZZ_CHECK(space != std::string::npos && space > 0, "a subcommand without a length: %s",
                   vxfuzz::Show(line).c_str());
        size_t length = strtoul(line.substr(0, space).c_str(), nullptr, 10);
        std::string name = line.substr(space + 1);
        char kind = code == '\x02' ? 'c' : 'd';
        FUZZ_CHECK(name.size() == 12 && name[0] == kind && name.compare(1, 2, "fA") == 0 &&
                       name.compare(6, 6, "client") == 0,
                   "the file name %s", vxfuzz::Show(name).c_str());
        if (stem.empty())
            stem = name.substr(1);
        FUZZ_CHECK(name.substr(1) == stem, "the files of one job have two names: %s",
                   vxfuzz::Show(wire).c_str());
        pieces += static_cast<char>(kind - 'a' + 'A');
        at = lf + 1;
        if (at == wire.size())
            break;
        FUZZ_CHECK(wire.size() - at >= length + 1 && wire[at + length] == '\0',
                   "a file of %zu bytes was not sent whole with its NUL: %s", length,
                   vxfuzz::Show(wire).c_str());
        if (kind == 'd')
            FUZZ_CHECK(wire.compare(at, length, vxfuzz::PrintContent()) == 0 &&
                           length == vxfuzz::PrintContent().size(),
                       "the data file is not the file printed");
        else
            FUZZ_CHECK(wire.compare(at, 16, "Hclient\nPtester\n") == 0,
                       "the control file does not begin as it must");
        pieces += kind;
        at += length + 1;
    }
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > vxfuzz::MAX_INPUT)
        return 0;
    vxfuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    bool controlfirst = flags & 1;
    vxfuzz::End end = vxfuzz::EndOf(flags >> 1);
    std::vector<std::string> answers;
    while (!in.empty()) {
        std::string a = in.Take(in.Byte());
        if (!a.empty()) // an empty answer would send nothing
            answers.push_back(a);
    }

    vxfuzz::FuzzLpd lpd(answers, end);
    LPR_COMMONARG common = vxfuzz::CommonArg();
    LPR_PRINTARG print = {};
    print.filename = vxfuzz::PrintFile();
    print.host = "127.0.0.1";
    print.printer = "lp";
    print.copies = 1;
    print.format = 'f';
    print.controlfirst = controlfirst;
    WORD result = LPR_Print(&print, &common);
    std::string wire = lpd.Finish();

    Stream stream;
    stream.answers = answers;
    stream.end = end;
    Outcome expected = Expect(stream, controlfirst);
    std::string pieces = Pieces(wire);
    FUZZ_CHECK(result == expected.result && common.errorcode == expected.code,
               "%s first, %s, %zu answers: result %d code %d, expected result %d code %d",
               controlfirst ? "control" : "data", vxfuzz::EndName(end), answers.size(), result,
               common.errorcode, expected.result, expected.code);
    FUZZ_CHECK(pieces == expected.writes, "the server received %s, expected %s: %s", pieces.c_str(),
               expected.writes.c_str(), vxfuzz::Show(wire).c_str());
    return 0;
}
