// Internal steps of the record operations, shared by index locking, chunk
// navigation, the record operations and the pointer, handle and list
// operations built on them.
//
// The no-lock rule: an operation that changes how many records a table has,
// or the shape of its chunks, runs only while no session of the table holds
// a lock (FSICheckNoLocks), because the record addresses that locks hand out
// point into the chunks it moves. After every such change, every session of
// the table is brought up to date (FSIRefreshSessions): recCount, topThunk
// and singleChunk always agree with the table.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Locks the chunk of the session's table that holds rix and points curRec at
// rix, without checking rix against recCount and without unlocking what the
// session holds (callers do both). On failure curRec is null and the session
// is unlocked. FS_E_BAD_RIX, FS_E_BAD_CLASS for a chunk of another class than
// the table's (a damaged file), chunk and block-store statuses.
FSStatus FSILockChunk(SCB *scb, uint32_t rix);

// True when some session on the table's chain holds a lock or is invalid.
bool FSIAnyLocked(FCB *fcb, const TableRecord *rec, uint16_t tid);

// FS_E_LOCK_FOUND when some session of the SCB's table holds a lock, else 0
// (or the status of finding the table).
FSStatus FSICheckNoLocks(SCB *scb);

// Copies the table's record count, top thunk and shape into every session on
// its chain. Does nothing when the top chunk cannot be given a thunk.
void FSIRefreshSessions(FCB *fcb, TableRecord *rec, uint16_t tid);

// Inserts count zero records so that the first has index rix (no check of
// rix against the table; keepWhole puts them in one chunk). FS_E_LOCK_FOUND
// under the no-lock rule; statuses of the insertion. On failure the table
// keeps what the insertion had done (it stays consistent); every session is
// refreshed either way.
FSStatus FSIInsertRecords(SCB *scb, uint32_t rix, uint32_t count, bool keepWhole);

// Removes count records from rix on, across chunks. The caller has checked
// the range and the no-lock rule. Chunks emptied here stay in the index until
// FSIMergeChunks. FS_E_MULTI_CHUNK when the index ends before the run does.
FSStatus FSIDeleteRecords(SCB *scb, uint32_t rix, uint32_t count);

// Merges neighbouring chunks of an indexed table where one holds fewer
// records than the class minimum (or none) and both fit one chunk, then
// turns an index left with fewer than two chunks back into a single chunk.
// A failure leaves the index valid, merged as far as it got.
void FSIMergeChunks(SCB *scb);

// Turns an index chunk with 0 or 1 references back into a single-chunk
// table. Does nothing for a single-chunk table or a larger index.
FSStatus FSICollapseIndex(SCB *scb);

// Copies count existing records of src from first on over count existing
// records of dst from dstRix on, chunk by chunk. Both sessions end unlocked.
FSStatus FSICopyRecords(SCB *src, uint32_t first, uint32_t count, SCB *dst, uint32_t dstRix);

// Copies count * recSize bytes from data over the records from rix on, chunk
// by chunk, marking each chunk and the file dirty. The session ends
// unlocked.
FSStatus FSIStoreRecords(const void *data, uint32_t count, SCB *scb, uint32_t rix);

// Copies count records from rix on into data (count * recSize bytes), chunk
// by chunk. The caller has checked the range. The session ends unlocked.
FSStatus FSIFetchRecords(SCB *scb, uint32_t rix, uint32_t count, void *data);

// The list operations' worker: applies operation (FSOpDelete, FSOpCopy or
// both) to the records of src's table that sel picks, copying to dstRix of
// dst's table. Stores its status in src and returns it.
FSStatus FSIListOp(SCB *src, uint32_t operation, FSSelector sel, SCB *dst, uint32_t dstRix);

// Sets the file's dirtied bit (not dirtiedPage): what record operations do
// after they change a table.
inline void FSIMarkDirtied(FCB *fcb) { fcb->h.stateFlags |= STATE_DIRTIED; }
