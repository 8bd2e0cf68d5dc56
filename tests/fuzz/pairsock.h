// pairsock.h - the system half of the fuzz server: a connected pair of local stream
// sockets and the few calls made on the server's end.  Kept apart, behind plain ints,
// so that the code that sees the library's Winsock names never sees the system's.
#ifndef VEXLOLPR_FUZZ_PAIRSOCK_H
#define VEXLOLPR_FUZZ_PAIRSOCK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace vxfuzz {

// A connected pair: the client's end for the library, the server's end for the fake
// LPD.  False when the system refuses.
bool SocketPair(int *client, int *server);
// Bytes waiting to be read on fd (0 when none or on error).
size_t Unread(int fd);
// Reads what is waiting on fd, without blocking, except its last `keep` bytes.
std::string ReadWaiting(int fd, size_t keep);
// The bytes waiting on fd, left where they are.
std::string PeekWaiting(int fd);
// Sends every byte (fd blocking); false when the peer is gone.
bool SendAll(int fd, const std::string &bytes);
void ShutdownSending(int fd);
void CloseDescriptor(int fd);
bool DescriptorOpen(int fd);
// The lowest descriptor number not in use, and which of the 16 numbers from `from` on
// are open (bit i for from + i): what a request opens takes the lowest free numbers.
int LowestFreeDescriptor();
uint64_t OpenDescriptors(int from);

} // namespace vxfuzz

#endif
