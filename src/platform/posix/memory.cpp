// memory.cpp - fixed global memory blocks on the C heap.  A block carries a small
// header and is found again from its address; a block never moves.
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "posix.h"

namespace vx {

namespace {

// Live blocks are chained so that an address is recognised without reading memory
// in front of it: a foreign or stale address is simply not found.
struct alignas(16) BlockHeader {
    BlockHeader *prev;
    BlockHeader *next;
    size_t capacity; // bytes allocated for the caller
    size_t size;     // bytes the caller asked for last
};

std::mutex blocklock;
BlockHeader *blocks;
int allocfailat; // 0: no failure planned
int blocksinuse;

BlockHeader *HeaderOf(const void *address)
{
    std::lock_guard<std::mutex> guard(blocklock);
    for (BlockHeader *h = blocks; h != nullptr; h = h->next)
        if (h + 1 == address)
            return h;
    return nullptr;
}

void Link(BlockHeader *h)
{
    std::lock_guard<std::mutex> guard(blocklock);
    h->prev = nullptr;
    h->next = blocks;
    if (blocks != nullptr)
        blocks->prev = h;
    blocks = h;
    blocksinuse++;
}

void Unlink(BlockHeader *h)
{
    std::lock_guard<std::mutex> guard(blocklock);
    (h->prev != nullptr ? h->prev->next : blocks) = h->next;
    if (h->next != nullptr)
        h->next->prev = h->prev;
    blocksinuse--;
}

} // namespace

HGLOBAL GlobalAlloc(UINT flags, size_t bytes)
{
    if (posix::Injected(posix::Fallible::GlobalAlloc) || (allocfailat > 0 && --allocfailat == 0))
        return nullptr;
    if (bytes > SIZE_MAX - sizeof(BlockHeader))
        return nullptr;
    BlockHeader *header = static_cast<BlockHeader *>(malloc(sizeof(BlockHeader) + bytes));
    if (header == nullptr)
        return nullptr;
    header->capacity = bytes;
    header->size = bytes;
    if (flags & GMEM_ZEROINIT)
        memset(header + 1, 0, bytes);
    Link(header);
    return header + 1;
}

void *GlobalLock(HGLOBAL block)
{
    if (posix::Injected(posix::Fallible::GlobalLock))
        return nullptr;
    return HeaderOf(block) != nullptr ? block : nullptr;
}

HGLOBAL GlobalHandle(const void *address)
{
    return HeaderOf(address) != nullptr ? const_cast<void *>(address) : nullptr;
}

BOOL GlobalUnlock(HGLOBAL) { return FALSE; } // fixed blocks have no lock count

HGLOBAL GlobalReAlloc(HGLOBAL block, size_t bytes, UINT flags)
{
    BlockHeader *header = HeaderOf(block);
    if (header == nullptr || (bytes > header->capacity && !(flags & GMEM_MOVEABLE)))
        return nullptr;
    if (bytes > header->capacity) {
        HGLOBAL moved = GlobalAlloc(flags, bytes);
        if (moved == nullptr)
            return nullptr;
        memcpy(moved, block, header->size);
        GlobalFree(block);
        return moved;
    }
    if ((flags & GMEM_ZEROINIT) && bytes > header->size)
        memset(static_cast<char *>(block) + header->size, 0, bytes - header->size);
    header->size = bytes;
    return block;
}

HGLOBAL GlobalFree(HGLOBAL block)
{
    BlockHeader *header = HeaderOf(block);
    if (header == nullptr)
        return block; // not ours: reported as a failure, like a bad handle
    Unlink(header);
    free(header);
    return nullptr;
}

namespace posix {

void FailGlobalAllocAt(int n) { allocfailat = n; }

int GlobalBlocksInUse()
{
    std::lock_guard<std::mutex> guard(blocklock);
    return blocksinuse;
}

} // namespace posix
} // namespace vx
