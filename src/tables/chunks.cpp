// Giving references thunks, locking, unlocking, pinning, making and freeing
// chunks.
#include "tables/chunks.h"

#include <cstring>

#include "blocks/cache.h"
#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

// A free thunk, growing the table or writing back the resident list when
// there is none. On success the table is locked once more for the caller.
FSStatus FreeThunk(FCB *fcb, uint16_t *ti) {
    if (TBLockThunks(fcb) == nullptr) return FS_E_LOCKMEM;
    uint16_t capacity = fcb->h.thunkCount;
    *ti = TBFindFreeThunk(capacity, fcb->thunks);
    if (*ti < capacity) return 0;
    if (capacity >= THUNK_CAPACITY_MAX) {
        // Writing back parents gives their children's thunks back.
        BKFlushList(fcb, BK_QUOTA_ALL);
        *ti = TBFindFreeThunk(capacity, fcb->thunks);
        if (*ti < capacity) return 0;
        TBUnlockThunks(fcb);
        return FS_E_BLOCK_LIMIT;
    }
    TBUnlockThunks(fcb);
    return TBGrowThunks(fcb, ti);
}

} // namespace

FSStatus TBSlotFor(FCB *fcb, ChunkRef *ref, uint16_t *ti) {
    if (ref->flags & REF_RESIDENT) {
        if (ref->thunk >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
        *ti = ref->thunk;
        return 0;
    }
    BlockOp op(fcb);
    FSStatus status = FreeThunk(fcb, ti);
    if (status != 0) return status;
    Thunk *t = ThunkAt(fcb, *ti);
    std::memset(t, 0, sizeof *t);
    std::memcpy(t, ref, 8);
    t->flags = THUNK_IN_USE;
    t->next = t->prev = THUNK_NONE;
    t->count = ref->storedCount;
    ref->flags |= REF_RESIDENT;
    ref->thunk = *ti;
    TBUnlockThunks(fcb);
    return 0;
}

bool TBFreeThunks(FCB *fcb, uint32_t wanted) {
    // Thunks the table can still grow by count as free.
    uint32_t free = THUNK_CAPACITY_MAX - fcb->h.thunkCount;
    if (free >= wanted) return false;
    ThunkLock lock(fcb);
    if (!lock.held) return false;
    for (uint16_t ti = 0; ti < fcb->h.thunkCount && free < wanted; ++ti)
        if ((fcb->thunks[ti].flags & THUNK_IN_USE) == 0) ++free;
    if (free >= wanted) return false;
    BKFlushList(fcb, BK_QUOTA_ALL);
    return true;
}

FSStatus TBLockMasterChunk(FCB *fcb, uint16_t ti, void **data) {
    if (data != nullptr) *data = nullptr;
    if (ti >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    {
        ThunkLock lock(fcb);
        if (!lock.held) return FS_E_THUNK_LOCK;
        if (ThunkAt(fcb, ti)->cls != CLASS_MASTER || ClassRecSize(fcb, CLASS_MASTER) < sizeof(TableRecord))
            return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    }
    return TBLockChunk(fcb, ti, data);
}

FSStatus TBLockChunk(FCB *fcb, uint16_t ti, void **data) {
    if (data != nullptr) *data = nullptr;
    if (ti >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    Thunk *t = ThunkAt(fcb, ti);
    if ((t->flags & THUNK_IN_USE) == 0 || t->lockCount == 0xFF) return FS_E_BAD_PARAMS;

    FSStatus status;
    void *address = nullptr;
    if ((t->flags & THUNK_HAS_MEM) && t->lockCount != 0) {
        address = BKDerefMem(fcb, ti);
        status = address != nullptr ? 0 : FS_E_LOCKMEM;
    } else if (t->flags & THUNK_HAS_MEM) {
        BKKeepMem(fcb, ti);
        if (BKMemPresent(fcb, ti)) {
            BKListRemove(fcb, ti);
            status = BKLockMem(fcb, ti, &address);
        } else {
            status = BKLoadChunk(fcb, ti, &address);
        }
    } else {
        status = BKLoadChunk(fcb, ti, &address);
    }
    if (status != 0) return status;
    ++ThunkAt(fcb, ti)->lockCount;
    if (data != nullptr) *data = address;
    return 0;
}

FSStatus TBUnlockChunk(FCB *fcb, uint16_t ti, int changed) {
    if (ti >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    Thunk *t = ThunkAt(fcb, ti);
    if (t->lockCount == 0) return FS_E_LOCK_MISSING;
    if (changed) t->flags |= THUNK_DIRTY;
    if (--t->lockCount != 0) return 0;
    BKUnlockMem(fcb, ti);
    if ((t->flags & THUNK_DIRTY) == 0 && !ClassHoldsRefs(fcb, t->cls)) BKDiscardMem(fcb, ti);
    else BKListAppend(fcb, ti);
    return 0;
}

uint16_t TBChunkCount(FCB *fcb, uint16_t ti) {
    if (ti >= fcb->h.thunkCount) return 0;
    ThunkLock lock(fcb);
    return lock.held ? ThunkAt(fcb, ti)->count : 0;
}

FSStatus TBPinChunk(FCB *fcb, uint16_t ti, int delta) {
    if (ti >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    ThunkPin(ThunkAt(fcb, ti), delta);
    return 0;
}

FSStatus TBNewChunk(FCB *fcb, ChunkRef *ref, uint8_t cls, uint16_t count, uint16_t *ti) {
    TBLayoutChanged(fcb);
    std::memset(ref, 0, sizeof *ref);
    ref->cls = cls;
    ref->storedCount = count;
    return TBSlotFor(fcb, ref, ti);
}

FSStatus TBFreeChunk(FCB *fcb, uint16_t ti) {
    if (ti >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;
    TBLayoutChanged(fcb);
    BKListRemove(fcb, ti);
    BKFreeMem(fcb, ti);
    Thunk *t = ThunkAt(fcb, ti);
    if (t->filePos != 0)
        BKReleaseSpace(fcb, t->filePos, uint32_t{t->storedCount} * ClassRecSize(fcb, t->cls),
                       VER_CURRENT);
    std::memset(ThunkAt(fcb, ti), 0, sizeof(Thunk));
    return 0;
}
