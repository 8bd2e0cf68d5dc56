// Stream read and write: deadlines, the one-second slices, partial sends, the yield
// between back-to-back writes, failures and cancellation, with their status lines.
#include <thread>

#include "support/io.h"

using namespace vxtest;
using Clock = std::chrono::steady_clock;

namespace {

class ReadWriteTest : public IoTest {
protected:
    vx::SOCKET Open(Peer &peer)
    {
        vx::SOCKET sd = Connect(peer, &common_);
        EXPECT_NE(sd, vx::INVALID_SOCKET);
        return sd;
    }
};

TEST_F(ReadWriteTest, NoTimeLeftMeansNoTransfer)
{
    Peer peer({Peer::Send("x"), Peer::Hold(3000)});
    vx::SOCKET sd = Open(peer);
    common_.replytimeout = 0;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    char buf[4];
    EXPECT_EQ(vx::wsock_read(sd, buf, sizeof buf, 0, &common_), 0);
    EXPECT_FALSE(capture.contains(":recv()"));
    EXPECT_EQ(Status(), "Reading...done!");
    EXPECT_EQ(common_.errorcode, 0);

    EXPECT_EQ(vx::wsock_write(sd, "data", 4, 0, &common_), -1);
    EXPECT_FALSE(capture.contains(":send()"));
    EXPECT_EQ(Status(), "Sending...timed out!");
    EXPECT_EQ(common_.errorcode, LPR_ERR_TIMEOUT);
}

TEST_F(ReadWriteTest, ReadReturnsWhatTheFirstReceiveDelivers)
{
    Peer peer({Peer::Sleep(100), Peer::Send(std::string("\0", 1)), Peer::Sleep(200), Peer::Send("queue is empty\n"), Peer::Close()});
    vx::SOCKET sd = Open(peer);
    char buf[512];
    EXPECT_EQ(vx::wsock_read(sd, buf, 1, 0, &common_), 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(Status(), "Reading...done!");
    int n = vx::wsock_read(sd, buf, sizeof buf, 0, &common_);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), std::string("queue is empty\n").substr(0, static_cast<size_t>(n)));
    while (n > 0)
        n = vx::wsock_read(sd, buf, sizeof buf, 0, &common_);
    EXPECT_EQ(n, 0) << "the peer's close reads as 0";
    EXPECT_EQ(Status(), "Reading...done!");
    EXPECT_EQ(common_.errorcode, 0);
}

TEST_F(ReadWriteTest, SilentPeerTimesTheReadOut)
{
    Peer peer({Peer::Hold(5000)});
    vx::SOCKET sd = Open(peer);
    DWORD dialogtimeout = vx::ThisRequest().waitinfo.timeout;
    common_.replytimeout = 1200;
    char buf[8];
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_read(sd, buf, sizeof buf, 0, &common_), -1);
    long elapsed = Since(start);
    EXPECT_GE(elapsed, 1100);
    EXPECT_LT(elapsed, 3500);
    EXPECT_EQ(Status(), "Reading...timed out!");
    EXPECT_EQ(common_.errorcode, 0) << "the caller records the time-out";
    EXPECT_EQ(vx::ThisRequest().waitinfo.timeout, dialogtimeout) << "the one-second slices are undone";
}

TEST_F(ReadWriteTest, ResetPeerFailsTheReadAndTheWrite)
{
    Peer peer({Peer::Reset()});
    vx::SOCKET sd = Open(peer);
    peer.join();
    char buf[8];
    EXPECT_EQ(vx::wsock_read(sd, buf, sizeof buf, 0, &common_), -1);
    EXPECT_EQ(vx::winsock.WSAGetLastError(), vx::WSAECONNRESET);
    EXPECT_EQ(Status(), "Reading...failed!");
    EXPECT_EQ(common_.errorcode, 0);
    int rc = 0;
    for (int i = 0; i < 3 && rc >= 0; i++)
        rc = vx::wsock_write(sd, "x", 1, 0, &common_);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(Status(), "Sending...failed!");
    EXPECT_EQ(common_.errorcode, LPR_ERR_NETWORK);
}

TEST_F(ReadWriteTest, LargeWriteWaitsForSpaceAndSendsEveryByte)
{
    std::string data(8 << 20, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 7 + i / 4096);
    // Nothing is read for a while once the first bytes came: the client meets a full
    // window however late it started.
    Peer peer({Peer::Peek(1), Peer::Sleep(300), Peer::Read(data.size())}, 30000);
    vx::SOCKET sd = Open(peer);
    common_.replytimeout = 20000;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_write(sd, data.data(), static_cast<int>(data.size()), 0, &common_),
              static_cast<int>(data.size()));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_write() : Waiting for write to complete...wsockio"));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_write() sending... last time sent="));
    EXPECT_EQ(Status(), "Sending...done!");
    peer.join();
    EXPECT_TRUE(peer.received() == data) << "received " << peer.received().size() << " bytes";
}

TEST_F(ReadWriteTest, PeerThatNeverReadsTimesTheWriteOut)
{
    Peer peer({Peer::Hold(6000)});
    vx::SOCKET sd = Open(peer);
    common_.replytimeout = 1000;
    vx::ThisRequest().waitinfo.timeout = 1000;
    std::string data(32 << 20, 'w');
    auto start = Clock::now();
    EXPECT_EQ(vx::wsock_write(sd, data.data(), static_cast<int>(data.size()), 0, &common_), -1);
    EXPECT_LT(Since(start), 4000);
    EXPECT_EQ(Status(), "Sending...timed out!");
    EXPECT_EQ(common_.errorcode, LPR_ERR_TIMEOUT);
}

TEST_F(ReadWriteTest, SecondOfTwoBackToBackWritesYields)
{
    Peer peer({Peer::ReadToClose()});
    vx::SOCKET sd = Open(peer);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    const std::string yield = "VEXLOLPR wsock_write() Yielding to others... wsockio";
    EXPECT_EQ(vx::wsock_write(sd, "\x02lp\n", 4, 0, &common_), 4);
    EXPECT_FALSE(capture.contains(yield));
    EXPECT_EQ(vx::ThisRequest().yieldcount, 1);
    EXPECT_EQ(vx::wsock_write(sd, "more", 4, 0, &common_), 4);
    EXPECT_TRUE(capture.contains(yield));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_write() exiteded...OK sent 4 bytes (4 last time) wsockio"));
    EXPECT_EQ(vx::ThisRequest().yieldcount, 1);
    EXPECT_EQ(vx::ThisRequest().waitinfo.timeout, common_.replytimeout);
    EXPECT_EQ(vx::wsock_write(sd, "", 0, 0, &common_), 0) << "an empty write is one empty send";
    vx::wsock_release(sd);
    peer.join();
    EXPECT_EQ(peer.received(), "\x02lp\nmore");
}

TEST_F(ReadWriteTest, NoYieldOptionSendsBackToBack)
{
    Peer peer({Peer::ReadToClose()});
    vx::SOCKET sd = Open(peer);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    common_.debugflags = LPR_DEBUG_TRACE | LPR_OPT_NOYIELD;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(vx::wsock_write(sd, "abcd", 4, 0, &common_), 4);
    EXPECT_FALSE(capture.contains("Yielding to others"));
    EXPECT_EQ(vx::ThisRequest().yieldcount, 0);
    common_.debugflags = LPR_DEBUG_TRACE; // the same socket, the option taken away
    EXPECT_EQ(vx::wsock_write(sd, "efgh", 4, 0, &common_), 4);
    EXPECT_EQ(vx::wsock_write(sd, "ijkl", 4, 0, &common_), 4);
    EXPECT_TRUE(capture.contains("Yielding to others"));
    vx::wsock_release(sd);
    peer.join();
    EXPECT_EQ(peer.received(), "abcdabcdabcdefghijkl");
}

TEST_F(ReadWriteTest, CancelledWriteKeepsTheCancelCode)
{
    Peer peer({Peer::Hold(8000)});
    vx::SOCKET sd = Open(peer);
    common_.replytimeout = 1500;
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        LPR_CancelBlockingCall();
    });
    std::string data(32 << 20, 'c');
    int rc = vx::wsock_write(sd, data.data(), static_cast<int>(data.size()), 0, &common_);
    canceller.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(common_.errorcode, LPR_ERR_CANCELLED) << "a cancel survives the time-out that follows";
    std::string status = Status();
    EXPECT_TRUE(status == "Sending...timed out!" || status == "Sending...cancelled!") << status;
}

TEST_F(ReadWriteTest, CancelFoundAfterASendEndsTheWrite)
{
    Peer peer({Peer::ReadToClose()});
    vx::SOCKET sd = Open(peer);
    vx::ThisRequest().yieldcount = 1;
    common_.errorcode = LPR_ERR_CANCELLED; // as the dialog leaves it
    EXPECT_EQ(vx::wsock_write(sd, "abc", 3, 0, &common_), -1);
    EXPECT_EQ(Status(), "Sending...cancelled!");
    EXPECT_EQ(vx::ThisRequest().yieldcount, 0);
}

} // namespace
