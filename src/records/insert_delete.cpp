// Inserting and deleting records for a session: the table-level steps under
// the no-lock rule, with every session of the table refreshed afterwards.
#include <algorithm>

#include "records/records.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

// Records in the table record whether its top chunk is now an index chunk.
void NoteShape(FCB *fcb, TableRecord *rec, uint16_t top) {
    ThunkLock lock(fcb);
    if (!lock.held) return;
    if (ThunkAt(fcb, top)->cls == CLASS_INDEX) rec->flags |= TABLE_INDEXED;
    else rec->flags &= ~TABLE_INDEXED;
}

// Removes count records from rix on across the chunks of the index top.
FSStatus DeleteAcrossIndex(FCB *fcb, uint16_t top, uint32_t rix, uint32_t count) {
    uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride < sizeof(ChunkRef)) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    uint16_t m = TBChunkCount(fcb, top);
    void *data;
    FSStatus status = TBLockChunk(fcb, top, &data);
    if (status != 0) return status;
    auto *refs = static_cast<uint8_t *>(data);
    for (uint16_t i = 0; count > 0; ++i) {
        if (i >= m) {
            status = FS_E_MULTI_CHUNK;
            break;
        }
        uint16_t ti;
        status = TBSlotFor(fcb, reinterpret_cast<ChunkRef *>(refs + i * stride), &ti);
        if (status != 0) break;
        uint16_t r = TBChunkCount(fcb, ti);
        if (rix > r) {
            rix -= r;
            continue;
        }
        auto k = static_cast<uint16_t>(std::min<uint32_t>(r - rix, count));
        status = TBDeleteInChunk(fcb, ti, static_cast<uint16_t>(rix), k);
        if (status != 0) break;
        count -= k;
        rix = 0;
    }
    TBUnlockChunk(fcb, top, 0);
    return status;
}

} // namespace

FSStatus FSIInsertRecords(SCB *scb, uint32_t rix, uint32_t count, bool keepWhole) {
    FCB *fcb = scb->fcb;
    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(fcb, scb->tableNumber, &rec, &master);
    if (status != 0) return status;
    if (FSIAnyLocked(fcb, rec, scb->tableNumber)) {
        status = FS_E_LOCK_FOUND;
    } else {
        uint16_t top;
        status = TBSlotFor(fcb, &rec->top, &top);
        if (status == 0) {
            bool indexed;
            status = TBInsertRecords(fcb, top, rix, count, keepWhole, &indexed);
            NoteShape(fcb, rec, top); // a failed insertion may have made the index
            scb->flags |= FS_SCB_SESSION_DIRTIED;
            FSIRefreshSessions(fcb, rec, scb->tableNumber);
        }
    }
    TBUnlockChunk(fcb, master, 1);
    return status;
}

FSStatus FSIDeleteRecords(SCB *scb, uint32_t rix, uint32_t count) {
    FCB *fcb = scb->fcb;
    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(fcb, scb->tableNumber, &rec, &master);
    if (status != 0) return status;
    if ((scb->flags & FS_SCB_SINGLE_CHUNK) == 0) {
        status = DeleteAcrossIndex(fcb, scb->topThunk, rix, count);
    } else if (uint64_t{rix} + count > TBChunkCount(fcb, scb->topThunk)) {
        status = FS_E_SINGLE_CHUNK;
    } else {
        status = TBDeleteInChunk(fcb, scb->topThunk, static_cast<uint16_t>(rix),
                                 static_cast<uint16_t>(count));
    }
    if (status == 0) scb->flags |= FS_SCB_SESSION_DIRTIED;
    FSIRefreshSessions(fcb, rec, scb->tableNumber);
    TBUnlockChunk(fcb, master, 1);
    return status;
}
