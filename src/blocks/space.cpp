// File space: first-fit allocation, release with merging, list insertion
// and growth of the file.
#include "blocks/space.h"

#include <algorithm>
#include <cstring>

#include "blocks/checks.h"
#include "blocks/memory.h"

namespace {

constexpr uint32_t kMaxRequest = 0xFFFF;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

unsigned GrowShift(const FCB *fcb) {
    // The growth step is never finer than the granule, so free runs made by
    // growth stay aligned.
    uint16_t grow = fcb->h.growShift, alloc = fcb->h.allocShift;
    return std::max(grow, alloc);
}

// Lengthens the file from its fileSize by g bytes; a refusal or a length
// reaching 4 GiB sets diskFull. fileSize itself is the caller's to update.
FSStatus SetLength(FCB *fcb, uint32_t g) {
    uint64_t length = uint64_t{fcb->h.fileSize} + g;
    FSStatus status = length > kMaxFileSize
                          ? FS_E_DISKFULL
                          : VMSetFileSize(fcb->file, static_cast<uint32_t>(length));
    if (status != 0) fcb->h.stateFlags |= STATE_DISK_FULL;
    return status;
}

// Lengthens a free run that ends at fileSize by g bytes; false when the
// list does not end in one.
bool ExtendLastFreeRun(FCB *fcb, uint32_t g) {
    if (fcb->h.freeCount == 0) return false;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return false;
    FreeEntry &last = list[fcb->h.freeCount - 1];
    bool extend = last.owners == 0 && uint64_t{last.pos} + last.len == fcb->h.fileSize;
    if (extend) last.len += g;
    BKUnlockFreeList(fcb);
    return extend;
}

// First fit: takes r bytes for owner from the first free run that holds
// them. A run that is not used by every version (!*whole) gets its own
// entry; when that entry cannot be made, *whole is set and nothing is taken.
bool TakeFreeRun(FCB *fcb, uint32_t r, uint16_t owner, bool *whole, uint32_t *position) {
    if (fcb->h.freeCount == 0) return false;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) {
        *whole = true;
        return false;
    }
    uint16_t n = fcb->h.freeCount;
    uint16_t i = 0;
    while (i < n && !(list[i].owners == 0 && list[i].len >= r)) ++i;
    if (i == n) {
        BKUnlockFreeList(fcb);
        return false;
    }
    uint32_t pos = list[i].pos;
    if (r < list[i].len) {
        if (!*whole) {
            BKUnlockFreeList(fcb);
            if (BKInsertFree(fcb, pos, r, owner, i) != 0 ||
                (list = BKLockFreeList(fcb)) == nullptr) {
                *whole = true;
                return false;
            }
            ++i;
        }
        list[i].pos += r;
        list[i].len -= r;
    } else {
        list[i].owners = owner;
    }
    BKUnlockFreeList(fcb);
    *position = pos;
    return true;
}

} // namespace

bool BKRunAllowed(const FCB *fcb, uint32_t pos, uint32_t len) {
    uint32_t g = Granule(fcb);
    uint64_t end = uint64_t{pos} + len;
    if (len == 0 || pos % g != 0 || len % g != 0) return false;
    if (pos < HEADER_SIZE || end > fcb->h.fileSize) return false;
    uint64_t ct = fcb->h.classTableOffset;
    uint64_t ctEnd = ct + uint64_t{fcb->h.classCount} * sizeof(FSClassDesc);
    return ct == 0 || ctEnd <= pos || end <= ct;
}

uint16_t BKMergeFree(FreeEntry *list, uint16_t n, uint16_t i) {
    uint16_t lo = i, hi = i;
    while (lo > 0 && list[lo - 1].owners == 0 &&
           uint64_t{list[lo - 1].pos} + list[lo - 1].len == list[lo].pos)
        --lo;
    while (hi + 1 < n && list[hi + 1].owners == 0 &&
           uint64_t{list[hi].pos} + list[hi].len == list[hi + 1].pos)
        ++hi;
    if (lo == hi) return n;
    list[lo].len = list[hi].pos + list[hi].len - list[lo].pos;
    std::memmove(list + lo + 1, list + hi + 1, (n - hi - 1) * sizeof(FreeEntry));
    return static_cast<uint16_t>(n - (hi - lo));
}

FSStatus BKNewFreeList(FCB *fcb, uint32_t bytes) {
    if (fcb->freeList != 0) {
        uint32_t size = GlobalSize(fcb->freeList), inUse = fcb->h.memInUse;
        fcb->h.memInUse = inUse - std::min(size, inUse);
        GlobalFree(fcb->freeList);
    }
    fcb->h.freeCount = 0;
    fcb->freeList = GlobalAlloc(GMEM_MOVEABLE, std::max(bytes, 1u));
    if (fcb->freeList == 0) return FS_E_NOMEM;
    fcb->h.memInUse += GlobalSize(fcb->freeList);
    return 0;
}

FreeEntry *BKLockFreeList(FCB *fcb) {
    return fcb->freeList != 0 ? static_cast<FreeEntry *>(GlobalLock(fcb->freeList)) : nullptr;
}

void BKUnlockFreeList(FCB *fcb) { GlobalUnlock(fcb->freeList); }

bool BKFreeListValid(const FCB *fcb, const FreeEntry *entries, uint32_t count) {
    if (count > FREE_LIST_MAX) return false;
    constexpr uint16_t kVersions = VER_CURRENT | VER_MINI | VER_SAVED;
    for (uint32_t i = 0; i < count; ++i) {
        if (!BKRunAllowed(fcb, entries[i].pos, entries[i].len)) return false;
        if (entries[i].owners & ~kVersions) return false;
        if (i > 0 && uint64_t{entries[i - 1].pos} + entries[i - 1].len > entries[i].pos)
            return false;
    }
    return true;
}

FSStatus BKAllocSpace(FCB *fcb, uint32_t length, uint16_t owner, uint32_t *position) {
    BlockOp op(fcb);
    *position = 0;
    if (length > kMaxRequest) return FS_E_BLOCK_LIMIT;
    if (length == 0) return 0;
    uint32_t r = RoundUp(length, fcb->h.allocShift);
    for (;;) {
        bool whole = owner == fcb->h.versionFlags;
        if (TakeFreeRun(fcb, r, owner, &whole, position)) return 0;
        uint32_t end = fcb->h.fileSize;
        bool exact = whole;
        FSStatus status = BKGrowFile(fcb, length, &exact);
        if (status != 0) return status;
        if (exact) {
            *position = end;
            return 0;
        }
        // The growth is now a free run at the end of the list: take from it.
    }
}

void BKReleaseSpace(FCB *fcb, uint32_t position, uint32_t length, uint16_t remove) {
    BlockOp op(fcb);
    if (length > kMaxRequest) return;
    uint32_t r = RoundUp(length, fcb->h.allocShift);
    if (!BKRunAllowed(fcb, position, r)) return;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return;
    uint16_t n = fcb->h.freeCount;
    uint16_t i = 0;
    while (i < n && list[i].pos < position) ++i;
    if (i == n || list[i].pos != position) {
        // Not listed, so used by every version: list it, unless it would
        // reach into a listed run.
        bool apart = (i == 0 || uint64_t{list[i - 1].pos} + list[i - 1].len <= position) &&
                     (i == n || uint64_t{position} + r <= list[i].pos);
        BKUnlockFreeList(fcb);
        if (!apart || BKInsertFree(fcb, position, r, fcb->h.versionFlags, i) != 0) return;
        if ((list = BKLockFreeList(fcb)) == nullptr) return;
        n = fcb->h.freeCount;
    }
    uint16_t merged = n;
    if (list[i].len == r) {
        list[i].owners &= ~remove;
        if (list[i].owners == 0) merged = BKMergeFree(list, n, i);
    }
    BKUnlockFreeList(fcb);
    if (merged != n) {
        fcb->h.freeCount = merged;
        BKResizeHandle(fcb, &fcb->freeList, uint32_t{merged} * sizeof(FreeEntry));
    }
}

FSStatus BKInsertFree(FCB *fcb, uint32_t position, uint32_t length, uint16_t owner,
                      uint16_t index) {
    BlockOp op(fcb);
    uint16_t n = fcb->h.freeCount;
    if (uint32_t{n} + 1 > FREE_LIST_MAX) return FS_E_FREELIST_FULL;
    if (index > n) index = n;
    FSStatus status = BKResizeHandle(fcb, &fcb->freeList, (uint32_t{n} + 1) * sizeof(FreeEntry));
    if (status != 0) return status;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return FS_E_LOCKMEM;
    std::memmove(list + index + 1, list + index, (n - index) * sizeof(FreeEntry));
    list[index] = FreeEntry{owner, position, length};
    fcb->h.freeCount = n + 1;
    BKUnlockFreeList(fcb);
    return 0;
}

FSStatus BKGrowFile(FCB *fcb, uint32_t length, bool *exact) {
    BlockOp op(fcb);
    uint32_t old = fcb->h.fileSize;
    uint32_t g = RoundUp(length, *exact ? fcb->h.allocShift : GrowShift(fcb));
    FSStatus status = SetLength(fcb, g);
    if (status != 0) return status;
    if (!*exact) {
        if (ExtendLastFreeRun(fcb, g) ||
            BKInsertFree(fcb, old, g, 0, fcb->h.freeCount) == 0) {
            fcb->h.fileSize = old + g;
            return 0;
        }
        // The step cannot be listed: grow by exactly the request instead.
        VMSetFileSize(fcb->file, old);
        *exact = true;
        g = RoundUp(length, fcb->h.allocShift);
        status = SetLength(fcb, g);
        if (status != 0) return status;
    }
    fcb->h.fileSize = old + g;
    return 0;
}
