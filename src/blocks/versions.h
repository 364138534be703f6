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
//
// A move is made in stages, so that no space the header on disk names is
// handed out again before a header that no longer names it is durable (the
// save protocol, src/save/protocol.h):
//   1. BKPrepareCommit builds the list as it will be after the move in a
//      block of its own, frees there the previous stored copy, and places the
//      new stored copy in space that was free before the move, or else at the
//      end of the file (the file grows). The FCB keeps its list; only its
//      fileSize may have grown.
//   2. BKWriteCommitList writes the stored copy. The caller flushes, writes a
//      header carrying BKCommitHeader's fields, and flushes again.
//   3. BKAdoptCommit (the header is durable) makes the new list the FCB's and
//      cuts the free tail off the file. BKDropCommit (no header was written,
//      or the file is fatal) forgets the move. BKAdoptCommitUnsure (the
//      header was written but is not known to be durable) empties the FCB's
//      list instead: nothing either header names can be handed out again.
#pragma once

#include <cstdint>

#include "session/fcb.h"

struct VersionMove {
    uint16_t clear, test, set;
    bool cut; // give a free run at the end of the file back to the system
};
constexpr VersionMove MOVE_SAVE{VER_MINI | VER_SAVED, VER_CURRENT, VER_SAVED, false};
constexpr VersionMove MOVE_MINI_SAVE{VER_MINI, VER_CURRENT, VER_MINI, false};
constexpr VersionMove MOVE_OPEN_SAVED{VER_MINI, VER_SAVED, VER_CURRENT, false};
constexpr VersionMove MOVE_OPEN_MINI{0, VER_MINI, VER_CURRENT, false};
constexpr VersionMove MOVE_CLOSE_TO_SAVED{VER_CURRENT | VER_MINI, 0, 0, true};

// A prepared move.
struct VersionCommit {
    uint16_t versionFlags = 0; // after the move
    HGLOBAL list = 0;          // the free list after the move (counted in memInUse)
    uint16_t count = 0;        // its entries
    uint32_t copyPos = 0;      // where its stored copy goes; 0 when the list is empty
    uint32_t fileSize = 0;     // after the move: the free tail cut off
    uint32_t uncutSize = 0;    // fileSize before the cut
    uint32_t grownFrom = 0;    // the copy went to new space at this old end; 0 if not
};

// Stage 1. 0, FS_E_NOMEM (no block for the new list), FS_E_FREELIST_LOCK,
// or the status of a refused growth (diskFull set). On failure nothing has
// changed and *c holds nothing.
FSStatus BKPrepareCommit(FCB *fcb, const VersionMove &move, VersionCommit *c);

// Stage 2: writes the stored copy (nothing when the list is empty).
FSStatus BKWriteCommitList(FCB *fcb, const VersionCommit &c);

// The header fields the move sets: versionFlags, savedFreeCount,
// savedFreeOffset and fileSize.
void BKCommitHeader(const VersionCommit &c, FileHeader &h);

// Stage 3. The caller has already taken the new header fields into fcb->h.
void BKAdoptCommit(FCB *fcb, VersionCommit *c);
void BKAdoptCommitUnsure(FCB *fcb, VersionCommit *c);
// Forgets a prepared move; space the copy took at the end of the file is
// listed as free.
void BKDropCommit(FCB *fcb, VersionCommit *c);

// Loads the stored copy of the free list into a new block (counted in
// memInUse). A copy that cannot be read, or is longer than 6144 entries,
// unsorted, overlapping, unaligned or outside fileSize, is not trusted: the
// list is then empty and the header names no stored copy (its space stays
// used: lost, never handed out).
void BKLoadFreeList(FCB *fcb);
