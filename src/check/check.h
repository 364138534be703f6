// The whole-file checker's working records. A check is one CheckRun: the
// open file, its decoded header and class table, the versions on disk with
// the images each one uses, the stored free list, and the findings so far.
// Every step adds findings and goes on where it safely can; nothing read
// from the file is trusted before it has been bounded by the file's length
// and the format's limits.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <zunfs/zunfs_check.h>

#include "session/format.h"

// Sizes of the on-disk records, as 32-bit values for position arithmetic.
constexpr uint32_t DESC_SIZE = sizeof(FSClassDesc);
constexpr uint32_t REF_SIZE = sizeof(ChunkRef);
constexpr uint32_t TABLE_RECORD_SIZE = sizeof(TableRecord);
constexpr uint32_t FREE_ENTRY_SIZE = sizeof(FreeEntry);

// What an image holds, for messages.
enum class ImageRole : uint8_t { MasterIndex, MasterChunk, TableIndex, TableChunk };

struct CheckImage {
    uint32_t pos;
    uint32_t len;
    uint8_t cls;
    ImageRole role;
    uint16_t tid;   // table of a table image
    uint32_t chunk; // chunk number within the master or the table
};

// Images of one version by position; no two of them overlap.
using ImageMap = std::map<uint32_t, CheckImage>;

struct CheckVersion {
    uint16_t bit = 0;        // VER_SAVED or VER_MINI
    uint32_t sizeLimit = 0;  // savedFileSize or miniFileSize
    ChunkRef root{};
    ImageMap images;
    std::vector<ZunfsCheckTable> tables;
    ZunfsCheckVersion summary{};
};

struct CheckRun {
    VMFileSpec spec{};       // the file, open read-only
    uint32_t length = 0;     // its real length
    uint32_t format = ZUNFS_CHECK_FORMAT_UNKNOWN;
    bool headerRead = false;
    FileHeader h{};          // decoded header
    uint32_t granule = 1;    // 2^allocShift, 1 when the shift is unusable
    uint32_t chunkLimit = MAX_CHUNK_DEFAULT;

    bool classesRead = false;
    std::vector<FSClassDesc> classes;
    std::vector<uint8_t> classVetted; // host classes already checked for use by a table

    bool freeListRead = false;
    std::vector<FreeEntry> freeList;

    std::vector<CheckVersion> versions;

    std::vector<ZunfsCheckFinding> findings;
    uint32_t dropped = 0;
    uint32_t findingsOf[8] = {}; // findings per version bit (index = bit)
};

// Adds a finding (at most ZUNFS_CHECK_FINDINGS_MAX are kept; the rest are
// counted).
void CheckAdd(CheckRun &run, ZunfsCheckKind kind, uint16_t version, uint32_t pos, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Reads len bytes at pos, which the caller has bounded by the file's length.
// A failed read becomes a finding; returns whether the bytes are there.
bool CheckRead(CheckRun &run, uint32_t pos, uint32_t len, void *buffer, uint16_t version);

// Does [pos, pos + len) meet [at, at + size)? Empty ranges meet nothing.
inline bool Meets(uint32_t pos, uint32_t len, uint32_t at, uint32_t size) {
    return len != 0 && size != 0 && uint64_t(pos) < uint64_t(at) + size && uint64_t(at) < uint64_t(pos) + len;
}

// The first image of the map that meets [pos, pos + len), or end().
ImageMap::const_iterator FirstMeeting(const ImageMap &images, uint32_t pos, uint32_t len);

// "chunk 2 of table 5", "master index", ... for messages.
const char *DescribeImage(const CheckImage &image, char *buffer, size_t size);

// The file-wide structures that no image and no free run may cover:
// header, class table, stored free list. Fills up to three ranges and
// returns how many.
struct Structure {
    const char *name;
    uint32_t pos;
    uint32_t len;
};
int CheckStructures(const CheckRun &run, Structure out[3]);

// The steps of a check, in the order they run.
void CheckHeader(CheckRun &run);     // reads and decodes the header; sets format
void CheckSizes(CheckRun &run);
void CheckClassTable(CheckRun &run);
void LoadFreeList(CheckRun &run);
void WalkVersions(CheckRun &run);
void CheckSharedImages(CheckRun &run);
void CheckFreeList(CheckRun &run);

// A host class used by a table: reports an unusable descriptor once.
// Returns the record size to walk the table with, 0 when it cannot be.
uint16_t VetTableClass(CheckRun &run, uint8_t cls);
