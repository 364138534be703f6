// Invariant checks of the block store and the chunk layer.
//
// Builds with ZUNFS_CHECKS verify, after each outermost operation of these
// layers, that
//   - the free list is sorted, disjoint, granule-aligned, within fileSize,
//     clear of the header and the class table, and at most 6144 entries;
//   - the resident list's links agree with thunk flag bit 3, its members are
//     in use and unlocked, and every thunk on it is reachable from lruHead;
//   - each chunk's lock count matches the platform lock count of its block,
//     and memInUse covers the counted chunk memory.
// A violation aborts with a message. Other builds compile the checks away.
#pragma once

#include "session/fcb.h"

#ifdef ZUNFS_CHECKS
[[noreturn]] void ZunCheckFailed(const char *what, const char *where);
#define ZUN_ASSERT(cond, what) \
    ((cond) ? (void)0 : ZunCheckFailed((what), __FILE__ ":" ZUN_STR(__LINE__)))
#else
#define ZUN_ASSERT(cond, what) ((void)0)
#endif

// Runs every check above (nothing without ZUNFS_CHECKS).
void BKCheckInvariants(FCB *fcb);

// Marks one operation of these layers. When the outermost one ends and no
// thunk-table lock of an outer layer is held, the invariants are checked.
struct BlockOp {
    FCB *fcb;
    explicit BlockOp(FCB *f) : fcb(f) { ++f->opDepth; }
    ~BlockOp() {
        if (--fcb->opDepth == 0 && fcb->thunkLockDepth == 0) BKCheckInvariants(fcb);
    }
    BlockOp(const BlockOp &) = delete;
    BlockOp &operator=(const BlockOp &) = delete;
};
