// The chunk cache: loading chunk images, the resident list, write-back.
//
// The resident list holds the unlocked chunks that must not simply be
// dropped (dirty ones, and those whose records hold chunk references),
// least recently unlocked at lruHead. A thunk is on it exactly while its
// flag bit 3 is set.
//
// Write-back never overwrites an image in place: a dirty chunk goes to new
// space owned by the current version, and the current version gives up its
// old image; saved and mini-saved versions keep theirs. A chunk whose
// records hold chunk references is written only after its resident
// children, and each child's thunk is given back into its reference, so a
// parent reaches the file with its children's positions and counts.
//
// A write-back quota is a byte count; writing back or dropping a chunk of
// n records of size r consumes n * r of it. BK_QUOTA_ALL means everything.
//
// All functions here except BKFlush need the thunk table locked.
#pragma once

#include <cstdint>

#include "session/fcb.h"

constexpr uint32_t BK_QUOTA_ALL = 0xFFFFFFFF;

// Gives the chunk of thunk ti a locked block holding its records: the image
// from the file (only the records it holds) and zero bytes for the rest, or
// all zeros when it has no image. A read that fails, or a reference that
// cannot be right (class without descriptor, image past fileSize, more
// bytes than the chunk size limit), sets fatalError and answers
// FS_E_FATAL; once fatalError is set every load answers FS_E_FATAL without
// reading. FS_E_ZERO_LOCK for a chunk of 0 records; memory statuses pass
// through. *address is null on failure.
FSStatus BKLoadChunk(FCB *fcb, uint16_t ti, void **address);

// Appends ti at the tail of the resident list (taking it off first when it
// is on it). Does nothing when the thunk table is not locked.
void BKListAppend(FCB *fcb, uint16_t ti);

// Takes ti off the resident list when it is on it.
void BKListRemove(FCB *fcb, uint16_t ti);

// Writes the chunk of thunk ti back if it is dirty (children first), makes
// its memory discardable and takes it off the list; consumes *quota.
// FS_E_FATAL (the file is in its fatal state: nothing is written),
// FS_E_LEVEL1 (thunk not in use, or memory reclaimed while dirty),
// FS_E_STILL_CHECKED_OUT (busy), FS_E_LOCK_FOUND (locked), or the status of
// the space allocation (which sets *quota to 0) or of the write. On failure
// the chunk's memory and lock state are unchanged and a chunk that was on
// the list goes back on it, at the tail.
FSStatus BKWriteBack(FCB *fcb, uint16_t ti, uint32_t *quota);

// Gives the resident chunk that ref names back into ref (in the locked
// thunk table): its memory is freed, the first eight bytes of its thunk
// (flags, class, stored count, position) replace ref's, bit 0 and the busy
// count are cleared, the thunk index becomes THUNK_NONE and the thunk is
// cleared. True when the position, count or class changed. The caller
// makes sure the chunk is written back, unlocked and not pinned.
bool BKGiveBack(FCB *fcb, ChunkRef *ref);

// Writes back chunks from the head of the resident list until the quota is
// used up or the list has been passed once. The status of the last failure,
// or 0.
FSStatus BKFlushList(FCB *fcb, uint32_t quota);

// Writes back everything on the list, ignoring failures: the step the
// memory-shortage policy takes before it retries a refused request.
void BKFlushAll(FCB *fcb);

// Under a budget, writes back the least recently unlocked chunks until n
// bytes are released, when n more bytes would pass the budget.
void BKMakeRoom(FCB *fcb, uint32_t n);
