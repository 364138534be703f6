// Moving the ownership of file space between versions, and the stored copy
// of the free list.
//
// Every event that changes which versions exist rewrites each run's owner
// bits the same way: clear the clear bits; then set the set bits when any
// test bit is still set, else clear them.
//
//   event                                   clear test set  cut
//   save                                    0x6   0x1  0x4  no   saved := current
//   mini-save                               0x2   0x1  0x2  no   mini := current
//   open saved (or current after clean close) 0x2 0x4  0x1  no   current := saved
//   open mini-saved                         0x0   0x2  0x1  no   current := mini
//   close keeping the saved version         0x3   0x0  0x0  yes  only saved remains
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Rewrites the owner bits of every listed run (versionFlags already
// updated), drops runs used by every version, merges adjacent free runs
// (unlisted gaps keep them apart) and, with cut, gives a free run at the end
// of the file back to the system. 0, or BK_LIST_UNLOCKABLE.
constexpr FSStatus BK_LIST_UNLOCKABLE = 0xFFFF;
FSStatus BKRecomputeOwners(FCB *fcb, uint16_t clear, uint16_t test, uint16_t set, bool cut);

// Updates versionFlags, frees the previous stored copy of the list,
// recomputes the owners and writes the list to new space owned by every
// version (savedFreeCount, savedFreeOffset). When that fails the list is
// emptied: space is lost, data is not. The header is the caller's to write.
void BKCommitVersions(FCB *fcb, uint16_t clear, uint16_t test, uint16_t set, bool cut);

// Loads the stored copy of the free list into a new block (counted in
// memInUse). A copy that cannot be read, or is longer than 6144 entries,
// unsorted, overlapping, unaligned or outside fileSize, is not trusted:
// the list is then empty.
void BKLoadFreeList(FCB *fcb);
