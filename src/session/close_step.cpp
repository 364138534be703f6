// The close step, as a sequence of steps: settle the versions the file
// keeps and write the header, close or delete the file, then free the
// memory of the FCB.
#include <cstring>

#include "blocks/memory.h"
#include "blocks/versions.h"
#include "save/protocol.h"
#include "session/close.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

bool Temporary(const FCB *fcb) { return (fcb->file->bytes[6] & VM_SPEC_TEMPORARY) != 0; }

// Puts the file's stamp back and closes it. The stamp is set before the
// close (the services set it on an open file); nothing is written after it.
void RestoreStampAndClose(FCB *fcb) {
    if (fcb->h.fileStamp != 0) VMSetFileTime(fcb->file, fcb->h.fileStamp);
    VMCloseFile(fcb->file);
}

// Keeps the file as it stands: the header marked closed, made durable with
// what it names (save protocol, rule 7).
void KeepAsItStands(FCB *fcb) {
    fcb->h.stateFlags |= STATE_CLOSED_CLEANLY;
    SVWriteHeader(fcb);
    RestoreStampAndClose(fcb);
}

// Gives up the current and mini-saved versions: only the saved version's
// space stays used, and the free tail of the file is cut once the header
// that no longer names it is durable (rule 5). When the move cannot be
// prepared or its header written, the header on disk still shows the file
// open with its versions, so the next open reports what it can recover.
void FallBackToSaved(FCB *fcb) {
    VersionCommit c;
    if (BKPrepareCommit(fcb, MOVE_CLOSE_TO_SAVED, &c) == 0) {
        FileHeader image = fcb->h;
        image.stateFlags |= STATE_CLOSED_CLEANLY;
        image.savedFileSize = c.fileSize;
        image.miniFileSize = 0;
        SVCommitHeader(fcb, c, image);
    }
    RestoreStampAndClose(fcb);
}

// Step 3: what becomes of the file. Results of the services calls are not
// examined: the close cannot be refused.
void SettleFile(FCB *fcb, uint16_t keep) {
    if (fcb->h.stateFlags & STATE_FATAL) {
        VMCloseFile(fcb->file); // nothing may be written any more
    } else if (keep == 1) {
        KeepAsItStands(fcb);
    } else if (!Temporary(fcb) && (fcb->h.versionFlags & VER_SAVED)) {
        FallBackToSaved(fcb);
    } else if (Temporary(fcb)) {
        VMCloseDeleteFile(fcb->file);
    } else {
        // No saved version to fall back to: the header still shows the file
        // open, so the next open reports what it can recover.
        VMCloseFile(fcb->file);
    }
    VMFree(fcb->file);
    fcb->file = nullptr;
}

// Step 4: every chunk's memory, then the thunk table.
void FreeThunks(FCB *fcb) {
    TBFreeLocateCache(fcb);
    if (TBLockThunks(fcb) != nullptr) {
        for (uint16_t ti = 0; ti < fcb->h.thunkCount; ++ti) {
            const Thunk *t = ThunkAt(fcb, ti);
            if ((t->flags & THUNK_IN_USE) && (t->flags & THUNK_HAS_MEM)) BKFreeMem(fcb, ti);
        }
        TBUnlockThunks(fcb);
    }
    GlobalFree(fcb->thunkTable);
    fcb->thunkTable = 0;
    fcb->h.thunkCount = 0;
    fcb->h.lruHead = fcb->h.lruTail = THUNK_NONE;
}

} // namespace

void FSCloseStep(FCB *fcb, uint16_t keep, bool release) {
    if (!FCBValid(fcb)) return;
    fcb->h.stateFlags &= 0x00FF;
    fcb->h.reserved98 = 0;
    if (fcb->file != nullptr) SettleFile(fcb, keep);
    if (fcb->thunkTable != 0) FreeThunks(fcb);
    if (fcb->freeList != 0) {
        GlobalFree(fcb->freeList);
        fcb->freeList = 0;
        fcb->h.freeCount = 0;
    }
    if (release) {
        VMFree(fcb->classTable);
        fcb->h.magic = 0; // a stale pointer to the freed FCB no longer looks valid
        VMFree(fcb);
    }
}
