// Loading chunk images, the resident list and the memory-shortage policy.
#include "blocks/cache.h"

#include <algorithm>
#include <cstring>

#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

// Answers a load that must not happen: the file's state is fatal from now on.
FSStatus Unreadable(FCB *fcb) {
    fcb->h.stateFlags |= STATE_FATAL;
    return FS_E_FATAL;
}

// True when the thunk's reference can describe a chunk of this file whose
// image is still there.
bool Plausible(FCB *fcb, const Thunk &t) {
    const FSClassDesc *d = ClassDesc(fcb, t.cls);
    if (d == nullptr) return false;
    uint32_t limit = fcb->h.maxChunk;
    if (uint32_t{t.count} * d->recSize > limit) return false;
    if (t.filePos == 0) return true;
    uint32_t image = uint32_t{t.storedCount} * d->recSize;
    uint64_t end = uint64_t{t.filePos} + image;
    if (fcb->lostTo != 0 && t.filePos < fcb->lostTo && end > fcb->lostFrom) return false;
    return image <= limit && end <= fcb->h.fileSize;
}

// References at rest carry no resident bit or busy count; any found in an
// image are cleared so they are never taken for thunk indexes.
void ClearStaleRefs(uint8_t *records, uint32_t bytes, uint16_t recSize) {
    for (uint32_t at = 0; at + sizeof(ChunkRef) <= bytes; at += recSize)
        records[at] &= static_cast<uint8_t>(~(REF_RESIDENT | REF_BUSY_MASK));
}

// Reads the image into the locked block and zeroes what it does not cover.
FSStatus FillBlock(FCB *fcb, const Thunk &t, uint16_t recSize, uint8_t *block, uint32_t size) {
    uint32_t bytes = 0;
    if (t.filePos != 0) {
        uint16_t stored = t.storedCount, count = t.count;
        bytes = uint32_t{std::min(stored, count)} * recSize;
        if (bytes != 0 && VMRead(fcb->file, t.filePos, bytes, block) != 0) return FS_E_FATAL;
    }
    std::memset(block + bytes, 0, size - bytes);
    if (ClassHoldsRefs(fcb, t.cls)) ClearStaleRefs(block, bytes, recSize);
    return 0;
}

} // namespace

FSStatus BKLoadChunk(FCB *fcb, uint16_t ti, void **address) {
    if (address != nullptr) *address = nullptr;
    if (fcb->h.stateFlags & STATE_FATAL) return FS_E_FATAL;
    if (ThunkAt(fcb, ti)->flags & THUNK_HAS_MEM) BKFreeMem(fcb, ti);
    if (!Plausible(fcb, *ThunkAt(fcb, ti))) {
        FS_CORRUPT(fcb, FS_E_FATAL); // a damaged reference: never read
        return Unreadable(fcb);
    }
    if (ThunkAt(fcb, ti)->count == 0) return FS_E_ZERO_LOCK;

    // Pinned while loading: a write-back started by the allocation refuses
    // this chunk and its parent.
    ThunkPin(ThunkAt(fcb, ti), +1);
    const FSClassDesc *d = ClassDesc(fcb, ThunkAt(fcb, ti)->cls);
    uint32_t size = RoundUp(uint32_t{ThunkAt(fcb, ti)->count} * d->recSize, d->allocShift);
    void *block = nullptr;
    FSStatus status = BKAllocMem(fcb, ti, size);
    if (status == 0) status = BKLockMem(fcb, ti, &block);
    if (status == 0 && FillBlock(fcb, *ThunkAt(fcb, ti), d->recSize,
                                 static_cast<uint8_t *>(block), size) != 0) {
        // The block holds no valid image: free it, so that no later lock
        // can take its bytes for the chunk's records.
        BKUnlockMem(fcb, ti);
        BKFreeMem(fcb, ti);
        block = nullptr;
        status = Unreadable(fcb);
    }
    ThunkPin(ThunkAt(fcb, ti), -1);
    if (address != nullptr) *address = status == 0 ? block : nullptr;
    return status;
}

void BKListAppend(FCB *fcb, uint16_t ti) {
    if (fcb->thunks == nullptr) return;
    BKListRemove(fcb, ti);
    Thunk *t = ThunkAt(fcb, ti);
    t->next = THUNK_NONE;
    t->prev = fcb->h.lruTail;
    if (fcb->h.lruTail == THUNK_NONE) fcb->h.lruHead = ti;
    else ThunkAt(fcb, fcb->h.lruTail)->next = ti;
    fcb->h.lruTail = ti;
    t->flags |= THUNK_ON_LIST;
}

void BKListRemove(FCB *fcb, uint16_t ti) {
    Thunk *t = ThunkAt(fcb, ti);
    if ((t->flags & THUNK_ON_LIST) == 0) return;
    if (t->next != THUNK_NONE) ThunkAt(fcb, t->next)->prev = t->prev;
    else fcb->h.lruTail = t->prev;
    if (t->prev != THUNK_NONE) ThunkAt(fcb, t->prev)->next = t->next;
    else fcb->h.lruHead = t->next;
    t->next = t->prev = THUNK_NONE;
    t->flags &= ~THUNK_ON_LIST;
}

void BKFlushAll(FCB *fcb) {
    ThunkLock lock(fcb);
    if (lock.held) BKFlushList(fcb, BK_QUOTA_ALL);
}

void BKMakeRoom(FCB *fcb, uint32_t n) {
    if (fcb->h.memBudget == 0 || uint64_t{fcb->h.memInUse} + n <= fcb->h.memBudget) return;
    ThunkLock lock(fcb);
    if (lock.held) BKFlushList(fcb, n);
}
