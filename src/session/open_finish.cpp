// The last step of an open: a file of another application version goes to
// the host's upgrade hook, any other file has its host classes refreshed
// from the context.
#include <cstring>

#include "session/open.h"

namespace {

constexpr uint32_t COMPARED_BYTES = offsetof(FSClassDesc, ridCounter); // the RID counter is the file's

bool Temporary(const FCB *fcb) { return (fcb->file->bytes[6] & VM_SPEC_TEMPORARY) != 0; }

// A failed upgrade closes the FCB: a file this open made is deleted, the
// host's own file is kept, marked closed.
FSStatus Fail(Opening &o, FSStatus status) {
    FSFileClose(o.fcb, o.copy ? 0 : 1);
    o.fcb = nullptr;
    return status;
}

// The host moves the file's content into a new scratch file; the RID
// counters of the classes both files have go with it.
FSStatus Upgrade(Opening &o, FCB **result) {
    FCB *old = o.fcb;
    FCB *moved = nullptr;
    FSStatus status = FSCreate(o.ctx, &moved);
    if (status != 0) return Fail(o, status);
    const uint8_t shared = old->h.classCount < moved->h.classCount ? old->h.classCount : moved->h.classCount;
    for (uint8_t c = CLASS_FIRST_HOST; c < shared; ++c)
        moved->classTable[c].ridCounter = old->classTable[c].ridCounter;
    status = o.ctx->upgradeHook(old, moved);
    if (status != 0) {
        FSFileClose(moved, 0);
        return Fail(o, status);
    }
    FSFileClose(old, Temporary(old) ? 0 : 1);
    o.fcb = nullptr;
    moved->h.lastStatus = 0;
    *result = moved;
    return 0;
}

// The host's descriptors replace the file's where they differ (the RID
// counters stay the file's); the class counts agree (checked before the
// version was committed). The write of the table is not checked: the
// refreshed table is in memory and is written again by every save.
void RefreshClasses(FCB *fcb, const FSContext *ctx) {
    bool changed = false;
    for (uint8_t i = 0; i < ctx->classCount; ++i) {
        FSClassDesc &mine = fcb->classTable[CLASS_FIRST_HOST + i];
        if (std::memcmp(&mine, &ctx->classes[i], COMPARED_BYTES) == 0) continue;
        std::memcpy(&mine, &ctx->classes[i], COMPARED_BYTES);
        changed = true;
    }
    if (changed)
        VMWrite(fcb->file, fcb->h.classTableOffset, uint32_t{fcb->h.classCount} * sizeof(FSClassDesc),
                fcb->classTable);
}

} // namespace

FSStatus FSFinishForHost(Opening &o, FCB **result) {
    *result = nullptr;
    FCB *fcb = o.fcb;
    if (FSNeedsUpgrade(fcb->h.appVersion, o.ctx)) {
        if (o.ctx->upgradeHook != nullptr) return Upgrade(o, result);
    } else if (o.ctx->classCount != 0) {
        RefreshClasses(fcb, o.ctx);
    }
    fcb->h.lastStatus = 0;
    *result = fcb;
    o.fcb = nullptr;
    return 0;
}
