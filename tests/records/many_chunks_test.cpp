// A table of more chunks than the thunk table can name at once: its chunks
// take turns at the thunks, and every record stays reachable by RIX, by
// stepping and across a save.
#include <gtest/gtest.h>

#include <cstring>

#include "common/session_fixture.h"

namespace {

class ManyChunks : public SessionFileTest {};

uint64_t Value(uint32_t i) { return uint64_t{i} * 0x9E3779B97F4A7C15ull; }

// Steps through the n records of the table from rix 0: inserted marks the
// records that are kMarker, the others are Value(0), Value(1), ...
constexpr uint64_t kMarker = 0xABCDEF;
void ExpectWalk(SCB *scb, uint32_t n, bool (*inserted)(uint32_t)) {
    void *rec = nullptr;
    ASSERT_EQ(FSIxLock(scb, 0, &rec, nullptr), FS_OK);
    for (uint32_t r = 0, i = 0; r < n; ++r, rec = FSLockNext(scb)) {
        ASSERT_NE(rec, nullptr) << r;
        uint64_t v;
        std::memcpy(&v, rec, sizeof v);
        ASSERT_EQ(v, inserted(r) ? kMarker : Value(i++)) << r;
    }
    EXPECT_EQ(rec, nullptr);
    FSUnlock(scb);
}

// 4 records per chunk: 4400 chunks pass the 3276 thunks.
TEST_F(ManyChunks, AppendsReadsInsertsAndSavesPastTheThunkLimit) {
    constexpr uint32_t kRecords = 4 * 4400, kBatch = 400;
    uint16_t tid = MakeTable(kSmall);
    SCB *scb = CheckOut(tid);
    std::vector<uint64_t> batch(kBatch);
    for (uint32_t done = 0; done < kRecords; done += kBatch) {
        for (uint32_t i = 0; i < kBatch; ++i) batch[i] = Value(done + i);
        ASSERT_EQ(FSIAddPtr(scb, RIX_LAST, kBatch, 0, batch.data()), FS_OK) << done;
    }
    for (uint32_t k = 0; k < 2000; ++k) { // by position, in no order
        uint32_t rix = (k * 7919u) % kRecords;
        void *rec = nullptr;
        ASSERT_EQ(FSIxLock(scb, rix, &rec, nullptr), FS_OK) << rix;
        const uint64_t want = Value(rix);
        ASSERT_EQ(std::memcmp(rec, &want, sizeof want), 0) << rix;
    }
    FSUnlock(scb);
    ASSERT_NO_FATAL_FAILURE(ExpectWalk(scb, kRecords, [](uint32_t) { return false; }));
    for (uint32_t k = 0; k < 20; ++k) ASSERT_EQ(FSIAddPtr(scb, 3 * k, 1, 0, &kMarker), FS_OK) << k;
    FSCheckIn(scb);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), FS_OK);
    scb = CheckOut(tid, 0);
    ASSERT_NO_FATAL_FAILURE(ExpectWalk(scb, kRecords + 20, [](uint32_t r) { return r < 60 && r % 3 == 0; }));
    FSCheckIn(scb);
}

} // namespace
