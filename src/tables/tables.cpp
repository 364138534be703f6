// Making and destroying tables, and allocating table records.
#include "tables/tables.h"

#include <cstring>

#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"
#include "tables/sessions.h"
#include "tables/thunks.h"

namespace {

constexpr uint32_t kTableGrowth = 16;
constexpr uint32_t kTidLimit = TID_NONE; // TIDs run from 0 to 0xFFFE

// Scans the master-table chunk ti for a record not in use. On success it
// stays locked and *at is the record's position in the chunk.
FSStatus FreeRecordIn(FCB *fcb, uint16_t ti, uint16_t stride, TableRecord **record,
                      uint16_t *at, bool *found) {
    *found = false;
    const uint16_t count = TBChunkCount(fcb, ti);
    if (count == 0) return 0;
    void *data;
    FSStatus status = TBLockMasterChunk(fcb, ti, &data);
    if (status != 0) return status;
    for (uint16_t i = 0; i < count; ++i) {
        auto *r = reinterpret_cast<TableRecord *>(static_cast<uint8_t *>(data) + i * stride);
        if ((r->flags & TABLE_IN_USE) == 0) {
            *record = r;
            *at = i;
            *found = true;
            return 0;
        }
    }
    TBUnlockChunk(fcb, ti, 0);
    return 0;
}

// The lowest record not in use, its chunk left locked; *scanned is the
// number of records in the master table when none is free.
FSStatus FindFreeRecord(FCB *fcb, uint16_t root, uint32_t *tid, TableRecord **record,
                        uint16_t *chunk, uint32_t *scanned) {
    const uint16_t stride = ClassRecSize(fcb, CLASS_MASTER);
    const uint16_t refStride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride < sizeof(TableRecord) || refStride < sizeof(ChunkRef))
        return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    *record = nullptr;
    *scanned = 0;
    uint8_t rootClass;
    {
        ThunkLock lock(fcb);
        if (!lock.held) return FS_E_LOCKMEM;
        rootClass = ThunkAt(fcb, root)->cls;
    }
    uint16_t at;
    bool found;
    if (rootClass != CLASS_INDEX) {
        FSStatus status = FreeRecordIn(fcb, root, stride, record, &at, &found);
        if (status == 0 && found) {
            *tid = at;
            *chunk = root;
        }
        *scanned = TBChunkCount(fcb, root);
        return status;
    }
    // Indexed: the index stays locked while its chunks are scanned, so their
    // thunks cannot be given back meanwhile.
    void *refs;
    FSStatus status = TBLockChunk(fcb, root, &refs);
    if (status != 0) return status;
    const uint16_t chunks = TBChunkCount(fcb, root);
    for (uint16_t i = 0; i < chunks && status == 0; ++i) {
        auto *ref = reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(refs) + i * refStride);
        uint16_t ti;
        if ((status = TBSlotFor(fcb, ref, &ti)) != 0) break;
        if ((status = FreeRecordIn(fcb, ti, stride, record, &at, &found)) != 0) break;
        if (found) {
            *tid = *scanned + at;
            *chunk = ti;
            break;
        }
        *scanned += TBChunkCount(fcb, ti);
    }
    TBUnlockChunk(fcb, root, 0);
    return status;
}

} // namespace

FSStatus TBAllocTableRecord(FCB *fcb, uint16_t *tid, TableRecord **record, uint16_t *chunk) {
    *tid = TID_NONE;
    *record = nullptr;
    BlockOp op(fcb);
    uint16_t root;
    FSStatus status = TBSlotFor(fcb, &fcb->h.currentRoot, &root);
    if (status != 0) return status;

    uint32_t found = 0, total = 0;
    TableRecord *r = nullptr;
    uint16_t ti = THUNK_NONE;
    if ((status = FindFreeRecord(fcb, root, &found, &r, &ti, &total)) != 0) return status;
    if (r == nullptr) {
        // None free: 16 more records at the end of the master table.
        if (total + kTableGrowth > kTidLimit) return FS_E_BLOCK_LIMIT;
        if ((status = TBInsertRecords(fcb, root, total, kTableGrowth, false, nullptr)) != 0)
            return status;
        found = total;
        if ((status = TBFindTable(fcb, static_cast<uint16_t>(found), &r, &ti)) != 0) return status;
    }
    if (found >= kTidLimit) { // only a damaged master table is that long
        TBUnlockChunk(fcb, ti, 0);
        return FS_CORRUPT(fcb, FS_E_BAD_TID);
    }
    std::memset(r, 0, sizeof *r);
    r->flags = TABLE_IN_USE;
    *tid = static_cast<uint16_t>(found);
    *record = r;
    *chunk = ti;
    return 0;
}

extern "C" FSStatus FSMakeTable(FCB *fcb, uint32_t classNumber, uint16_t *tidOut) {
    if (tidOut != nullptr) *tidOut = TID_NONE;
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    const uint8_t cls = static_cast<uint8_t>(classNumber);
    // Only host classes with records: a table of a class without records or
    // without a per-chunk maximum could never take any.
    const FSClassDesc *desc = ClassDesc(fcb, cls);
    if (cls < CLASS_FIRST_HOST || desc == nullptr || desc->recSize == 0 || desc->maxPerChunk == 0)
        return FCBStatus(fcb, FS_E_BAD_CLASS);

    BlockOp op(fcb);
    uint16_t tid, chunk, top;
    TableRecord *record;
    FSStatus status = TBAllocTableRecord(fcb, &tid, &record, &chunk);
    if (status != 0) return FCBStatus(fcb, status);
    const bool first = fcb->h.rootTable == TID_NONE;
    if (first) fcb->h.rootTable = tid;
    record->cls = cls;
    status = TBNewChunk(fcb, &record->top, cls, 0, &top);
    if (status != 0) {
        // The TID is free again, and a root table that was never made is
        // no root table.
        std::memset(record, 0, sizeof *record);
        if (first) fcb->h.rootTable = TID_NONE;
        TBUnlockChunk(fcb, chunk, 1);
        return FCBStatus(fcb, status);
    }
    TBUnlockChunk(fcb, chunk, 1);
    fcb->h.stateFlags |= STATE_DIRTIED;
    if (tidOut != nullptr) *tidOut = tid;
    return FCBStatus(fcb, 0);
}

namespace {

// Frees every chunk that the index chunk top names. A reference that
// cannot be given a thunk is skipped.
void FreeIndexedChunks(FCB *fcb, uint16_t top) {
    const uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    void *refs;
    if (stride < sizeof(ChunkRef) || TBLockChunk(fcb, top, &refs) != 0) return;
    const uint16_t count = TBChunkCount(fcb, top);
    for (uint16_t i = 0; i < count; ++i) {
        auto *ref = reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(refs) + i * stride);
        uint16_t ti;
        if (TBSlotFor(fcb, ref, &ti) == 0) TBFreeChunk(fcb, ti);
        std::memset(ref, 0, sizeof *ref); // names no thunk any more
    }
    TBUnlockChunk(fcb, top, 0);
}

} // namespace

extern "C" FSStatus FSDestroyTable(FCB *fcb, uint32_t tidArg) {
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    const uint16_t tid = static_cast<uint16_t>(tidArg);
    if (tid != TID_NONE && tid == fcb->h.rootTable) return FCBStatus(fcb, FS_E_ROOT_TABLE);

    BlockOp op(fcb);
    TableRecord *record;
    uint16_t chunk, top;
    FSStatus status = TBFindTable(fcb, tid, &record, &chunk);
    if (status != 0) return FCBStatus(fcb, status);
    if ((record->flags & TABLE_IN_USE) == 0) status = FS_E_BAD_TID;
    else status = TBSlotFor(fcb, &record->top, &top);
    // Only a session that is really open blocks: a slot of a damaged record
    // that names none does not.
    if (status == 0 && TBSessionHead(fcb, record, tid) != nullptr) status = FS_E_TABLE_IN_USE;
    if (status != 0) {
        TBUnlockChunk(fcb, chunk, 0);
        return FCBStatus(fcb, status);
    }
    // The top chunk's class, not the record's flag, says whether it is an
    // index: it is what finding records trusts, and a data chunk's records
    // must never be taken for chunk references.
    bool indexed;
    {
        ThunkLock lock(fcb);
        indexed = lock.held && ThunkAt(fcb, top)->cls == CLASS_INDEX;
    }
    if (indexed) FreeIndexedChunks(fcb, top);
    TBFreeChunk(fcb, top);
    std::memset(record, 0, sizeof *record);
    TBUnlockChunk(fcb, chunk, 1);
    fcb->h.stateFlags |= STATE_DIRTIED;
    return FCBStatus(fcb, 0);
}
