// Writing chunks back to new file space, children before parents.
#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

struct WriteBackState {
    bool locked = false;       // this call holds a platform lock of the block
    bool finished = false;     // written or dropped: stays off the list
    bool childChanged = false; // a child's reference changed: the parent is dirty
};

ChunkRef *RefAt(uint8_t *block, uint32_t i, uint16_t recSize) {
    return reinterpret_cast<ChunkRef *>(block + i * recSize);
}

// Writes back every resident child while quota remains. A failing child
// does not stop the others; the last failure is the result.
FSStatus WriteBackChildren(FCB *fcb, uint8_t *block, uint16_t count, uint16_t recSize,
                           uint32_t *quota) {
    FSStatus result = 0;
    for (uint32_t i = 0; i < count && *quota != 0; ++i) {
        ChunkRef *ref = RefAt(block, i, recSize);
        if ((ref->flags & REF_RESIDENT) == 0) continue;
        FSStatus status =
            ThunkLive(fcb, ref->thunk) ? BKWriteBack(fcb, ref->thunk, quota) : FS_E_LEVEL1;
        if (status != 0) result = status;
    }
    return result;
}

// Gives each resident child's thunk back into its reference, marking the
// parent dirty when the reference's position, count or class changed.
void GiveBackChildren(FCB *fcb, uint16_t ti, uint8_t *block, uint16_t count, uint16_t recSize,
                      bool *changed) {
    for (uint32_t i = 0; i < count; ++i) {
        ChunkRef *ref = RefAt(block, i, recSize);
        if ((ref->flags & REF_RESIDENT) == 0 || !ThunkLive(fcb, ref->thunk)) continue;
        if (BKGiveBack(fcb, ref)) {
            ThunkAt(fcb, ti)->flags |= THUNK_DIRTY;
            *changed = true;
        }
    }
}

// Gives up the chunk's old image (current version only) and writes its
// records to new space owned by the current version.
FSStatus WriteImage(FCB *fcb, uint16_t ti, const uint8_t *block, uint32_t bytes, uint16_t recSize,
                    uint32_t *quota) {
    Thunk *t = ThunkAt(fcb, ti);
    if (t->filePos != 0) {
        BKReleaseSpace(fcb, t->filePos, uint32_t{t->storedCount} * recSize, VER_CURRENT);
        ThunkAt(fcb, ti)->filePos = 0;
    }
    uint32_t position;
    FSStatus status = BKAllocSpace(fcb, bytes, VER_CURRENT, &position);
    if (status != 0) {
        *quota = 0; // no space: try no further chunk
        return status;
    }
    t = ThunkAt(fcb, ti);
    t->storedCount = t->count;
    t->filePos = position;
    return VMWrite(fcb->file, position, bytes, block);
}

FSStatus WriteBackChunk(FCB *fcb, uint16_t ti, uint32_t *quota, WriteBackState &s) {
    Thunk *t = ThunkAt(fcb, ti);
    if (ThunkBusy(t) != 0) return FS_E_STILL_CHECKED_OUT;
    if (t->lockCount != 0) return FS_E_LOCK_FOUND;
    const uint16_t recSize = ClassRecSize(fcb, t->cls);
    const bool parent = ClassHoldsRefs(fcb, t->cls);
    const uint16_t count = t->count;

    if (count == 0) { // no records: no image
        if (t->filePos != 0) {
            BKReleaseSpace(fcb, t->filePos, uint32_t{t->storedCount} * recSize, VER_CURRENT);
            ThunkAt(fcb, ti)->filePos = 0;
        }
        ThunkAt(fcb, ti)->storedCount = 0;
    }

    t = ThunkAt(fcb, ti);
    const bool hasData =
        (t->flags & THUNK_HAS_MEM) != 0 && (t->flags & THUNK_DISCARDABLE) == 0 && count != 0;
    uint8_t *block = nullptr;
    if (hasData) {
        if (!BKMemPresent(fcb, ti)) return FS_E_LEVEL1;
        void *address;
        FSStatus status = BKLockMem(fcb, ti, &address);
        if (status != 0) return status;
        s.locked = true;
        block = static_cast<uint8_t *>(address);
        if (parent) {
            status = WriteBackChildren(fcb, block, count, recSize, quota);
            if (status != 0) return status;
        }
    }
    if (*quota == 0) return 0; // used up: the chunk stays as it is
    if (!hasData) {
        ThunkAt(fcb, ti)->flags &= ~THUNK_DIRTY;
        s.finished = true;
        return 0;
    }

    if (parent) GiveBackChildren(fcb, ti, block, count, recSize, &s.childChanged);
    const uint32_t bytes = uint32_t{count} * recSize;
    if (ThunkAt(fcb, ti)->flags & THUNK_DIRTY) {
        FSStatus status = WriteImage(fcb, ti, block, bytes, recSize, quota);
        if (status != 0) return status;
    }
    BKUnlockMem(fcb, ti);
    s.locked = false;
    BKDiscardMem(fcb, ti);
    *quota -= std::min(bytes, *quota);
    ThunkAt(fcb, ti)->flags &= ~THUNK_DIRTY;
    s.finished = true;
    return 0;
}

} // namespace

bool BKGiveBack(FCB *fcb, ChunkRef *ref) {
    Thunk *t = ThunkAt(fcb, ref->thunk);
    bool changed = t->filePos != ref->filePos || t->storedCount != ref->storedCount || t->cls != ref->cls;
    // The reference counts its stored records from now on; the thunk may
    // next serve another chunk, even another index.
    if (t->count != t->storedCount || ref->thunk == fcb->locate.top || ref->thunk == fcb->locate.lastThunk)
        TBLayoutChanged(fcb);
    BKFreeMem(fcb, ref->thunk);
    std::memcpy(ref, t, 8);
    ref->flags &= static_cast<uint8_t>(~(REF_RESIDENT | REF_BUSY_MASK));
    ref->thunk = THUNK_NONE;
    std::memset(t, 0, sizeof(Thunk));
    return changed;
}

FSStatus BKWriteBack(FCB *fcb, uint16_t ti, uint32_t *quota) {
    if (!ThunkLive(fcb, ti)) return FS_E_LEVEL1;
    // In the fatal state memory and disk may be out of step: nothing more
    // goes to the file.
    if (fcb->h.stateFlags & STATE_FATAL) return FS_E_FATAL;
    const bool wasListed = (ThunkAt(fcb, ti)->flags & THUNK_ON_LIST) != 0;
    BKListRemove(fcb, ti);
    WriteBackState s;
    FSStatus status = WriteBackChunk(fcb, ti, quota, s);
    if (s.locked) BKUnlockMem(fcb, ti);
    if (!s.finished && (wasListed || s.childChanged)) BKListAppend(fcb, ti);
    return status;
}

FSStatus BKFlushList(FCB *fcb, uint32_t quota) {
    FSStatus result = 0;
    uint16_t firstFailed = THUNK_NONE;
    for (uint32_t k = 0; k < fcb->h.thunkCount && quota != 0; ++k) {
        uint16_t ti = fcb->h.lruHead;
        if (ti == THUNK_NONE || ti == firstFailed) break;
        FSStatus status = BKWriteBack(fcb, ti, &quota);
        if (status == 0) continue;
        result = status;
        if (firstFailed == THUNK_NONE) firstFailed = ti;
    }
    return result;
}

extern "C" FSStatus BKFlush(FCB *fcb, uint32_t quota) {
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    return BKFlushList(fcb, quota);
}
