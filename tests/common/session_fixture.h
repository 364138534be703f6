// A new storage file with a set of host classes, tables of exact shapes, and
// readers that see a table's records and chunks through the chunk layer
// alone, independently of sessions. Tests of sessions, index locking,
// navigation and the record operations start from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/fcb.h"

// Host classes of the fixture, numbered from 4.
enum TestClass : uint8_t {
    kSmall = 4,    // 8-byte records, at most 4 per chunk, minimum 2
    kTwelve = 5,   // 12-byte records, at most 10 per chunk, minimum 5
    kSixteen = 6,  // 16-byte records, at most 10 per chunk, minimum 5
    kStamped = 7,  // 8-byte records ending with a RID, at most 5 per chunk
    kTwelveB = 8,  // 12-byte records, at most 3 per chunk, minimum 0
    kWide = 9,     // 4-byte records, at most 1000 per chunk
    kBytes = 10,   // 1-byte records (byte streams), at most 700 per chunk
};


// The shape of a table: whether it is indexed, and its chunks' record counts.
struct TableShape {
    bool indexed = false;
    std::vector<uint16_t> counts;
    bool operator==(const TableShape &) const = default;
};
void PrintTo(const TableShape &s, std::ostream *os);

class SessionFileTest : public ::testing::Test {
protected:
    virtual uint32_t MemBudget() { return 0; }
    // The host's context of the fixture's file (classes TestClasses()).
    FSContext Context();
    void SetUp() override;
    void TearDown() override;

    uint16_t MakeTable(uint8_t cls);
    // Replaces the records of an empty table with chunks of these counts
    // (indexed or not), filled with Pattern bytes.
    void Shape(uint16_t tid, const TableShape &shape);
    uint16_t MakeShapedTable(uint8_t cls, const TableShape &shape);
    SCB *CheckOut(uint16_t tid, uint32_t mode = 1);

    // A record's content as Shape writes it: distinct per table and RIX.
    static std::vector<uint8_t> Pattern(uint16_t tid, uint32_t rix, uint16_t recSize);
    // The whole table filled with Pattern, count records.
    static std::vector<uint8_t> Patterns(uint16_t tid, uint32_t count, uint16_t recSize);

    // What the chunk layer holds for the table; an empty shape on failure.
    TableShape ShapeOf(uint16_t tid);
    std::vector<uint8_t> TableBytes(uint16_t tid);
    // The table's records one by one.
    std::vector<std::vector<uint8_t>> RecordsOf(uint16_t tid);
    uint16_t RecSize(uint8_t cls) { return fcb_->classTable[cls].recSize; }

    // A copy of the table record, and the thunk of the master-table chunk
    // that holds it.
    TableRecord RecordOf(uint16_t tid, uint16_t *masterChunk = nullptr);
    // The busy count of the master-table chunk holding table tid.
    uint8_t MasterBusy(uint16_t tid);
    uint32_t SlotOf(uint16_t tid) { return RecordOf(tid).sessions; }

    std::string folder_;
    FCB *fcb_ = nullptr;
};
