// The working state of one old-format upgrade, shared by its two halves:
// reading and checking the old file's structures (upgrade.cpp) and copying
// its tables into the new file (upgrade_tables.cpp).
#pragma once

#include <cstdint>

#include "convert/buffer.h"
#include "convert/old_format.h"
#include "session/fcb.h"

constexpr uint32_t UPGRADE_GRANULE = 64; // allocShift 6 of the new file

struct Upgrade {
    const VMFileSpec *old = nullptr; // the file being converted, only read
    uint32_t oldLength = 0;
    OldHeader oh{};
    uint8_t shift = 0;               // old positions are units of 2^shift bytes
    uint8_t classCount = 0;
    FSClassDesc classes[OLD_RID_SLOTS]{}; // widened descriptors of the new file
    CVBuffer blockTable;             // blockCount OldBlockEntry
    uint16_t blockCount = 0;
    CVBuffer master;                 // masterCount OldTableRecord
    uint16_t masterCount = 0;
    // Bytes the images may still take from the old file. In a sound file the
    // blocks lie apart, so their sizes add up to less than its length; the
    // budget keeps a file whose blocks are named many times from blowing up
    // the copy.
    uint64_t budget = 0;

    VMFileSpec *out = nullptr;       // the new file
    uint64_t next = 0;               // write position in the new file
    bool unreadable = false;         // some table's data could not be matched
};

// Byte position of a stored old position.
inline uint64_t OldPos(const Upgrade &u, uint16_t units) { return uint64_t(units) << u.shift; }

// Whether len bytes at pos lie inside the old file and clear of its header.
inline bool InOld(const Upgrade &u, uint64_t pos, uint64_t len) {
    return pos >= sizeof(OldHeader) && pos + len <= u.oldLength;
}

// Reserves len bytes at the write position of the new file, rounded up to
// the granule, and stores their position (0 for no bytes). Fails with
// FS_E_CANNOT_CONVERT when the new file would pass 4 GiB.
FSStatus UpgradePlace(Upgrade &u, uint32_t len, uint32_t *pos);

// Builds the new master table (and, through it, every table) in the new
// file and returns its root: an index chunk over the master chunks.
FSStatus UpgradeMaster(Upgrade &u, ChunkRef &root);
