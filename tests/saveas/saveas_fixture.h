// Save-as tests: the host's document of the saving tests, and readers that
// look at the files a save-as writes byte by byte, beside the library.
#pragma once

#include <vector>

#include "common/doc_fixture.h"
#include "common/fcb_fixture.h"

using gen::Bytes;

class SaveAsTest : public DocFileTest {
protected:
    void TearDown() override {
        GlobalSetMoveOnLock(0);
        DocFileTest::TearDown();
    }
    std::string Path(const std::string &name) const { return folder_ + "/" + name; }
    VMFileSpec Target(const std::string &name) const {
        VMFileSpec spec{};
        VMMakeFileSpec(Path(name).c_str(), 0, &spec);
        return spec;
    }
};

// Small enough that much of the current version is written back to the
// file while it is made: a save-as then finds some chunks in memory and
// reads the others.
class SaveAsBudgetTest : public SaveAsTest {
protected:
    uint32_t MemBudget() override { return 16 * 1024; }
};

// Adds a table of 1-byte records holding bytes records.
void AddBulk(FCB *fcb, Doc &doc, std::mt19937 &rng, uint32_t bytes);

// How the saved version of the file at path differs from the model, read
// straight from the file's bytes; empty when every table in use holds the
// model's records, no other table is in use, and the checker finds nothing.
std::string Differences(const std::string &path, const Doc &doc);

// The exact size of a compact file with the structure of the file's saved
// version: header and class table rounded up, then every image rounded up.
uint32_t CompactSizeOf(const Bytes &file);

// Sizes of the images the saved version's chunks need, smallest first.
std::vector<uint32_t> ImageSizes(const Bytes &file);

// What a compact file at path shows in its header, and the FCB moved to it
// right after the save-as.
void ExpectCompact(FCB *fcb, const std::string &path);

