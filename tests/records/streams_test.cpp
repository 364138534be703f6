// Byte streams in tables: the counted installation of the callback table,
// streams written and read through the services' stream API across many
// chunks, and the callbacks given good and bad stream contexts.
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
    // A context bound to a table of this file, as the services bind one.
    VMStreamContext Bound(uint16_t tid = TID_NONE, uint8_t cls = kBytes) {
        VMStreamContext s{};
        VMBindParams params{fcb_, tid, cls};
        EXPECT_EQ(kSFMTable.bind(&s, &params), 0);
        return s;
    }
    uint16_t registration_ = 0;
};

TEST_F(Streams, InstallationIsCounted) {
    uint16_t again = 0;
    ASSERT_EQ(FSInstallSFM(&again), 0);
    EXPECT_EQ(again, registration_) << "registered once";
    EXPECT_EQ(FSUninstallSFM(), 0);
    VMStream *stream = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &stream), 0) << "still registered";
    VMStreamClose(stream);
    EXPECT_EQ(FSUninstallSFM(), 0);
    EXPECT_EQ(VMStreamCreate(fcb_, kBytes, &stream), VM_E_BADSPEC) << "withdrawn";
    EXPECT_EQ(FSUninstallSFM(), 0) << "nothing is installed: nothing to do";
    ASSERT_EQ(FSInstallSFM(&again), 0);
}

// 100000 bytes over chunks of at most 700, written and read in pieces of odd
// sizes (some more than one callback moves), with the chunks dropped and
// every block moving between; then resized both ways and opened read-only.
TEST_F(Streams, BytesReadBackAsWritten) {
    Bytes data(100000);
    std::mt19937 rng(7);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    VMStream *s = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &s), 0);
    const uint16_t tid = VMStreamTable(s);
    const uint32_t pieces[] = {1, 7, 333, 4099, 70001, 3, 65535, 999};
    auto inPieces = [&](size_t i, auto io) {
        for (uint32_t at = 0; at < data.size(); ++i) {
            uint32_t n = std::min<uint32_t>(pieces[i % std::size(pieces)], uint32_t(data.size()) - at);
            ASSERT_EQ(io(at, n), 0) << at;
            at += n;
        }
    };
    inPieces(0, [&](uint32_t at, uint32_t n) { return VMStreamWrite(s, at, n, data.data() + at); });
    EXPECT_EQ(TableBytes(tid), data);
    EXPECT_GT(ShapeOf(tid).counts.size(), 140u);
    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    GlobalSetMoveOnLock(1);
    Bytes back(data.size(), 0xEE);
    inPieces(3, [&](uint32_t at, uint32_t n) { return VMStreamRead(s, at, n, back.data() + at); });
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
    Bytes guard(10, 0xEE);
    EXPECT_EQ(VMStreamRead(s, 69999, 7, guard.data()), FS_E_BAD_RIX) << "past the end";
    EXPECT_EQ(guard, Bytes(10, 0xEE));
    EXPECT_EQ(FSDestroyTable(fcb_, tid), FS_E_TABLE_IN_USE);
    VMStreamClose(s);

    ASSERT_EQ(VMStreamOpen(fcb_, tid, 0, &s), 0);
    EXPECT_EQ(VMStreamWrite(s, 0, 1, "!"), FS_E_READ_ONLY);
    EXPECT_EQ(VMStreamSetSize(s, 0), FS_E_READ_ONLY);
    EXPECT_EQ(TableBytes(tid), expected);
    VMStreamClose(s);
    EXPECT_EQ(VMStreamOpen(fcb_, tid, 2, &s), VM_E_STREAMMODE);
    ASSERT_EQ(VMStreamDestroy(fcb_, tid), 0);
}

// The callbacks keep the position after the last call: a count of 0 only
// sets it, and so does a size that stays; a reopen keeps the mode.
TEST_F(Streams, CallbacksKeepThePosition) {
    VMStreamContext s = Bound();
    ASSERT_EQ(kSFMTable.create(&s), 0);
    EXPECT_EQ(s.position, 0u);
    Bytes data(1400, 0x5A), run(800);
    ASSERT_EQ(kSFMTable.write(&s, 0, 1400, data.data()), 0);
    EXPECT_EQ(s.position, 1400u);
    ASSERT_EQ(kSFMTable.read(&s, 300, 800, run.data()), 0) << "a run over two chunks";
    EXPECT_EQ(s.position, 1100u);
    ASSERT_EQ(kSFMTable.read(&s, 17, 0, nullptr), 0);
    EXPECT_EQ(s.position, 17u);
    ASSERT_EQ(kSFMTable.setSize(&s, 1400), 0);
    EXPECT_EQ(s.position, 1400u);
    ASSERT_EQ(kSFMTable.reopen(&s), 0);
    EXPECT_EQ(static_cast<SCB *>(s.scb)->mode, 1) << "reopened in its mode";
    kSFMTable.close(&s);
    EXPECT_EQ(kSFMTable.destroy(&s), 0);
}

// Contexts that name no file or session, sessions checked in, tables that
// hold no stream, arguments out of range: a status, never a crash, nothing
// changed.
TEST_F(Streams, CallbacksRefuseBadContexts) {
    uint8_t buf[8] = {};
    VMStreamContext none{};
    EXPECT_EQ(kSFMTable.bind(&none, nullptr), FS_E_BAD_PARAMS);
    for (VMStreamContext *c : {&none, static_cast<VMStreamContext *>(nullptr)}) {
        const FSStatus expected = c ? FS_E_BAD_FCB : FS_E_BAD_PARAMS;
        EXPECT_EQ(kSFMTable.create(c), expected);
        EXPECT_EQ(kSFMTable.open(c, 1), expected);
        EXPECT_EQ(kSFMTable.destroy(c), expected);
        EXPECT_EQ(kSFMTable.read(c, 0, 1, buf), expected);
        EXPECT_EQ(kSFMTable.write(c, 0, 1, buf), expected);
        EXPECT_EQ(kSFMTable.reopen(c), expected);
        EXPECT_EQ(kSFMTable.setSize(c, 5), expected);
        EXPECT_EQ(kSFMTable.getSize(c), 0u);
        EXPECT_EQ(kSFMTable.sameTable(c, &none), 0);
        kSFMTable.close(c);
    }
    VMStreamContext s = Bound();
    EXPECT_EQ(kSFMTable.read(&s, 0, 1, buf), FS_E_BAD_SCB) << "no session yet";
    ASSERT_EQ(kSFMTable.create(&s), 0);
    VMStreamContext stale = s;
    kSFMTable.close(&s);
    EXPECT_EQ(kSFMTable.write(&stale, 0, 1, buf), FS_E_BAD_SCB) << "a session checked in";
    kSFMTable.close(&stale);

    ASSERT_EQ(kSFMTable.open(&s, 1), 0);
    EXPECT_EQ(kSFMTable.write(&s, 0, 4, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(kSFMTable.read(&s, 0, 1, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(kSFMTable.write(&s, 0xFFFFFFFF, 2, buf), FS_E_BAD_RIX) << "past 4 GiB";
    EXPECT_EQ(kSFMTable.read(&s, 0xFFFFFFFF, 2, buf), FS_E_BAD_RIX);
    EXPECT_EQ(kSFMTable.getSize(&s), 0u);
    VMStreamContext otherTable = s;
    otherTable.tid = static_cast<uint16_t>(s.tid + 1);
    EXPECT_EQ(kSFMTable.read(&otherTable, 0, 0, buf), FS_E_BAD_SCB) << "a session of another table";
    EXPECT_EQ(kSFMTable.sameTable(&s, &otherTable), 0);
    const VMStreamContext before = s;
    EXPECT_EQ(kSFMTable.open(&s, 2), VM_E_STREAMMODE);
    EXPECT_TRUE(s.scb == before.scb && s.position == before.position) << "a bad mode changes nothing";
    kSFMTable.close(&s);

    // Only a table of 1-byte records holds a stream.
    const uint32_t tables = FSTableCount(fcb_);
    VMStreamContext twelve = Bound(TID_NONE, kTwelve);
    EXPECT_EQ(kSFMTable.create(&twelve), FS_E_BAD_CLASS);
    EXPECT_EQ(FSTableCount(fcb_), tables);
    uint16_t tid = MakeShapedTable(kTwelve, {false, {3}});
    twelve = Bound(tid);
    EXPECT_EQ(kSFMTable.open(&twelve, 1), FS_E_BAD_CLASS);
    EXPECT_EQ(SlotOf(tid), 0u) << "no session left open";
}

} // namespace
