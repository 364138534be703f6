// Record operations beside the model: refusals the model never meets
// (stream callbacks and list selectors that change their minds among them),
// and failures part-way that must lose no record.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "common/fault_loop.h"
#include "common/session_fixture.h"
#include "tables/sfm.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<Bytes>;
using Marks = std::vector<uint32_t>;

// The list selector answers by a record's first four bytes (its mark).
Marks g_asked;
std::function<bool(uint32_t mark, size_t call)> g_pick;
uint32_t MarkOf(const void *rec) {
    uint32_t mark;
    std::memcpy(&mark, rec, 4);
    return mark;
}
int32_t Selector(void *rec) {
    g_asked.push_back(MarkOf(rec));
    return g_pick(MarkOf(rec), g_asked.size()) ? 1 : 0;
}
void PickMarks(std::set<uint32_t> first, std::set<uint32_t> then = {}, size_t switchAfter = SIZE_MAX) {
    g_asked.clear();
    g_pick = [=](uint32_t mark, size_t call) { return (call <= switchAfter ? first : then).count(mark) != 0; };
}
Marks Range(uint32_t from, uint32_t to, Marks more = {}) {
    Marks out;
    for (uint32_t m = from; m < to; ++m) out.push_back(m);
    out.insert(out.end(), more.begin(), more.end());
    return out;
}

class RecOps : public SessionFileTest {
protected:
    void TearDown() override {
        g_pick = nullptr;
        SessionFileTest::TearDown();
    }
    // Records as Shape wrote them, by their original RIXes.
    Records Original(uint16_t tid, std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
        Records out;
        for (auto [from, to] : runs)
            for (uint32_t r = from; r < to; ++r) out.push_back(Pattern(tid, r, RecSize(RecordOf(tid).cls)));
        return out;
    }
    // A table of n records marked base, base + 1, ...
    uint16_t MarkedTable(uint8_t cls, uint32_t n, uint32_t base = 100) {
        uint16_t tid = MakeTable(cls);
        SCB *scb = CheckOut(tid);
        EXPECT_EQ(FSIAddLock(scb, RIX_LAST, n, 0, nullptr), 0);
        for (uint32_t mark = base; mark < base + n; ++mark) {
            void *rec;
            EXPECT_EQ(FSIxLock(scb, mark - base, &rec, nullptr), 0);
            std::memcpy(rec, &mark, 4);
            FSDirtyRec(scb);
        }
        FSCheckIn(scb);
        return tid;
    }
    Marks MarksOf(uint16_t tid) {
        Marks out;
        for (const Bytes &r : RecordsOf(tid)) out.push_back(MarkOf(r.data()));
        return out;
    }
};

TEST_F(RecOps, RefusalsChangeNothing) {
    uint16_t a = MarkedTable(kTwelve, 8), b = MarkedTable(kTwelve, 3, 200);
    uint16_t wide = MarkedTable(kSixteen, 2), plain = MarkedTable(kSmall, 2), stamped = MarkedTable(kStamped, 2);
    SCB *sa = CheckOut(a), *sa2 = CheckOut(a), *ra = CheckOut(a, 0), *sb = CheckOut(b), *rb = CheckOut(b, 0);
    SCB *sw = CheckOut(wide), *sp = CheckOut(plain), *ss = CheckOut(stamped), *empty = CheckOut(MakeTable(kTwelve));
    SCB *bytes = CheckOut(MakeShapedTable(kBytes, {false, {9}}));
    SCB bad{};
    PickMarks({101});
    Bytes host(64, 0xEE), guard = host;
    uint8_t cls = 0xAA;
    HGLOBAL h = 0xDEAD, h2 = GlobalAlloc(GMEM_MOVEABLE, 24), freed = GlobalAlloc(GMEM_MOVEABLE, 12);
    GlobalFree(freed);
    struct Case {
        FSStatus expected;
        std::function<FSStatus()> call;
    };
    const Case cases[] = {
        {FS_E_BAD_CLASS, [&] { return FSIRecOps(sa, FSOpCopy, 0, 2, sw, 0); }}, // records of 12 and 16 bytes
        {FS_E_BAD_CLASS, [&] { return FSIRecOps(ss, FSOpCopy, 0, 0, sp, 0); }}, // RIDs on one side only
        {FS_E_BAD_CLASS, [&] { return FSMoveList(sp, Selector, ss, 0, 0); }},
        {FS_E_BLOCK_LIMIT, [&] { return FSIAddLock(sa, RIX_LAST, 0xFFFFFFF0, 0, nullptr); }},
        {FS_E_BAD_PARAMS, [&] { return FSIRecOps(sa, FSOpDelete, 0xFFFFFFFF, 2, nullptr, 0); }},
        {FS_E_BAD_SCB, [&] { return FSCopyList(sa, Selector, &bad, 0, 0); }},
        {FS_E_BAD_SCB, [&] { return FSDelList(nullptr, Selector, 0); }},
        {FS_E_NOMEM, [&] { return FSDelList(sa, nullptr, 0); }}, // no selector
        {0, [&] { return FSCopyList(empty, Selector, &bad, 7, 0); }}, // nothing to copy: no look at the destination
        {0, [&] { return FSIRecOps(sa, 0, 0, 6, nullptr, 0); }},       // operation 0 only validates
        {FS_E_BAD_RIX, [&] { return FSFillPtr(sa, 0xFFFFFFFF, 2, guard.data()); }},
        {FS_E_NULL_DATA, [&] { return FSFillPtr(sa, 0, 1, nullptr); }},
        {FS_E_NULL_DATA, [&] { return FSIAddPtr(sa, 0, 1, 0, nullptr); }},
        {FS_E_BAD_RIX, [&] { return FSIAddPtr(sa, 3, 1, 1, host.data()); }}, // must fit the emptied table
        {FS_E_RID_CLASS, [&] { return FSIAddPtr(ss, 0, 1, 1, host.data()); }}, // RIDs come through FSIAddLock
        {FS_E_NULL_DATA, [&] { return FSIAddHandle(sa, 0, 1, 0, 0); }},
        {FS_E_BAD_HANDLE_PARAM, [&] { return FSIAddHandle(sa, 0, 3, 0, h2); }}, // more records than it holds
        {FS_E_BAD_HANDLE_PARAM, [&] { return FSIAddHandle(sa, 0, 1, 0, freed); }},
        {FS_E_BAD_RIX, [&] { return FSBuildHandle(sa, 6, 5, &h); }},
        {FS_E_BAD_CLASS, [&] { return RIX2RID(bytes, 8) == RIX_NONE ? FSError(bytes) : 0; }}, // too short for a RID
        {FS_E_BAD_TID, [&] { return FSTableClass(fcb_, 400, &cls); }}, // beyond the master table: cls stays
        {FS_E_BAD_FCB, [&] { return FSTableClass(nullptr, a, &cls); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].call(), cases[i].expected) << "case " << i;
    // Stream callbacks given contexts that name no file or session, a session
    // checked in, a table of another class; streams opened read-only or in use.
    uint16_t registration;
    ASSERT_EQ(FSInstallSFM(&registration), 0);
    VMStreamContext none{}, s{}, twelve{};
    VMBindParams params{fcb_, TID_NONE, kBytes}, params12{fcb_, TID_NONE, kTwelve};
    uint8_t buf[8] = {};
    VMStream *stream = nullptr;
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &stream), 0);
    const uint16_t streamTid = VMStreamTable(stream);
    const Case streams[] = {
        {FS_E_BAD_PARAMS, [&] { return kSFMTable.bind(&none, nullptr); }},
        {FS_E_BAD_PARAMS, [&] { return kSFMTable.create(nullptr); }},
        {FS_E_BAD_FCB, [&] { return kSFMTable.write(&none, 0, 1, buf); }},
        {0, [&] { return kSFMTable.bind(&s, &params); }},
        {FS_E_BAD_SCB, [&] { return kSFMTable.read(&s, 0, 1, buf); }}, // no session yet
        {0, [&] { return kSFMTable.create(&s); }},
        {FS_E_BAD_RIX, [&] { return kSFMTable.write(&s, 0xFFFFFFFF, 2, buf); }}, // past 4 GiB
        {VM_E_STREAMMODE, [&] { return kSFMTable.open(&s, 2); }},
        {FS_E_BAD_SCB, [&] { VMStreamContext stale = s; kSFMTable.close(&s); return kSFMTable.write(&stale, 0, 1, buf); }},
        {0, [&] { return kSFMTable.bind(&twelve, &params12); }},
        {FS_E_BAD_CLASS, [&] { return kSFMTable.create(&twelve); }}, // only 1-byte records hold a stream
        {FS_E_TABLE_IN_USE, [&] { return FSDestroyTable(fcb_, streamTid); }},
        {0, [&] { VMStreamClose(stream); return VMStreamOpen(fcb_, streamTid, 0, &stream); }},
        {FS_E_READ_ONLY, [&] { return VMStreamWrite(stream, 0, 1, "!"); }},
    };
    for (size_t i = 0; i < std::size(streams); ++i) EXPECT_EQ(streams[i].call(), streams[i].expected) << "stream case " << i;
    VMStreamClose(stream);
    EXPECT_EQ(FSUninstallSFM(), 0);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(cls, 0xAA);
    EXPECT_EQ(guard, host);
    GlobalFree(h2);
    // The no-lock rule covers every session of both tables, before a count of 0.
    ASSERT_NE(FSIxOldLock(rb, 2, nullptr), nullptr);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 0, sb, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSMoveList(sa, Selector, sb, 0, 0), FS_E_LOCK_FOUND);
    FSUnlock(rb);
    void *rec = &rec;
    ASSERT_NE(FSIxOldLock(sa, 0, nullptr), nullptr);
    EXPECT_EQ(FSIAddLock(sa, 0, 1, 0, &rec), FS_E_LOCK_FOUND) << "its own lock counts";
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(FSDelList(sa2, Selector, 0), FS_E_LOCK_FOUND);
    FSUnlock(sa);

    EXPECT_TRUE(g_asked.empty());
    EXPECT_EQ(MarksOf(a), Range(100, 108));
    EXPECT_EQ(MarksOf(b), Range(200, 203));
    EXPECT_EQ(SlotOf(a), ra->sessionId) << "no helper session is left";
    EXPECT_EQ(FSIRecOps(ra, FSOpCopy, 0, 2, sb, 3), 0) << "a read-only source may be copied";
    // A selector must pick in the copying pass what it picked in the
    // counting pass: when it picks more, the run holds the first ones; when
    // fewer, the unfilled records are taken out again.
    PickMarks({101, 105}, {101, 105, 107}, 10);
    EXPECT_EQ(FSCopyList(sa, Selector, sb, 0, 0), FS_E_LIST_OP);
    EXPECT_EQ(g_asked, Range(100, 108, Range(100, 108))) << "each record asked once in each pass, in order";
    PickMarks({101, 105}, {105}, 8);
    EXPECT_EQ(FSCopyList(sa, Selector, sb, RIX_LAST, 0), FS_E_LIST_OP);
    EXPECT_EQ(MarksOf(b), (Marks{101, 105, 200, 201, 202, 100, 101, 105}));
}

// Every allocation of a copy and of a deletion fails in turn, once or for
// good: a transient failure changes nothing, a lasting one may leave blank
// records, but no record is lost.
TEST_F(RecOps, FailuresPartWayLoseNoRecord) {
    MakeTable(kSmall); // the root table, so that the others can be destroyed
    ForEachFault(VM_OP_GALLOC, VM_E_NOMEM, [&](FaultRun &fault) {
        uint16_t a = MakeShapedTable(kSmall, {true, {4, 3, 4}}), b = MakeShapedTable(kSmall, {true, {4, 4}});
        SCB *sa = CheckOut(a), *sb = CheckOut(b);
        auto run = [&](const std::function<FSStatus()> &op) {
            fault.Arm();
            FSStatus status = op();
            fault.Disarm();
            return status;
        };
        // All of the run or none; a lasting failure may leave blank records
        // between the table's own, which stay whole.
        FSStatus status = run([&] { return FSIRecOps(sa, FSOpCopy, 1, 9, sb, 6); });
        Records got = RecordsOf(b), before = Original(b, {{0, 8}}), expected = before, copied = Original(a, {{1, 10}});
        if (status == 0) expected.insert(expected.begin() + 6, copied.begin(), copied.end());
        if (status == 0 || fault.once) {
            EXPECT_EQ(got, expected) << "status " << status;
        } else {
            ASSERT_GE(got.size(), 8u);
            EXPECT_EQ(Records(got.begin(), got.begin() + 6), Records(before.begin(), before.begin() + 6));
            EXPECT_EQ(Records(got.end() - 2, got.end()), Records(before.begin() + 6, before.end()));
        }
        EXPECT_EQ(sb->recCount, RecordsOf(b).size());

        // A failed deletion has removed a leading part of the run at most.
        status = run([&] { return FSIRecOps(sa, FSOpDelete, 2, 6, nullptr, 0); });
        Records left = RecordsOf(a);
        ASSERT_GE(left.size(), 5u);
        ASSERT_LE(left.size(), 11u);
        const uint32_t gone = 11 - static_cast<uint32_t>(left.size());
        EXPECT_TRUE(status != 0 || gone == 6) << "delete status " << status;
        EXPECT_EQ(left, Original(a, {{0, 2}, {2 + gone, 11}})) << "delete status " << status;
        EXPECT_EQ(sa->recCount, left.size());
        for (SCB *s : {sa, sb}) FSCheckIn(s);
        for (uint16_t t : {a, b}) ASSERT_EQ(FSDestroyTable(fcb_, t), 0);
    });
}

} // namespace
