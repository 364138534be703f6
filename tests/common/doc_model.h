// A host's document as a model: tables of records kept beside a storage
// file and changed through the public interface alone, so that any version
// of the file (saved, mini-saved, reopened after a crash) can be compared
// with the model of that version record for record.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zunfs/zunfs.h>

using Record = std::vector<uint8_t>;

struct DocTable {
    uint8_t cls = 0;
    std::vector<Record> recs;
    bool operator==(const DocTable &) const = default;
};

// Tables by TID.
using Doc = std::map<uint16_t, DocTable>;

// Host classes of the model's files, numbered from 4: 8-byte records, at
// most 4 a chunk (many chunks from few records); 12-byte records, at most
// 10; 1-byte records, at most 3000.
std::vector<FSClassDesc> DocClasses();

// A context with DocClasses, scratch files in folder.
FSContext DocContext(const std::string &folder, uint32_t memBudget = 0);

// Changes both the file and the model; every call asserts success.
void DocMakeTable(FCB *fcb, Doc &doc, uint8_t cls, uint16_t *tid = nullptr);
void DocDestroyTable(FCB *fcb, Doc &doc, uint16_t tid);
void DocInsert(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, const std::vector<Record> &recs);
void DocOverwrite(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, const std::vector<Record> &recs);
void DocDelete(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, uint32_t count);

// count records of the class's size, filled from rng.
std::vector<Record> RandomRecords(std::mt19937 &rng, uint8_t cls, uint32_t count);

// steps random changes: inserts, overwrites, deletions, and now and then a
// table made or destroyed (never the root table).
void DocChange(FCB *fcb, Doc &doc, std::mt19937 &rng, int steps);

// Every record of the table, read through a session; empty on failure.
std::vector<Record> ReadTable(FCB *fcb, uint16_t tid);

// The file holds exactly the model: each table with its class and records,
// and no other table in use.
::testing::AssertionResult FileHolds(FCB *fcb, const Doc &doc);

// Opens path with the selector (in place), compares with doc, closes with
// keep 1. The open must answer 0.
::testing::AssertionResult VersionHolds(const std::string &path, uint32_t selector, const FSContext &ctx,
                                        const Doc &doc);
