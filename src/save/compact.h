// Writing the current version of an open file as a compact file.
//
// Layout of a compact file (g = the granule, 2^allocShift bytes):
//   0                    the header
//   roundup(154)         the class table, classCount * 14 bytes
//   roundup(154) + roundup(classCount * 14)
//                        the chunk images, each at a multiple of g: first
//                        those of pass 1, then those of pass 2; within a
//                        pass every chunk's children come before the chunk,
//                        in record order
//   fileSize             the end of the last image, rounded up to g
// There is no free space, no stored free list, and one version: the current
// version, which is also the saved one.
//
// Pass 1 places the chunks held in memory whose children are all placed:
// they are written from memory, never read again. Pass 2 places everything
// else, reading the images from the old file. A chunk of no records, and a
// chunk without an image (records of zero bytes), keep position 0 and need
// no image.
//
// The copy changes nothing the open file relies on: chunk references,
// thunks, chunk memory, the free list and the old file stay as they were
// (clean memory that was discardable is made discardable again). Parents'
// images are patched in scratch buffers of the copy. So a copy that fails
// leaves the file open and usable as before.
#pragma once

#include <cstdint>

#include "save/writebehind.h"
#include "session/fcb.h"

// Deepest chain of chunks (parent, child, ...) the copy follows; a file
// needs 4 (master index, master chunk, table index, records).
constexpr unsigned kCompactDepth = 16;

// Where pass 1 put a resident chunk, by thunk index.
struct Placement {
    uint32_t pos;
    uint16_t count;
    uint8_t placed;
    uint8_t unused;
};

struct CompactCopy {
    FCB *fcb = nullptr;               // the open file, thunk table locked
    const VMFileSpec *file = nullptr; // the new file
    uint64_t next = 0;                // where the next image goes
    Placement *placements = nullptr;  // capacity entries
    uint16_t capacity = 0;            // thunks when the copy began
    uint8_t *scratch[kCompactDepth] = {}; // patched parent images, by depth
    WriteBehind wb;
};

// Writes the class table and every image of the current version to the new
// file, and gives the master table's new reference. Reads the old file only
// for chunks that have no records in memory. The header is not written.
// Any failure: its status (memory, I/O, a reference that cannot be right).
FSStatus SAWriteImages(FCB *fcb, const VMFileSpec *file, const SaveProgress *progress,
                       ChunkRef *root, uint32_t *end);

// 32-bit rounding up to the file's granule.
uint64_t SARoundUp(const FCB *fcb, uint64_t n);

// The estimate of the compact file's size (FSCompSize): the space the
// current version uses, less the stored free list, with every chunk held in
// memory counted at its size in memory. FS_E_THUNK_LOCK (*size 0).
FSStatus SAEstimate(FCB *fcb, uint32_t *size);
