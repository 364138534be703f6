// Making and destroying tables (FSMakeTable, FSDestroyTable in the public
// header) and the table-record allocation they share with later layers.
//
// A TID is the index of its table record in the master table. The lowest
// free TID is reused first; when none is free the master table grows by 16
// records at its end. The first table made in a file is its root table,
// which can never be destroyed.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// Finds the lowest free table record (or adds 16 at the end of the master
// table and takes the first), zeroes it and sets its in-use bit. On success
// the master-table chunk holding it stays locked, as after TBFindTable: the
// caller unlocks *chunk (changed). On failure *tid is TID_NONE and nothing
// stays locked.
FSStatus TBAllocTableRecord(FCB *fcb, uint16_t *tid, TableRecord **record, uint16_t *chunk);
