// Checking tables out into sessions and back in.
#include <cstring>

#include "blocks/checks.h"
#include "records/records.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/sessions.h"
#include "tables/thunks.h"

namespace {

// The shape the table record claims must be the shape of its top chunk, and
// its class must describe records that fit what the session does with them:
// a record size of at least 1 (at least 4 when records end with a RID). A
// record that fails this comes from a damaged file; refusing it keeps every
// record address a session hands out inside its chunk.
FSStatus CheckTableShape(FCB *fcb, const TableRecord *rec, uint16_t top) {
    const FSClassDesc *d = ClassDesc(fcb, rec->cls);
    if (d == nullptr || rec->cls < CLASS_FIRST_HOST || d->recSize == 0 ||
        ((d->flags & FS_CLASS_RIDS) && d->recSize < 4))
        return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    uint8_t expected = (rec->flags & TABLE_INDEXED) ? CLASS_INDEX : rec->cls;
    if (ThunkAt(fcb, top)->cls != expected) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    return 0;
}

} // namespace

extern "C" FSStatus FSCheckOut(FCB *fcb, uint32_t tid32, uint32_t mode, SCB **scbOut) {
    if (scbOut != nullptr) *scbOut = nullptr;
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    auto tid = static_cast<uint16_t>(tid32);
    BlockOp op(fcb);

    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(fcb, tid, &rec, &master);
    if (status != 0) return FCBStatus(fcb, status);
    if ((rec->flags & TABLE_IN_USE) == 0) {
        TBUnlockChunk(fcb, master, 0);
        return FCBStatus(fcb, FS_E_BAD_TID);
    }

    SCB *head = TBSessionHead(fcb, rec, tid);
    bool pinned = false;
    if (head == nullptr) {
        status = TBPinChunk(fcb, master, +1);
        pinned = status == 0;
    }
    uint16_t top = THUNK_NONE;
    if (status == 0) status = TBSlotFor(fcb, &rec->top, &top);
    if (status == 0) status = CheckTableShape(fcb, rec, top);
    SCB *scb = nullptr;
    if (status == 0) {
        scb = static_cast<SCB *>(VMAlloc(sizeof(SCB)));
        if (scb == nullptr) status = FS_E_NOMEM;
    }
    if (status == 0) {
        status = TBRegisterSession(fcb, scb);
        if (status != 0) VMFree(scb);
    }
    if (status != 0) {
        if (pinned) TBPinChunk(fcb, master, -1);
        TBUnlockChunk(fcb, master, 0);
        return FCBStatus(fcb, status);
    }

    const FSClassDesc *d = ClassDesc(fcb, rec->cls);
    scb->magic = FS_MAGIC;
    scb->flags = (mode == 1 ? FS_SCB_READ_WRITE : 0) |
                 ((d->flags & FS_CLASS_RIDS) ? FS_SCB_STAMPS_IDS : 0) |
                 ((rec->flags & TABLE_INDEXED) ? 0 : FS_SCB_SINGLE_CHUNK);
    scb->fcb = fcb;
    scb->tableNumber = tid;
    scb->classNumber = rec->cls;
    scb->topThunk = top;
    scb->recCount = TBRecordCount(fcb, top);
    scb->recSize = d->recSize;
    scb->mode = static_cast<uint16_t>(mode);
    scb->nextSession = head;
    TBSetSessionHead(rec, scb);
    TBUnlockChunk(fcb, master, 0); // the chain head is not file data

    if (scbOut != nullptr) *scbOut = scb;
    return FCBStatus(fcb, 0);
}

extern "C" void FSCheckIn(SCB *scb) {
    if (!SCBValid(scb) || !FCBValid(scb->fcb)) return;
    FCB *fcb = scb->fcb;
    BlockOp op(fcb);
    if (scb->flags & FS_SCB_LOCKED) FSUnlock(scb);

    TableRecord *rec;
    uint16_t master;
    if (TBFindTable(fcb, scb->tableNumber, &rec, &master) != 0) return;
    SCB *head = TBSessionHead(fcb, rec, scb->tableNumber);
    bool unchained = false;
    if (head == scb) {
        TBSetSessionHead(rec, scb->nextSession);
        unchained = true;
    } else {
        for (SCB *prev = head; prev != nullptr; prev = prev->nextSession) {
            if (prev->nextSession == scb) {
                prev->nextSession = scb->nextSession;
                unchained = true;
                break;
            }
        }
    }
    // The pin belongs to the chain: it goes with the last session, and only
    // when this check-in is what emptied the chain.
    if (unchained && rec->sessions == 0) TBPinChunk(fcb, master, -1);
    TBUnlockChunk(fcb, master, 0);
    TBRetireSession(fcb, scb);
}
