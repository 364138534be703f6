// Chunk navigation: stepping a session's current record through its table.
// Inside the locked chunk a step is one pointer addition and one compare;
// the index and the thunk table are touched only at chunk boundaries.
#include "records/records.h"

namespace {

// The session when it is valid and holds a lock; otherwise null, storing
// FS_E_LOCK_MISSING in a valid session that holds none.
SCB *LockedSession(SCB *scb) {
    if (!SCBValid(scb)) return nullptr;
    if ((scb->flags & FS_SCB_LOCKED) == 0) {
        scb->status = FS_E_LOCK_MISSING;
        return nullptr;
    }
    return scb;
}

uint32_t CurrentRix(const SCB *scb) {
    return scb->chunkFirstRix + static_cast<uint32_t>(scb->curRec - scb->chunkBase) / scb->recSize;
}

// Locks the chunk holding rix for a session that was just unlocked.
void *Relock(SCB *scb, uint32_t rix) {
    FSStatus status = FSILockChunk(scb, rix);
    scb->status = status;
    return status == 0 ? scb->curRec : nullptr;
}

} // namespace

extern "C" {

void *FSINextChunk(SCB *scb) {
    if (LockedSession(scb) == nullptr) return nullptr;
    uint32_t rix = CurrentRix(scb);
    FSUnlock(scb);
    if (rix >= scb->recCount) {
        scb->status = 0;
        return nullptr;
    }
    return Relock(scb, rix);
}

void *FSIPrevChunk(SCB *scb) {
    if (LockedSession(scb) == nullptr) return nullptr;
    uint32_t first = scb->chunkFirstRix;
    FSUnlock(scb);
    if (first == 0) {
        scb->status = 0;
        return nullptr;
    }
    return Relock(scb, first - 1);
}

void *FSLockNext(SCB *scb) {
    if (SCBValid(scb) && (scb->flags & FS_SCB_LOCKED)) {
        scb->curRec += scb->recSize;
        if (scb->curRec < scb->chunkEnd) return scb->curRec;
    }
    return FSINextChunk(scb);
}

void *FSLockPrev(SCB *scb) {
    if (SCBValid(scb) && (scb->flags & FS_SCB_LOCKED) && scb->curRec > scb->chunkBase) {
        scb->curRec -= scb->recSize;
        return scb->curRec;
    }
    return FSIPrevChunk(scb);
}

uint32_t FSxGetCurrent(SCB *scb) {
    if (LockedSession(scb) == nullptr) return RIX_NONE;
    scb->status = 0;
    return CurrentRix(scb);
}

uint32_t FSTableSize(SCB *scb) { return SCBValid(scb) ? scb->recCount : 0; }

void FSDirtyRec(SCB *scb) {
    if (!SCBValid(scb) || !FCBValid(scb->fcb)) return;
    scb->flags |= FS_SCB_CHUNK_DIRTY;
    FSDirtyFile(scb->fcb);
}

} // extern "C"
