// The FCB: the in-memory image of the file header plus native run-time
// fields beside it, and the small helpers every subsystem uses on it.
#pragma once

#include <cstdint>

#include "session/format.h"

// First RIX of each chunk of the index located in last (tables/locate.cpp),
// so that finding a record's chunk is a binary search, not a walk of the
// index. Valid while gen equals the FCB's layoutGen.
struct LocateCache {
    uint64_t gen;
    uint16_t top;      // thunk of the index
    uint16_t count;    // its references
    uint16_t lastAt;   // position of the chunk located last, and its thunk: a change
    uint16_t lastThunk; // of that chunk's count is applied to starts, not rebuilt
    uint32_t capacity; // entries of starts
    uint32_t *starts;  // count + 1 entries, the last the record total (malloc)
};

struct FCB {
    // The header image, written as it stands to offset 0. Its lastStatus
    // (offset 4) and magic (offset 6) form the head shared with the SCB.
    FileHeader h;

    // Run-time fields, native (never written to the file). The FCB comes
    // zero-filled from VMAlloc.
    VMFileSpec *file;         // the open file's record (VMAlloc)
    FSClassDesc *classTable;  // h.classCount descriptors (VMAlloc)
    HGLOBAL freeList;               // movable block of h.freeCount FreeEntry
    HGLOBAL thunkTable;             // movable block of h.thunkCount Thunk
    Thunk *thunks;            // address of thunkTable while locked, else null
    uint32_t thunkLockDepth;        // nesting of the library's thunk-table locks
    uint32_t opDepth;               // nesting of block-store and chunk operations; the
                                    // invariant checks run when the outermost one ends
    SCB **sessions;                 // open sessions by handle - 1 (VMAlloc); null when none
    uint32_t sessionSlots;          // capacity of sessions
    uint32_t sessionsOpen;          // non-null entries of sessions
    uint32_t lostFrom, lostTo;      // the file was shorter than its fileSize at open: images
                                    // reaching into [lostFrom, lostTo) are gone (lostTo 0: none)
    uint64_t layoutGen;             // moves on whenever a chunk's record count, an index's
                                    // references or the thunk table change (TBLayoutChanged)
    LocateCache locate;
};

// Marks every cached chunk position of the FCB out of date.
inline void TBLayoutChanged(FCB *fcb) { ++fcb->layoutGen; }

// Common head of FCB and SCB: status at offset 4, magic at offset 6.
static_assert(offsetof(FCB, h) == 0);
static_assert(offsetof(SCB, status) == 4);
static_assert(offsetof(SCB, magic) == 6);

inline bool FCBValid(const FCB *fcb) { return fcb != nullptr && fcb->h.magic == FS_MAGIC; }
inline bool SCBValid(const SCB *scb) { return scb != nullptr && scb->magic == FS_MAGIC; }

// Stores status as the FCB's last status and returns it.
inline FSStatus FCBStatus(FCB *fcb, FSStatus status) {
    fcb->h.lastStatus = status;
    return status;
}

// True when a host class's descriptor can describe chunks: shifts that make
// 16-bit masks, a record size and a maximum per chunk.
inline bool HostClassUsable(const FSClassDesc &d) {
    return d.allocShift <= 15 && d.growShift <= 15 && d.recSize != 0 && d.maxPerChunk != 0;
}

// The descriptor of a class, or null when the file has none for it or (for
// a host class) the one it has is unusable: every lookup of a class
// descriptor goes through here, so tables of such a class are refused, not
// followed. The built-in classes are checked when the file is opened.
inline FSClassDesc *ClassDesc(FCB *fcb, uint8_t cls) {
    if (cls >= fcb->h.classCount) return nullptr;
    FSClassDesc *d = &fcb->classTable[cls];
    return cls < CLASS_FIRST_HOST || HostClassUsable(*d) ? d : nullptr;
}

// Reports a structure read from the file that cannot be right. Every
// "this file is corrupt" result goes through here; debug builds log where it
// was found. Returns code.
FSStatus FSCorrupt(FCB *fcb, FSStatus code, const char *where);
#define FS_CORRUPT(fcb, code) FSCorrupt((fcb), (code), __FILE__ ":" ZUN_STR(__LINE__))
#define ZUN_STR2(x) #x
#define ZUN_STR(x) ZUN_STR2(x)

// Writes the 154-byte header image at offset 0 (memInUse as 0).
FSStatus FSWriteHeader(FCB *fcb);
FSStatus FSWriteHeaderImage(FCB *fcb, const FileHeader &image);
