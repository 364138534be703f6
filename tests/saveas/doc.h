// A storage file and a model of its tables for save-as tests: records go in
// through sessions, the model keeps what every table should hold, and the
// files a save-as writes are checked byte by byte against it, with the
// checker and with an independent reader of the format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/gen_bytes.h"
#include "session/fcb.h"

using gen::Bytes;

// Host classes: 4 holds 8-byte records, 6 to a chunk (many small chunks);
// 5 holds 100-byte records, 300 to a chunk (large chunks); 6 holds 24-byte
// records, 40 to a chunk.
std::vector<FSClassDesc> DocClasses();

struct DocTable {
    uint16_t tid;
    uint8_t cls;
    uint16_t size;
    Bytes records; // every record in RIX order
};

class Doc {
public:
    explicit Doc(const std::string &folder, uint32_t memBudget = 0);
    ~Doc();
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;

    FCB *fcb = nullptr;
    std::vector<DocTable> tables;

    // A new table of class cls; returns its index in tables.
    size_t Make(uint8_t cls);
    // n new records from seed, inserted before rix (RIX_LAST: appended).
    void Insert(size_t t, uint32_t rix, uint32_t n, uint32_t seed);
    // Overwrites n records from rix with records from seed.
    void Overwrite(size_t t, uint32_t rix, uint32_t n, uint32_t seed);
    void Delete(size_t t, uint32_t rix, uint32_t n);
    // The table's records read through a session.
    Bytes Read(size_t t);
    // Every table reads as the model says (through sessions).
    void ExpectRecords();
    // A file with a few tables: a large indexed one, one of many small
    // chunks, one that was emptied, and some churn of updates and deletes.
    void Fill(uint32_t seed);
    // Updates, inserts and deletes, seeded.
    void Churn(uint32_t seed, int steps);
    // Closes the FCB (if still open) without keeping anything.
    void Close(uint16_t keep = 0);

private:
    std::string folder_;
};

// How the saved version of the file at path differs from the model, empty
// when every table in use holds the model's records, no other table is in
// use, and the checker finds nothing. ExpectFileHolds expects it empty.
std::string Differences(const std::string &path, const std::vector<DocTable> &tables);
void ExpectFileHolds(const std::string &path, const std::vector<DocTable> &tables);

// Sizes of the images the saved version's chunks need, smallest first.
std::vector<uint32_t> ImageSizes(const Bytes &file);

// The exact size of a compact file with the structure of the file's saved
// version: header and class table rounded up, then every image rounded up.
uint32_t CompactSizeOf(const Bytes &file);

// Every finding of the checker on the file, empty when it is clean.
std::string CheckerFindings(const std::string &path);

// A record naming path.
VMFileSpec Spec(const std::string &path);

// Names of the files in a folder.
std::vector<std::string> FilesIn(const std::string &folder);
