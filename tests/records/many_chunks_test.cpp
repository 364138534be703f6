// A table of more chunks than the thunk table can name at once: its chunks
// take turns at the thunks, and every record stays reachable by RIX, by
// stepping and across a save.
#include <gtest/gtest.h>

#include <cstring>

#include "common/session_fixture.h"

namespace {

class ManyChunks : public SessionFileTest {};

// 4 records per chunk: 4400 chunks pass the 3276 thunks.
constexpr uint32_t kRecords = 4 * 4400;
constexpr uint32_t kBatch = 400;

uint64_t Value(uint32_t i) { return uint64_t{i} * 0x9E3779B97F4A7C15ull; }

TEST_F(ManyChunks, AppendsReadsInsertsAndSavesPastTheThunkLimit) {
    uint16_t tid = MakeTable(kSmall);
    SCB *scb = CheckOut(tid);
    std::vector<uint64_t> batch(kBatch);
    for (uint32_t done = 0; done < kRecords; done += kBatch) {
        for (uint32_t i = 0; i < kBatch; ++i) batch[i] = Value(done + i);
        ASSERT_EQ(FSIAddPtr(scb, RIX_LAST, kBatch, 0, batch.data()), FS_OK) << done;
    }
    ASSERT_EQ(FSTableSize(scb), kRecords);

    // Random reads by position, then a walk of every record.
    for (uint32_t k = 0; k < 2000; ++k) {
        uint32_t rix = (k * 7919u) % kRecords;
        void *rec = nullptr;
        ASSERT_EQ(FSIxLock(scb, rix, &rec, nullptr), FS_OK) << rix;
        uint64_t v;
        std::memcpy(&v, rec, sizeof v);
        ASSERT_EQ(v, Value(rix)) << rix;
    }
    void *rec = nullptr;
    ASSERT_EQ(FSIxLock(scb, 0, &rec, nullptr), FS_OK);
    for (uint32_t i = 0; i < kRecords; ++i, rec = FSLockNext(scb)) {
        ASSERT_NE(rec, nullptr) << i;
        uint64_t v;
        std::memcpy(&v, rec, sizeof v);
        ASSERT_EQ(v, Value(i)) << i;
    }
    EXPECT_EQ(rec, nullptr);
    FSUnlock(scb);

    // Insertions at positions near the front shift every later record.
    uint64_t marker = 0xABCDEF;
    for (uint32_t k = 0; k < 20; ++k) ASSERT_EQ(FSIAddPtr(scb, 3 * k, 1, 0, &marker), FS_OK) << k;
    FSCheckIn(scb);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), FS_OK);

    scb = CheckOut(tid, 0);
    ASSERT_EQ(FSTableSize(scb), kRecords + 20);
    ASSERT_EQ(FSIxLock(scb, 0, &rec, nullptr), FS_OK);
    for (uint32_t r = 0, i = 0; r < kRecords + 20; ++r, rec = FSLockNext(scb)) {
        ASSERT_NE(rec, nullptr) << r;
        uint64_t v;
        std::memcpy(&v, rec, sizeof v);
        bool inserted = r < 60 && r % 3 == 0;
        ASSERT_EQ(v, inserted ? marker : Value(i++)) << r;
    }
    FSCheckIn(scb);
}

} // namespace
