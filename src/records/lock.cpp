// Index locking: a session locks the chunk that holds a RIX and hands out
// the address of the record inside it. A session holds at most one chunk;
// locking a RIX in that chunk only moves curRec.
#include "blocks/checks.h"
#include "records/records.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

void Unlocked(SCB *scb) {
    scb->flags &= ~(FS_SCB_LOCKED | FS_SCB_CHUNK_DIRTY);
    scb->chunkFirstRix = RIX_NONE;
    scb->chunkBase = scb->curRec = scb->chunkEnd = nullptr;
}

// The address of rix when the locked chunk holds it, else null. No
// division: the offset is compared with the chunk's extent.
uint8_t *InLockedChunk(const SCB *scb, uint32_t rix) {
    if ((scb->flags & FS_SCB_LOCKED) == 0) return nullptr;
    uint64_t offset = uint64_t{rix - scb->chunkFirstRix} * scb->recSize;
    if (offset >= static_cast<uint64_t>(scb->chunkEnd - scb->chunkBase)) return nullptr;
    return scb->chunkBase + offset;
}

} // namespace

FSStatus FSILockChunk(SCB *scb, uint32_t rix) {
    FCB *fcb = scb->fcb;
    scb->curRec = nullptr;
    BlockOp op(fcb);
    ThunkLock lock(fcb); // one platform lock for the lookup and the chunk lock
    if (!lock.held) return FS_E_THUNK_LOCK;

    uint16_t ti = scb->topThunk;
    uint32_t first = 0;
    if ((scb->flags & FS_SCB_SINGLE_CHUNK) == 0) {
        FSStatus status = TBLocateRecord(fcb, scb->topThunk, rix, &ti, &first, nullptr, nullptr);
        if (status != 0) return status;
    }
    void *base;
    FSStatus status = TBLockChunk(fcb, ti, &base);
    if (status != 0) return status;
    // The thunk's count and class are authoritative: the session's view of
    // the chunk never reaches past its memory, even in a damaged file.
    const bool ownClass = ThunkAt(fcb, ti)->cls == scb->classNumber;
    const uint16_t count = ThunkAt(fcb, ti)->count;
    if (!ownClass || rix - first > count) {
        TBUnlockChunk(fcb, ti, 0);
        return ownClass ? FS_E_BAD_RIX : FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    }
    scb->flags |= FS_SCB_LOCKED;
    scb->chunkThunk = ti;
    scb->chunkFirstRix = first;
    scb->chunkBase = static_cast<uint8_t *>(base);
    scb->curRec = scb->chunkBase + (rix - first) * uint32_t{scb->recSize};
    scb->chunkEnd = scb->chunkBase + count * uint32_t{scb->recSize};
    return 0;
}

extern "C" {

void *FSIxOldLock(SCB *scb, uint32_t rix, void **endOut) {
    if (endOut != nullptr) *endOut = nullptr;
    if (!SCBValid(scb)) return nullptr;
    if (rix == RIX_LAST && scb->recCount != 0) {
        rix = scb->recCount - 1;
    } else if (rix >= scb->recCount) {
        scb->status = FS_E_BAD_RIX;
        return nullptr;
    }
    if (uint8_t *rec = InLockedChunk(scb, rix)) {
        scb->curRec = rec;
    } else {
        if (scb->flags & FS_SCB_LOCKED) FSUnlock(scb);
        FSStatus status = FSILockChunk(scb, rix);
        if (status != 0) {
            scb->status = status;
            return nullptr;
        }
    }
    scb->status = 0;
    if (endOut != nullptr) *endOut = scb->chunkEnd;
    return scb->curRec;
}

FSStatus FSIxLock(SCB *scb, uint32_t rix, void **recordOut, void **endOut) {
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    FSIxOldLock(scb, rix, endOut);
    if (recordOut != nullptr) *recordOut = scb->curRec;
    return scb->status;
}

void *FSIxLockQuiet(SCB *scb, uint32_t rix) {
    if (!SCBValid(scb)) return nullptr;
    if (scb->recCount == 0) {
        scb->status = 0;
        return nullptr;
    }
    FSIxOldLock(scb, rix, nullptr);
    return scb->curRec;
}

void FSUnlock(SCB *scb) {
    if (!SCBValid(scb)) return;
    FSStatus pending = 0;
    if ((scb->flags & FS_SCB_CHUNK_DIRTY) && (scb->flags & FS_SCB_READ_WRITE) == 0) {
        scb->flags &= ~FS_SCB_CHUNK_DIRTY;
        pending = FS_E_READ_ONLY;
    }
    if (scb->flags & FS_SCB_CHUNK_DIRTY) scb->flags |= FS_SCB_SESSION_DIRTIED;
    if (scb->flags & FS_SCB_LOCKED) {
        FSStatus status =
            TBUnlockChunk(scb->fcb, scb->chunkThunk, (scb->flags & FS_SCB_CHUNK_DIRTY) ? 1 : 0);
        Unlocked(scb);
        if (status != 0) pending = status;
    }
    scb->status = pending;
}

} // extern "C"
