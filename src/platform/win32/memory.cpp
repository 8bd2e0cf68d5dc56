// memory.cpp - global memory blocks: the Windows heap functions as they are.  The
// library asks for fixed blocks only, so a handle is the block's address.
#include "../platform.h"

namespace vx {

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) { return ::GlobalAlloc(flags, bytes); }

void *GlobalLock(HGLOBAL block) { return ::GlobalLock(block); }

HGLOBAL GlobalHandle(const void *address) { return ::GlobalHandle(address); }

BOOL GlobalUnlock(HGLOBAL block) { return ::GlobalUnlock(block); }

HGLOBAL GlobalReAlloc(HGLOBAL block, size_t bytes, UINT flags) { return ::GlobalReAlloc(block, bytes, flags); }

HGLOBAL GlobalFree(HGLOBAL block) { return ::GlobalFree(block); }

} // namespace vx
