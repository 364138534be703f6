// Generator of storage files in the current layout, built byte by byte:
// the 154-byte header, the class table, tables given as lists of records
// (single-chunk or indexed), a master table (single chunk or indexed), a
// saved and a mini-saved version that share the images of the tables they
// have in common, and a stored free list with owner bits. Space is laid out
// in granules of 2^allocShift bytes (64 by default) from offset 0:
//
//   header | class table | table images (children before their index)
//   | master chunks | master index | stored free list | free tail
//
// The result tells where every image and reference went, so that a test can
// damage the file on purpose. BuildForeign (gen_foreign.h) writes the same
// content in the other byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "gen_bytes.h"

namespace gen {

// A host class; the first is class 4.
struct ClassSpec {
    uint16_t recSize = 8;
    uint16_t maxPerChunk = 64;
    uint16_t minPerChunk = 0;
    uint8_t flags = 0x08;     // 0x01 records end with a RID; 0x08 or 0x20: translated in foreign files
    uint8_t allocShift = 4;
    uint8_t growShift = 6;
    uint32_t ridCounter = 1;
};

// A table: its records and how they are cut into chunks.
struct TableSpec {
    uint8_t cls = 4;
    Bytes records;                // whole records of the class's size
    bool indexed = false;         // top chunk is an index over the data chunks
    std::vector<uint16_t> chunks; // records per data chunk; empty: one chunk
    bool imageless = false;       // data chunks keep their counts but have no image (read as zeros)
};

// One version's master table: per TID the table (an index into
// NativeSpec::tables, shared with any other version that names it) or -1
// for a free table record.
struct VersionSpec {
    std::vector<int> tids;
    bool masterIndexed = false;
    std::vector<uint16_t> masterChunks; // table records per master chunk; empty: 256 each
    bool operator==(const VersionSpec &) const = default;
};

struct NativeSpec {
    std::vector<ClassSpec> classes;
    std::vector<TableSpec> tables;
    std::optional<VersionSpec> saved;
    std::optional<VersionSpec> mini;
    bool current = true;          // versionFlags has 0x1; the current root repeats the newest version's
    uint16_t stateFlags = 0x01;   // closed cleanly
    std::optional<uint16_t> rootTable; // default: 0 when there are tables, else 0xFFFF
    uint16_t fileType = 0x5A46;
    uint16_t appVersion = 0x0100;
    uint16_t allocShift = 6;
    uint32_t freeAfterEachImage = 0; // free run of this many bytes (a granule multiple) after every image
    uint32_t freeTail = 0;        // free run at the end of the file
};

struct ImageInfo {
    enum Kind { MasterIndex, Master, TableIndex, TableChunk } kind;
    int table;                    // index into NativeSpec::tables; -1 for master images
    int chunk;                    // chunk number within its table or master
    uint32_t pos;
    uint32_t len;
    uint16_t versions;            // version bits (0x1, 0x2, 0x4) of the versions that use it
    std::vector<uint32_t> refs;   // file positions of the chunk references that name it
};

struct FreeRun {
    uint16_t owners;
    uint32_t pos;
    uint32_t len;
};

struct NativeFile {
    Bytes bytes;
    std::vector<ImageInfo> images; // in file order
    uint32_t classTableOffset = 0;
    uint32_t freeListOffset = 0;   // 0 when no list is stored
    std::vector<FreeRun> freeList; // as stored, sorted by position
    uint16_t versionFlags = 0;

    // The image of a kind; table -1 for master images. Aborts when absent.
    const ImageInfo &Image(ImageInfo::Kind kind, int table, int chunk = 0) const;
};

NativeFile BuildNative(const NativeSpec &spec);


} // namespace gen
