// Movable memory blocks and control-block memory.
//
// A block is a slot of the handle table (slot_table.h) holding its address,
// its reported size and one atomic state word: the lock count in the low 16
// bits, then the discardable and reclaimed flags. Lock and unlock are a
// lookup and one compare-and-swap on that word; they take no mutex.
//
// Who may change what:
// - the state word: lock/unlock and the discardable switch by the block's
//   owner, the reclaimed flag by GlobalReclaimDiscardable, all by atomic
//   read-modify-write, so a lock and a reclaim of the same block cannot both
//   win: a reclaim only succeeds on an unlocked discardable block, and a lock
//   fails on a reclaimed one;
// - address and size: resizing and freeing (owner) and reclaiming, all under
//   the table's mutex, and the move on first lock, which happens only once
//   the lock is taken and so never meets a reclaim.
// Address and size are relaxed atomics only so that a size query racing a
// reclaim is well defined; they cost nothing more than plain loads.
//
// Reported sizes are the request rounded up to 16 bytes. Block memory is
// always zero-filled, new bytes of a growth included, so that what the
// storage library writes from it is reproducible.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/census.h"
#include "platform/fault.h"
#include "platform/slot_table.h"

namespace zun {
namespace {

constexpr uint32_t kCountMask = 0xFFFF;
constexpr uint32_t kDiscardable = 1u << 16;
constexpr uint32_t kReclaimed = 1u << 17;
constexpr uint32_t kGranule = 16;
constexpr uint8_t kPoison = 0xDB;

struct MemBlock {
    std::atomic<uint32_t> state{0};
    std::atomic<uint8_t *> data{nullptr};
    std::atomic<uint32_t> size{0}; // reported size; 0 with data null
};

// 2^20 handles, 12 bits of generation.
SlotTable<MemBlock, 20, 12> g_blocks;
std::atomic<bool> g_moveOnLock{false};

// The reported size for a request, or false when it does not fit 32 bits.
bool Rounded(uint32_t bytes, uint32_t *out) {
    uint64_t r = (uint64_t{bytes} + kGranule - 1) / kGranule * kGranule;
    if (r > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(r);
    return true;
}

MemBlock *Block(HGLOBAL h) { return SlotLookup(g_blocks, h); }

// Resizes b to bytes (reclaimed memory is replaced by new memory), keeping the
// content up to the smaller size and zeroing the rest. A growth passes the
// VM_OP_GALLOC fault point. On failure nothing changes.
FSStatus Resize(MemBlock *b, uint32_t bytes) {
    uint32_t newSize;
    if (!Rounded(bytes, &newSize)) return VM_E_NOMEM;
    std::lock_guard<std::mutex> guard(g_blocks.mutex);
    uint32_t state = b->state.load(std::memory_order_relaxed);
    bool reclaimed = (state & kReclaimed) != 0;
    uint8_t *old = reclaimed ? nullptr : b->data.load(std::memory_order_relaxed);
    uint32_t oldSize = reclaimed ? 0 : b->size.load(std::memory_order_relaxed);
    if (newSize > oldSize && FaultCheck(VM_OP_GALLOC) != 0) return VM_E_NOMEM;
    uint8_t *fresh = nullptr;
    if (newSize == 0) {
        // A locked block keeps memory: its holder still uses the address.
        if ((state & kCountMask) != 0) return VM_E_BADSPEC;
        std::free(old);
    } else {
        fresh = static_cast<uint8_t *>(std::realloc(old, newSize));
        if (fresh == nullptr) return VM_E_NOMEM;
        if (newSize > oldSize) std::memset(fresh + oldSize, 0, newSize - oldSize);
    }
    b->data.store(fresh, std::memory_order_relaxed);
    b->size.store(newSize, std::memory_order_relaxed);
    b->state.fetch_and(~kReclaimed, std::memory_order_relaxed);
    return 0;
}

// Memory that blocks moved out of stays allocated and poisoned for a while,
// so that a pointer kept past its unlock reads poison rather than whatever
// the heap put there next.
constexpr size_t kQuarantine = 64;
std::mutex g_quarantineMutex;
uint8_t *g_quarantine[kQuarantine];
size_t g_quarantineNext = 0;

void Quarantine(uint8_t *old) {
    std::lock_guard<std::mutex> guard(g_quarantineMutex);
    std::free(g_quarantine[g_quarantineNext]);
    g_quarantine[g_quarantineNext] = old;
    g_quarantineNext = (g_quarantineNext + 1) % kQuarantine;
}

void ReleaseQuarantine() {
    std::lock_guard<std::mutex> guard(g_quarantineMutex);
    for (uint8_t *&p : g_quarantine) {
        std::free(p);
        p = nullptr;
    }
}

// First lock with move-on-lock: copy the block to new memory and poison the
// old bytes. The caller holds the lock it just took, so nothing else moves or
// reclaims the block meanwhile.
uint8_t *Move(MemBlock *b, uint8_t *old) {
    uint32_t size = b->size.load(std::memory_order_relaxed);
    auto *fresh = static_cast<uint8_t *>(std::malloc(size));
    if (fresh == nullptr) return old;
    std::memcpy(fresh, old, size);
    std::memset(old, kPoison, size);
    Quarantine(old);
    b->data.store(fresh, std::memory_order_relaxed);
    return fresh;
}

} // namespace
} // namespace zun

using zun::g_blocks;
using zun::MemBlock;

extern "C" HGLOBAL GlobalAlloc(uint32_t flags, uint32_t bytes) {
    uint32_t size;
    if (zun::FaultCheck(VM_OP_GALLOC) != 0 || !zun::Rounded(bytes, &size)) return 0;
    uint8_t *data = nullptr;
    if (size != 0) {
        data = static_cast<uint8_t *>(std::calloc(size, 1));
        if (data == nullptr) return 0;
    }
    HGLOBAL h = zun::SlotAdd(g_blocks, [&](MemBlock &b) {
        b.state.store((flags & GMEM_DISCARDABLE) ? zun::kDiscardable : 0, std::memory_order_relaxed);
        b.data.store(data, std::memory_order_relaxed);
        b.size.store(size, std::memory_order_relaxed);
    });
    if (h == 0) std::free(data);
    return h;
}

extern "C" HGLOBAL GlobalReAlloc(HGLOBAL handle, uint32_t bytes, uint32_t flags) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr) return 0;
    if (flags & GMEM_MODIFY) {
        if (flags & GMEM_DISCARDABLE) b->state.fetch_or(zun::kDiscardable, std::memory_order_relaxed);
        else b->state.fetch_and(~zun::kDiscardable, std::memory_order_relaxed);
        return handle;
    }
    return zun::Resize(b, bytes) == 0 ? handle : 0;
}

extern "C" void *GlobalLock(HGLOBAL handle) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr) return nullptr;
    uint32_t s = b->state.load(std::memory_order_relaxed);
    do {
        if ((s & zun::kReclaimed) || (s & zun::kCountMask) == zun::kCountMask) return nullptr;
    } while (!b->state.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
    uint8_t *p = b->data.load(std::memory_order_relaxed);
    if (p == nullptr) { // a block of size 0 cannot be locked
        b->state.fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    if ((s & zun::kCountMask) == 0 && zun::g_moveOnLock.load(std::memory_order_relaxed))
        p = zun::Move(b, p);
    return p;
}

extern "C" int32_t GlobalUnlock(HGLOBAL handle) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr) return 0;
    uint32_t s = b->state.load(std::memory_order_relaxed);
    do {
        if ((s & zun::kCountMask) == 0) return 0;
    } while (!b->state.compare_exchange_weak(s, s - 1, std::memory_order_release,
                                             std::memory_order_relaxed));
    return (s & zun::kCountMask) > 1;
}

extern "C" uint32_t GlobalFlags(HGLOBAL handle) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr) return GMEM_INVALID_HANDLE;
    uint32_t s = b->state.load(std::memory_order_relaxed);
    uint32_t flags = std::min<uint32_t>(s & zun::kCountMask, GMEM_LOCKCOUNT);
    if (s & zun::kDiscardable) flags |= GMEM_DISCARDABLE;
    if (s & zun::kReclaimed) flags |= GMEM_DISCARDED;
    return flags;
}

extern "C" uint32_t GlobalSize(HGLOBAL handle) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr || (b->state.load(std::memory_order_relaxed) & zun::kReclaimed)) return 0;
    return b->size.load(std::memory_order_relaxed);
}

extern "C" HGLOBAL GlobalFree(HGLOBAL handle) {
    bool freed = zun::SlotRemove(g_blocks, handle, [](MemBlock &b) {
        std::free(b.data.load(std::memory_order_relaxed));
        b.data.store(nullptr, std::memory_order_relaxed);
        b.size.store(0, std::memory_order_relaxed);
        b.state.store(0, std::memory_order_relaxed);
    });
    return freed ? 0 : handle;
}

extern "C" uint32_t GlobalReclaimDiscardable(void) {
    uint32_t count = 0;
    std::lock_guard<std::mutex> guard(g_blocks.mutex);
    zun::SlotForEachLocked(g_blocks, [&](uint32_t, MemBlock &b) {
        uint32_t expected = zun::kDiscardable; // unlocked, discardable, not yet reclaimed
        if (!b.state.compare_exchange_strong(expected, zun::kDiscardable | zun::kReclaimed,
                                             std::memory_order_acq_rel))
            return;
        std::free(b.data.load(std::memory_order_relaxed));
        b.data.store(nullptr, std::memory_order_relaxed);
        b.size.store(0, std::memory_order_relaxed);
        count++;
    });
    return count;
}

extern "C" void GlobalSetMoveOnLock(int32_t on) {
    zun::g_moveOnLock.store(on != 0, std::memory_order_relaxed);
    if (!on) zun::ReleaseQuarantine();
}

extern "C" FSStatus VMRealloc(HGLOBAL *handle, uint32_t size) {
    if (handle == nullptr) return VM_E_BADSPEC;
    MemBlock *b = zun::Block(*handle);
    return b == nullptr ? VM_E_BADSPEC : zun::Resize(b, size);
}

extern "C" void *VMDeref(HGLOBAL handle) {
    MemBlock *b = zun::Block(handle);
    if (b == nullptr) return nullptr;
    uint32_t s = b->state.load(std::memory_order_relaxed);
    if ((s & zun::kCountMask) == 0 || (s & zun::kReclaimed)) return nullptr;
    return b->data.load(std::memory_order_relaxed);
}

namespace zun {
namespace {
std::atomic<uint32_t> g_controlBlocks{0};
}

uint32_t LiveGlobalBlocks() {
    uint32_t count = 0;
    std::lock_guard<std::mutex> guard(g_blocks.mutex);
    SlotForEachLocked(g_blocks, [&](uint32_t, MemBlock &) { count++; });
    return count;
}

uint32_t LiveControlBlocks() { return g_controlBlocks.load(std::memory_order_relaxed); }

} // namespace zun

extern "C" void *VMAlloc(uint32_t size) {
    if (zun::FaultCheck(VM_OP_ALLOC) != 0) return nullptr;
    void *block = std::calloc(size != 0 ? size : 1, 1);
    if (block != nullptr) zun::g_controlBlocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

extern "C" void VMFree(void *block) {
    if (block != nullptr) zun::g_controlBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

extern "C" void VMCopyMem(void *dest, const void *source, uint32_t length) {
    if (length != 0 && dest != nullptr && source != nullptr) std::memmove(dest, source, length);
}
