// Small queries about the tables of a file: how many table records the
// master table has, and the class of one table.
#include "blocks/checks.h"
#include "tables/chunks.h"

extern "C" {

uint32_t FSTableCount(FCB *fcb) {
    if (!FCBValid(fcb)) return 0;
    BlockOp op(fcb);
    uint16_t root;
    if (TBSlotFor(fcb, &fcb->h.currentRoot, &root) != 0) return 0;
    return TBRecordCount(fcb, root);
}

FSStatus FSTableClass(FCB *fcb, uint16_t tid, uint8_t *classOut) {
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    BlockOp op(fcb);
    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(fcb, tid, &rec, &master);
    if (status != 0) return status;
    const bool inUse = (rec->flags & TABLE_IN_USE) != 0;
    if (classOut != nullptr) *classOut = inUse ? rec->cls : 0;
    TBUnlockChunk(fcb, master, 0);
    return inUse ? 0 : FS_E_BAD_TID;
}

} // extern "C"
