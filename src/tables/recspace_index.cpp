// Record space across chunks: turning a table into an indexed one, and
// entering new chunks into an index (one, a split-off tail, or as many as
// an insertion needs).
#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/pin.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

// Bytes per reference in an index chunk; 0 (reported as corrupt) when the
// file's index class cannot hold a chunk reference.
uint16_t IndexStride(FCB *fcb) {
    uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride >= sizeof(ChunkRef)) return stride;
    FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    return 0;
}

ChunkRef *RefAt(void *records, uint32_t i, uint16_t stride) {
    return reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(records) + i * stride);
}

// A reference naming the resident chunk ti (fields from its thunk).
ChunkRef ResidentRef(FCB *fcb, uint16_t ti) {
    ChunkRef ref;
    std::memcpy(&ref, ThunkAt(fcb, ti), 8);
    ref.flags = REF_RESIDENT;
    ref.thunk = ti;
    return ref;
}

} // namespace

FSStatus TBMakeIndexed(FCB *fcb, uint16_t top, uint16_t *dataOut) {
    BlockOp op(fcb);
    {
        ThunkLock lock(fcb);
        if (!lock.held) return FS_E_LOCKMEM;
        if (!ThunkLive(fcb, top)) return FS_E_BAD_PARAMS;
        if (ThunkAt(fcb, top)->cls == CLASS_INDEX) return 0;
    }
    if (IndexStride(fcb) == 0) return FS_E_BAD_CLASS;

    // The index chunk is made under a thunk of its own, with its one
    // reference open and locked...
    ChunkRef scratch;
    uint16_t idx;
    FSStatus status = TBNewChunk(fcb, &scratch, CLASS_INDEX, 0, &idx);
    if (status != 0) return status;
    void *record;
    status = TBInsertInChunk(fcb, idx, 0, 1, &record);
    if (status != 0) {
        TBFreeChunk(fcb, idx);
        return status;
    }
    ThunkLock lock(fcb);
    if (!lock.held) {
        TBUnlockChunk(fcb, idx, 0);
        TBFreeChunk(fcb, idx);
        return FS_E_LOCKMEM;
    }
    // ...then the two thunks change places whole: top now describes the
    // index, and idx the table's former chunk with its locks, pins and place
    // on the resident list. References to top (the table record, sessions)
    // stay valid.
    const bool listed = (ThunkAt(fcb, top)->flags & THUNK_ON_LIST) != 0;
    BKListRemove(fcb, top);
    Thunk former;
    std::memcpy(&former, ThunkAt(fcb, top), sizeof(Thunk));
    std::memcpy(ThunkAt(fcb, top), ThunkAt(fcb, idx), sizeof(Thunk));
    std::memcpy(ThunkAt(fcb, idx), &former, sizeof(Thunk));
    TBLayoutChanged(fcb);
    if (listed) BKListAppend(fcb, idx);

    ChunkRef ref = ResidentRef(fcb, idx);
    std::memcpy(record, &ref, sizeof ref);
    TBUnlockChunk(fcb, top, 1);
    if (dataOut != nullptr) *dataOut = idx;
    return 0;
}

FSStatus TBNewChunkAfter(FCB *fcb, uint16_t index, uint8_t cls, uint16_t indexPos, uint16_t m,
                         uint16_t *tiOut, void **dataOut) {
    if (dataOut != nullptr) *dataOut = nullptr;
    if (m == 0) return FS_E_LEVEL1;
    if (IndexStride(fcb) == 0) return FS_E_BAD_CLASS;
    BlockOp op(fcb);
    // No index names the new chunk until it is entered, so its thunk cannot
    // be given back meanwhile; it stays locked from its first lock on.
    ChunkRef ref;
    uint16_t ti;
    FSStatus status = TBNewChunk(fcb, &ref, cls, 0, &ti);
    if (status != 0) return status;
    void *data;
    status = TBInsertInChunk(fcb, ti, 0, m, &data);
    if (status != 0) {
        TBFreeChunk(fcb, ti);
        return status;
    }
    void *slot;
    status = TBInsertInChunk(fcb, index, indexPos, 1, &slot);
    if (status != 0) {
        TBUnlockChunk(fcb, ti, 0);
        TBFreeChunk(fcb, ti);
        return status;
    }
    std::memcpy(slot, &ref, sizeof ref); // resident: its thunk holds the real count
    TBUnlockChunk(fcb, index, 1);
    if (tiOut != nullptr) *tiOut = ti;
    if (dataOut != nullptr) *dataOut = data;
    else TBUnlockChunk(fcb, ti, 1);
    return 0;
}

FSStatus TBSplitChunk(FCB *fcb, uint16_t index, uint16_t indexPos, uint16_t ti, uint16_t d,
                      uint16_t r, uint16_t *newOut) {
    if (d == 0 || r == 0) return FS_E_LEVEL1;
    BlockOp op(fcb);
    uint8_t cls;
    {
        ThunkLock lock(fcb);
        if (!lock.held) return FS_E_LOCKMEM;
        if (!ThunkLive(fcb, ti) || uint32_t{d} + r != ThunkAt(fcb, ti)->count)
            return FS_E_BAD_PARAMS;
        cls = ThunkAt(fcb, ti)->cls;
    }
    const uint32_t recSize = ClassRecSize(fcb, cls);
    void *source;
    FSStatus status = TBLockChunk(fcb, ti, &source);
    if (status != 0) return status;
    uint16_t tail;
    void *dest;
    status = TBNewChunkAfter(fcb, index, cls, static_cast<uint16_t>(indexPos + 1), r, &tail, &dest);
    if (status != 0) {
        TBUnlockChunk(fcb, ti, 0);
        return status;
    }
    std::memcpy(dest, static_cast<uint8_t *>(source) + d * recSize, r * recSize);
    TBUnlockChunk(fcb, tail, 1);
    // The tail is cut off while the chunk is still locked: its records
    // cannot be dropped and reloaded in between, so the cut cannot fail
    // for want of memory and leave the records twice in the table.
    status = TBDeleteInChunk(fcb, ti, d, r);
    TBUnlockChunk(fcb, ti, 0);
    if (newOut != nullptr) *newOut = tail;
    return status;
}

FSStatus TBAddChunks(FCB *fcb, uint16_t index, uint8_t cls, uint16_t indexPos, uint32_t n) {
    if (n == 0) return 0;
    const FSClassDesc *desc = ClassDesc(fcb, cls);
    if (desc == nullptr || desc->recSize == 0 || desc->maxPerChunk == 0) return FS_E_BAD_CLASS;
    const uint16_t stride = IndexStride(fcb);
    if (stride == 0) return FS_E_BAD_CLASS;
    const uint32_t k = (n - 1) / desc->maxPerChunk + 1;
    const uint32_t p = (n - 1) / k + 1;
    if (k > 0xFFFF) return FS_E_BLOCK_LIMIT;
    // Chunks are made without memory; one that could never be loaded within
    // the chunk size limit is refused here, not when it is first locked.
    FSStatus status = TBCheckChunkSize(fcb, 0, p * desc->recSize, 0, nullptr);
    if (status != 0) return status;

    BlockOp op(fcb);
    ChunkPin pin(fcb);
    if ((status = pin.Pin(index)) != 0) return status;
    void *refs;
    status = TBInsertInChunk(fcb, index, indexPos, static_cast<uint16_t>(k), &refs);
    if (status != 0) return status;
    uint32_t made = 0, left = n;
    for (; made < k; ++made) {
        uint16_t count = static_cast<uint16_t>(std::min(p, left)), ti;
        if ((status = TBNewChunk(fcb, RefAt(refs, made, stride), cls, count, &ti)) != 0) break;
        left -= count;
    }
    if (status == 0) return TBUnlockChunk(fcb, index, 1);

    while (made-- > 0) TBFreeChunk(fcb, RefAt(refs, made, stride)->thunk);
    TBUnlockChunk(fcb, index, 0);
    TBDeleteInChunk(fcb, index, indexPos, static_cast<uint16_t>(k));
    return status;
}
