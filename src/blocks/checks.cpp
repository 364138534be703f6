// Invariant checks of the free list, the resident list and the lock counts.
#include "blocks/checks.h"

#ifdef ZUNFS_CHECKS

#include <cstdio>
#include <cstdlib>

#include "blocks/space.h"

void ZunCheckFailed(const char *what, const char *where) {
    std::fprintf(stderr, "zunfs: invariant violated at %s: %s\n", where, what);
    std::abort();
}

namespace {

void CheckFreeList(FCB *fcb) {
    uint16_t n = fcb->h.freeCount;
    ZUN_ASSERT(n <= FREE_LIST_MAX, "free list longer than 6144 entries");
    if (n == 0) return;
    ZUN_ASSERT(GlobalSize(fcb->freeList) >= n * sizeof(FreeEntry), "free list block too small");
    FreeEntry *list = BKLockFreeList(fcb);
    ZUN_ASSERT(list != nullptr, "free list cannot be locked");
    ZUN_ASSERT(BKFreeListValid(fcb, list, n),
               "free list unsorted, overlapping, unaligned or outside the file");
    BKUnlockFreeList(fcb);
}

uint32_t PlatformLocks(HGLOBAL handle) { return GlobalFlags(handle) & GMEM_LOCKCOUNT; }

void CheckThunk(const Thunk &t, uint32_t *listed, uint64_t *counted) {
    if ((t.flags & THUNK_IN_USE) == 0) {
        ZUN_ASSERT(t.mem == 0 && (t.flags & THUNK_ON_LIST) == 0, "free thunk holds memory");
        return;
    }
    bool hasMem = (t.flags & THUNK_HAS_MEM) != 0 && t.mem != 0;
    if (t.flags & THUNK_ON_LIST) {
        ++*listed;
        ZUN_ASSERT(t.lockCount == 0, "locked chunk on the resident list");
    }
    if (t.lockCount != 0)
        ZUN_ASSERT(hasMem && PlatformLocks(t.mem) != 0, "locked chunk without a locked block");
    else if (hasMem)
        ZUN_ASSERT(PlatformLocks(t.mem) == 0, "unlocked chunk with a locked block");
    if (t.flags & THUNK_DISCARDABLE)
        ZUN_ASSERT(t.lockCount == 0 && (t.flags & THUNK_DIRTY) == 0,
                   "discardable chunk locked or dirty");
    else if (hasMem)
        *counted += GlobalSize(t.mem);
}

void CheckThunks(FCB *fcb) {
    if (fcb->thunkTable == 0) return;
    uint16_t n = fcb->h.thunkCount;
    ZUN_ASSERT(GlobalSize(fcb->thunkTable) >= n * sizeof(Thunk), "thunk table block too small");
    const Thunk *table = static_cast<const Thunk *>(GlobalLock(fcb->thunkTable));
    ZUN_ASSERT(table != nullptr, "thunk table cannot be locked");

    uint32_t listed = 0;
    uint64_t counted = 0;
    for (uint16_t i = 0; i < n; ++i) CheckThunk(table[i], &listed, &counted);
    ZUN_ASSERT(counted <= fcb->h.memInUse, "memInUse below the chunk memory it counts");

    uint32_t walked = 0;
    uint16_t prev = THUNK_NONE;
    for (uint16_t i = fcb->h.lruHead; i != THUNK_NONE; i = table[i].next) {
        ZUN_ASSERT(i < n && walked < n, "resident list leaves the table or loops");
        ZUN_ASSERT(table[i].flags & THUNK_ON_LIST, "resident list holds a thunk without bit 3");
        ZUN_ASSERT(table[i].prev == prev, "resident list back link broken");
        prev = i;
        ++walked;
    }
    ZUN_ASSERT(fcb->h.lruTail == prev, "resident list tail is not its last thunk");
    ZUN_ASSERT(walked == listed, "thunk with bit 3 missing from the resident list");
    GlobalUnlock(fcb->thunkTable);
}

} // namespace

void BKCheckInvariants(FCB *fcb) {
    CheckFreeList(fcb);
    CheckThunks(fcb);
}

#else

void BKCheckInvariants(FCB *) {}

#endif
