// Opening a storage file: the state of one FSFileOpen as it goes through its
// steps, and the checks of what it reads before it trusts it.
//
//   host's file -> file check -> working file (the host's, or a scratch copy)
//     -> conversion -> header and class table checked -> memory set up
//     -> version selected and committed (header written, file shown open)
//     -> upgrade hook or class refresh -> FCB handed out
#pragma once

#include <cstdint>

#include "session/fcb.h"
#include "session/file_check.h"

struct Opening {
    const VMFileSpec *host = nullptr;
    uint32_t version = 0;
    uint32_t asCopy = 0;
    const FSContext *ctx = nullptr;
    FCB *fcb = nullptr;
    FileCheck check;
    bool copy = false;     // the working file is one this open made: deleted on failure
    FSStatus warning = 0;  // FS_E_UNREADABLE from an upgrade, carried to the FCB handed out
};

// A header (in the current layout, after any conversion) that cannot be
// right: FS_E_BAD_FORMAT. Checks shifts, maxChunk, classCount, the class
// table inside fileSize and inside the file's length, fileSize on a
// granule. Then makes what the file cannot mean harmless: unknown version
// bits dropped, the roots' resident bits, busy counts and thunk indexes
// cleared, the status and the run-time fields zeroed.
FSStatus FSCheckHeader(FileHeader &h, uint32_t length);

// The built-in classes of a class table just read: master-table records of
// 16 bytes with a non-zero maximum that fits a chunk, index records of 10
// bytes, usable shifts. FS_E_BAD_FORMAT otherwise.
FSStatus FSCheckBuiltinClasses(const FileHeader &h, const FSClassDesc *classes);

// A root that may head a master table: class 0 (one chunk) or 1 (an index).
bool FSRootUsable(const ChunkRef &root);

// Step 12, for the FCB the open made: the host's upgrade hook or the class
// refresh (whose class counts were found to agree before the version was
// committed). On success *result is the FCB to hand out (a new one after an
// upgrade); on a failed upgrade every FCB is closed and *result is null.
FSStatus FSFinishForHost(Opening &o, FCB **result);
