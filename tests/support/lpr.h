// lpr.h - helpers of the protocol suites: a request against a fake LPD, files to print,
// and the wire bytes a job is expected to produce.
#ifndef VEXLOLPR_TEST_LPR_H
#define VEXLOLPR_TEST_LPR_H

#include <deque>
#include <string>

#include "lprws.h"
#include "support/io.h"
#include "support/rawsock.h"

namespace vxtest {

class LprTest : public IoTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A file in a scratch directory with the given content; its path.
    std::string File(const std::string &name, const std::string &content);
    // A print record for `path` on queue "lp" of 127.0.0.1.
    LPR_PRINTARG PrintArg(const std::string &path);
    static std::string LastError();
    // The job stem the server saw in a job's subcommand lines ("fA" + 3 digits + host).
    static std::string StemOf(const std::string &wire);
    // The bytes a complete job puts on the wire.
    static std::string JobBytes(const LPR_PRINTARG &p, const LPR_COMMONARG &c, const std::string &stem,
                                const std::string &content);
    // Script of a server that accepts the whole job; `contentsize` is the file's size.
    static std::vector<PeerStep> AcceptJob(const LPR_PRINTARG &p, const LPR_COMMONARG &c, size_t contentsize);

    std::string dir_;
    std::deque<std::string> paths_; // the strings the print records point at
    int blocks_ = 0;
};

} // namespace vxtest

#endif
