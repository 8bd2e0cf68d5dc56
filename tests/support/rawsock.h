// rawsock.h - plain system sockets for the suites' peers, behind neutral types so
// that suites using the library's Winsock names never see the system's socket headers.
#ifndef VEXLOLPR_TEST_RAWSOCK_H
#define VEXLOLPR_TEST_RAWSOCK_H

#include <stddef.h>
#include <stdint.h>

namespace vxtest {

uint32_t Net32(uint32_t host);           // host to network order
uint16_t BoundPort(int fd);              // local port of a descriptor, host order
int ListenLoopback(uint16_t *port, bool ipv6 = false); // listening on 127.0.0.1 (or ::1), port chosen by the system
int ListenOn(int fd);                    // listen() on a bound descriptor
int BindPort(uint16_t port);             // a TCP socket bound to 0.0.0.0:port, or -1
int AcceptOne(int listenfd);             // -1 on failure
long ReadSome(int fd, void *buf, size_t len);
long WriteAll(int fd, const void *buf, size_t len);
void CloseFd(int fd);
void ResetClose(int fd);                 // closes with a reset (linger on, 0 seconds)
int SetReceiveBuffer(int fd, int bytes); // 0, or -1
uint16_t UnusedLoopbackPort();           // a port of 127.0.0.1 that nothing listens on; 0 on failure

} // namespace vxtest

#endif
