// Chunk and table operations: giving chunk references thunks, locking and
// unlocking chunks, pinning, making and freeing chunks, finding records and
// tables.
//
// Each operation locks the thunk table for its duration (nesting with any
// lock its caller holds) and returns a status. A data address returned by a
// lock is valid until the matching TBUnlockChunk; thunk indexes, not thunk
// addresses, are what callers keep.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Gives the chunk reference (in memory, writable) a thunk without loading
// its records: sets its bit 0 and writes the thunk index into it. Grows the
// thunk table when full; at 3276 thunks writes back the resident list and
// fails with FS_E_BLOCK_LIMIT when still none is free. FS_E_LOCKMEM when the
// table cannot be locked; FS_E_BAD_PARAMS for a reference whose bit 0 names
// no thunk.
FSStatus TBSlotFor(FCB *fcb, ChunkRef *ref, uint16_t *ti);

// At the thunk limit with fewer than wanted thunks free, writes back the
// resident list; true when it did. Called before a table's chunks are
// pinned or locked, so that writing back its index gives its chunks'
// thunks back (a pinned or locked index cannot).
bool TBFreeThunks(FCB *fcb, uint32_t wanted);

// Locks the chunk and returns the address of its first record, loading it
// when it has no memory or its data was reclaimed. O(1) when resident.
// FS_E_BAD_PARAMS (index beyond capacity, thunk not in use, 255 locks
// already), FS_E_THUNK_LOCK, FS_E_ZERO_LOCK (0 records), load failures.
FSStatus TBLockChunk(FCB *fcb, uint16_t ti, void **data);

// TBLockChunk of a chunk read as master-table records: FS_E_BAD_CLASS when
// the chunk is of another class (a damaged file) or table records do not fit
// the master class's record size, since its memory is sized for its class.
FSStatus TBLockMasterChunk(FCB *fcb, uint16_t ti, void **data);

// Undoes one TBLockChunk; changed marks the chunk dirty. At the last unlock
// a clean chunk whose records hold no chunk references becomes discardable;
// any other goes to the tail of the resident list. FS_E_BAD_PARAMS,
// FS_E_THUNK_LOCK, FS_E_LOCK_MISSING (not locked: nothing changes).
FSStatus TBUnlockChunk(FCB *fcb, uint16_t ti, int changed);

// The chunk's current record count; 0 when the table cannot be locked.
uint16_t TBChunkCount(FCB *fcb, uint16_t ti);

// Adds delta to the chunk's busy count (modulo 64). Busy chunks are never
// written back. FS_E_BAD_PARAMS, FS_E_THUNK_LOCK.
FSStatus TBPinChunk(FCB *fcb, uint16_t ti, int delta);

// Fills ref as a new chunk of count zero records of the class, with no
// image, and gives it a thunk.
FSStatus TBNewChunk(FCB *fcb, ChunkRef *ref, uint8_t cls, uint16_t count, uint16_t *ti);

// Ends the life of a resident chunk: off the list, memory freed, its image
// given up by the current version, thunk cleared. The reference that named
// the thunk is the caller's to clear.
FSStatus TBFreeChunk(FCB *fcb, uint16_t ti);

// Finds the chunk of the table whose top chunk is top that holds rix (the
// end position rix == record count belongs to the last chunk). Outs, each
// optional: its thunk index, the RIX of its first record, its record count,
// its position in the index. FS_E_BAD_RIX when rix is beyond the end.
FSStatus TBLocateRecord(FCB *fcb, uint16_t top, uint32_t rix, uint16_t *chunk,
                        uint32_t *first, uint16_t *count, uint16_t *indexPos);

// The record count of chunk ti changed by delta: brings the FCB's cache of
// chunk positions up to date when ti is the chunk located last, else marks
// it out of date.
void TBCountChanged(FCB *fcb, uint16_t ti, int delta);

// Frees the FCB's cache of chunk positions (TBLocateRecord keeps it).
void TBFreeLocateCache(FCB *fcb);

// Number of records of the table whose top chunk is top; 0 when it cannot
// be found out.
uint32_t TBRecordCount(FCB *fcb, uint16_t top);

// Locks the master-table chunk holding table tid and returns the address of
// its table record and the chunk's thunk index; the caller unlocks the
// chunk. FS_E_LEVEL2 without outs; FS_E_BAD_TID for a tid beyond the table.
FSStatus TBFindTable(FCB *fcb, uint16_t tid, TableRecord **record, uint16_t *chunk);
