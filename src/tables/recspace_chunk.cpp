// Record space inside one chunk: the size check, resizing, and opening and
// closing gaps of records.
#include <cstring>

#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/pin.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

FSStatus TBCheckChunkSize(FCB *fcb, uint32_t current, uint32_t added, uint8_t shift,
                          uint32_t *newSize) {
    if (newSize != nullptr) *newSize = 0;
    const uint64_t total = uint64_t{current} + added;
    const uint32_t limit = fcb->h.maxChunk;
    if (total >= 0x10000 || total > limit) return FS_E_BLOCK_LIMIT;
    uint32_t size = RoundUp(static_cast<uint32_t>(total), shift);
    if (size > limit) size = static_cast<uint32_t>(total); // rounding never passes the limit
    if (newSize != nullptr) *newSize = size;
    return 0;
}

FSStatus TBResizeChunk(FCB *fcb, uint16_t ti, uint16_t add, uint16_t remove) {
    if ((add == 0) == (remove == 0)) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;
    if (!ThunkLive(fcb, ti)) return FS_E_BAD_PARAMS;
    const FSClassDesc *d = ClassDesc(fcb, ThunkAt(fcb, ti)->cls);
    if (d == nullptr) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    const uint16_t old = ThunkAt(fcb, ti)->count;
    const uint32_t recSize = d->recSize;

    uint32_t size;
    if (add != 0) {
        if (uint32_t{old} + add > 0xFFFF) return FS_E_BLOCK_LIMIT;
        FSStatus status = TBCheckChunkSize(fcb, recSize * old, recSize * add, d->growShift, &size);
        if (status != 0) return status;
        ThunkAt(fcb, ti)->count = static_cast<uint16_t>(old + add);
    } else {
        if (remove > old) return FS_E_BAD_PARAMS;
        ThunkAt(fcb, ti)->count = static_cast<uint16_t>(old - remove);
        size = RoundUp(recSize * (old - remove), d->allocShift);
    }
    TBCountChanged(fcb, ti, add != 0 ? int{add} : -int{remove});
    // Without a block, or with its data reclaimed, the next load makes the
    // memory for the new count.
    if (!BKMemPresent(fcb, ti)) return 0;

    // Pinned: a write-back started to make room leaves this chunk alone.
    // A clean block that was discardable is kept for the resize and made
    // discardable again after it (its image still holds its records).
    Thunk *t = ThunkAt(fcb, ti);
    const bool discardable = (t->flags & THUNK_DISCARDABLE) != 0;
    ThunkPin(t, +1);
    BKKeepMem(fcb, ti);
    FSStatus status = BKResizeMem(fcb, ti, size);
    t = ThunkAt(fcb, ti);
    ThunkPin(t, -1);
    if (status != 0 && add != 0) {
        t->count = old;
        TBCountChanged(fcb, ti, -int{add});
    }
    if (discardable && t->lockCount == 0 && (t->flags & THUNK_DIRTY) == 0) BKDiscardMem(fcb, ti);
    return remove != 0 ? 0 : status; // a block that cannot shrink just stays larger
}

FSStatus TBInsertInChunk(FCB *fcb, uint16_t ti, uint16_t pos, uint16_t n, void **addrOut) {
    if (addrOut != nullptr) *addrOut = nullptr;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;
    if (!ThunkLive(fcb, ti)) return FS_E_BAD_PARAMS;
    const uint16_t x = ThunkAt(fcb, ti)->count;
    const uint32_t recSize = ClassRecSize(fcb, ThunkAt(fcb, ti)->cls);
    if (pos > x) return FS_E_BAD_PARAMS;

    ChunkPin pin(fcb, ti);
    if (n > 0) {
        FSStatus status = TBResizeChunk(fcb, ti, n, 0);
        if (status != 0) return status;
    }
    // Locking after the resize loads a chunk without memory at its new
    // count, so the count reaches the memory before the thunk can be given
    // back.
    void *data;
    FSStatus status = TBLockChunk(fcb, ti, &data);
    if (status != 0) {
        if (n > 0) TBResizeChunk(fcb, ti, 0, n);
        return status;
    }
    auto *at = static_cast<uint8_t *>(data) + pos * recSize;
    if (n > 0) {
        if (pos < x) std::memmove(at + n * recSize, at, (x - pos) * recSize);
        std::memset(at, 0, n * recSize);
    }
    ThunkAt(fcb, ti)->flags |= THUNK_DIRTY;
    pin.Release();
    if (addrOut != nullptr) {
        *addrOut = at;
        return 0;
    }
    return TBUnlockChunk(fcb, ti, 1);
}

FSStatus TBDeleteInChunk(FCB *fcb, uint16_t ti, uint16_t pos, uint16_t n) {
    if (n == 0) return 0;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;
    if (!ThunkLive(fcb, ti)) return FS_E_BAD_PARAMS;
    const uint16_t count = ThunkAt(fcb, ti)->count;
    const uint32_t recSize = ClassRecSize(fcb, ThunkAt(fcb, ti)->cls);
    if (uint32_t{pos} + n > count) return FS_E_BAD_PARAMS;

    ChunkPin pin(fcb, ti);
    void *data;
    FSStatus status = TBLockChunk(fcb, ti, &data);
    if (status != 0) return status;
    ThunkAt(fcb, ti)->flags |= THUNK_DIRTY;
    auto *at = static_cast<uint8_t *>(data) + pos * recSize;
    if (uint32_t{pos} + n < count) std::memmove(at, at + n * recSize, (count - pos - n) * recSize);
    TBUnlockChunk(fcb, ti, 1);
    return TBResizeChunk(fcb, ti, 0, n);
}
