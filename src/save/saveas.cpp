// Save-as: writes the current version of an open file as a compact file
// and moves the FCB, at the same address, to it.
//
// Steps of the work, in the order that makes a save-as safe to interrupt:
//  1. The old file is only read until the new file is complete.
//  2. The new file gets its class table and images, its final length, a
//     flush, and only then its header, flushed again. Until the header is
//     durable the new file is no storage file at all (its magic reads 0), so
//     a crash leaves the old file as the one to open.
//  3. Saving onto the file itself writes the new file under a unique name in
//     the same folder and renames it over the file only after step 2: a
//     crash before the rename leaves the old file, after it the new one.
//  4. Then the switch, which cannot fail: the old file is closed without
//     keeping (when it was replaced, only its descriptor is closed), its
//     chunk memory, thunks and free list are freed, and the FCB describes
//     the new file. The blocks the switch needs are taken at the start.
// A failure before the switch deletes the new file and leaves the FCB open
// on the old file, usable as before.
#include <cstring>

#include "save/compact.h"
#include "session/close.h"
#include "tables/sessions.h"

namespace {

// stateFlags a compact file starts without: closedCleanly, dirtied,
// diskFull, 0x08, dirtiedPage, fatalError.
constexpr uint16_t kStateCleared = 0x6F;

// What becomes the FCB's at the switch, made before anything is written.
struct NewFile {
    VMFileSpec *spec = nullptr; // the new file's record
    HGLOBAL thunkTable = 0;     // an empty thunk table
    HGLOBAL freeList = 0;       // an empty free list
    bool created = false;
};

FSStatus Prepare(const VMFileSpec *target, NewFile *nf) {
    nf->spec = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    nf->thunkTable = GlobalAlloc(GMEM_MOVEABLE, 1);
    nf->freeList = GlobalAlloc(GMEM_MOVEABLE, 1);
    if (nf->spec == nullptr || nf->thunkTable == 0 || nf->freeList == 0) return FS_E_NOMEM;
    std::memcpy(nf->spec, target, sizeof(VMFileSpec));
    FSStatus status = VMCreateFile(nf->spec);
    nf->created = status == 0;
    return status;
}

// Deletes the new file and frees what was made for it.
void Discard(NewFile *nf) {
    if (nf->created) VMCloseDeleteFile(nf->spec);
    VMFree(nf->spec);
    if (nf->thunkTable != 0) GlobalFree(nf->thunkTable);
    if (nf->freeList != 0) GlobalFree(nf->freeList);
    *nf = NewFile{};
}

// A record for a new file with a unique name in the folder of target, of
// target's file type, marked temporary until it takes target's name.
FSStatus Beside(const VMFileSpec *target, VMFileSpec *out) {
    char folder[VM_MAX_PATH + 1];
    std::strncpy(folder, VMFileSpecPath(target), VM_MAX_PATH);
    folder[VM_MAX_PATH] = '\0';
    char *slash = std::strrchr(folder, '/');
    if (slash == nullptr) std::strcpy(folder, ".");
    else slash[slash == folder ? 1 : 0] = '\0';
    uint32_t fileType;
    std::memcpy(&fileType, target->bytes + 8, sizeof fileType);
    FSStatus status = VMMakeFileSpec(folder, fileType, out);
    out->bytes[6] = target->bytes[6] | VM_SPEC_TEMPORARY;
    return status;
}

// The header of the compact file: the FCB's, describing one version (saved
// and current) that ends at end, with no free list and nothing resident.
FileHeader CompactHeader(const FCB *fcb, const VMFileSpec *file, const ChunkRef &root,
                         uint32_t end) {
    FileHeader h = fcb->h;
    h.classTableOffset = static_cast<uint32_t>(SARoundUp(fcb, HEADER_SIZE));
    h.currentRoot = h.savedRoot = root;
    h.miniRoot = ChunkRef{};
    const uint16_t spareCount = h.spareRoot.storedCount; // bytes 76-77 are kept
    h.spareRoot = ChunkRef{};
    h.spareRoot.storedCount = spareCount;
    h.reserved34 = 0;
    h.versionFlags = VER_CURRENT | VER_SAVED;
    h.fileSize = h.savedFileSize = end;
    h.miniFileSize = 0;
    h.savedFreeCount = 0;
    h.savedFreeOffset = 0;
    h.stateFlags &= ~kStateCleared;
    uint32_t stamp;
    h.fileStamp = VMGetFileTime(file, &stamp) == 0 ? stamp : 0;
    h.freeCount = 0;
    h.thunkCount = 0;
    h.lruHead = h.lruTail = THUNK_NONE;
    h.memInUse = 0;
    return h;
}

// Step 2: images, length, flush, header, flush.
FSStatus WriteCompactFile(FCB *fcb, const VMFileSpec *file, const SaveProgress &progress,
                          FileHeader *header) {
    ChunkRef root;
    uint32_t end;
    FSStatus status = SAWriteImages(fcb, file, &progress, &root, &end);
    if (status == 0) status = VMSetFileSize(file, end);
    if (status == 0) status = VMFlushFile(file);
    if (status != 0) return status;
    *header = CompactHeader(fcb, file, root, end);
    status = VMWrite(file, 0, HEADER_SIZE, header);
    return status != 0 ? status : VMFlushFile(file);
}

// Step 4. replaced: the old file's name now leads to the new file. The new
// file stays open as it was made, read-write and locked against other
// writers: closing and opening it again would let another process take it
// in between, and could fail once the old file is gone.
void SwitchTo(FCB *fcb, NewFile *nf, const FileHeader &header, bool replaced) {
    if (replaced) {
        VMCloseFile(fcb->file);
        VMFree(fcb->file);
        fcb->file = nullptr;
    }
    FSCloseStep(fcb, 0, false);
    fcb->h = header;
    fcb->file = nf->spec;
    fcb->thunkTable = nf->thunkTable;
    fcb->freeList = nf->freeList;
    fcb->h.memInUse = GlobalSize(nf->freeList); // the list block is counted
    fcb->lostFrom = fcb->lostTo = 0;            // every image of the new file is there
    *nf = NewFile{};
}

// Writes the compact copy to the file spec names and switches the FCB to
// it; with replace, the new file then takes that record's name.
FSStatus WriteCompactCopy(FSSaveAsCallback callback, uintptr_t context, FCB *fcb,
                          const VMFileSpec *spec, const VMFileSpec *replace) {
    uint32_t estimate;
    FSStatus status = SAEstimate(fcb, &estimate);
    if (status != 0) return status;
    NewFile nf;
    if ((status = Prepare(spec, &nf)) != 0) {
        Discard(&nf);
        return status;
    }
    SaveProgress progress;
    if (callback != nullptr) {
        FSStatus answer = callback(fcb->file, nf.spec);
        if (answer != 0) {
            Discard(&nf);
            return answer;
        }
        progress = SaveProgress{callback, context};
        SAReport(progress, 0, estimate);
    }

    FileHeader header;
    status = VMSetFileSize(nf.spec, estimate);
    // The callback may not use the file: sessions it opened would outlive
    // the thunks they name.
    if (status == 0 && fcb->sessionsOpen != 0) status = FS_E_STILL_CHECKED_OUT;
    if (status == 0 && WriteCompactFile(fcb, nf.spec, progress, &header) != 0) status = FS_E_FATAL;
    if (status == 0 && replace != nullptr) {
        status = VMRenameFile(nf.spec, replace);
        if (status == 0) nf.spec->bytes[6] &= ~VM_SPEC_TEMPORARY; // now the host's file
    }
    if (status == 0) SwitchTo(fcb, &nf, header, replace != nullptr);
    else Discard(&nf);
    SAReport(progress, 2, estimate);
    return status;
}

} // namespace

extern "C" FSStatus FSSaveAsExt(FSSaveAsCallback callback, uintptr_t context, FCB *fcb,
                                VMFileSpec *target) {
    if (fcb == nullptr || target == nullptr) return FS_E_BAD_PARAMS;
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    // Sessions end here; one the walk cannot reach (a master chunk that
    // cannot be read) refuses the save-as instead of outliving its thunks.
    if (fcb->sessionsOpen != 0) TBCheckInAll(fcb);
    if (fcb->sessionsOpen != 0) return FCBStatus(fcb, FS_E_STILL_CHECKED_OUT);

    FSStatus status;
    if (VMSameFile(fcb->file, target)) {
        VMFileSpec beside;
        status = Beside(target, &beside);
        if (status == 0) status = WriteCompactCopy(callback, context, fcb, &beside, target);
    } else {
        target->bytes[6] &= ~VM_SPEC_TEMPORARY; // a save-as makes a normal file
        status = WriteCompactCopy(callback, context, fcb, target, nullptr);
    }
    return FCBStatus(fcb, status);
}

extern "C" FSStatus FSSaveAs(FCB *fcb, VMFileSpec *target) {
    return FSSaveAsExt(nullptr, 0, fcb, target);
}
