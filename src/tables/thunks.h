// The thunk table: one movable block of 20-byte thunks, h.thunkCount of
// them, named by the FCB's thunkTable handle.
//
// Locking nests. The first lock takes the platform lock and stores the
// address in fcb->thunks; inner locks only count; the last unlock releases
// the platform lock and clears fcb->thunks. Code running inside a lock uses
// fcb->thunks directly. Growing the table moves it, so only thunk indexes
// are kept across calls, and a Thunk pointer is re-read (ThunkAt) after any
// call that may grow the table (TBSlotFor and what calls it).
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Locks the thunk table (nesting) and returns its address, or null when it
// cannot be locked (nothing is then held).
Thunk *TBLockThunks(FCB *fcb);

// Undoes one TBLockThunks.
void TBUnlockThunks(FCB *fcb);

// Scope guard for one nested lock of the thunk table.
struct ThunkLock {
    FCB *fcb;
    bool held;
    explicit ThunkLock(FCB *f) : fcb(f), held(TBLockThunks(f) != nullptr) {}
    ~ThunkLock() {
        if (held) TBUnlockThunks(fcb);
    }
    ThunkLock(const ThunkLock &) = delete;
    ThunkLock &operator=(const ThunkLock &) = delete;
};

// The thunk at index ti of the locked table (ti < h.thunkCount).
inline Thunk *ThunkAt(FCB *fcb, uint16_t ti) { return &fcb->thunks[ti]; }

// True when ti names a thunk that is in use in the locked table.
inline bool ThunkLive(FCB *fcb, uint16_t ti) {
    return ti < fcb->h.thunkCount && (fcb->thunks[ti].flags & THUNK_IN_USE) != 0;
}

// The busy count: 6 bits (modulo 64) in bits 2-7 of the thunk's first byte.
inline uint8_t ThunkBusy(const Thunk *t) { return t->refFlags >> 2; }
inline void ThunkPin(Thunk *t, int delta) {
    t->refFlags = static_cast<uint8_t>((t->refFlags & ~REF_BUSY_MASK) |
                                       ((t->refFlags + delta * REF_BUSY_ONE) & REF_BUSY_MASK));
}

// Index of the first thunk whose in-use bit is clear, or capacity when none.
uint16_t TBFindFreeThunk(uint16_t capacity, const Thunk *table);

// Grows the table by 16 thunks (the last step is cut to reach 3276), zeroes
// the new ones and charges the growth to memInUse. On success *first is the
// first new index and the table is left locked once more for the caller.
FSStatus TBGrowThunks(FCB *fcb, uint16_t *first);
