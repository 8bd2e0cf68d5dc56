// io.cpp - the blocking I/O fixture.
#include "io.h"

namespace vxtest {

void IoTest::SetUp()
{
    ResetLibrary();
    vx::posix::PendingMessages(); // the thread's queue and its wake-up descriptor exist from here on
    descriptors_ = OpenDescriptors();
    vx::ThisRequest().hwndwait = nullptr;
    vx::ThisRequest().waitinfo = vx::WAITINFO{};
    vx::ThisRequest().lperrorcode = nullptr;
    vx::localport = 600;
    vx::ThisRequest().yieldcount = 0;
    vx::posix::RefuseTimers(false);
    vx::posix::RefuseDialogs(false);
    vx::WinsockStartup(); // as a request would
}

void IoTest::TearDown()
{
    vx::posix::RefuseTimers(false);
    vx::posix::RefuseDialogs(false);
    if (vx::ThisRequest().waitinfo.mysocket != 0)
        vx::wsock_abort(vx::ThisRequest().waitinfo.mysocket);
    vx::winsock.WSACleanup();
    ResetLibrary();
}

vx::sockaddr_in IoTest::Loopback(uint16_t port)
{
    vx::sockaddr_in sin = {};
    sin.sin_family = vx::AF_INET;
    sin.sin_port = vx::winsock.htons(port);
    sin.sin_addr.s_addr = vx::winsock.inet_addr("127.0.0.1");
    return sin;
}

vx::SOCKET IoTest::Connect(Peer &peer, LPR_COMMONARG *common)
{
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    if (sd == vx::INVALID_SOCKET)
        return sd;
    vx::sockaddr_in to = Loopback(peer.port());
    vx::SOCKET connected = vx::wsock_connect(sd, vx::SOCK_STREAM, &to, common);
    if (connected == vx::INVALID_SOCKET)
        vx::wsock_abort(sd);
    return connected;
}

std::string IoTest::Control(int id)
{
    char buf[512];
    if (vx::posix::DialogItemText(vx::ThisRequest().hwndwait, id, buf, sizeof buf) < 0)
        return "";
    return buf;
}

long IoTest::Since(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace vxtest
