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

// A socket address as the two sides pass it, in network order: IPv4 in the first four
// octets, or IPv6 in all sixteen with its scope.
struct Endpoint {
    bool v6;
    uint8_t octets[16];
    uint32_t scope; // IPv6 only
    uint16_t port;
};

int StreamSocket(bool v6);                                 // a TCP descriptor
int Bind(int fd, const Endpoint &local);
// On a blocking descriptor these three go on through signals until done or until the
// time-out (SetTimeout) they had when they started, as Winsock's do.
int Connect(int fd, const Endpoint &peer);
long Send(int fd, const void *buf, size_t len);            // bytes sent
// `len` octets of a file from `offset` (the file's own position does not move); 0 when
// the file ends there.
long SendFile(int fd, int file, int64_t offset, size_t len);
long Recv(int fd, void *buf, size_t len, bool peek);       // bytes received, 0 at close
int Shutdown(int fd, int how);                             // 0 receives, 1 sends, 2 both
int Close(int fd);
int SetLinger(int fd, bool on, int seconds);
int SetIntOption(int fd, SockOpt option, int value);
int SetNonBlocking(int fd, bool on);
// Bounds the blocking calls of a descriptor (0: no bound); a call that runs out fails
// with WSAETIMEDOUT, as a Winsock one does.
int SetTimeout(int fd, bool sending, unsigned ms);
int LocalAddress(int fd, Endpoint *local);

// Looks an IPv4 host up with the system resolver: up to `max` addresses in network
// order and the canonical name (cut to fit).  Returns the number of addresses.
int ResolveIPv4(const char *name, uint32_t *addresses, int max, char *canon, size_t canonsize);
// Looks a host up for IPv6 addresses (only a literal when `numeric`): up to `max`, port
// 0, and the canonical name (cut to fit).  Returns the number of addresses.
int ResolveIPv6(const char *name, bool numeric, Endpoint *addresses, int max, char *canon, size_t canonsize);
// Name of an IPv4 address (network order).
int ReverseIPv4(uint32_t address, char *name, size_t namesize);
// BSD inet_addr: 0xFFFFFFFF when the text is not an address.
uint32_t InetAddr(const char *text);
// The host's own conversions to and from network order (a swap only where the host's
// order is not the network's).
uint16_t HostToNet16(uint16_t value);
uint32_t HostToNet32(uint32_t value);
uint32_t NetToHost32(uint32_t value);

// The one translation of errno values into Winsock error numbers.
int WinsockErrorOf(int err);

// ---- what the event source asks of the system -----------------------------------------
// Readiness, as asked for in PollItem::want and reported in PollItem::got.  Errors,
// hang-ups and invalid descriptors are reported whether asked for or not.
enum Readiness : unsigned {
    IO_READABLE = 0x01,   // data, or the end of the stream, can be received
    IO_WRITABLE = 0x02,   // a send has room, or a pending connect has ended
    IO_PEERCLOSED = 0x04, // the peer will send no more (graceful close or reset)
    IO_ERROR = 0x08,      // the socket holds an error
    IO_HANGUP = 0x10,     // both directions are shut
    IO_INVALID = 0x20,    // not an open descriptor
};
struct PollItem {
    int fd; // negative: ignored
    unsigned want;
    unsigned got;
};
// Waits until an item is ready or `timeoutus` has passed (-1: no limit), through any
// signals.  The number of ready items, 0 when the time ran out.
int Poll(PollItem *items, size_t count, int64_t timeoutus);
// A descriptor that polls readable once signalled, until drained; close it with Close.
int WakeCreate();
void WakeSignal(int fd);
void WakeDrain(int fd);
// The error a socket holds, as a Winsock error number, 0 for none.  Reading it clears it,
// as SO_ERROR does.
int PendingError(int fd);
long ReadableBytes(int fd); // bytes received and not yet read
bool PeerConnected(int fd); // the socket has a connected peer address

} // namespace shim
} // namespace posix
} // namespace vx

#endif
