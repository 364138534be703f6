// The working state of one foreign-file conversion, shared by the header,
// class table and free list steps (foreign.cpp) and the walk over the saved
// version's chunks (foreign_walk.cpp).
#pragma once

#include <cstdint>

#include "convert/buffer.h"
#include "session/fcb.h"

constexpr uint16_t MAGIC_FOREIGN = 0xFF99; // the magic as read from a foreign file
constexpr uint8_t CLASS_CONVERTED_FLAGS = 0x28; // flags 0x08 or 0x20: the class's chunks are converted

struct Foreign {
    FileHeader h{};            // the header, converted
    const VMFileSpec *file = nullptr;
    uint32_t length = 0;       // the file's real length
    uint8_t formatMark = 0;    // as stored in the file, for the hook
    FSTranslateHook hook = nullptr;
    CVBuffer classes;          // h.classCount converted descriptors
    // Space map: one bit per granule (2^h.allocShift bytes) of the file,
    // set for the header, the class table and every image of the saved
    // version claimed by the checking pass.
    CVBuffer space;
    bool writing = false;      // false: the checking pass, nothing is written
};

inline const FSClassDesc &ClassOf(const Foreign &f, uint8_t cls) {
    return reinterpret_cast<const FSClassDesc *>(f.classes.data)[cls];
}

// Claims len > 0 bytes at pos (inside the file) in the space map; false when
// any of their granules is claimed already.
bool SpaceClaim(Foreign &f, uint32_t pos, uint32_t len);

// Whether any granule of [pos, pos + len) inside the file is claimed.
bool SpaceTaken(const Foreign &f, uint32_t pos, uint32_t len);

// Converts a 10-byte chunk reference in place: count and position to this
// byte order, flags and thunk index cleared.
void ConvertRef(uint8_t *ref);

// Walks the saved version from h.savedRoot: checks it (first pass) or
// converts it (second pass, f.writing).
FSStatus WalkSaved(Foreign &f);
