// Record IDs: each class has a RID counter in its descriptor; records of a
// class flagged FS_CLASS_RIDS carry their RID in their last four bytes,
// where the host finds a record again whatever its RIX has become.
#include <algorithm>
#include <cstring>

#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

// The RID field of the record at rec (recSize >= 4).
uint32_t RidAt(const uint8_t *rec, uint16_t recSize) {
    uint32_t rid;
    std::memcpy(&rid, rec + recSize - 4, sizeof rid);
    return rid;
}

// Calls f(record) for each record of the session's table in RIX order until
// it answers true. Returns true when it did; the session is then locked on
// that record, else unlocked with the status of the walk.
template <typename F> bool FindRecord(SCB *scb, F f) {
    for (auto *rec = static_cast<uint8_t *>(FSIxLockQuiet(scb, 0)); rec != nullptr;
         rec = static_cast<uint8_t *>(FSLockNext(scb)))
        if (f(rec)) return true;
    return false;
}

} // namespace

extern "C" {

uint32_t FSAllocRID(FCB *fcb, uint8_t classNumber) {
    if (!FCBValid(fcb)) return RIX_NONE;
    FSClassDesc *d = ClassDesc(fcb, classNumber);
    if (d == nullptr) {
        FCBStatus(fcb, FS_E_BAD_CLASS);
        return RIX_NONE;
    }
    return d->ridCounter++;
}

FSStatus FSBumpRIDCounter(SCB *scb) {
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    if ((scb->flags & FS_SCB_STAMPS_IDS) == 0) return scb->status = 0;
    uint32_t max = 0;
    FindRecord(scb, [&](const uint8_t *rec) {
        max = std::max(max, RidAt(rec, scb->recSize));
        return false;
    });
    if (scb->status != 0) return scb->status;
    FSClassDesc *d = ClassDesc(scb->fcb, scb->classNumber);
    if (max >= d->ridCounter) d->ridCounter = max + 1;
    return 0;
}

uint32_t RID2RIX(SCB *scb, uint32_t rid) {
    if (!SCBValid(scb)) return RIX_NONE;
    // RIDs are the last four bytes of a record: shorter records hold none.
    if (scb->recSize < 4) {
        scb->status = FS_E_BAD_CLASS;
        return RIX_NONE;
    }
    // A read-only session of its own, so that the caller's lock stays.
    SCB *walk;
    FSStatus status = FSCheckOut(scb->fcb, scb->tableNumber, 0, &walk);
    if (status != 0) {
        scb->status = status;
        return RIX_NONE;
    }
    uint32_t rix = RIX_NONE;
    if (FindRecord(walk, [&](const uint8_t *rec) { return RidAt(rec, walk->recSize) == rid; }))
        rix = FSxGetCurrent(walk);
    status = rix != RIX_NONE ? 0 : walk->status != 0 ? walk->status : FS_E_BAD_RID;
    FSCheckIn(walk);
    scb->status = status;
    return rix;
}

uint32_t RIX2RID(SCB *scb, uint32_t rix) {
    if (!SCBValid(scb)) return RIX_NONE;
    FCB *fcb = scb->fcb;
    if (scb->recSize < 4) {
        scb->status = FS_E_BAD_CLASS;
        return RIX_NONE;
    }
    if (rix >= scb->recCount) {
        scb->status = FS_E_BAD_RIX;
        return RIX_NONE;
    }
    // The record is read through its chunk directly: whatever the session
    // holds locked stays as it is.
    BlockOp op(fcb);
    uint16_t ti;
    uint32_t first;
    void *data;
    FSStatus status = TBLocateRecord(fcb, scb->topThunk, rix, &ti, &first, nullptr, nullptr);
    if (status == 0) status = TBLockChunk(fcb, ti, &data);
    if (status != 0) {
        scb->status = status;
        return RIX_NONE;
    }
    // The chunk must be one of the table's and hold the record, even in a
    // damaged file.
    bool inChunk;
    {
        ThunkLock lock(fcb);
        inChunk = lock.held && ThunkAt(fcb, ti)->cls == scb->classNumber &&
                  rix - first < ThunkAt(fcb, ti)->count;
    }
    uint32_t rid = RIX_NONE;
    if (inChunk)
        rid = RidAt(static_cast<uint8_t *>(data) + (rix - first) * scb->recSize, scb->recSize);
    TBUnlockChunk(fcb, ti, 0);
    scb->status = inChunk ? 0 : FS_CORRUPT(fcb, FS_E_BAD_RIX);
    return rid;
}

} // extern "C"
