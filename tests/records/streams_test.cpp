// Byte streams in tables of 1-byte records, through the stream API across
// many chunks, and the callbacks given bad contexts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "blocks/cache.h"
#include "common/session_fixture.h"
#include "tables/sfm.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Streams : public SessionFileTest {
protected:
    void SetUp() override {
        SessionFileTest::SetUp();
        MakeTable(kSmall); // the root table, so that streams can be destroyed
        ASSERT_EQ(FSInstallSFM(&registration_), 0);
    }
    void TearDown() override {
        EXPECT_EQ(FSUninstallSFM(), 0);
        SessionFileTest::TearDown();
    }
    uint16_t registration_ = 0;
};

// 100000 bytes over chunks of at most 700, written and read in pieces of odd
// sizes (some more than one callback moves), the chunks dropped and every
// block moving between; then resized both ways and opened read-only.
TEST_F(Streams, BytesReadBackAsWritten) {
    Bytes data(100000), back(data.size(), 0xEE);
    std::mt19937 rng(7);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    VMStream *s = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &s), 0);
    const uint16_t tid = VMStreamTable(s);
    const uint32_t pieces[] = {1, 7, 333, 4099, 70001, 3, 65535, 999};
    for (uint32_t at = 0, i = 0, n; at < data.size(); at += n, ++i) {
        n = std::min<uint32_t>(pieces[i % 8], uint32_t(data.size()) - at);
        ASSERT_EQ(VMStreamWrite(s, at, n, data.data() + at), 0) << at;
    }
    EXPECT_GT(ShapeOf(tid).counts.size(), 140u);
    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    GlobalSetMoveOnLock(1);
    for (uint32_t at = 0, i = 3, n; at < data.size(); at += n, ++i) {
        n = std::min<uint32_t>(pieces[i % 8], uint32_t(data.size()) - at);
        ASSERT_EQ(VMStreamRead(s, at, n, back.data() + at), 0) << at;
    }
    EXPECT_EQ(back, data);
    ASSERT_EQ(VMStreamWrite(s, 50001, 3, "abc"), 0);
    ASSERT_EQ(VMStreamSetSize(s, 50003), 0);
    ASSERT_EQ(VMStreamSetSize(s, 60000), 0);
    ASSERT_EQ(VMStreamWrite(s, 70000, 5, "xyzzy"), 0); // past the end
    Bytes expected(data.begin(), data.begin() + 50001);
    expected.insert(expected.end(), {'a', 'b'});
    expected.resize(70000, 0);
    expected.insert(expected.end(), {'x', 'y', 'z', 'z', 'y'});
    EXPECT_EQ(TableBytes(tid), expected);
    EXPECT_EQ(VMStreamRead(s, 69999, 7, back.data()), FS_E_BAD_RIX) << "past the end";
    EXPECT_EQ(FSDestroyTable(fcb_, tid), FS_E_TABLE_IN_USE);
    VMStreamClose(s);
    ASSERT_EQ(VMStreamOpen(fcb_, tid, 0, &s), 0);
    EXPECT_EQ(VMStreamWrite(s, 0, 1, "!"), FS_E_READ_ONLY);
    EXPECT_EQ(VMStreamSetSize(s, 0), FS_E_READ_ONLY);
    EXPECT_EQ(TableBytes(tid), expected);
    VMStreamClose(s);
    ASSERT_EQ(VMStreamDestroy(fcb_, tid), 0);
}

// Contexts that name no file or session, sessions checked in, tables of
// another class, arguments out of range: a status, never a crash.
TEST_F(Streams, CallbacksRefuseBadContexts) {
    uint8_t buf[8] = {};
    VMStreamContext none{}, s{}, twelve{};
    EXPECT_EQ(kSFMTable.bind(&none, nullptr), FS_E_BAD_PARAMS);
    for (VMStreamContext *c : {&none, static_cast<VMStreamContext *>(nullptr)}) {
        const FSStatus expected = c ? FS_E_BAD_FCB : FS_E_BAD_PARAMS;
        for (FSStatus got : {kSFMTable.create(c), kSFMTable.open(c, 1), kSFMTable.destroy(c), kSFMTable.read(c, 0, 1, buf),
                             kSFMTable.write(c, 0, 1, buf), kSFMTable.reopen(c), kSFMTable.setSize(c, 5)})
            EXPECT_EQ(got, expected);
        EXPECT_EQ(kSFMTable.getSize(c) + static_cast<uint32_t>(kSFMTable.sameTable(c, &none)), 0u);
        kSFMTable.close(c);
    }
    VMBindParams params{fcb_, TID_NONE, kBytes}, params12{fcb_, TID_NONE, kTwelve};
    ASSERT_EQ(kSFMTable.bind(&s, &params), 0);
    EXPECT_EQ(kSFMTable.read(&s, 0, 1, buf), FS_E_BAD_SCB) << "no session yet";
    ASSERT_EQ(kSFMTable.create(&s), 0);
    VMStreamContext stale = s, otherTable = s;
    otherTable.tid = static_cast<uint16_t>(s.tid + 1);
    EXPECT_EQ(kSFMTable.read(&otherTable, 0, 0, buf), FS_E_BAD_SCB) << "a session of another table";
    EXPECT_EQ(kSFMTable.write(&s, 0, 4, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(kSFMTable.write(&s, 0xFFFFFFFF, 2, buf), FS_E_BAD_RIX) << "past 4 GiB";
    EXPECT_EQ(kSFMTable.open(&s, 2), VM_E_STREAMMODE);
    kSFMTable.close(&s);
    EXPECT_EQ(kSFMTable.write(&stale, 0, 1, buf), FS_E_BAD_SCB) << "a session checked in";
    const uint32_t tables = FSTableCount(fcb_);
    ASSERT_EQ(kSFMTable.bind(&twelve, &params12), 0);
    EXPECT_EQ(kSFMTable.create(&twelve), FS_E_BAD_CLASS) << "only 1-byte records hold a stream";
    EXPECT_EQ(FSTableCount(fcb_), tables);
}

} // namespace
