// Byte streams in tables: the counted installation of the callback table,
// streams written and read through the services' stream API, and the
// callbacks themselves, given good and bad stream contexts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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
        if (second_ != nullptr) FSFileClose(second_, 0);
        SessionFileTest::TearDown();
    }

    static Bytes Random(uint32_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        Bytes out(n);
        for (auto &b : out) b = static_cast<uint8_t>(rng());
        return out;
    }
    // A context bound to a table of this file, as the services bind one.
    VMStreamContext Bound(uint16_t tid = TID_NONE, uint8_t cls = kBytes) {
        VMStreamContext s{};
        VMBindParams params{fcb_, tid, cls};
        EXPECT_EQ(kSFMTable.bind(&s, &params), 0);
        return s;
    }
    // A second storage file of the same classes.
    FCB *SecondFile() {
        FSContext ctx = Context();
        EXPECT_EQ(FSCreate(&ctx, &second_), 0);
        return second_;
    }

    uint16_t registration_ = 0;
    FCB *second_ = nullptr;
};

TEST_F(Streams, InstallationIsCounted) {
    uint16_t again = 0;
    ASSERT_EQ(FSInstallSFM(&again), 0);
    EXPECT_EQ(again, registration_) << "registered once";
    EXPECT_EQ(FSInstallSFM(nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSUninstallSFM(), 0);
    VMStream *stream = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &stream), 0) << "still registered";
    VMStreamClose(stream);
    EXPECT_EQ(FSUninstallSFM(), 0);
    EXPECT_EQ(VMStreamCreate(fcb_, kBytes, &stream), VM_E_BADSPEC) << "withdrawn";
    EXPECT_EQ(FSUninstallSFM(), 0) << "nothing is installed: nothing to do";
    ASSERT_EQ(FSInstallSFM(&again), 0);
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &stream), 0);
    VMStreamClose(stream);
}

// A stream of 100000 bytes over chunks of at most 700, written and read in
// pieces of odd sizes (some more than one callback can move), resized both
// ways, and read again from the file after its chunks were dropped.
TEST_F(Streams, BytesReadBackAsWritten) {
    const Bytes data = Random(100000, 7);
    VMStream *s = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &s), 0);
    const uint16_t tid = VMStreamTable(s);
    const uint32_t pieces[] = {1, 7, 333, 4099, 70001, 3, 65535, 999};
    uint32_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        uint32_t n = std::min<uint32_t>(pieces[i % std::size(pieces)], data.size() - at);
        ASSERT_EQ(VMStreamWrite(s, at, n, data.data() + at), 0) << at;
        at += n;
    }
    EXPECT_EQ(VMStreamSize(s), data.size());
    EXPECT_EQ(TableBytes(tid), data);
    EXPECT_GT(ShapeOf(tid).counts.size(), 140u);

    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    GlobalSetMoveOnLock(1);
    Bytes back(data.size(), 0xEE);
    at = 0;
    for (size_t i = 3; at < back.size(); ++i) {
        uint32_t n = std::min<uint32_t>(pieces[i % std::size(pieces)], back.size() - at);
        ASSERT_EQ(VMStreamRead(s, at, n, back.data() + at), 0) << at;
        at += n;
    }
    EXPECT_EQ(back, data);

    // Overwrite in the middle, shrink, grow, and write past the end.
    ASSERT_EQ(VMStreamWrite(s, 50001, 3, "abc"), 0);
    ASSERT_EQ(VMStreamSetSize(s, 50003), 0);
    ASSERT_EQ(VMStreamSetSize(s, 60000), 0);
    ASSERT_EQ(VMStreamWrite(s, 70000, 5, "xyzzy"), 0);
    Bytes expected(data.begin(), data.begin() + 50001);
    expected.insert(expected.end(), {'a', 'b'});
    expected.resize(70000, 0);
    expected.insert(expected.end(), {'x', 'y', 'z', 'z', 'y'});
    EXPECT_EQ(VMStreamSize(s), expected.size());
    EXPECT_EQ(TableBytes(tid), expected);

    Bytes guard(10, 0xEE);
    EXPECT_EQ(VMStreamRead(s, 69999, 7, guard.data()), FS_E_BAD_RIX) << "past the end";
    EXPECT_EQ(guard, Bytes(10, 0xEE));
    EXPECT_EQ(FSDestroyTable(fcb_, tid), FS_E_TABLE_IN_USE);
    VMStreamClose(s);

    ASSERT_EQ(VMStreamOpen(fcb_, tid, 0, &s), 0);
    ASSERT_EQ(VMStreamRead(s, 69998, 7, guard.data()), 0);
    EXPECT_EQ(Bytes(guard.begin(), guard.begin() + 7), Bytes({0, 0, 'x', 'y', 'z', 'z', 'y'}));
    EXPECT_EQ(VMStreamWrite(s, 0, 1, "!"), FS_E_READ_ONLY);
    EXPECT_EQ(VMStreamSetSize(s, 0), FS_E_READ_ONLY);
    EXPECT_EQ(TableBytes(tid), expected);
    VMStreamClose(s);
    EXPECT_EQ(VMStreamOpen(fcb_, tid, 2, &s), VM_E_STREAMMODE);
    ASSERT_EQ(VMStreamDestroy(fcb_, tid), 0);
    uint8_t cls;
    EXPECT_EQ(FSTableClass(fcb_, tid, &cls), FS_E_BAD_TID);
}

// A stream written in pieces survives a save, a close and an open of the
// file, and can be changed and saved again.
TEST_F(Streams, SurvivesSaveAndReopen) {
    const Bytes data = Random(30001, 11);
    VMStream *s = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &s), 0);
    const uint16_t tid = VMStreamTable(s);
    for (uint32_t at = 0; at < data.size(); at += 997)
        ASSERT_EQ(VMStreamWrite(s, at, std::min<uint32_t>(997, data.size() - at), &data[at]), 0);
    VMStreamClose(s);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    // The scratch file, kept, becomes the host's file.
    const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_)), path = folder_ + "/doc.zf";
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ASSERT_EQ(std::rename(scratch.c_str(), path.c_str()), 0);

    VMFileSpec spec;
    ASSERT_EQ(VMMakeFileSpec(path.c_str(), 0, &spec), 0);
    FSContext ctx = Context();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(FSFileOpen(&spec, FS_VERSION_CURRENT, 0, &ctx, &fcb_, nullptr), 0);
        ASSERT_EQ(VMStreamOpen(fcb_, tid, 1, &s), 0);
        ASSERT_EQ(VMStreamSize(s), data.size() - round * 1000);
        Bytes back(VMStreamSize(s));
        ASSERT_EQ(VMStreamRead(s, 0, static_cast<uint32_t>(back.size()), back.data()), 0);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
        ASSERT_EQ(VMStreamSetSize(s, static_cast<uint32_t>(back.size() - 1000)), 0);
        VMStreamClose(s);
        ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
    }
}

TEST_F(Streams, CallbacksMoveBytesAndKeepThePosition) {
    VMStreamContext s = Bound();
    EXPECT_EQ(s.position, 0xFFFFFFFFu);
    EXPECT_EQ(s.scb, nullptr);
    ASSERT_EQ(kSFMTable.create(&s), 0);
    EXPECT_EQ(s.position, 0u);
    ASSERT_NE(s.scb, nullptr);
    auto *scb = static_cast<SCB *>(s.scb);
    EXPECT_EQ(scb->tableNumber, s.tid);

    const Bytes data = Random(1400, 3);
    ASSERT_EQ(kSFMTable.write(&s, 0, 10, data.data()), 0);
    EXPECT_EQ(kSFMTable.getSize(&s), 10u);
    EXPECT_EQ(s.position, 10u);
    ASSERT_EQ(kSFMTable.write(&s, 10, 1390, data.data() + 10), 0);
    EXPECT_GE(ShapeOf(s.tid).counts.size(), 2u);
    Bytes run(800);
    ASSERT_EQ(kSFMTable.read(&s, 300, 800, run.data()), 0) << "a run over two chunks";
    EXPECT_EQ(run, Bytes(data.begin() + 300, data.begin() + 1100));
    EXPECT_EQ(s.position, 1100u);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    ASSERT_EQ(kSFMTable.read(&s, 17, 0, nullptr), 0);
    EXPECT_EQ(s.position, 17u) << "a count of 0 only sets the position";

    ASSERT_EQ(kSFMTable.setSize(&s, 1400), 0);
    EXPECT_EQ(s.position, 1400u) << "the same size changes only the position";
    ASSERT_EQ(kSFMTable.reopen(&s), 0);
    ASSERT_NE(s.scb, nullptr);
    EXPECT_EQ(static_cast<SCB *>(s.scb)->mode, 1) << "reopened in its mode";
    ASSERT_EQ(kSFMTable.setSize(&s, 0), 0);
    EXPECT_EQ(kSFMTable.getSize(&s), 0u);
    EXPECT_EQ(ShapeOf(s.tid), (TableShape{false, {0}}));

    // Same table: the TID and the file, not the context, count.
    VMStreamContext t = Bound(s.tid);
    EXPECT_EQ(kSFMTable.sameTable(&s, &t), 1);
    t.tid = static_cast<uint16_t>(s.tid + 1);
    EXPECT_EQ(kSFMTable.sameTable(&s, &t), 0);
    t = Bound(s.tid);
    t.fcb = SecondFile();
    uint16_t tid2;
    for (uint16_t i = 0; i <= s.tid; ++i) ASSERT_EQ(FSMakeTable(second_, kBytes, &tid2), 0);
    ASSERT_EQ(tid2, s.tid);
    EXPECT_EQ(kSFMTable.sameTable(&s, &t), 0) << "the same TID in another file";

    kSFMTable.close(&s);
    EXPECT_EQ(s.scb, nullptr);
    EXPECT_EQ(SlotOf(s.tid), 0u);
    ASSERT_EQ(kSFMTable.open(&s, 0), 0);
    EXPECT_EQ(kSFMTable.write(&s, 0, 1, "x"), FS_E_READ_ONLY);
    const VMStreamContext before = s;
    EXPECT_EQ(kSFMTable.open(&s, 2), VM_E_STREAMMODE);
    EXPECT_TRUE(s.scb == before.scb && s.position == before.position && s.tid == before.tid)
        << "a bad mode changes nothing";
    kSFMTable.close(&s);
    EXPECT_EQ(kSFMTable.destroy(&s), 0);
}

// Contexts that name no open file or session, tables that hold no stream,
// and arguments out of range: a status, never a crash, nothing changed.
TEST_F(Streams, CallbacksRefuseBadContexts) {
    uint8_t buf[8] = {};
    VMStreamContext none{};
    EXPECT_EQ(kSFMTable.bind(&none, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(kSFMTable.create(&none), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.open(&none, 1), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.destroy(&none), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.read(&none, 0, 1, buf), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.write(&none, 0, 1, buf), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.reopen(&none), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.setSize(&none, 5), FS_E_BAD_FCB);
    EXPECT_EQ(kSFMTable.getSize(&none), 0u);
    EXPECT_EQ(kSFMTable.sameTable(&none, &none), 0);
    kSFMTable.close(&none);
    EXPECT_EQ(kSFMTable.read(nullptr, 0, 1, buf), FS_E_BAD_PARAMS);
    EXPECT_EQ(kSFMTable.create(nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(kSFMTable.sameTable(nullptr, &none), 0);
    kSFMTable.close(nullptr);

    VMStreamContext s = Bound();
    EXPECT_EQ(kSFMTable.read(&s, 0, 1, buf), FS_E_BAD_SCB) << "no session yet";
    ASSERT_EQ(kSFMTable.create(&s), 0);
    VMStreamContext stale = s;
    kSFMTable.close(&s);
    EXPECT_EQ(kSFMTable.write(&stale, 0, 1, buf), FS_E_BAD_SCB) << "a session checked in";
    EXPECT_EQ(kSFMTable.getSize(&stale), 0u);
    kSFMTable.close(&stale);

    ASSERT_EQ(kSFMTable.open(&s, 1), 0);
    EXPECT_EQ(kSFMTable.write(&s, 0, 4, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(kSFMTable.read(&s, 0, 0, nullptr), 0);
    EXPECT_EQ(kSFMTable.read(&s, 0, 1, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(kSFMTable.write(&s, 0xFFFFFFFF, 2, buf), FS_E_BAD_RIX) << "past 4 GiB";
    EXPECT_EQ(kSFMTable.read(&s, 0xFFFFFFFF, 2, buf), FS_E_BAD_RIX);
    EXPECT_EQ(kSFMTable.getSize(&s), 0u);
    VMStreamContext otherTable = s;
    otherTable.tid = static_cast<uint16_t>(s.tid + 1);
    EXPECT_EQ(kSFMTable.read(&otherTable, 0, 0, buf), FS_E_BAD_SCB) << "a session of another table";
    EXPECT_EQ(FSDestroyTable(fcb_, s.tid), FS_E_TABLE_IN_USE);
    kSFMTable.close(&s);

    // Only a table of 1-byte records holds a stream.
    const uint32_t tables = FSTableCount(fcb_);
    VMStreamContext twelve = Bound(TID_NONE, kTwelve);
    EXPECT_EQ(kSFMTable.create(&twelve), FS_E_BAD_CLASS);
    EXPECT_EQ(FSTableCount(fcb_), tables);
    uint16_t tid = MakeShapedTable(kTwelve, {false, {3}});
    twelve = Bound(tid);
    EXPECT_EQ(kSFMTable.open(&twelve, 1), FS_E_BAD_CLASS);
    EXPECT_EQ(twelve.scb, nullptr);
    EXPECT_EQ(SlotOf(tid), 0u) << "no session left open";
    twelve.scb = CheckOut(tid);
    EXPECT_EQ(kSFMTable.read(&twelve, 0, 1, buf), FS_E_BAD_CLASS);
    FSCheckIn(static_cast<SCB *>(twelve.scb));
}

} // namespace
