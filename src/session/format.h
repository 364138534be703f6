// On-disk records of a storage file, byte-exact, and the thunk that
// describes a resident chunk in memory. All multi-byte fields are
// little-endian; the host is little-endian too, so the records are read and
// written as they lie in memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include <zunfs/zunfs.h>

static_assert(std::endian::native == std::endian::little, "zunfs needs a little-endian host");

// ---------------------------------------------------------------------------
// Chunk reference: 10 bytes, in the header, in table records, in index chunks.
//
//   0  1  flags: bit 0 resident (bytes 8-9 hold the thunk index; the other
//         fields may be stale); bit 1 placed mark during a save-as;
//         bits 2-7 busy count while the bytes sit in a thunk, 0 at rest
//   1  1  class
//   2  2  stored record count: records in the image in the file
//   4  4  file position of the image; 0 = no image (records read as zeros)
//   8  2  thunk index when resident; 0xFFFF after the thunk is given back
#pragma pack(push, 1)
struct ChunkRef {
    uint8_t flags;
    uint8_t cls;
    uint16_t storedCount;
    uint32_t filePos;
    uint16_t thunk;
};
#pragma pack(pop)
static_assert(sizeof(ChunkRef) == 10);
static_assert(offsetof(ChunkRef, cls) == 1);
static_assert(offsetof(ChunkRef, storedCount) == 2);
static_assert(offsetof(ChunkRef, filePos) == 4);
static_assert(offsetof(ChunkRef, thunk) == 8);

constexpr uint8_t REF_RESIDENT = 0x01;
constexpr uint8_t REF_PLACED = 0x02;
constexpr uint8_t REF_BUSY_MASK = 0xFC; // busy count in bits 2-7
constexpr uint8_t REF_BUSY_ONE = 0x04;
constexpr uint16_t THUNK_NONE = 0xFFFF;

// ---------------------------------------------------------------------------
// Class descriptor: FSClassDesc of the public header, 14 bytes.
static_assert(sizeof(FSClassDesc) == 14);
static_assert(offsetof(FSClassDesc, allocShift) == 2);
static_assert(offsetof(FSClassDesc, growShift) == 3);
static_assert(offsetof(FSClassDesc, recSize) == 4);
static_assert(offsetof(FSClassDesc, maxPerChunk) == 6);
static_assert(offsetof(FSClassDesc, minPerChunk) == 8);
static_assert(offsetof(FSClassDesc, ridCounter) == 10);

constexpr uint8_t CLASS_MASTER = 0;  // master table: 16-byte table records
constexpr uint8_t CLASS_INDEX = 1;   // index chunks: 10-byte chunk references
constexpr uint8_t CLASS_FIRST_HOST = 4;
constexpr uint8_t CLASS_BUILTIN_FLAGS = 0x38;

// ---------------------------------------------------------------------------
// Table record: 16 bytes, the records of the master table.
//
//   0 10  chunk reference of the table's top chunk
//  10  1  flags: bit 0 in use, bit 1 indexed (top chunk is an index chunk)
//  11  1  class of the table's records
//  12  4  session chain head: a 32-bit session handle, non-zero exactly while
//         sessions are open (never an address); 0 in the file
#pragma pack(push, 1)
struct TableRecord {
    ChunkRef top;
    uint8_t flags;
    uint8_t cls;
    uint32_t sessions;
};
#pragma pack(pop)
static_assert(sizeof(TableRecord) == 16);
static_assert(offsetof(TableRecord, flags) == 10);
static_assert(offsetof(TableRecord, cls) == 11);
static_assert(offsetof(TableRecord, sessions) == 12);

constexpr uint8_t TABLE_IN_USE = 0x01;
constexpr uint8_t TABLE_INDEXED = 0x02;

// The descriptor of built-in class cls as every new or upgraded file has it.
inline FSClassDesc BuiltinClassDesc(uint8_t cls) {
    FSClassDesc d{};
    d.flags = CLASS_BUILTIN_FLAGS;
    d.allocShift = 5;
    d.growShift = 8;
    d.ridCounter = 1;
    if (cls == CLASS_MASTER) {
        d.recSize = sizeof(TableRecord);
        d.maxPerChunk = 256;
    } else if (cls == CLASS_INDEX) {
        d.recSize = sizeof(ChunkRef);
    }
    return d;
}

// ---------------------------------------------------------------------------
// Free-list entry: 10 bytes, the same in memory and in the file.
#pragma pack(push, 1)
struct FreeEntry {
    uint16_t owners; // versions that still use the run; 0 = free
    uint32_t pos;
    uint32_t len;
};
#pragma pack(pop)
static_assert(sizeof(FreeEntry) == 10);
static_assert(offsetof(FreeEntry, pos) == 2);
static_assert(offsetof(FreeEntry, len) == 6);

constexpr uint16_t VER_CURRENT = 0x1;
constexpr uint16_t VER_MINI = 0x2;
constexpr uint16_t VER_SAVED = 0x4;
constexpr uint32_t FREE_LIST_MAX = 6144;

// ---------------------------------------------------------------------------
// Thunk: 20 bytes in the FCB's thunk table, one per resident chunk.
#pragma pack(push, 1)
struct Thunk {
    uint8_t refFlags;     // first eight bytes of the chunk reference; bits 2-7 busy count
    uint8_t cls;
    uint16_t storedCount;
    uint32_t filePos;
    uint8_t flags;        // THUNK_...
    uint8_t lockCount;
    HGLOBAL mem;          // memory block, 0 when none
    uint16_t count;       // current record count in memory
    uint16_t next;        // resident list links, THUNK_NONE for none
    uint16_t prev;
};
#pragma pack(pop)
static_assert(sizeof(Thunk) == 20);
static_assert(offsetof(Thunk, flags) == 8);
static_assert(offsetof(Thunk, lockCount) == 9);
static_assert(offsetof(Thunk, mem) == 10);
static_assert(offsetof(Thunk, count) == 14);
static_assert(offsetof(Thunk, next) == 16);
static_assert(offsetof(Thunk, prev) == 18);

constexpr uint8_t THUNK_IN_USE = 0x01;
constexpr uint8_t THUNK_HAS_MEM = 0x02;
constexpr uint8_t THUNK_DIRTY = 0x04;
constexpr uint8_t THUNK_ON_LIST = 0x08;
constexpr uint8_t THUNK_DISCARDABLE = 0x10;

constexpr uint16_t THUNK_CAPACITY_MAX = 3276; // 3276 * 20 = 65520 bytes
constexpr uint16_t THUNK_GROWTH = 16;

// ---------------------------------------------------------------------------
// File header: 154 bytes at offset 0. The slots that hold addresses in a
// 32-bit layout (file, classTable, freeList, thunkTable, thunks) are 0 in
// every header this library writes; the run-time values live natively in the
// FCB beside the image.
#pragma pack(push, 1)
struct FileHeader {
    uint32_t reserved0;        //   0
    uint16_t lastStatus;       //   4
    uint16_t magic;            //   6
    uint16_t stateFlags;       //   8
    uint16_t formatVersion;    //  10
    uint16_t allocShift;       //  12
    uint16_t growShift;        //  14
    uint16_t versionFlags;     //  16
    uint32_t fileSlot;         //  18 run-time address slot, 0
    uint32_t fileSize;         //  22
    uint32_t savedFileSize;    //  26
    uint32_t miniFileSize;     //  30
    uint32_t reserved34;       //  34
    uint8_t formatMark;        //  38
    uint8_t reserved39[3];     //  39
    uint8_t classCount;        //  42
    uint8_t reserved43;        //  43
    ChunkRef savedRoot;        //  44
    ChunkRef miniRoot;         //  54
    ChunkRef currentRoot;      //  64
    ChunkRef spareRoot;        //  74
    uint16_t maxChunk;         //  84
    uint32_t classTableOffset; //  86
    uint16_t rootTable;        //  90
    uint16_t reserved92;       //  92
    uint32_t fileStamp;        //  94
    uint32_t reserved98;       //  98
    uint16_t savedFreeCount;   // 102
    uint32_t savedFreeOffset;  // 104
    uint16_t fileType;         // 108
    uint16_t appVersion;       // 110
    uint32_t classTableSlot;   // 112 run-time address slot, 0
    uint16_t lruHead;          // 116
    uint16_t lruTail;          // 118
    uint32_t freeListSlot;     // 120 run-time handle slot, 0
    uint16_t reserved124;      // 124
    uint16_t freeCount;        // 126
    uint32_t reserved128;      // 128
    uint32_t thunkTableSlot;   // 132 run-time handle slot, 0
    uint16_t reserved136;      // 136
    uint16_t thunkCount;       // 138
    uint32_t thunksSlot;       // 140 run-time address slot, 0
    uint32_t memInUse;         // 144
    uint32_t memBudget;        // 148
    uint16_t reserved152;      // 152
};
#pragma pack(pop)
static_assert(sizeof(FileHeader) == 154);
static_assert(offsetof(FileHeader, lastStatus) == 4);
static_assert(offsetof(FileHeader, magic) == 6);
static_assert(offsetof(FileHeader, stateFlags) == 8);
static_assert(offsetof(FileHeader, formatVersion) == 10);
static_assert(offsetof(FileHeader, allocShift) == 12);
static_assert(offsetof(FileHeader, growShift) == 14);
static_assert(offsetof(FileHeader, versionFlags) == 16);
static_assert(offsetof(FileHeader, fileSlot) == 18);
static_assert(offsetof(FileHeader, fileSize) == 22);
static_assert(offsetof(FileHeader, savedFileSize) == 26);
static_assert(offsetof(FileHeader, miniFileSize) == 30);
static_assert(offsetof(FileHeader, reserved34) == 34);
static_assert(offsetof(FileHeader, formatMark) == 38);
static_assert(offsetof(FileHeader, classCount) == 42);
static_assert(offsetof(FileHeader, savedRoot) == 44);
static_assert(offsetof(FileHeader, miniRoot) == 54);
static_assert(offsetof(FileHeader, currentRoot) == 64);
static_assert(offsetof(FileHeader, spareRoot) == 74);
static_assert(offsetof(FileHeader, maxChunk) == 84);
static_assert(offsetof(FileHeader, classTableOffset) == 86);
static_assert(offsetof(FileHeader, rootTable) == 90);
static_assert(offsetof(FileHeader, fileStamp) == 94);
static_assert(offsetof(FileHeader, reserved98) == 98);
static_assert(offsetof(FileHeader, savedFreeCount) == 102);
static_assert(offsetof(FileHeader, savedFreeOffset) == 104);
static_assert(offsetof(FileHeader, fileType) == 108);
static_assert(offsetof(FileHeader, appVersion) == 110);
static_assert(offsetof(FileHeader, classTableSlot) == 112);
static_assert(offsetof(FileHeader, lruHead) == 116);
static_assert(offsetof(FileHeader, lruTail) == 118);
static_assert(offsetof(FileHeader, freeListSlot) == 120);
static_assert(offsetof(FileHeader, freeCount) == 126);
static_assert(offsetof(FileHeader, thunkTableSlot) == 132);
static_assert(offsetof(FileHeader, thunkCount) == 138);
static_assert(offsetof(FileHeader, thunksSlot) == 140);
static_assert(offsetof(FileHeader, memInUse) == 144);
static_assert(offsetof(FileHeader, memBudget) == 148);

constexpr uint32_t HEADER_SIZE = 154;
constexpr uint16_t FORMAT_CURRENT = 521; // 0x209
constexpr uint16_t FORMAT_CONVERTED = 513; // 0x201: old files converted
constexpr uint16_t MAX_CHUNK_DEFAULT = 0xF000;

// stateFlags bits; the low byte persists, the high byte is cleared at close.
constexpr uint16_t STATE_CLOSED_CLEANLY = 0x01;
constexpr uint16_t STATE_DIRTIED = 0x02;
constexpr uint16_t STATE_DISK_FULL = 0x04;
constexpr uint16_t STATE_DIRTIED_PAGE = 0x20;
constexpr uint16_t STATE_FATAL = 0x40;
