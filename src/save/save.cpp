// Save and mini-save: the current version becomes the saved (or the
// mini-saved) version, in place, following the save protocol (protocol.h).
#include "blocks/cache.h"
#include "save/protocol.h"
#include "tables/thunks.h"

namespace {

// Nothing written earlier is left in the system's buffers, and a full disk
// shows before anything of this save is written.
FSStatus FlushFirst(FCB *fcb) {
    FSStatus status = VMFlushFile(fcb->file);
    if (status == FS_E_DISKFULL) fcb->h.stateFlags |= STATE_DISK_FULL;
    return status;
}

// The class table, with the classes' RID counters, rewritten in place.
FSStatus WriteClassTable(FCB *fcb) {
    return VMWrite(fcb->file, fcb->h.classTableOffset,
                   uint32_t{fcb->h.classCount} * sizeof(FSClassDesc), fcb->classTable);
}

// The master table's top chunk, written back with everything else, gives
// its thunk back into currentRoot, so the header names its image.
FSStatus GiveBackRoot(FCB *fcb) {
    if ((fcb->h.currentRoot.flags & REF_RESIDENT) == 0) return 0;
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    if (!ThunkLive(fcb, fcb->h.currentRoot.thunk)) return FS_E_LEVEL1;
    const Thunk *t = ThunkAt(fcb, fcb->h.currentRoot.thunk);
    if (ThunkBusy(t) != 0) return FS_E_STILL_CHECKED_OUT;
    if (t->lockCount != 0) return FS_E_LOCK_FOUND;
    if (t->flags & (THUNK_DIRTY | THUNK_ON_LIST)) return FS_E_LEVEL1; // not written back
    BKGiveBack(fcb, &fcb->h.currentRoot);
    return 0;
}

// The file's stamp now, 0 when it cannot be had.
uint32_t FileStamp(FCB *fcb) {
    uint32_t stamp = 0;
    return VMGetFileTime(fcb->file, &stamp) == 0 ? stamp : 0;
}

// Moves the versions and writes the header (rules 3 to 6).
FSStatus CommitVersions(FCB *fcb, bool save) {
    VersionCommit c;
    FSStatus status = BKPrepareCommit(fcb, save ? MOVE_SAVE : MOVE_MINI_SAVE, &c);
    if (status != 0) return status;
    FileHeader image = fcb->h;
    if (save) {
        image.stateFlags &= ~STATE_DIRTIED;
        image.savedFileSize = c.fileSize;
        image.miniFileSize = 0;
        image.savedRoot = image.currentRoot;
        image.fileStamp = FileStamp(fcb);
    } else {
        image.miniFileSize = c.fileSize;
        image.miniRoot = image.currentRoot;
    }
    image.stateFlags &= ~STATE_DISK_FULL;
    return SVCommitHeader(fcb, c, image);
}

} // namespace

// Straight through, first failure out. Up to the header write a failure
// leaves the header on disk and the FCB's versions as they were (rule 6), so
// the host can try again; chunks written so far sit in space of the current
// version alone (rule 2).
extern "C" FSStatus FSISaveCommit(FCB *fcb, uint32_t save, uint32_t) {
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    if (fcb->h.stateFlags & STATE_FATAL) return FCBStatus(fcb, FS_E_FATAL);
    FSStatus status = FlushFirst(fcb);
    if (status == 0) status = BKFlush(fcb, BK_QUOTA_ALL); // rule 2
    if (status == 0) status = WriteClassTable(fcb);
    if (status == 0) status = GiveBackRoot(fcb);
    if (status == 0) status = CommitVersions(fcb, save != 0);
    return FCBStatus(fcb, status);
}
