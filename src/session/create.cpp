// Creating a storage file: a new scratch file with its header, class table
// and an empty master table, open for work.
#include <cstring>

#include "blocks/space.h"
#include "session/close.h"
#include "tables/chunks.h"

namespace {

// A zeroed FCB with the fixed values of a new file's header.
FCB *NewFcb(const FSContext *ctx) {
    auto *fcb = static_cast<FCB *>(VMAlloc(sizeof(FCB)));
    if (fcb == nullptr) return nullptr;
    FileHeader &h = fcb->h;
    h.magic = FS_MAGIC;
    h.formatVersion = FORMAT_CURRENT;
    h.allocShift = 6;
    h.growShift = 12;
    h.versionFlags = VER_CURRENT;
    h.maxChunk = MAX_CHUNK_DEFAULT;
    h.formatMark = 1;
    h.lruHead = h.lruTail = THUNK_NONE;
    h.rootTable = TID_NONE; // set before the first header write: no root table yet
    h.fileType = ctx->fileType;
    h.appVersion = ctx->appVersion;
    return fcb;
}

// The class table: the four built-in classes, then the host's with their
// RID counters at 1.
FSClassDesc *NewClassTable(const FSContext *ctx, uint8_t count) {
    auto *table = static_cast<FSClassDesc *>(VMAlloc(uint32_t{count} * sizeof(FSClassDesc)));
    if (table == nullptr) return nullptr;
    for (uint8_t c = 0; c < CLASS_FIRST_HOST; ++c) table[c] = BuiltinClassDesc(c);
    for (uint8_t i = 0; i < ctx->classCount; ++i) {
        table[CLASS_FIRST_HOST + i] = ctx->classes[i];
        table[CLASS_FIRST_HOST + i].ridCounter = 1;
    }
    return table;
}

// Undoes a creation that failed before the master table was made: memory
// blocks, class table, the file (deleted) and the FCB.
void Discard(FCB *fcb) {
    if (fcb->freeList != 0) GlobalFree(fcb->freeList);
    if (fcb->thunkTable != 0) GlobalFree(fcb->thunkTable);
    VMFree(fcb->classTable);
    if (fcb->file != nullptr) VMCloseDeleteFile(fcb->file);
    VMFree(fcb->file);
    VMFree(fcb);
}

// Lays out the new file: header space at 0, the class table after it, and
// the header written showing the file open.
FSStatus LayOut(FCB *fcb) {
    uint32_t at;
    FSStatus status = BKAllocSpace(fcb, HEADER_SIZE, VER_CURRENT, &at);
    if (status != 0) return status;
    if (at != 0) return FS_E_HEADER_SPACE;
    const uint32_t bytes = uint32_t{fcb->h.classCount} * sizeof(FSClassDesc);
    if ((status = BKAllocSpace(fcb, bytes, VER_CURRENT, &at)) != 0) return status;
    if ((status = VMWrite(fcb->file, at, bytes, fcb->classTable)) != 0) return status;
    fcb->h.classTableOffset = at;
    fcb->h.stateFlags &= ~(STATE_CLOSED_CLEANLY | STATE_DIRTIED | STATE_DISK_FULL |
                           STATE_DIRTIED_PAGE | STATE_FATAL);
    return FSWriteHeader(fcb);
}

} // namespace

extern "C" FSStatus FSCreate(const FSContext *ctx, FCB **fcbOut) {
    if (fcbOut != nullptr) *fcbOut = nullptr;
    // Without fcbOut the new file could never be closed. The class count is
    // 8 bits: more than 251 host classes would wrap it.
    if (ctx == nullptr || fcbOut == nullptr) return FS_E_BAD_PARAMS;
    if (ctx->classCount > 0xFF - CLASS_FIRST_HOST || (ctx->classCount != 0 && ctx->classes == nullptr))
        return FS_E_BAD_PARAMS;

    FCB *fcb = NewFcb(ctx);
    if (fcb == nullptr) return FS_E_NOMEM;
    fcb->file = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    if (fcb->file == nullptr) {
        Discard(fcb);
        return FS_E_NOMEM;
    }
    std::memcpy(fcb->file, &ctx->scratchSpec, sizeof(VMFileSpec));
    fcb->file->bytes[6] |= VM_SPEC_TEMPORARY;
    FSStatus status = VMCreateFile(fcb->file);
    if (status != 0) {
        VMFree(fcb->file); // no file was made: nothing to delete
        fcb->file = nullptr;
        Discard(fcb);
        return status;
    }

    const auto count = static_cast<uint8_t>(ctx->classCount + CLASS_FIRST_HOST);
    fcb->classTable = NewClassTable(ctx, count);
    fcb->thunkTable = fcb->classTable != nullptr ? GlobalAlloc(GMEM_MOVEABLE, 1) : 0;
    if (fcb->thunkTable == 0) {
        Discard(fcb);
        return FS_E_NOMEM;
    }
    BKNewFreeList(fcb, 1); // without a list block the list just stays empty
    fcb->h.classCount = count;
    fcb->h.memBudget = ctx->memBudget;
    if ((status = LayOut(fcb)) != 0) {
        Discard(fcb);
        return status;
    }

    // The master table: one empty chunk, with no image yet.
    uint16_t root;
    if ((status = TBNewChunk(fcb, &fcb->h.currentRoot, CLASS_MASTER, 0, &root)) != 0) {
        FSCloseStep(fcb, 0, true);
        return status;
    }
    *fcbOut = fcb;
    return 0;
}
