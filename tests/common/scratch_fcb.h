// A scratch storage file and its FCB: a new file made by FSCreate (header
// at 0, class table after it, an empty master table), or a bare FCB on an
// empty file. Tests of the block store, the chunk layer and later layers
// start from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blocks/versions.h"
#include "session/fcb.h"

struct ScratchOptions {
    uint32_t memBudget = 0;
    std::vector<FSClassDesc> hostClasses; // classes 4, 5, ...
    bool layout = true;      // header and class table allocated, master table made
};

// A host class descriptor: records of recSize bytes, up to maxPerChunk per chunk.
FSClassDesc HostClass(uint16_t recSize, uint16_t maxPerChunk = 1024, uint8_t flags = 0);


// A fresh folder under $TMPDIR (or /tmp), removed again by RemoveScratchFolder.
std::string MakeScratchFolder();
// The same in memory (/dev/shm) when the system has it: for tests that
// flush thousands of times and judge durability through the crash
// simulator, not through the disk.
std::string MakeMemoryScratchFolder();
void RemoveScratchFolder(const std::string &folder);

// The free list as it stands, and a way to set it for a test.
std::vector<FreeEntry> FreeListOf(FCB *fcb);
void SetFreeList(FCB *fcb, const std::vector<FreeEntry> &entries);

// A whole move of ownership with no header write: prepare, write the
// stored copy, take the header fields into the FCB, adopt. For tests of the
// block store below the save protocol.
FSStatus CommitNow(FCB *fcb, const VersionMove &move);

// A copy of a thunk (the table is locked and unlocked around the read).
Thunk ThunkOf(FCB *fcb, uint16_t ti);

bool operator==(const FreeEntry &a, const FreeEntry &b);
void PrintTo(const FreeEntry &e, std::ostream *os);

// Fixture: a scratch FCB per test, with fault injection reset around it.
class ScratchFcbTest : public ::testing::Test {
protected:
    virtual ScratchOptions Options() { return {}; }
    void SetUp() override;
    void TearDown() override;

    // Makes a chunk of count zero records of class cls; its reference lives
    // in refs_ (stable storage owned by the fixture).
    uint16_t NewChunk(uint8_t cls, uint16_t count);

    // Locks ti, fills its records with bytes from seed, unlocks it changed.
    void FillChunk(uint16_t ti, uint8_t seed);

    // Reads the chunk's records through a lock (unlocking unchanged).
    std::vector<uint8_t> ChunkBytes(uint16_t ti);

    // An index chunk whose references name new resident chunks of class cls
    // with these record counts (their thunks go to *children when given).
    // The index is unlocked with the changed flag given.
    uint16_t NewIndex(const std::vector<uint16_t> &counts, uint8_t cls, int changed,
                      std::vector<uint16_t> *children = nullptr);

    std::string folder_;
    FCB *fcb_ = nullptr;
    std::vector<ChunkRef> refs_ = std::vector<ChunkRef>(4096);
    size_t nextRef_ = 0;
};

// Scratch file whose class 4 has 1-byte records, so a chunk of n records
// holds n bytes.
class ByteRecordsTest : public ScratchFcbTest {
protected:
    ScratchOptions Options() override { return {0, {HostClass(1, 60000)}, true}; }
};

// Bare FCB: an empty file, no class table, no master table.
class BareFcbTest : public ScratchFcbTest {
protected:
    ScratchOptions Options() override { return {0, {}, false}; }
};
