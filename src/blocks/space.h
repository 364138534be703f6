// File space shared by the three versions of a storage file.
//
// The free list (fcb->freeList, h.freeCount FreeEntry records, at most
// 6144) lists runs of file space in position order with the versions that
// still use each run (0x1 current, 0x2 mini-saved, 0x4 saved; 0 = free).
// A run that is not listed is used by every version in h.versionFlags.
// Entries never overlap and start and end on multiples of the allocation
// granule (2^allocShift bytes). Every byte below fileSize lies in exactly
// one listed run or is used by every version.
//
// Positions are 32-bit: the file never grows to 4 GiB. Requests are at most
// 65535 bytes, as every chunk and the free list are.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// roundup(n, shift) = (n + 2^shift - 1) AND (0xFFFF << shift). Shifts above
// 15 (only a damaged header or class table has them) count as 15.
inline uint32_t RoundUp(uint32_t n, unsigned shift) {
    if (shift > 15) shift = 15;
    return (n + (1u << shift) - 1) & (0xFFFFu << shift);
}

// The allocation granule of the file in bytes.
inline uint32_t Granule(const FCB *fcb) {
    return 1u << (fcb->h.allocShift > 15 ? 15 : fcb->h.allocShift);
}

// Allocates length bytes (rounded up to the granule) owned by owner: first
// fit among the free runs, else at the end of the file, which grows in
// 4096-byte steps (exactly, when owner is every version). *position is 0 on
// failure and for an empty request. 0; FS_E_BLOCK_LIMIT for a request over
// 65535 bytes; the status of a refused growth (diskFull set).
FSStatus BKAllocSpace(FCB *fcb, uint32_t length, uint16_t owner, uint32_t *position);

// Takes the remove bits off the run at position; a run that becomes free
// merges with free neighbours. A run that is not listed is listed first as
// used by every version. A run that does not match its listed length, or
// that is unaligned, outside fileSize, over the header or class table, or
// across listed runs (only a damaged chunk reference names such a run), is
// left as it is.
void BKReleaseSpace(FCB *fcb, uint32_t position, uint32_t length, uint16_t remove);

// Inserts the entry (owner, position, length) at list index.
// 0, FS_E_FREELIST_FULL, FS_E_LOCKMEM, or the status of the resize.
FSStatus BKInsertFree(FCB *fcb, uint32_t position, uint32_t length, uint16_t owner,
                      uint16_t index);

// Lengthens the file by length rounded up to the granule (*exact) or the
// growth step; a step that is not exact is listed as a free run at the end.
// When it cannot be listed the growth falls back to exact (*exact set).
// Growth that would reach 4 GiB, or a refusal of the platform, sets diskFull
// and returns FS_E_DISKFULL or the platform's status.
FSStatus BKGrowFile(FCB *fcb, uint32_t length, bool *exact);

// True when count entries are sorted, disjoint, non-empty, aligned to the
// granule, within fileSize, clear of the header and the class table, and
// name no versions but the three.
bool BKFreeListValid(const FCB *fcb, const FreeEntry *entries, uint32_t count);

// True when [pos, pos + len) may be listed: non-empty, on granules, within
// fileSize, clear of the header and of the class table.
bool BKRunAllowed(const FCB *fcb, uint32_t pos, uint32_t len);

// Merges the free run at index i of the n entries with the free runs that
// touch it; returns the new entry count.
uint16_t BKMergeFree(FreeEntry *list, uint16_t n, uint16_t i);

// Gives the FCB a new, empty free list: a movable block of bytes bytes
// (at least 1), counted in memInUse like every block of the list, replacing
// any block it had. FS_E_NOMEM leaves the FCB without a list block (the list
// then stays empty). File creation calls it with 1; opening loads the stored
// list into it (BKLoadFreeList).
FSStatus BKNewFreeList(FCB *fcb, uint32_t bytes);

// Locks the free list (null when it has no block or cannot be locked).
FreeEntry *BKLockFreeList(FCB *fcb);
void BKUnlockFreeList(FCB *fcb);
