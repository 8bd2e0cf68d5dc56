// io.h - a fixture for the suites that run the blocking I/O over real loopback
// connections: the library reset to its state after load, the wait state free, and
// helpers that connect to a scripted peer and read the status dialog.
#ifndef VEXLOLPR_TEST_IO_H
#define VEXLOLPR_TEST_IO_H

#include <chrono>
#include <string>

#include "support/harness.h"
#include "support/peer.h"
#include "wsockio.h"

namespace vxtest {

class IoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Server address of 127.0.0.1 and a port.
    static vx::sockaddr_in Loopback(uint16_t port);
    // getandbind + wsock_connect to the peer; INVALID_SOCKET when either fails.
    vx::SOCKET Connect(Peer &peer, LPR_COMMONARG *common);
    // Text of a control of the status dialog ("" without a dialog).
    static std::string Control(int id);
    static std::string Status() { return Control(vx::IDC_STATUS); }
    // Milliseconds since `start`.
    static long Since(std::chrono::steady_clock::time_point start);

    LPR_COMMONARG common_ = CommonArg();
    int descriptors_ = 0;
};

} // namespace vxtest

#endif
