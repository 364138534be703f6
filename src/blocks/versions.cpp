// Ownership of file space across versions, and the stored free list.
#include "blocks/versions.h"

#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"

namespace {

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

uint16_t Recompute(uint16_t owners, uint16_t clear, uint16_t test, uint16_t set) {
    owners &= ~clear;
    return (owners & test) != 0 ? owners | set : owners & ~set;
}

// Frees the space of the previous stored copy of the list: every version has
// given it up.
void ReleaseStoredCopy(FCB *fcb) {
    if (fcb->h.savedFreeOffset != 0)
        BKReleaseSpace(fcb, fcb->h.savedFreeOffset,
                       uint32_t{fcb->h.savedFreeCount} * sizeof(FreeEntry), fcb->h.versionFlags);
    fcb->h.savedFreeCount = 0;
    fcb->h.savedFreeOffset = 0;
}

// Writes the list to new space used by every version and names it in the
// header image.
FSStatus WriteStoredCopy(FCB *fcb) {
    uint32_t position;
    FSStatus status = BKAllocSpace(fcb, uint32_t{fcb->h.freeCount} * sizeof(FreeEntry),
                                   fcb->h.versionFlags, &position);
    if (status != 0) return status;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return FS_E_LOCKMEM;
    uint16_t count = fcb->h.freeCount;
    status = VMWrite(fcb->file, position, uint32_t{count} * sizeof(FreeEntry), list);
    BKUnlockFreeList(fcb);
    if (status != 0) return status;
    fcb->h.savedFreeCount = count;
    fcb->h.savedFreeOffset = position;
    return 0;
}

// Forgets every listed run: each is then used by every version.
void EmptyFreeList(FCB *fcb) {
    if (fcb->freeList != 0) BKResizeHandle(fcb, &fcb->freeList, 1);
    fcb->h.freeCount = 0;
    fcb->h.savedFreeCount = 0;
    fcb->h.savedFreeOffset = 0;
}

} // namespace

FSStatus BKRecomputeOwners(FCB *fcb, uint16_t clear, uint16_t test, uint16_t set, bool cut) {
    BlockOp op(fcb);
    uint16_t n = fcb->h.freeCount;
    if (n == 0) return 0;
    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return BK_LIST_UNLOCKABLE;

    const uint16_t all = fcb->h.versionFlags;
    Rebuild out{list};
    uint64_t end = 0; // end of the space seen so far
    for (uint16_t i = 0; i < n;) {
        FreeEntry e = list[i];
        if (e.pos > end) { // an unlisted gap: used by every version
            out.Whole();
            end = e.pos;
            continue;
        }
        ZUN_ASSERT(e.pos == end, "free list entries overlap");
        e.owners = Recompute(e.owners, clear, test, set);
        end = uint64_t{e.pos} + e.len;
        ++i;
        if (e.owners == all) out.Whole();
        else if (e.owners == 0) out.Free(e);
        else out.Partial(e);
    }
    out.Close();
    uint16_t kept = out.written;

    if (cut && kept > 0) {
        FreeEntry &last = list[kept - 1];
        if (last.owners == 0 && uint64_t{last.pos} + last.len == fcb->h.fileSize) {
            fcb->h.fileSize -= last.len;
            VMSetFileSize(fcb->file, fcb->h.fileSize);
            --kept;
        }
    }
    BKUnlockFreeList(fcb);
    if (kept != n) {
        fcb->h.freeCount = kept;
        BKResizeHandle(fcb, &fcb->freeList, uint32_t{kept} * sizeof(FreeEntry));
    }
    return 0;
}

// The steps in order: new versionFlags; the previous stored copy is freed
// (so the new copy may take its space); owners recomputed; the new copy
// allocated and written. Each step is one call, so their order is easy to
// change.
void BKCommitVersions(FCB *fcb, uint16_t clear, uint16_t test, uint16_t set, bool cut) {
    BlockOp op(fcb);
    fcb->h.versionFlags = (fcb->h.versionFlags & ~clear) | set;
    ReleaseStoredCopy(fcb);
    bool ok = BKRecomputeOwners(fcb, clear, test, set, cut) == 0 &&
              (fcb->h.freeCount == 0 || WriteStoredCopy(fcb) == 0);
    if (!ok) EmptyFreeList(fcb);
}

void BKLoadFreeList(FCB *fcb) {
    BlockOp op(fcb);
    uint32_t n = fcb->h.savedFreeCount;
    uint64_t copyEnd = uint64_t{fcb->h.savedFreeOffset} + n * sizeof(FreeEntry);
    bool readable = n != 0 && n <= FREE_LIST_MAX && fcb->h.savedFreeOffset >= HEADER_SIZE &&
                    copyEnd <= fcb->h.fileSize;
    if (BKNewFreeList(fcb, readable ? n * sizeof(FreeEntry) + 1 : 1) != 0 || !readable) return;

    FreeEntry *list = BKLockFreeList(fcb);
    if (list == nullptr) return;
    bool trusted = VMRead(fcb->file, fcb->h.savedFreeOffset, n * sizeof(FreeEntry), list) == 0 &&
                   BKFreeListValid(fcb, list, n);
    BKUnlockFreeList(fcb);
    if (trusted) fcb->h.freeCount = static_cast<uint16_t>(n);
    else BKResizeHandle(fcb, &fcb->freeList, 1);
}
