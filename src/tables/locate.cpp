// Finding the chunk that holds a record, counting a table's records, and
// finding a table's record in the master table.
#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

// Record count of the chunk a reference names: its thunk's while resident.
uint16_t RefCount(FCB *fcb, const ChunkRef &ref) {
    if ((ref.flags & REF_RESIDENT) && ThunkLive(fcb, ref.thunk)) return ThunkAt(fcb, ref.thunk)->count;
    return ref.storedCount;
}

// Locks the index chunk top; its references lie every *stride bytes.
FSStatus LockIndex(FCB *fcb, uint16_t top, uint8_t **refs, uint16_t *stride) {
    *stride = ClassRecSize(fcb, CLASS_INDEX);
    if (*stride < sizeof(ChunkRef)) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    void *data = nullptr;
    FSStatus status = TBLockChunk(fcb, top, &data);
    *refs = static_cast<uint8_t *>(data);
    return status;
}

ChunkRef *RefAt(uint8_t *refs, uint32_t i, uint16_t stride) {
    return reinterpret_cast<ChunkRef *>(refs + i * stride);
}

} // namespace

FSStatus TBLocateRecord(FCB *fcb, uint16_t top, uint32_t rix, uint16_t *chunk,
                        uint32_t *first, uint16_t *count, uint16_t *indexPos) {
    if (top >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;

    uint16_t found = top, at = 0;
    uint32_t f = 0;
    if (ThunkAt(fcb, top)->cls != CLASS_INDEX) {
        if (rix > ThunkAt(fcb, top)->count) return FS_E_BAD_RIX;
    } else {
        uint8_t *refs = nullptr;
        uint16_t stride = 0;
        FSStatus status = LockIndex(fcb, top, &refs, &stride);
        if (status != 0) return status;
        // A RIX on a chunk boundary belongs to the later chunk; the end
        // position belongs to the last chunk.
        uint16_t n = ThunkAt(fcb, top)->count;
        while (at < n) {
            uint32_t c = RefCount(fcb, *RefAt(refs, at, stride));
            if (f + c > rix || (f + c == rix && at + 1 == n)) break;
            f += c;
            ++at;
        }
        status = at < n ? TBSlotFor(fcb, RefAt(refs, at, stride), &found) : FS_E_BAD_RIX;
        TBUnlockChunk(fcb, top, 0); // a thunk index in a reference is no change to the file
        if (status != 0) return status;
    }
    if (chunk != nullptr) *chunk = found;
    if (first != nullptr) *first = f;
    if (count != nullptr) *count = ThunkAt(fcb, found)->count;
    if (indexPos != nullptr) *indexPos = at;
    return 0;
}

uint32_t TBRecordCount(FCB *fcb, uint16_t top) {
    if (top >= fcb->h.thunkCount) return 0;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return 0;
    if (ThunkAt(fcb, top)->cls != CLASS_INDEX) return ThunkAt(fcb, top)->count;
    uint8_t *refs = nullptr;
    uint16_t stride = 0;
    if (LockIndex(fcb, top, &refs, &stride) != 0) return 0;
    uint32_t total = 0;
    for (uint32_t i = 0, n = ThunkAt(fcb, top)->count; i < n; ++i)
        total += RefCount(fcb, *RefAt(refs, i, stride));
    TBUnlockChunk(fcb, top, 0);
    return total;
}

FSStatus TBFindTable(FCB *fcb, uint16_t tid, TableRecord **record, uint16_t *chunk) {
    if (record == nullptr || chunk == nullptr) return FS_E_LEVEL2;
    *record = nullptr;
    BlockOp op(fcb);
    uint16_t root, found, n;
    uint32_t first;
    FSStatus status = TBSlotFor(fcb, &fcb->h.currentRoot, &root);
    if (status == 0) status = TBLocateRecord(fcb, root, tid, &found, &first, &n, nullptr);
    if (status == FS_E_BAD_RIX || (status == 0 && tid >= first + n)) return FS_E_BAD_TID;
    if (status != 0) return status;

    uint16_t stride = ClassRecSize(fcb, CLASS_MASTER);
    void *data;
    status = TBLockMasterChunk(fcb, found, &data);
    if (status != 0) return status;
    *record = reinterpret_cast<TableRecord *>(static_cast<uint8_t *>(data) +
                                              (tid - first) * uint32_t{stride});
    *chunk = found;
    return 0;
}
