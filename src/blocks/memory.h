// Movable memory blocks of resident chunks, and the FCB's memory accounting.
//
// A chunk's block is named by the handle in its thunk. States: none (flag
// bit 1 clear, handle 0); ordinary (bit 1, counted in memInUse); discardable
// (bits 1 and 4, not counted, data still there); reclaimed (the platform
// dropped a discardable block's data; the handle stays, BKMemPresent is 0).
//
// memInUse counts the size the platform reports for each block, corrected
// before and after every change. Every function here works on the locked
// thunk table (fcb->thunks) and takes thunk indexes.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Status of a resize whose block had been reclaimed by the platform.
constexpr FSStatus BK_RECLAIMED = 0xFFFF;

// New ordinary block of size bytes for the thunk, after making room under
// the budget; a platform refusal writes back every listed chunk and tries
// once more. 0, or FS_E_NOMEM with the thunk left without memory.
FSStatus BKAllocMem(FCB *fcb, uint16_t ti, uint32_t size);

// Frees the thunk's block (uncounting it unless discardable). Leaves the
// lock count alone.
void BKFreeMem(FCB *fcb, uint16_t ti);

// Resizes the thunk's block, with the same shortage policy as BKAllocMem.
// 0 without a block; BK_RECLAIMED when its data is gone; else the status of
// the resize (the old block stays valid and counted on failure).
FSStatus BKResizeMem(FCB *fcb, uint16_t ti, uint32_t size);

// Resizes any movable block of the FCB (free list, chunk memory) through
// VMRealloc (size 0 asks for 1 byte) and corrects memInUse by the change of
// reported size. No write-back, no retry.
FSStatus BKResizeHandle(FCB *fcb, HGLOBAL *handle, uint32_t size);

// Locks the thunk's block (making it ordinary first when discardable).
// 0, FS_E_LOCKMEM (no block, or no address), FS_E_ZERO_LOCK (0 records).
// The thunk's lock count is kept by the caller.
FSStatus BKLockMem(FCB *fcb, uint16_t ti, void **address);

// One platform unlock of the thunk's block.
void BKUnlockMem(FCB *fcb, uint16_t ti);

// Makes an ordinary block discardable and stops counting it.
void BKDiscardMem(FCB *fcb, uint16_t ti);

// Makes a discardable block ordinary again and counts it, unless its data
// was reclaimed; clears flag bit 4 in every case.
void BKKeepMem(FCB *fcb, uint16_t ti);

// True when the thunk has a block that still holds its data.
bool BKMemPresent(FCB *fcb, uint16_t ti);

// Address of the thunk's locked block without adding a lock; null without.
void *BKDerefMem(FCB *fcb, uint16_t ti);
