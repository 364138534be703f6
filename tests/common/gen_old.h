// Generator of storage files of the old format, built byte by byte.
// Positions are stored in units of 2^shift bytes. Layout:
//
//   old header (262 bytes) | class table (10 bytes a class)
//   | blocks (master block first, then each table's blocks) | block table
//
// Old header fields written: magic 0x99FF (6), format version with a high
// byte of 0 (10), kind (12), word 14, position shift (44), class table
// position (50), class count (58), block table position (72) and count (74),
// root table (130), 32-bit RID counters per class (132), master block (260).
// Block-table entry (24 bytes): class (2), record count (16), position (18).
// Old table record (10 bytes, the master block's records): flags (0: bit 0
// free, bit 1 single block), class (2), block number (4). An index block's
// records are 16-bit block numbers of its data blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "gen_bytes.h"

namespace gen {

struct OldClass {
    uint8_t flags = 0;
    uint8_t allocShift = 4;
    uint8_t growShift = 6;
    uint16_t recSize = 0;
    uint16_t maxPerChunk = 0;
    uint16_t word8 = 0;
    uint32_t ridCounter = 1;
};

struct OldTable {
    bool free = false;            // a free table record
    uint8_t cls = 4;
    bool indexed = false;         // blocks reached through an index block
    std::vector<Bytes> blocks;    // record bytes of each data block; exactly one unless indexed
    int mismatchBlock = -1;       // this data block is entered in the block table with mismatchClass
    uint8_t mismatchClass = 5;
    uint8_t indexClass = 1;       // class entered for the index block
};

struct OldSpec {
    uint16_t formatVersion = 0x0042;
    uint8_t kind = 5;
    uint16_t word14 = 0;
    uint8_t shift = 4;
    std::vector<OldClass> classes; // every class from 0; OldDefaultClasses() for 0-3
    uint16_t rootTable = 0;
    std::vector<OldTable> tables;
};

struct OldFile {
    Bytes bytes;
    uint32_t classTablePos = 0;   // byte positions
    uint32_t blockTablePos = 0;
    uint16_t blockCount = 0;
    uint16_t masterBlock = 0;
    std::vector<uint32_t> blockPos;                 // per block number
    std::vector<std::vector<uint16_t>> tableBlocks; // per table: index block (if any), then data blocks
};

// The old built-in classes 0-3 (master records of 10 bytes, index blocks of
// 2-byte block numbers) followed by the given host classes.
std::vector<OldClass> OldDefaultClasses(const std::vector<OldClass> &host);

OldFile BuildOld(const OldSpec &spec);

} // namespace gen
