// sockshim.h - the BSD socket calls behind the Winsock provider, with neutral types so
// that neither side sees the other's headers.  Every function returns a value >= 0 on
// success and the negated Winsock error number on failure.
#ifndef VEXLOLPR_SOCKSHIM_H
#define VEXLOLPR_SOCKSHIM_H

#include <stddef.h>
#include <stdint.h>

namespace vx {
namespace posix {
namespace shim {

enum SockOpt { OPT_REUSEADDR, OPT_NODELAY, OPT_SNDBUF, OPT_RCVBUF };

int StreamSocket();                                        // a TCP/IPv4 descriptor
int Bind(int fd, uint32_t address, uint16_t port);         // both in network order
int Connect(int fd, uint32_t address, uint16_t port);      // both in network order
long Send(int fd, const void *buf, size_t len);            // bytes sent
long Recv(int fd, void *buf, size_t len, bool peek);       // bytes received, 0 at close
int Shutdown(int fd, int how);                             // 0 receives, 1 sends, 2 both
int Close(int fd);
int SetLinger(int fd, bool on, int seconds);
int SetIntOption(int fd, SockOpt option, int value);
int SetNonBlocking(int fd, bool on);

// Looks an IPv4 host up with the system resolver: up to `max` addresses in network
// order and the canonical name (cut to fit).  Returns the number of addresses.
int ResolveIPv4(const char *name, uint32_t *addresses, int max, char *canon, size_t canonsize);
// Name of an IPv4 address (network order).
int ReverseIPv4(uint32_t address, char *name, size_t namesize);
// BSD inet_addr: 0xFFFFFFFF when the text is not an address.
uint32_t InetAddr(const char *text);

// The one translation of errno values into Winsock error numbers.
int WinsockErrorOf(int err);

} // namespace shim
} // namespace posix
} // namespace vx

#endif
