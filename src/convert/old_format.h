// On-disk records of the old storage format, which the upgrade reads and
// never writes. Little-endian like the current format. Positions in an old
// file are stored in units: a stored position p means byte p << shift, with
// the shift taken from the old header.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Old header: 262 bytes at offset 0. Only the fields named here are read.
//
//  10  2  format version; its high byte is 0
//  12  1  kind: 3 or 5
//  14  2  kind 5: non-zero selects application version 0x300, zero 0x301
//  44  2  position shift (only its low byte counts)
//  50  2  class table position (units)
//  58  2  number of classes
//  72  2  block table position (units)
//  74  2  number of block-table entries
// 130  2  TID of the root table
// 132 128 RID counters, 32-bit, one per class from class 0
// 260  2  block number of the master block (the old table of tables)
#pragma pack(push, 1)
struct OldHeader {
    uint8_t reserved0[10];
    uint16_t formatVersion;
    uint8_t kind;
    uint8_t reserved13;
    uint16_t appWord;
    uint8_t reserved16[28];
    uint16_t posShift;
    uint8_t reserved46[4];
    uint16_t classTablePos;
    uint8_t reserved52[6];
    uint16_t classCount;
    uint8_t reserved60[12];
    uint16_t blockTablePos;
    uint16_t blockCount;
    uint8_t reserved76[54];
    uint16_t rootTable;
    uint32_t ridCounters[32];
    uint16_t masterBlock;
};
#pragma pack(pop)
static_assert(sizeof(OldHeader) == 262);
static_assert(offsetof(OldHeader, formatVersion) == 10);
static_assert(offsetof(OldHeader, kind) == 12);
static_assert(offsetof(OldHeader, appWord) == 14);
static_assert(offsetof(OldHeader, posShift) == 44);
static_assert(offsetof(OldHeader, classTablePos) == 50);
static_assert(offsetof(OldHeader, classCount) == 58);
static_assert(offsetof(OldHeader, blockTablePos) == 72);
static_assert(offsetof(OldHeader, blockCount) == 74);
static_assert(offsetof(OldHeader, rootTable) == 130);
static_assert(offsetof(OldHeader, ridCounters) == 132);
static_assert(offsetof(OldHeader, masterBlock) == 260);

constexpr uint32_t OLD_RID_SLOTS = 32; // the header has RID counters for classes 0-31 only
constexpr uint8_t OLD_KIND_3 = 3;
constexpr uint8_t OLD_KIND_5 = 5;

// ---------------------------------------------------------------------------
// Old class descriptor: 10 bytes. Byte 1 is not used.
#pragma pack(push, 1)
struct OldClassDesc {
    uint8_t flags;     // bits 0-2 carry over
    uint8_t unused;
    uint8_t allocShift;
    uint8_t growShift;
    uint16_t recSize;
    uint16_t maxPerChunk;
    uint16_t word8;    // carried over as the minimum per chunk
};
#pragma pack(pop)
static_assert(sizeof(OldClassDesc) == 10);
static_assert(offsetof(OldClassDesc, recSize) == 4);
static_assert(offsetof(OldClassDesc, word8) == 8);

// ---------------------------------------------------------------------------
// Old block-table entry: 24 bytes, one per block number.
//
//   2  1  class of the block's records
//  16  2  record count
//  18  2  position (units)
#pragma pack(push, 1)
struct OldBlockEntry {
    uint8_t reserved0[2];
    uint8_t cls;
    uint8_t reserved3[13];
    uint16_t count;
    uint16_t pos;
    uint8_t reserved20[4];
};
#pragma pack(pop)
static_assert(sizeof(OldBlockEntry) == 24);
static_assert(offsetof(OldBlockEntry, cls) == 2);
static_assert(offsetof(OldBlockEntry, count) == 16);
static_assert(offsetof(OldBlockEntry, pos) == 18);

// ---------------------------------------------------------------------------
// Old table record: 10 bytes, the records of the master block.
//
//   0  1  flags: bit 0 the record is free; bit 1 the table is one block
//         (clear: its block is an index block of 16-bit block numbers)
//   2  1  class of the table's records
//   4  2  block number of the data block or of the index block
#pragma pack(push, 1)
struct OldTableRecord {
    uint8_t flags;
    uint8_t reserved1;
    uint8_t cls;
    uint8_t reserved3;
    uint16_t block;
    uint8_t reserved6[4];
};
#pragma pack(pop)
static_assert(sizeof(OldTableRecord) == 10);
static_assert(offsetof(OldTableRecord, cls) == 2);
static_assert(offsetof(OldTableRecord, block) == 4);

constexpr uint8_t OLD_TABLE_FREE = 0x01;
constexpr uint8_t OLD_TABLE_SINGLE = 0x02;
constexpr uint8_t OLD_CLASS_INDEX = 1; // class of index blocks
