// Ownership of file space across versions, and the stored free list.
#include "blocks/versions.h"

#include <cstring>
#include <initializer_list>

#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"

namespace {

uint64_t End(const FreeEntry &e) { return uint64_t{e.pos} + e.len; }

// Rebuilds the list in place from the front. Runs used by every version are
// dropped and close any free run being gathered; free runs that touch are
// gathered into one; runs of some versions are kept as they are.
struct Rebuild {
    FreeEntry *list;
    uint16_t written = 0; // entries kept so far
    bool runOpen = false; // list[written] is a free run still growing

    void Whole() { Close(); }
    void Free(const FreeEntry &e) {
        if (runOpen) {
            list[written].len += e.len;
        } else {
            list[written] = e;
            runOpen = true;
        }
    }
    void Partial(const FreeEntry &e) {
        Close();
        list[written++] = e;
    }
    void Close() {
        if (runOpen) ++written;
        runOpen = false;
    }
};

uint16_t Recompute(uint16_t owners, const VersionMove &m) {
    owners &= ~m.clear;
    return (owners & m.test) != 0 ? owners | m.set : owners & ~m.set;
}

// Rewrites the owner bits of n entries for the move and rebuilds the list in
// place; all is versionFlags after the move. An unlisted gap between entries
// is used by every version and keeps the free runs around it apart.
uint16_t RecomputeEntries(FreeEntry *list, uint16_t n, uint16_t all, const VersionMove &m) {
    Rebuild out{list};
    uint64_t end = 0; // end of the space seen so far
    for (uint16_t i = 0; i < n;) {
        FreeEntry e = list[i];
        if (e.pos > end) {
            out.Whole();
            end = e.pos;
            continue;
        }
        ZUN_ASSERT(e.pos == end, "free list entries overlap");
        e.owners = Recompute(e.owners, m);
        end = End(e);
        ++i;
        if (e.owners == all) out.Whole();
        else if (e.owners == 0) out.Free(e);
        else out.Partial(e);
    }
    out.Close();
    return out.written;
}

// Lists the unlisted run [pos, pos + len) as free among n entries (with room
// for one more) and merges it with free neighbours. A run that may not be
// listed, or that reaches into a listed one, stays as it is.
uint16_t FreeUnlisted(const FCB *fcb, FreeEntry *list, uint16_t n, uint32_t pos, uint32_t len) {
    if (pos == 0 || n >= FREE_LIST_MAX || !BKRunAllowed(fcb, pos, len)) return n;
    uint16_t i = 0;
    while (i < n && list[i].pos < pos) ++i;
    bool apart = (i == 0 || End(list[i - 1]) <= pos) && (i == n || uint64_t{pos} + len <= list[i].pos);
    if (!apart) return n;
    std::memmove(list + i + 1, list + i, (n - i) * sizeof(FreeEntry));
    list[i] = FreeEntry{0, pos, len};
    return BKMergeFree(list, static_cast<uint16_t>(n + 1), i);
}

// How the entry count changes when [p, p + s) is taken out of free entry e.
int CarveDelta(const FreeEntry &e, uint32_t p, uint32_t s) {
    return int{p > e.pos} + int{uint64_t{p} + s < End(e)} - 1;
}

// Takes [p, p + s) out of free entry j of count entries (with room for one
// more); what is left of the entry before and after it stays free.
uint16_t Carve(FreeEntry *list, uint16_t count, uint16_t j, uint32_t p, uint32_t s) {
    const FreeEntry e = list[j];
    const bool before = p > e.pos, after = uint64_t{p} + s < End(e);
    const auto rest = static_cast<uint32_t>(End(e) - p - s);
    if (before && after) {
        std::memmove(list + j + 2, list + j + 1, (count - j - 1) * sizeof(FreeEntry));
        list[j + 1] = FreeEntry{0, p + s, rest};
        list[j].len = p - e.pos;
        return static_cast<uint16_t>(count + 1);
    }
    if (before) {
        list[j].len = p - e.pos;
    } else if (after) {
        list[j].pos = p + s;
        list[j].len = rest;
    } else {
        std::memmove(list + j, list + j + 1, (count - j - 1) * sizeof(FreeEntry));
        return static_cast<uint16_t>(count - 1);
    }
    return count;
}

// Places the stored copy of the new list (*count entries) in a run that was
// free before the move (the n entries of old): the copy's space leaves the
// list, which may change the count by one, and the copy must hold the count
// that results. Placements that keep the count are tried first.
bool PlaceInFreeSpace(const FCB *fcb, const FreeEntry *old, uint16_t n, FreeEntry *list,
                      uint16_t *count, uint32_t *pos) {
    for (int delta : {0, 1, -1}) {
        const int want = *count + delta;
        if (want <= 0 || want > int{FREE_LIST_MAX}) continue;
        const uint32_t s = RoundUp(uint32_t(want) * sizeof(FreeEntry), fcb->h.allocShift);
        uint16_t j = 0;
        for (uint16_t i = 0; i < n; ++i) {
            const FreeEntry &o = old[i];
            if (o.owners != 0 || o.len < s) continue;
            while (j < *count && End(list[j]) <= o.pos) ++j;
            if (j == *count) break;
            const FreeEntry &e = list[j];
            if (e.owners != 0 || e.pos > o.pos || End(e) < End(o)) continue; // free stays free
            for (uint32_t p : {o.pos, static_cast<uint32_t>(End(o) - s)}) {
                if (CarveDelta(e, p, s) != delta) continue;
                *count = Carve(list, *count, j, p, s);
                *pos = p;
                return true;
            }
        }
    }
    return false;
}

// With a free tail to cut (entry count of the list, which ran free before
// the move in places): the copy goes to the first place in the tail that
// was free before the move, and the file is cut right after it. What lies
// before it in the tail stays a free run. False when no such place holds it.
bool PlaceInTail(const FCB *fcb, const FreeEntry *old, uint16_t n, FreeEntry *list,
                 uint16_t *count, uint32_t *pos, uint32_t *cutAt) {
    FreeEntry &tail = list[*count];
    for (uint16_t i = 0; i < n; ++i) {
        const FreeEntry &o = old[i];
        if (o.owners != 0 || o.pos < tail.pos) continue;
        const bool before = o.pos > tail.pos;
        const int want = *count + int{before};
        if (want > int{FREE_LIST_MAX}) return false;
        const uint32_t s = RoundUp(uint32_t(want) * sizeof(FreeEntry), fcb->h.allocShift);
        if (o.len < s) continue;
        if (before) tail.len = o.pos - tail.pos;
        *count = static_cast<uint16_t>(want);
        *pos = o.pos;
        *cutAt = o.pos + s;
        return true;
    }
    return false;
}

// Bytes of the stored copy the header names.
uint32_t StoredCopyBytes(const FCB *fcb) {
    return RoundUp(uint32_t{fcb->h.savedFreeCount} * sizeof(FreeEntry), fcb->h.allocShift);
}

FSStatus NewBlock(FCB *fcb, uint32_t bytes, HGLOBAL *handle) {
    *handle = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (*handle == 0) return FS_E_NOMEM;
    fcb->h.memInUse += GlobalSize(*handle);
    return 0;
}

void FreeBlock(FCB *fcb, HGLOBAL *handle) {
    if (*handle == 0) return;
    uint32_t size = GlobalSize(*handle);
    fcb->h.memInUse -= size < fcb->h.memInUse ? size : fcb->h.memInUse;
    GlobalFree(*handle);
    *handle = 0;
}

// The copy at the old end of the file, behind any free tail (which then
// stays): the file grows by exactly the copy's rounded size.
FSStatus GrowForCopy(FCB *fcb, VersionCommit *c) {
    const uint32_t end = fcb->h.fileSize;
    bool exact = true;
    FSStatus status = BKGrowFile(fcb, uint32_t{c->count} * sizeof(FreeEntry), &exact);
    if (status != 0) return status;
    c->grownFrom = c->copyPos = end;
    c->fileSize = c->uncutSize = fcb->h.fileSize;
    return 0;
}

// Builds the new list in c->list. False when a list cannot be locked.
bool BuildList(FCB *fcb, const VersionMove &move, VersionCommit *c, bool *placed) {
    const uint16_t n = fcb->h.freeCount;
    const FreeEntry *old = n != 0 ? BKLockFreeList(fcb) : nullptr;
    auto *list = static_cast<FreeEntry *>(GlobalLock(c->list));
    if ((n != 0 && old == nullptr) || list == nullptr) {
        if (old != nullptr) BKUnlockFreeList(fcb);
        if (list != nullptr) GlobalUnlock(c->list);
        return false;
    }
    if (n != 0) std::memcpy(list, old, n * sizeof(FreeEntry));
    uint16_t m = RecomputeEntries(list, n, c->versionFlags, move);
    // Every version gives up the previous stored copy with this move.
    m = FreeUnlisted(fcb, list, m, fcb->h.savedFreeOffset, StoredCopyBytes(fcb));
    const bool tail = move.cut && m > 0 && list[m - 1].owners == 0 && End(list[m - 1]) == c->fileSize;
    const uint32_t tailPos = tail ? list[m - 1].pos : 0;
    uint16_t count = tail ? static_cast<uint16_t>(m - 1) : m;
    // Best: the copy in free space before the tail, and the whole tail cut.
    *placed = count == 0 || PlaceInFreeSpace(fcb, old, n, list, &count, &c->copyPos);
    if (*placed && tail) c->fileSize = tailPos;
    if (!*placed && tail) *placed = PlaceInTail(fcb, old, n, list, &count, &c->copyPos, &c->fileSize);
    c->count = *placed ? count : m;
    if (old != nullptr) BKUnlockFreeList(fcb);
    GlobalUnlock(c->list);
    return true;
}

} // namespace

FSStatus BKPrepareCommit(FCB *fcb, const VersionMove &move, VersionCommit *c) {
    BlockOp op(fcb);
    *c = VersionCommit{};
    c->versionFlags = static_cast<uint16_t>((fcb->h.versionFlags & ~move.clear) | move.set);
    c->fileSize = c->uncutSize = fcb->h.fileSize;
    // Room for the list, the previous copy's run and a split around the new copy.
    FSStatus status = NewBlock(fcb, (uint32_t{fcb->h.freeCount} + 2) * sizeof(FreeEntry), &c->list);
    if (status != 0) return status;
    bool placed = false;
    if (!BuildList(fcb, move, c, &placed)) status = FS_E_FREELIST_LOCK;
    else if (!placed) status = GrowForCopy(fcb, c);
    if (status != 0) {
        BKDropCommit(fcb, c);
        *c = VersionCommit{};
        return status;
    }
    BKResizeHandle(fcb, &c->list, uint32_t{c->count} * sizeof(FreeEntry)); // only shrinks
    return 0;
}

FSStatus BKWriteCommitList(FCB *fcb, const VersionCommit &c) {
    if (c.count == 0) return 0;
    const void *list = GlobalLock(c.list);
    if (list == nullptr) return FS_E_FREELIST_LOCK;
    FSStatus status = VMWrite(fcb->file, c.copyPos, uint32_t{c.count} * sizeof(FreeEntry), list);
    GlobalUnlock(c.list);
    return status;
}

void BKCommitHeader(const VersionCommit &c, FileHeader &h) {
    h.versionFlags = c.versionFlags;
    h.savedFreeCount = c.count;
    h.savedFreeOffset = c.count != 0 ? c.copyPos : 0;
    h.fileSize = c.fileSize;
}

void BKAdoptCommit(FCB *fcb, VersionCommit *c) {
    BlockOp op(fcb);
    FreeBlock(fcb, &fcb->freeList);
    fcb->freeList = c->list;
    fcb->h.freeCount = c->count;
    c->list = 0;
    // A cut that does not reach the disk leaves bytes past fileSize, which
    // nothing names; the next open takes them off.
    if (c->fileSize < c->uncutSize) VMSetFileSize(fcb->file, c->fileSize);
}

void BKAdoptCommitUnsure(FCB *fcb, VersionCommit *c) {
    BlockOp op(fcb);
    FreeBlock(fcb, &c->list);
    if (fcb->freeList != 0) BKResizeHandle(fcb, &fcb->freeList, 1);
    fcb->h.freeCount = 0;
    fcb->h.fileSize = c->uncutSize; // the older header may name the tail
}

void BKDropCommit(FCB *fcb, VersionCommit *c) {
    BlockOp op(fcb);
    FreeBlock(fcb, &c->list);
    if (c->grownFrom != 0)
        BKReleaseSpace(fcb, c->grownFrom, c->uncutSize - c->grownFrom, fcb->h.versionFlags);
    c->grownFrom = 0;
}

void BKLoadFreeList(FCB *fcb) {
    BlockOp op(fcb);
    uint32_t n = fcb->h.savedFreeCount;
    uint64_t copyEnd = uint64_t{fcb->h.savedFreeOffset} + n * sizeof(FreeEntry);
    bool readable = n != 0 && n <= FREE_LIST_MAX && fcb->h.savedFreeOffset >= HEADER_SIZE &&
                    copyEnd <= fcb->h.fileSize;
    bool trusted = false;
    if (BKNewFreeList(fcb, readable ? n * sizeof(FreeEntry) + 1 : 1) == 0 && readable) {
        if (FreeEntry *list = BKLockFreeList(fcb)) {
            trusted = VMRead(fcb->file, fcb->h.savedFreeOffset, n * sizeof(FreeEntry), list) == 0 &&
                      BKFreeListValid(fcb, list, n);
            BKUnlockFreeList(fcb);
        }
    }
    if (trusted) {
        fcb->h.freeCount = static_cast<uint16_t>(n);
        return;
    }
    if (fcb->freeList != 0) BKResizeHandle(fcb, &fcb->freeList, 1);
    fcb->h.savedFreeCount = 0;
    fcb->h.savedFreeOffset = 0;
}
