// Movable memory blocks of resident chunks and their accounting.
#include "blocks/memory.h"

#include "blocks/cache.h"
#include "blocks/checks.h"
#include "tables/thunks.h"

namespace {

void Count(FCB *fcb, uint32_t bytes) { fcb->h.memInUse += bytes; }

void Uncount(FCB *fcb, uint32_t bytes) {
    ZUN_ASSERT(fcb->h.memInUse >= bytes, "memInUse would go below zero");
    fcb->h.memInUse = fcb->h.memInUse >= bytes ? fcb->h.memInUse - bytes : 0;
}

bool Reclaimed(HGLOBAL handle) {
    return (GlobalFlags(handle) & (GMEM_DISCARDED | GMEM_INVALID_HANDLE)) != 0;
}

} // namespace

FSStatus BKAllocMem(FCB *fcb, uint16_t ti, uint32_t size) {
    BKMakeRoom(fcb, size);
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, size);
    if (handle == 0) {
        BKFlushAll(fcb);
        handle = GlobalAlloc(GMEM_MOVEABLE, size);
    }
    Thunk *t = ThunkAt(fcb, ti);
    if (handle == 0) {
        t->flags &= ~THUNK_HAS_MEM;
        t->mem = 0;
        return FS_E_NOMEM;
    }
    Count(fcb, GlobalSize(handle));
    t->mem = handle;
    t->flags = (t->flags & 0xE1) | THUNK_HAS_MEM; // keeps bits 0, 5-7
    t->lockCount = 0;
    return 0;
}

void BKFreeMem(FCB *fcb, uint16_t ti) {
    Thunk *t = ThunkAt(fcb, ti);
    if (t->mem != 0) {
        if ((t->flags & THUNK_DISCARDABLE) == 0) Uncount(fcb, GlobalSize(t->mem));
        GlobalFree(t->mem);
        t->mem = 0;
    }
    t->flags &= ~THUNK_HAS_MEM;
}

FSStatus BKResizeMem(FCB *fcb, uint16_t ti, uint32_t size) {
    HGLOBAL handle = ThunkAt(fcb, ti)->mem;
    if (handle == 0) return 0;
    if (Reclaimed(handle)) return BK_RECLAIMED;
    uint32_t current = GlobalSize(handle);
    if (size > current) BKMakeRoom(fcb, size - current);
    FSStatus status = BKResizeHandle(fcb, &handle, size);
    if (status != 0) {
        BKFlushAll(fcb);
        status = BKResizeHandle(fcb, &handle, size);
    }
    ThunkAt(fcb, ti)->mem = handle;
    return status;
}

FSStatus BKResizeHandle(FCB *fcb, HGLOBAL *handle, uint32_t size) {
    uint32_t before = GlobalSize(*handle);
    FSStatus status = VMRealloc(handle, size != 0 ? size : 1);
    if (status != 0) return status;
    Uncount(fcb, before);
    Count(fcb, GlobalSize(*handle));
    return 0;
}

FSStatus BKLockMem(FCB *fcb, uint16_t ti, void **address) {
    Thunk *t = ThunkAt(fcb, ti);
    if (address != nullptr) *address = nullptr;
    if (t->mem == 0) return FS_E_LOCKMEM;
    if (t->count == 0) return FS_E_ZERO_LOCK;
    if (t->flags & THUNK_DISCARDABLE) BKKeepMem(fcb, ti);
    void *p = GlobalLock(t->mem);
    if (address != nullptr) *address = p;
    return p != nullptr ? 0 : FS_E_LOCKMEM;
}

void BKUnlockMem(FCB *fcb, uint16_t ti) {
    Thunk *t = ThunkAt(fcb, ti);
    if (t->mem != 0) GlobalUnlock(t->mem);
}

void BKDiscardMem(FCB *fcb, uint16_t ti) {
    Thunk *t = ThunkAt(fcb, ti);
    if (t->flags & THUNK_DISCARDABLE) return;
    if (t->mem != 0) {
        Uncount(fcb, GlobalSize(t->mem));
        GlobalReAlloc(t->mem, 0, GMEM_MODIFY | GMEM_DISCARDABLE | GMEM_MOVEABLE);
    }
    t->flags |= THUNK_DISCARDABLE;
}

void BKKeepMem(FCB *fcb, uint16_t ti) {
    Thunk *t = ThunkAt(fcb, ti);
    if ((t->flags & THUNK_DISCARDABLE) == 0) return;
    if (t->mem != 0 && !Reclaimed(t->mem)) {
        GlobalReAlloc(t->mem, 0, GMEM_MODIFY);
        Count(fcb, GlobalSize(t->mem));
    }
    t->flags &= ~THUNK_DISCARDABLE;
}

bool BKMemPresent(FCB *fcb, uint16_t ti) {
    HGLOBAL handle = ThunkAt(fcb, ti)->mem;
    return handle != 0 && !Reclaimed(handle);
}

void *BKDerefMem(FCB *fcb, uint16_t ti) {
    HGLOBAL handle = ThunkAt(fcb, ti)->mem;
    return handle != 0 ? VMDeref(handle) : nullptr;
}
