// The estimated size of a compact copy of the current version.
#include "blocks/space.h"
#include "save/compact.h"
#include "tables/classes.h"
#include "tables/thunks.h"

FSStatus SAEstimate(FCB *fcb, uint32_t *size) {
    *size = 0;
    // Space the current version uses: every unlisted run (used by every
    // version, header and class table included) and every listed run it
    // owns.
    uint64_t total = 0, end = 0;
    const FreeEntry *list = fcb->h.freeCount != 0 ? BKLockFreeList(fcb) : nullptr;
    for (uint32_t i = 0; list != nullptr && i < fcb->h.freeCount; ++i) {
        if (list[i].pos > end) total += SARoundUp(fcb, list[i].pos - end);
        if (list[i].owners & VER_CURRENT) total += list[i].len;
        end = uint64_t{list[i].pos} + list[i].len;
    }
    if (list != nullptr) BKUnlockFreeList(fcb);
    if (fcb->h.fileSize > end) total += SARoundUp(fcb, fcb->h.fileSize - end);

    // Less the stored free list, which a compact file does not keep; chunks
    // in memory count at their size there instead of their old image's.
    uint64_t less = SARoundUp(fcb, uint64_t{fcb->h.savedFreeCount} * sizeof(FreeEntry));
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    for (uint16_t ti = 0; ti < fcb->h.thunkCount; ++ti) {
        const Thunk *t = ThunkAt(fcb, ti);
        if ((t->flags & THUNK_IN_USE) == 0 || (t->flags & THUNK_HAS_MEM) == 0) continue;
        const uint32_t recSize = ClassRecSize(fcb, t->cls);
        if (t->filePos != 0) less += SARoundUp(fcb, t->storedCount * recSize);
        total += SARoundUp(fcb, t->count * recSize);
    }
    total = total > less ? total - less : 0;
    *size = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
    return 0;
}

extern "C" FSStatus FSCompSize(FCB *fcb, uint32_t *sizeOut) {
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    if (sizeOut == nullptr) return FCBStatus(fcb, FS_E_BAD_PARAMS);
    return FCBStatus(fcb, SAEstimate(fcb, sizeOut));
}
