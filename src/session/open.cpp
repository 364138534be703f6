// FSFileOpen: the file check, the working file, conversions, the checks of
// the header and class table, the memory of the FCB, and the selection of
// the version to work on.
#include "session/open.h"

#include "blocks/space.h"
#include "blocks/versions.h"
#include "convert/foreign.h"
#include "convert/upgrade.h"
#include "save/protocol.h"
#include "tables/chunks.h"

namespace {

constexpr uint16_t CLEARED_AT_OPEN =
    STATE_CLOSED_CLEANLY | STATE_DIRTIED | STATE_DISK_FULL | STATE_DIRTIED_PAGE | STATE_FATAL;

// Step 2: the FCB and its file-spec block, a copy of the host's.
FSStatus MakeFcb(Opening &o) {
    o.fcb = static_cast<FCB *>(VMAlloc(sizeof(FCB)));
    if (o.fcb == nullptr) return FS_E_NOMEM;
    o.fcb->file = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    if (o.fcb->file == nullptr) return FS_E_NOMEM;
    *o.fcb->file = *o.host;
    return 0;
}

// A file in the current layout that is shorter than its header says.
bool Short(const Opening &o) {
    const FileHeader &h = o.fcb->h;
    return h.magic == FS_MAGIC && (h.formatVersion & 0xFF00) != 0 && h.fileSize > o.check.length;
}

// Step 4: the host's own file, or a scratch copy of it. Files that are read
// only, need converting, come from the other byte order (a conversion that
// failed half way would leave the host's file half converted) or are
// shorter than their header says are always worked on in a copy, so the
// host's file is never written.
FSStatus ChooseWorkingFile(Opening &o) {
    const FileCheck &c = o.check;
    if (!c.needsConversion && o.asCopy != 1 && c.writable && !c.foreign && !Short(o)) return 0;
    VMFileSpec *file = o.fcb->file;
    VMCloseFile(file);
    *file = o.ctx->scratchSpec;
    file->bytes[6] |= VM_SPEC_TEMPORARY;
    FSStatus status = VMCreateFile(file);
    if (status != 0) return status;
    o.copy = true;
    status = VMCopyFile(o.host, file);
    if (status == 0 && (o.ctx->flags & FS_CALL_COPY_HOOK) && o.ctx->copyHook != nullptr)
        status = o.ctx->copyHook(o.host, file);
    return status;
}

// Step 5: foreign files are converted in the copy; files of another format
// version are upgraded (the old format into a new scratch file) or taken as
// they stand.
FSStatus Convert(Opening &o) {
    FCB *fcb = o.fcb;
    if (fcb->h.magic == MAGIC_OTHER_ORDER) return CVConvertForeign(fcb, o.ctx, o.host);
    if (fcb->h.formatVersion == FORMAT_CURRENT) return 0;
    FSStatus status = CVUpgradeOld(fcb, o.ctx);
    if (status != 0) return status;
    o.warning = fcb->h.lastStatus;
    fcb->h.lastStatus = 0;
    return 0;
}

// The header, checked; a file shorter than its fileSize keeps its missing
// end out of reach (images there report FS_E_FATAL when loaded, and no new
// one goes there).
FSStatus CheckHeader(Opening &o) {
    FCB *fcb = o.fcb;
    const uint32_t length = VMFileSize(fcb->file);
    FSStatus status = FSCheckHeader(fcb->h, length);
    if (status != 0) return status;
    if (fcb->h.fileSize > length) {
        fcb->lostFrom = length & ~((1u << fcb->h.allocShift) - 1);
        fcb->lostTo = fcb->h.fileSize;
    }
    return 0;
}

// Step 6: a file closed cleanly (or without a stamp) takes the file's stamp;
// one left open by a crash keeps the stamp it had.
void TakeStamp(FCB *fcb) {
    if ((fcb->h.stateFlags & STATE_CLOSED_CLEANLY) == 0 && fcb->h.fileStamp != 0) return;
    uint32_t stamp = 0;
    fcb->h.fileStamp = VMGetFileTime(fcb->file, &stamp) == 0 ? stamp : 0;
}

// Step 7: the class table, read and checked.
FSStatus LoadClasses(FCB *fcb) {
    const uint32_t bytes = uint32_t{fcb->h.classCount} * sizeof(FSClassDesc);
    fcb->classTable = static_cast<FSClassDesc *>(VMAlloc(bytes));
    if (fcb->classTable == nullptr) return FS_E_NOMEM;
    FSStatus status = VMRead(fcb->file, fcb->h.classTableOffset, bytes, fcb->classTable);
    return status != 0 ? status : FSCheckBuiltinClasses(fcb->h, fcb->classTable);
}

// Steps 8 and 9: the run-time fields, the thunk table and the free list. The
// list of a short file is not trusted: it stays empty, so new space comes
// from the end of the file.
FSStatus SetUpMemory(FCB *fcb, const FSContext *ctx) {
    fcb->h.memInUse = 0;
    fcb->h.memBudget = ctx->memBudget;
    fcb->h.lruHead = fcb->h.lruTail = THUNK_NONE;
    fcb->h.thunkCount = 0;
    fcb->thunkTable = GlobalAlloc(GMEM_MOVEABLE, 1);
    if (fcb->thunkTable == 0) return FS_E_NOMEM;
    if (fcb->lostTo == 0) {
        BKLoadFreeList(fcb);
    } else {
        BKNewFreeList(fcb, 1);
        fcb->h.savedFreeCount = 0;
        fcb->h.savedFreeOffset = 0;
    }
    return 0;
}

// Step 10: which version, by the selector and the versions the file holds.
FSStatus Select(Opening &o, ChunkRef *root, VersionMove *move) {
    FileHeader &h = o.fcb->h;
    uint32_t selector = o.version;
    if (selector == FS_VERSION_CURRENT) {
        if ((h.stateFlags & STATE_CLOSED_CLEANLY) == 0)
            return static_cast<FSStatus>(FS_E_CRASHED + ((h.versionFlags & VER_SAVED) ? 1 : 0) +
                                         ((h.versionFlags & VER_MINI) ? 2 : 0));
        selector = FS_VERSION_SAVED;
    }
    if (selector == FS_VERSION_SAVED) {
        if ((h.versionFlags & VER_SAVED) == 0) return FS_E_NO_SAVED;
        *root = h.savedRoot;
        *move = MOVE_OPEN_SAVED;
    } else {
        if ((h.versionFlags & VER_MINI) == 0) return FS_E_NO_MINI;
        *root = h.miniRoot;
        *move = MOVE_OPEN_MINI;
    }
    return FSRootUsable(*root) ? 0 : FS_CORRUPT(o.fcb, FS_E_BAD_FORMAT);
}

// Steps 10 and 11: the selected version becomes the current one, and the
// header, showing the file open, is written by the save protocol (rule 7).
FSStatus OpenVersion(Opening &o) {
    FCB *fcb = o.fcb;
    ChunkRef root;
    VersionMove move;
    FSStatus status = Select(o, &root, &move);
    if (status != 0) return status;
    // A mini-saved version with no saved one behind it is a scratch document:
    // closed without keeping, it goes.
    if (o.version == FS_VERSION_MINI && (fcb->h.versionFlags & VER_SAVED) == 0)
        fcb->file->bytes[6] |= VM_SPEC_TEMPORARY;
    fcb->h.currentRoot = root;
    // Bytes past fileSize are named by nothing: growth no header recorded,
    // or a cut that did not reach the disk.
    if (fcb->lostTo == 0 && VMFileSize(fcb->file) > fcb->h.fileSize)
        VMSetFileSize(fcb->file, fcb->h.fileSize);
    VersionCommit c;
    if ((status = BKPrepareCommit(fcb, move, &c)) != 0) return status;
    FileHeader image = fcb->h;
    image.stateFlags &= ~CLEARED_AT_OPEN;
    return SVCommitHeader(fcb, c, image);
}

// Clean-up when the open ends before step 12: everything made is freed, a
// file this open made is deleted, the host's file closed.
void Discard(Opening &o) {
    FCB *fcb = o.fcb;
    if (fcb == nullptr) return;
    if (fcb->freeList != 0) GlobalFree(fcb->freeList);
    if (fcb->thunkTable != 0) GlobalFree(fcb->thunkTable);
    VMFree(fcb->classTable);
    if (fcb->file != nullptr) {
        if (o.copy) VMCloseDeleteFile(fcb->file);
        else VMCloseFile(fcb->file);
        VMFree(fcb->file);
    }
    fcb->h.magic = 0;
    TBFreeLocateCache(fcb);
    VMFree(fcb);
    o.fcb = nullptr;
}

// The class refresh of step 12 cannot take a file with another number of
// host classes. That is known now, before the version commit writes
// anything: refused here, the host's file stays as it was (refused after
// it, an open of the saved version would already have dropped the
// mini-saved one).
FSStatus CheckClassCount(const Opening &o) {
    const FCB *fcb = o.fcb;
    if (o.ctx->classCount == 0 || FSNeedsUpgrade(fcb->h.appVersion, o.ctx)) return 0;
    return fcb->h.classCount - CLASS_FIRST_HOST != o.ctx->classCount ? FS_E_BAD_CLASSES : 0;
}

FSStatus Open(Opening &o) {
    FSStatus status = MakeFcb(o);
    if (status == 0) status = FSCheckFile(o.fcb->file, o.ctx, &o.fcb->h, &o.check);
    if (status == 0) status = ChooseWorkingFile(o);
    if (status == 0) status = Convert(o);
    if (status == 0) status = CheckHeader(o);
    if (status == 0) {
        TakeStamp(o.fcb);
        status = LoadClasses(o.fcb);
    }
    if (status == 0) status = CheckClassCount(o);
    if (status == 0) status = SetUpMemory(o.fcb, o.ctx);
    if (status == 0) status = OpenVersion(o);
    return status;
}

} // namespace

extern "C" FSStatus FSFileOpen(const VMFileSpec *spec, uint32_t version, uint32_t asCopy,
                               const FSContext *ctx, FCB **fcbOut, uint16_t *rootOut) {
    if (fcbOut == nullptr || spec == nullptr || ctx == nullptr) return FS_E_BAD_PARAMS;
    *fcbOut = nullptr;
    if (rootOut != nullptr) *rootOut = TID_NONE;
    if (version > FS_VERSION_MINI || (ctx->classCount != 0 && ctx->classes == nullptr))
        return FS_E_BAD_PARAMS;

    Opening o;
    o.host = spec;
    o.version = version;
    o.asCopy = asCopy;
    o.ctx = ctx;
    FSStatus status = Open(o);
    if (status != 0) {
        Discard(o);
        return status;
    }
    FCB *result;
    if ((status = FSFinishForHost(o, &result)) != 0) return status;
    result->h.lastStatus = o.warning;
    *fcbOut = result;
    if (rootOut != nullptr) *rootOut = FSRootTable(result);
    VMFlushFile(result->file);
    return 0;
}
