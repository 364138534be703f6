// The stored free list: where it lies, its entries, and what its runs cover.
// A run lists the versions that still use it (owner bits; 0 = free); space
// not on the list is used by every version. So a run must not cover a live
// image of a version missing from its owner bits, and the space every
// version uses (header, class table, the list itself) may be listed only as
// used by every version.
#include "check/check.h"

namespace {

constexpr uint16_t OWNER_BITS = VER_CURRENT | VER_MINI | VER_SAVED;

void CheckEntry(CheckRun &run, const FreeEntry &e, const FreeEntry *prev, uint32_t at) {
    if (e.owners & ~OWNER_BITS)
        CheckAdd(run, ZUNFS_CHECK_FREE_OWNERS, 0, at, "free entry at %u has unknown owner bits 0x%x", at, e.owners);
    if (e.len == 0)
        CheckAdd(run, ZUNFS_CHECK_FREE_ALIGN, 0, at, "free entry at %u is empty (run at %u)", at, e.pos);
    else if (e.pos % run.granule != 0 || e.len % run.granule != 0)
        CheckAdd(run, ZUNFS_CHECK_FREE_ALIGN, 0, at, "run of %u bytes at %u is not on %u-byte granules", e.len, e.pos,
                 run.granule);
    if (uint64_t(e.pos) + e.len > run.h.fileSize)
        CheckAdd(run, ZUNFS_CHECK_FREE_RANGE, 0, at, "run of %u bytes at %u ends past fileSize %u", e.len, e.pos,
                 run.h.fileSize);
    if (prev != nullptr && uint64_t(e.pos) < uint64_t(prev->pos) + prev->len)
        CheckAdd(run, ZUNFS_CHECK_FREE_ORDER, 0, at, "run at %u %s the run of %u bytes at %u before it", e.pos,
                 e.pos < prev->pos ? "is out of order after" : "overlaps", prev->len, prev->pos);
}

void CheckCover(CheckRun &run, const FreeEntry &e) {
    uint16_t all = run.h.versionFlags;
    if ((e.owners & all) != all) {
        Structure st[3];
        int n = CheckStructures(run, st);
        for (int i = 0; i < n; ++i)
            if (Meets(e.pos, e.len, st[i].pos, st[i].len))
                CheckAdd(run, ZUNFS_CHECK_FREE_OVER_STRUCTURE, 0, e.pos,
                         "run of %u bytes at %u with owners 0x%x covers the %s, which every version uses", e.len,
                         e.pos, e.owners, st[i].name);
    }
    for (const CheckVersion &v : run.versions) {
        if (e.owners & v.bit) continue;
        auto it = FirstMeeting(v.images, e.pos, e.len);
        if (it == v.images.end()) continue;
        char d[48];
        CheckAdd(run, ZUNFS_CHECK_FREE_OVER_LIVE, v.bit, e.pos,
                 "run of %u bytes at %u with owners 0x%x covers %s (%u bytes at %u) of the %s version", e.len, e.pos,
                 e.owners, DescribeImage(it->second, d, sizeof d), it->second.len, it->second.pos,
                 v.bit == VER_SAVED ? "saved" : "mini-saved");
    }
}

} // namespace

void LoadFreeList(CheckRun &run) {
    const FileHeader &h = run.h;
    uint32_t count = h.savedFreeCount, at = h.savedFreeOffset;
    if (count == 0) return;
    uint32_t len = count * FREE_ENTRY_SIZE;
    if (count > FREE_LIST_MAX) {
        CheckAdd(run, ZUNFS_CHECK_FREE_LIST, 0, at, "the stored free list has %u entries, more than %u", count,
                 FREE_LIST_MAX);
        return;
    }
    if (at < HEADER_SIZE) {
        CheckAdd(run, ZUNFS_CHECK_FREE_LIST, 0, at, "the stored free list at %u overlaps the header", at);
        return;
    }
    if (uint64_t(at) + len > run.length) {
        CheckAdd(run, ZUNFS_CHECK_FREE_LIST, 0, at, "the stored free list (%u bytes at %u) lies past the end of the file",
                 len, at);
        return;
    }
    if (at % run.granule != 0)
        CheckAdd(run, ZUNFS_CHECK_FREE_LIST, 0, at, "the stored free list at %u is not on a %u-byte granule", at,
                 run.granule);
    if (uint64_t(at) + len > h.fileSize)
        CheckAdd(run, ZUNFS_CHECK_FREE_LIST, 0, at, "the stored free list (%u bytes at %u) ends past fileSize %u", len,
                 at, h.fileSize);
    if (run.classesRead && Meets(at, len, h.classTableOffset, uint32_t(h.classCount) * DESC_SIZE))
        CheckAdd(run, ZUNFS_CHECK_STRUCTURE, 0, at, "the stored free list at %u overlaps the class table", at);
    run.freeList.resize(count);
    run.freeListRead = CheckRead(run, at, len, run.freeList.data(), 0);
    if (!run.freeListRead) run.freeList.clear();
}

void CheckFreeList(CheckRun &run) {
    const FreeEntry *prev = nullptr;
    for (size_t i = 0; i < run.freeList.size(); ++i) {
        const FreeEntry &e = run.freeList[i];
        CheckEntry(run, e, prev, run.h.savedFreeOffset + uint32_t(i * FREE_ENTRY_SIZE));
        CheckCover(run, e);
        prev = &e;
    }
}
