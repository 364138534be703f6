// Making and removing room for records: inside one chunk when it fits,
// otherwise by splitting a chunk, turning a single-chunk table into an
// indexed one and adding chunks. New records always read as zero bytes.
//
// Placement rules (the layout of files depends on them): a record at a
// chunk boundary belongs to the later chunk, but an insertion there first
// tries the end of the earlier chunk, then the start of the later one;
// records that fit neither go to new chunks of at most the class maximum.
// No chunk of a record class ever holds more than its class maximum or more
// bytes than the chunk size limit (maxChunk); chunks are never merged here.
//
// Every function takes thunk indexes. A chunk whose thunk index is kept
// across an allocation must be locked or pinned (or be a chunk no parent
// names): a write-back of its parent may otherwise give the thunk back.
// These functions pin what they work on for their own duration.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Checks that a chunk of current bytes may grow by added bytes: the total
// must stay below 65536 and within maxChunk. On success *newSize (optional)
// is the total rounded up to a multiple of 2^shift (never past the limit);
// else FS_E_BLOCK_LIMIT and *newSize 0.
FSStatus TBCheckChunkSize(FCB *fcb, uint32_t current, uint32_t added, uint8_t shift,
                          uint32_t *newSize);

// Changes the chunk's record count by add or remove (exactly one non-zero)
// and resizes its memory when it has any: grown to the growth shift, shrunk
// to the allocation shift. A chunk without memory only changes its count
// (the memory is made at its next load). FS_E_BAD_PARAMS for both or
// neither, or for removing more than it holds; FS_E_BLOCK_LIMIT when the
// grown chunk would pass the limit; a refused growth restores the count. A
// shrink always keeps the new count (a block that cannot shrink just stays
// larger).
FSStatus TBResizeChunk(FCB *fcb, uint16_t ti, uint16_t add, uint16_t remove);

// Opens n zeroed records at position pos of the chunk (pos <= its count),
// moving the records from pos on up. With addrOut the chunk stays locked
// (the caller unlocks it, changed) and *addrOut is the first new record;
// else it is unlocked changed. *addrOut is null on failure. FS_E_BAD_PARAMS
// for a dead thunk or pos past the count; resize and load failures.
FSStatus TBInsertInChunk(FCB *fcb, uint16_t ti, uint16_t pos, uint16_t n, void **addrOut);

// Removes n records at position pos, closing the gap (pos + n <= count,
// else FS_E_BAD_PARAMS and nothing changes). n = 0 does nothing.
FSStatus TBDeleteInChunk(FCB *fcb, uint16_t ti, uint16_t pos, uint16_t n);

// Turns the single-chunk table whose top chunk is top into an indexed table
// of one chunk. The thunk index top then names the new index chunk and
// *dataOut the table's former chunk (with its locks and pins). An already
// indexed table is left as it is (*dataOut untouched).
FSStatus TBMakeIndexed(FCB *fcb, uint16_t top, uint16_t *dataOut);

// Makes a chunk of m zero records of class cls and enters it at position
// indexPos of the index chunk. With dataOut it stays locked (the caller
// unlocks it, changed) and *dataOut is its first record. *tiOut (optional)
// is its thunk index. FS_E_LEVEL1 for m = 0.
FSStatus TBNewChunkAfter(FCB *fcb, uint16_t index, uint8_t cls, uint16_t indexPos, uint16_t m,
                         uint16_t *tiOut, void **dataOut);

// Moves the last r records of chunk ti (from record d on; d + r is its
// count) into a new chunk entered right after it, at indexPos + 1.
// *newOut (optional) is the new chunk's thunk index. FS_E_LEVEL1 for d or r
// of 0; FS_E_BAD_PARAMS when d + r is not the count.
FSStatus TBSplitChunk(FCB *fcb, uint16_t index, uint16_t indexPos, uint16_t ti, uint16_t d,
                      uint16_t r, uint16_t *newOut);

// Enters at indexPos as many new chunks of zero records as n records need:
// k = (n - 1) / max + 1 chunks of p = (n - 1) / k + 1 records, the last the
// rest. On failure nothing is left entered. FS_E_BAD_CLASS for a class
// without records; FS_E_BLOCK_LIMIT when a chunk of p records would pass
// the chunk size limit or the index could not hold k more references.
FSStatus TBAddChunks(FCB *fcb, uint16_t index, uint8_t cls, uint16_t indexPos, uint32_t n);

// Makes room for count zero records in the table whose top chunk is
// topThunk so that the first has RIX rix (0 <= rix <= record count).
// keepWhole asks for all of them in one chunk (FS_E_CHUNK_TOO_BIG when
// count passes the class maximum; nothing changes). *indexedOut (optional)
// is whether the table is indexed afterwards; the caller records it in the
// table record. count 0 does nothing. On failure the steps already done
// stay (a table made indexed stays indexed, a split chunk stays split) and
// the table stays consistent. FS_E_BAD_RIX, FS_E_BAD_CLASS (a class without
// records or maximum), FS_E_BLOCK_LIMIT, memory and load failures.
FSStatus TBInsertRecords(FCB *fcb, uint16_t topThunk, uint32_t rix, uint32_t count,
                         bool keepWhole, bool *indexedOut);
