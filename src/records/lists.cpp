// List operations: the records of a table that a host selector picks, in RIX
// order, are deleted (FSDelList), copied to a position of another table or
// the same one (FSCopyList), or moved there (FSMoveList).
//
// A copy counts the selected records first, inserts that many blank records
// at the destination in one go, and then fills them in a second pass over
// the source. A deletion removes each selected record as the walk meets it
// and merges small chunks once at the end. Within one table the walk skips
// the inserted run, so the selector never sees the copies.
#include <cstring>

#include "records/records.h"

namespace {

// State of one list operation.
struct ListOp {
    SCB *src;
    FSSelector sel;
    SCB *dst = nullptr;       // the destination session of a copy
    SCB *second = nullptr;    // a session made for a copy within one table
    bool copy = false, remove = false;
    bool sameTable = false;   // a copy within the source's own table
    uint32_t dstRix = 0;      // where the inserted run starts now
    uint32_t count = 0;       // records in the inserted run
    uint32_t copied = 0;      // records of the run filled so far
    uint32_t deleted = 0;     // source records removed so far
    uint16_t copyBytes = 0;   // bytes copied per record
};

// Validation of the destination of a copy; resolves RIX_LAST.
FSStatus CheckDestination(ListOp &op, SCB *dst, uint32_t dstRix) {
    SCB *src = op.src;
    if (!SCBValid(dst)) return FS_E_BAD_SCB;
    bool sameTable = dst->fcb == src->fcb && dst->tableNumber == src->tableNumber;
    // Another session on the source's table would see the inserted records
    // and have records shift under its lock: refused.
    if (sameTable && dst != src) return FS_E_BAD_PARAMS;
    if ((dst->flags & FS_SCB_READ_WRITE) == 0) return FS_E_READ_ONLY;
    if (dst->recSize != src->recSize || ((dst->flags ^ src->flags) & FS_SCB_STAMPS_IDS) != 0)
        return FS_E_BAD_CLASS;
    if (dstRix == RIX_LAST) dstRix = dst->recCount;
    if (dstRix > dst->recCount) return FS_E_BAD_RIX;
    op.sameTable = sameTable;
    op.dstRix = dstRix;
    if (sameTable) {
        // A second session of the table holds the destination's lock while
        // the source holds its own.
        FSStatus status = FSCheckOut(src->fcb, src->tableNumber, 0, &op.second);
        if (status != 0) return status;
        op.second->flags |= FS_SCB_READ_WRITE;
        op.dst = op.second;
        return 0;
    }
    op.dst = dst;
    return FSICheckNoLocks(dst);
}

// Calls the selector on every record of the source; the source ends
// unlocked.
FSStatus CountSelected(ListOp &op, uint32_t *selected) {
    *selected = 0;
    for (void *rec = FSIxOldLock(op.src, 0, nullptr); rec != nullptr; rec = FSLockNext(op.src))
        if (op.sel(rec) != 0) ++*selected;
    return op.src->status;
}

// Locks the source at rix, or ends the walk (null, status 0) past its end.
void *LockSource(ListOp &op, uint32_t rix) {
    FSUnlock(op.src);
    if (rix >= op.src->recCount) {
        op.src->status = 0;
        return nullptr;
    }
    return FSIxOldLock(op.src, rix, nullptr);
}

// Copies the source record into the next record of the inserted run.
FSStatus FillNext(ListOp &op, const void *rec) {
    if (op.copied == op.count) return FS_E_LIST_OP; // the selector picked more than it counted
    SCB *dst = op.dst;
    if ((dst->flags & FS_SCB_LOCKED) == 0 &&
        FSIxOldLock(dst, op.dstRix + op.copied, nullptr) == nullptr)
        return dst->status;
    std::memcpy(dst->curRec, rec, op.copyBytes);
    dst->flags |= FS_SCB_CHUNK_DIRTY;
    FSDirtyFile(dst->fcb);
    ++op.copied;
    if (op.copied < op.count && FSLockNext(dst) == nullptr)
        return dst->status != 0 ? dst->status : FS_E_LIST_OP;
    return 0;
}

// Removes source record i; both sessions are unlocked for the change of
// shape and the destination is found again where its run now lies.
FSStatus DeleteSource(ListOp &op, uint32_t i) {
    if (op.sameTable) FSUnlock(op.dst);
    FSUnlock(op.src);
    FSStatus status = FSIDeleteRecords(op.src, i, 1);
    if (status != 0) return status;
    ++op.deleted;
    if (op.sameTable && i < op.dstRix) --op.dstRix;
    return 0;
}

// The main pass: asks the selector about each source record once and copies
// and/or deletes the selected ones.
FSStatus Walk(ListOp &op) {
    uint32_t i = 0;
    void *rec = LockSource(op, 0);
    while (rec != nullptr) {
        if (op.sameTable && op.copy && i == op.dstRix) {
            i += op.count; // the inserted run
            rec = LockSource(op, i);
            continue;
        }
        if (op.sel(rec) == 0) {
            ++i;
            rec = FSLockNext(op.src);
            continue;
        }
        FSStatus status = op.copy ? FillNext(op, rec) : 0;
        if (status != 0) return status;
        if (op.remove) {
            if ((status = DeleteSource(op, i)) != 0) return status;
            rec = LockSource(op, i); // the next record has slid into place
        } else {
            ++i;
            rec = FSLockNext(op.src);
        }
    }
    // The selector must pick in this pass what it picked when counting.
    if (op.src->status == 0 && op.copied < op.count) return FS_E_LIST_OP;
    return op.src->status;
}

// Inserts the destination run and walks the source; a copy first counts.
FSStatus Run(ListOp &op) {
    if (op.copy) {
        uint32_t selected;
        FSStatus status = CountSelected(op, &selected);
        if (status != 0 || selected == 0) return status;
        if ((status = FSIAddLock(op.dst, op.dstRix, selected, 0, nullptr)) != 0) return status;
        op.count = selected;
    }
    return Walk(op);
}

} // namespace

FSStatus FSIListOp(SCB *src, uint32_t operation, FSSelector sel, SCB *dst, uint32_t dstRix) {
    if (!SCBValid(src)) return FS_E_BAD_SCB;
    if (src->recCount == 0) return src->status = 0;
    ListOp op{src, sel};
    op.copy = (operation & FSOpCopy) != 0;
    op.remove = (operation & FSOpDelete) != 0;
    if (op.remove && (src->flags & FS_SCB_READ_WRITE) == 0) return src->status = FS_E_READ_ONLY;
    FSStatus status = FSICheckNoLocks(src);
    if (status == 0 && op.copy) status = CheckDestination(op, dst, dstRix);
    if (status != 0) {
        FSCheckIn(op.second);
        return src->status = status;
    }
    // RIDs of a copy are the ones stamped into the inserted records; a
    // moved record keeps its own.
    op.copyBytes = src->recSize;
    if ((src->flags & FS_SCB_STAMPS_IDS) && !op.remove) op.copyBytes -= 4;
    FSClassDesc *desc = ClassDesc(src->fcb, src->classNumber);
    const uint32_t ridsBefore = desc->ridCounter;

    status = Run(op);
    FSUnlock(src);
    if (op.copy) {
        FSUnlock(op.dst);
        if (status != 0 && op.copied < op.count)
            FSIRecOps(op.dst, FSOpDelete, op.dstRix + op.copied, op.count - op.copied, nullptr, 0);
        if (op.count > 0) FSIMarkDirtied(op.dst->fcb);
        FSCheckIn(op.second);
    }
    if (op.deleted > 0) {
        FSIMergeChunks(src);
        FSIMarkDirtied(src->fcb);
    }
    // A move within one table took RIDs for the inserted records that the
    // moved records' own RIDs replaced: they are given back, unless some
    // were handed out since.
    if (status == 0 && op.sameTable && op.remove && (src->flags & FS_SCB_STAMPS_IDS) &&
        desc->ridCounter == ridsBefore + op.count)
        desc->ridCounter = ridsBefore;
    return src->status = status;
}

extern "C" {

FSStatus FSDelList(SCB *scb, FSSelector sel, uint32_t) {
    if (sel == nullptr) return FS_E_NOMEM;
    return FSIListOp(scb, FSOpDelete, sel, nullptr, 0);
}

FSStatus FSCopyList(SCB *scb, FSSelector sel, SCB *dst, uint32_t dstRix, uint32_t) {
    if (sel == nullptr) return FS_E_NOMEM;
    return FSIListOp(scb, FSOpCopy, sel, dst, dstRix);
}

FSStatus FSMoveList(SCB *scb, FSSelector sel, SCB *dst, uint32_t dstRix, uint32_t) {
    if (sel == nullptr) return FS_E_NOMEM;
    return FSIListOp(scb, FSOpMove, sel, dst, dstRix);
}

} // extern "C"
