// Adding records (FSIAddLock) and deleting, copying and moving runs of them
// (FSIRecOps).
#include <cstring>

#include "records/records.h"

namespace {

FSStatus Store(SCB *scb, FSStatus status) {
    scb->status = status;
    return status;
}

// Writes consecutive RIDs from the class counter into the last four bytes of
// count records from rix on. The session ends unlocked.
FSStatus StampRIDs(SCB *scb, uint32_t rix, uint32_t count) {
    FSClassDesc *d = ClassDesc(scb->fcb, scb->classNumber);
    auto *rec = static_cast<uint8_t *>(FSIxOldLock(scb, rix, nullptr));
    for (uint32_t i = 0; rec != nullptr; rec = static_cast<uint8_t *>(FSLockNext(scb))) {
        uint32_t rid = d->ridCounter++;
        std::memcpy(rec + scb->recSize - 4, &rid, sizeof rid);
        scb->flags |= FS_SCB_CHUNK_DIRTY;
        FSDirtyFile(scb->fcb);
        if (++i == count) {
            FSUnlock(scb);
            return 0;
        }
    }
    // A lock or a step failed, or the table ended before the run did.
    FSStatus status = scb->status != 0 ? scb->status : FS_E_BAD_RIX;
    FSUnlock(scb);
    return status;
}

// A run of records [start, start + count) of a table.
struct Run {
    uint32_t start, count;
};

// Where the source run lies once count records were inserted at dstRix of
// the same table: after the insertion when it went in at or before the run,
// in two pieces around it when it went in strictly inside the run.
int SourcePieces(uint32_t first, uint32_t count, uint32_t dstRix, bool sameTable, Run out[2]) {
    if (!sameTable || dstRix >= first + count) {
        out[0] = {first, count};
        return 1;
    }
    if (dstRix <= first) {
        out[0] = {first + count, count};
        return 1;
    }
    uint32_t head = dstRix - first;
    out[0] = {first, head};
    out[1] = {dstRix + count, count - head};
    return 2;
}

// Validates the destination of a copy; resolves RIX_LAST in *dstRix.
FSStatus CheckDestination(const SCB *src, const SCB *dst, uint32_t *dstRix) {
    if (!SCBValid(dst)) return FS_E_BAD_SCB;
    if ((dst->flags & FS_SCB_READ_WRITE) == 0) return FS_E_READ_ONLY;
    if (dst->recSize != src->recSize ||
        ((dst->flags ^ src->flags) & FS_SCB_STAMPS_IDS) != 0)
        return FS_E_BAD_CLASS;
    if (*dstRix == RIX_LAST) *dstRix = dst->recCount;
    if (*dstRix > dst->recCount) return FS_E_BAD_RIX;
    return 0;
}

// Deletes the pieces of the source run, last first so that the earlier
// piece keeps its place. A partial failure stops there.
FSStatus DeletePieces(SCB *src, const Run *pieces, int n) {
    for (int i = n - 1; i >= 0; --i) {
        FSStatus status = FSIDeleteRecords(src, pieces[i].start, pieces[i].count);
        if (status != 0) return status;
    }
    return 0;
}

// Steps 4 to 8 of FSIRecOps, once src and dst are settled.
FSStatus RecOps(SCB *src, uint32_t op, uint32_t first, uint32_t count, SCB *dst,
                uint32_t dstRix) {
    bool copy = (op & FSOpCopy) != 0, remove = (op & FSOpDelete) != 0;
    bool sameTable = false;
    FSStatus status;
    if (copy) {
        status = CheckDestination(src, dst, &dstRix);
        if (status != 0) return status;
        sameTable = dst->fcb == src->fcb && dst->tableNumber == src->tableNumber;
        if (!sameTable && (status = FSICheckNoLocks(dst)) != 0) return status;
    }
    if ((status = FSICheckNoLocks(src)) != 0) return status;
    if (count == 0) return 0;

    Run pieces[2];
    int n = 1;
    pieces[0] = {first, count};
    if (copy) {
        if ((status = FSIInsertRecords(dst, dstRix, count, false)) != 0) return status;
        n = SourcePieces(first, count, dstRix, sameTable, pieces);
        uint32_t to = dstRix;
        for (int i = 0; i < n && status == 0; to += pieces[i].count, ++i)
            status = FSICopyRecords(src, pieces[i].start, pieces[i].count, dst, to);
        if (status != 0) {
            FSIDeleteRecords(dst, dstRix, count);
            FSIMergeChunks(dst);
            return status;
        }
        FSIMarkDirtied(dst->fcb);
    }
    if (!remove) return 0;

    uint32_t before = src->recCount;
    status = DeletePieces(src, pieces, n);
    if (status != 0) {
        // Take the copy back only when the source is whole: once part of it
        // is gone, the copy is what still holds those records.
        if (copy && src->recCount == before) FSIDeleteRecords(dst, dstRix, count);
        FSIMergeChunks(src);
        if (copy && !sameTable) FSIMergeChunks(dst);
        return status;
    }
    FSIMergeChunks(src);
    FSIMarkDirtied(src->fcb);
    return 0;
}

} // namespace

extern "C" {

FSStatus FSIAddLock(SCB *scb, uint32_t rix, uint32_t count, uint32_t keepWhole,
                    void **recordOut) {
    if (recordOut != nullptr) *recordOut = nullptr;
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    if ((scb->flags & FS_SCB_READ_WRITE) == 0) return Store(scb, FS_E_READ_ONLY);
    if (rix == RIX_LAST) rix = scb->recCount;
    if (rix > scb->recCount) return Store(scb, FS_E_BAD_RIX);

    FSStatus status = 0;
    if (count > 0) {
        status = FSIInsertRecords(scb, rix, count, keepWhole != 0);
        if (status != 0) return Store(scb, status);
        if (scb->flags & FS_SCB_STAMPS_IDS) status = StampRIDs(scb, rix, count);
        if (status == 0) FSIMarkDirtied(scb->fcb);
    }
    if (status == 0 && recordOut != nullptr) {
        *recordOut = FSIxOldLock(scb, rix, nullptr);
        status = scb->status;
        if (status == 0) {
            scb->flags |= FS_SCB_CHUNK_DIRTY;
            FSDirtyFile(scb->fcb);
        } else {
            FSUnlock(scb);
        }
    }
    if (status != 0 && count > 0) FSIRecOps(scb, FSOpDelete, rix, count, nullptr, 0);
    return Store(scb, status);
}

FSStatus FSIRecOps(SCB *src, uint32_t op, uint32_t first, uint32_t count, SCB *dst,
                   uint32_t dstRix) {
    if (!SCBValid(src)) return FS_E_BAD_SCB;
    if ((op & FSOpDelete) && (src->flags & FS_SCB_READ_WRITE) == 0)
        return Store(src, FS_E_READ_ONLY);
    if (uint64_t{first} + count > src->recCount) return Store(src, FS_E_BAD_PARAMS);

    // A copy within one session works through a second session of the same
    // table, so that source and destination can each hold a lock.
    SCB *second = nullptr;
    if ((op & FSOpCopy) && dst == src) {
        FSStatus status = FSCheckOut(src->fcb, src->tableNumber, 0, &second);
        if (status != 0) return Store(src, status);
        second->flags |= FS_SCB_READ_WRITE;
        dst = second;
    }
    FSStatus status = RecOps(src, op, first, count, dst, dstRix);
    FSCheckIn(second);
    return Store(src, status);
}

} // extern "C"
