// Looking into tables from tests, below the session layer: their shape,
// their records in RIX order, and removal of a run of records across
// chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "session/fcb.h"

// Record counts of the table's chunks in index order ({count} for a
// single-chunk table). Resident chunks count through their thunks.
std::vector<uint16_t> ChunkCounts(FCB *fcb, uint16_t top);

// True when the top chunk is an index chunk.
bool IsIndexed(FCB *fcb, uint16_t top);

// Every record of the table in RIX order, read chunk by chunk in index
// order.
std::vector<uint8_t> ReadRecords(FCB *fcb, uint16_t top);

// One record, found through TBLocateRecord; empty when there is none.
std::vector<uint8_t> ReadRecord(FCB *fcb, uint16_t top, uint32_t rix);

// Overwrites records [rix, rix + bytes / recSize) with bytes.
FSStatus WriteRecords(FCB *fcb, uint16_t top, uint32_t rix, const std::vector<uint8_t> &bytes);

// Removes n records from rix on, chunk by chunk with TBDeleteInChunk.
FSStatus DeleteRecords(FCB *fcb, uint16_t top, uint32_t rix, uint32_t n);

// A table held the way a session holds it: the master-table chunk holding
// its record pinned, so the top chunk keeps its thunk. On failure nothing
// is held.
struct HeldTable {
    uint16_t tid = TID_NONE;
    uint16_t top = THUNK_NONE;
    uint16_t masterChunk = THUNK_NONE;
};
FSStatus HoldTable(FCB *fcb, uint16_t tid, HeldTable *held);
void ReleaseTable(FCB *fcb, const HeldTable &held);
// Records the table's shape in its table record, as the record layer does.
void NoteShape(FCB *fcb, const HeldTable &held);
