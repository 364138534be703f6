// The no-lock rule and keeping every session of a table up to date.
#include "records/records.h"
#include "tables/chunks.h"
#include "tables/sessions.h"
#include "tables/thunks.h"

bool FSIAnyLocked(FCB *fcb, const TableRecord *rec, uint16_t tid) {
    for (SCB *s = TBSessionHead(fcb, rec, tid); s != nullptr; s = s->nextSession)
        if (!SCBValid(s) || (s->flags & FS_SCB_LOCKED)) return true;
    return false;
}

FSStatus FSICheckNoLocks(SCB *scb) {
    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(scb->fcb, scb->tableNumber, &rec, &master);
    if (status != 0) return status;
    if (FSIAnyLocked(scb->fcb, rec, scb->tableNumber)) status = FS_E_LOCK_FOUND;
    TBUnlockChunk(scb->fcb, master, 0);
    return status;
}

void FSIRefreshSessions(FCB *fcb, TableRecord *rec, uint16_t tid) {
    uint16_t top;
    if (TBSlotFor(fcb, &rec->top, &top) != 0) return;
    uint32_t count = TBRecordCount(fcb, top);
    bool single = (rec->flags & TABLE_INDEXED) == 0;
    for (SCB *s = TBSessionHead(fcb, rec, tid); s != nullptr && SCBValid(s); s = s->nextSession) {
        s->recCount = count;
        s->topThunk = top;
        s->flags = static_cast<uint16_t>(single ? s->flags | FS_SCB_SINGLE_CHUNK
                                                : s->flags & ~FS_SCB_SINGLE_CHUNK);
    }
}
