// Randomized runs of record operations against an in-memory model: several
// tables of different classes, one or two sessions each, random adds,
// writes through locks, deletes, copies and moves (within and between
// tables) of runs and of the records a selector picks, refusals, write-backs
// and reclaims. After every step each table
// holds exactly the model's records and every session knows its size.
//
// Runs also go under a small memory budget, and with every first lock of a
// block moving it, so that an address kept past its unlock shows up as
// wrong records. ZUNFS_SEED=<n> replays one seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "common/session_fixture.h"

namespace {

using Record = std::vector<uint8_t>;

// The list operations' selector: picks about a third of the records by
// their content, differently for each salt.
uint32_t g_salt = 0;
size_t g_recSize = 0;
bool Picked(const uint8_t *rec) {
    uint32_t h = g_salt;
    for (size_t i = 0; i < g_recSize; ++i) h = h * 31 + rec[i];
    return (h >> 7) % 3 == 0;
}
int32_t Selector(void *rec) { return Picked(static_cast<const uint8_t *>(rec)) ? 1 : 0; }

struct Variant {
    const char *name;
    uint32_t budget;
    bool moveOnLock;
};
void PrintTo(const Variant &v, std::ostream *os) { *os << v.name; }

struct Table {
    uint16_t tid;
    uint8_t cls;
    uint16_t size, max;
    bool rids;
    std::vector<Record> recs;
    std::vector<SCB *> sessions;
    bool Writable(const SCB *s) const { return (s->flags & FS_SCB_READ_WRITE) != 0; }
};

class Model : public SessionFileTest, public ::testing::WithParamInterface<Variant> {
protected:
    uint32_t MemBudget() override { return GetParam().budget; }

    void Run(uint32_t seed, int steps);

    uint32_t R(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    Record Random(uint16_t size) {
        Record r(size);
        for (auto &b : r) b = static_cast<uint8_t>(rng_());
        return r;
    }
    SCB *AnySession(Table &t) { return t.sessions[R(static_cast<uint32_t>(t.sessions.size()))]; }

    void Add(Table &t);
    void LockWrite(Table &t);
    void Delete(Table &t);
    void CopyOrMove(Table &t, bool move);
    Table &Peer(Table &t);
    void ListOp(Table &t);
    void BreakNoLockRule(Table &t);
    void Verify(Table &t, bool afterDeletion);
    void Walk(Table &t);

    std::mt19937 rng_;
    std::vector<Table> tables_;
    uint32_t nextRid_ = 1;
};

void Model::Add(Table &t) {
    SCB *s = AnySession(t);
    auto n = static_cast<uint32_t>(t.recs.size());
    uint32_t rix = R(5) == 0 ? RIX_LAST : R(n + 2);
    uint32_t count = R(4) == 0 ? 0 : 1 + R(9);
    bool keep = R(4) == 0, out = R(2) == 0;
    uint32_t at = rix == RIX_LAST ? n : rix;
    FSStatus expect = !t.Writable(s)                      ? FS_E_READ_ONLY
                      : at > n                            ? FS_E_BAD_RIX
                      : count > 0 && keep && count > t.max ? FS_E_CHUNK_TOO_BIG
                      : count == 0 && out && at == n      ? FS_E_BAD_RIX
                                                          : 0;
    void *rec = nullptr;
    ASSERT_EQ(FSIAddLock(s, rix, count, keep, out ? &rec : nullptr), expect)
        << "add " << count << " at " << rix << " of " << n;
    if (expect != 0) return;
    for (uint32_t j = 0; j < count; ++j) {
        Record r(t.size, 0);
        if (t.rids) {
            uint32_t rid = nextRid_++;
            std::memcpy(r.data() + t.size - 4, &rid, 4);
        }
        t.recs.insert(t.recs.begin() + at + j, r);
    }
    if (!out) return;
    ASSERT_NE(rec, nullptr);
    uint32_t written = keep && count > 0 ? count : 1;
    ASSERT_GE(static_cast<size_t>(s->chunkEnd - static_cast<uint8_t *>(rec)), written * t.size);
    for (uint32_t j = 0; j < written; ++j) {
        t.recs[at + j] = Random(t.size);
        std::memcpy(static_cast<uint8_t *>(rec) + j * t.size, t.recs[at + j].data(), t.size);
    }
    FSUnlock(s);
    ASSERT_EQ(FSError(s), 0);
}

void Model::LockWrite(Table &t) {
    auto n = static_cast<uint32_t>(t.recs.size());
    if (n == 0) return;
    SCB *s = AnySession(t);
    uint32_t rix = R(n), k = 1 + R(8);
    void *p = nullptr;
    ASSERT_EQ(FSIxLock(s, rix, &p, nullptr), 0);
    for (uint32_t j = 0; j < k && p != nullptr; ++j, p = FSLockNext(s)) {
        ASSERT_EQ(FSxGetCurrent(s), rix + j);
        if (t.Writable(s)) {
            t.recs[rix + j] = Random(t.size);
            std::memcpy(p, t.recs[rix + j].data(), t.size);
            FSDirtyRec(s);
        } else {
            ASSERT_EQ(std::memcmp(p, t.recs[rix + j].data(), t.size), 0) << "rix " << rix + j;
        }
    }
    ASSERT_EQ(FSError(s), 0);
    FSUnlock(s);
    ASSERT_EQ(FSError(s), 0);
}

void Model::Delete(Table &t) {
    SCB *s = AnySession(t);
    auto n = static_cast<uint32_t>(t.recs.size());
    uint32_t first = R(n + 1), count = R(std::min(n - first, 14u) + 1);
    if (R(10) == 0) count = n - first + 1; // one past the end
    FSStatus expect = !t.Writable(s) ? FS_E_READ_ONLY : first + count > n ? FS_E_BAD_PARAMS : 0;
    ASSERT_EQ(FSIRecOps(s, FSOpDelete, first, count, nullptr, 0), expect);
    if (expect != 0) return;
    t.recs.erase(t.recs.begin() + first, t.recs.begin() + first + count);
    Verify(t, count > 0);
}

// A table whose records a copy from t may receive (t itself among them).
Table &Model::Peer(Table &t) {
    std::vector<Table *> peers;
    for (Table &u : tables_)
        if (u.size == t.size && u.rids == t.rids) peers.push_back(&u);
    return *peers[R(static_cast<uint32_t>(peers.size()))];
}

void Model::CopyOrMove(Table &t, bool move) {
    Table &u = Peer(t);
    SCB *src = AnySession(t);
    SCB *dst = &u == &t && R(2) == 0 ? src : AnySession(u);
    auto n = static_cast<uint32_t>(t.recs.size()), un = static_cast<uint32_t>(u.recs.size());
    uint32_t first = R(n + 1), count = R(std::min(n - first, 12u) + 1);
    uint32_t dstRix = R(6) == 0 ? RIX_LAST : R(un + 2);
    uint32_t at = dstRix == RIX_LAST ? un : dstRix;
    FSStatus expect = move && !t.Writable(src)            ? FS_E_READ_ONLY
                      : dst != src && !u.Writable(dst)    ? FS_E_READ_ONLY
                      : at > un                           ? FS_E_BAD_RIX
                                                          : 0;
    ASSERT_EQ(FSIRecOps(src, move ? FSOpMove : FSOpCopy, first, count, dst, dstRix), expect)
        << (move ? "move " : "copy ") << count << " from " << first << " to " << dstRix
        << (&u == &t ? " of the same table" : " of another table");
    if (expect != 0) return;
    std::vector<Record> run(t.recs.begin() + first, t.recs.begin() + first + count);
    u.recs.insert(u.recs.begin() + at, run.begin(), run.end());
    if (move) {
        if (&u != &t || at >= first + count) {
            t.recs.erase(t.recs.begin() + first, t.recs.begin() + first + count);
        } else if (at <= first) {
            t.recs.erase(t.recs.begin() + first + count, t.recs.begin() + first + 2 * count);
        } else { // inside the run: both pieces of the original go
            t.recs.erase(t.recs.begin() + at + count, t.recs.begin() + first + 2 * count);
            t.recs.erase(t.recs.begin() + first, t.recs.begin() + at);
        }
    }
    if (move) Verify(t, count > 0);
}

void Model::ListOp(Table &t) {
    g_salt = static_cast<uint32_t>(rng_());
    g_recSize = t.size;
    SCB *src = AnySession(t);
    const int kind = static_cast<int>(R(3)); // delete, copy, move
    const auto n = static_cast<uint32_t>(t.recs.size());
    std::vector<Record> picked, kept;
    for (const Record &r : t.recs) (Picked(r.data()) ? picked : kept).push_back(r);
    if (kind == 0) {
        FSStatus expect = n > 0 && !t.Writable(src) ? FS_E_READ_ONLY : 0;
        ASSERT_EQ(FSDelList(src, Selector, 0), expect) << "delete list of " << n;
        if (expect == 0) t.recs = kept;
        return Verify(t, expect == 0 && !picked.empty());
    }
    const bool move = kind == 2;
    Table &u = Peer(t);
    SCB *dst = &u == &t && R(2) == 0 ? src : AnySession(u);
    auto un = static_cast<uint32_t>(u.recs.size());
    uint32_t dstRix = R(6) == 0 ? RIX_LAST : R(un + 2);
    uint32_t at = dstRix == RIX_LAST ? un : dstRix;
    FSStatus expect = n == 0                            ? 0
                      : move && !t.Writable(src)        ? FS_E_READ_ONLY
                      : &u == &t && dst != src          ? FS_E_BAD_PARAMS
                      : !u.Writable(dst)                ? FS_E_READ_ONLY
                      : at > un                         ? FS_E_BAD_RIX
                                                        : 0;
    FSStatus status = move ? FSMoveList(src, Selector, dst, dstRix, 0)
                           : FSCopyList(src, Selector, dst, dstRix, 0);
    ASSERT_EQ(status, expect) << (move ? "move" : "copy") << " list to " << dstRix << " of "
                              << (&u == &t ? "the same table" : "another table");
    if (expect != 0 || picked.empty()) return;
    // Copies get new RIDs; moved records keep theirs, and a move within one
    // table gives back the RIDs its copies took.
    if (t.rids && !move) {
        for (Record &r : picked) {
            uint32_t rid = nextRid_++;
            std::memcpy(r.data() + t.size - 4, &rid, 4);
        }
    } else if (t.rids && &u != &t) {
        nextRid_ += static_cast<uint32_t>(picked.size());
    }
    if (move && &u == &t) {
        std::vector<Record> out;
        for (uint32_t i = 0; i < at; ++i)
            if (!Picked(t.recs[i].data())) out.push_back(t.recs[i]);
        out.insert(out.end(), picked.begin(), picked.end());
        for (uint32_t i = at; i < n; ++i)
            if (!Picked(t.recs[i].data())) out.push_back(t.recs[i]);
        t.recs = out;
    } else {
        if (move) t.recs = kept;
        u.recs.insert(u.recs.begin() + at, picked.begin(), picked.end());
    }
    if (move) Verify(t, true);
}

void Model::BreakNoLockRule(Table &t) {
    if (t.recs.empty()) return;
    SCB *holder = AnySession(t), *other = AnySession(t);
    ASSERT_NE(FSIxOldLock(holder, R(static_cast<uint32_t>(t.recs.size())), nullptr), nullptr);
    FSStatus expect = t.Writable(other) ? FS_E_LOCK_FOUND : FS_E_READ_ONLY;
    if (R(2) == 0) {
        EXPECT_EQ(FSIRecOps(other, FSOpDelete, 0, 1, nullptr, 0), expect);
    } else {
        EXPECT_EQ(FSIAddLock(other, 0, 1 + R(3), 0, nullptr), expect);
    }
    FSUnlock(holder);
}

void Model::Verify(Table &t, bool afterDeletion) {
    std::vector<uint8_t> bytes = TableBytes(t.tid);
    ASSERT_EQ(bytes.size(), t.recs.size() * t.size) << "table " << t.tid;
    for (size_t i = 0; i < t.recs.size(); ++i)
        ASSERT_EQ(std::memcmp(bytes.data() + i * t.size, t.recs[i].data(), t.size), 0)
            << "table " << t.tid << " rix " << i;
    for (SCB *s : t.sessions) {
        ASSERT_EQ(FSTableSize(s), t.recs.size());
        ASSERT_EQ(s->flags & FS_SCB_LOCKED, 0);
    }
    TableShape shape = ShapeOf(t.tid);
    for (uint16_t c : shape.counts) ASSERT_LE(c, t.max);
    if (!afterDeletion || !shape.indexed) return;
    // After a deletion the index is merged: at least two chunks, and no
    // neighbours of which one is small (or empty) and both fit one chunk.
    const FSClassDesc &d = fcb_->classTable[t.cls];
    uint16_t min = std::max<uint16_t>(d.minPerChunk, 1);
    ASSERT_GE(shape.counts.size(), 2u);
    for (size_t i = 0; i + 1 < shape.counts.size(); ++i) {
        uint16_t a = shape.counts[i], b = shape.counts[i + 1];
        ASSERT_FALSE((a < min || b < min) && a + b <= d.maxPerChunk)
            << "unmerged neighbours " << a << " and " << b;
    }
}

void Model::Walk(Table &t) {
    SCB *s = AnySession(t);
    bool back = R(2) == 0;
    uint32_t seen = 0, n = static_cast<uint32_t>(t.recs.size());
    for (void *p = FSIxLockQuiet(s, back ? RIX_LAST : 0); p != nullptr;
         p = back ? FSLockPrev(s) : FSLockNext(s), ++seen) {
        uint32_t rix = back ? n - 1 - seen : seen;
        ASSERT_LT(seen, n);
        ASSERT_EQ(std::memcmp(p, t.recs[rix].data(), t.size), 0) << "walk at rix " << rix;
    }
    ASSERT_EQ(FSError(s), 0);
    ASSERT_EQ(seen, n);
}

void Model::Run(uint32_t seed, int steps) {
    rng_.seed(seed);
    GlobalSetMoveOnLock(GetParam().moveOnLock ? 1 : 0);
    for (uint8_t cls : {kTwelve, kTwelveB, kTwelve, kSmall, kStamped}) {
        Table t;
        t.tid = MakeTable(cls);
        t.cls = cls;
        t.size = RecSize(cls);
        t.max = fcb_->classTable[cls].maxPerChunk;
        t.rids = (fcb_->classTable[cls].flags & FS_CLASS_RIDS) != 0;
        t.sessions.push_back(CheckOut(t.tid, 1));
        if (R(2) == 0) t.sessions.push_back(CheckOut(t.tid, R(3) == 0 ? 0 : 1));
        tables_.push_back(t);
    }
    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE(::testing::Message() << "step " << step);
        Table &t = tables_[R(static_cast<uint32_t>(tables_.size()))];
        switch (R(13)) {
        case 0: case 1: case 2: ASSERT_NO_FATAL_FAILURE(Add(t)); break;
        case 3: case 4: ASSERT_NO_FATAL_FAILURE(LockWrite(t)); break;
        case 5: case 6: ASSERT_NO_FATAL_FAILURE(Delete(t)); break;
        case 7: ASSERT_NO_FATAL_FAILURE(CopyOrMove(t, false)); break;
        case 8: case 9: ASSERT_NO_FATAL_FAILURE(CopyOrMove(t, true)); break;
        case 10: ASSERT_NO_FATAL_FAILURE(BreakNoLockRule(t)); break;
        case 11: ASSERT_NO_FATAL_FAILURE(ListOp(t)); break;
        default:
            BKFlush(fcb_, R(3) == 0 ? 0xFFFFFFFF : R(2048)); // the pinned master table stays
            GlobalReclaimDiscardable();
            ASSERT_NO_FATAL_FAILURE(Walk(t));
        }
        for (Table &u : tables_) ASSERT_NO_FATAL_FAILURE(Verify(u, false));
    }
    EXPECT_EQ(fcb_->classTable[kStamped].ridCounter, nextRid_);
}

TEST_P(Model, RecordsMatchTheModel) {
    std::vector<uint32_t> seeds;
    if (const char *env = std::getenv("ZUNFS_SEED")) seeds.push_back(std::strtoul(env, nullptr, 0));
    else seeds = {1, 2, 3};
    for (uint32_t seed : seeds) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " (replay: ZUNFS_SEED=" << seed
                                          << ")");
        TearDown(); // a fresh file per seed
        SetUp();
        tables_.clear();
        nextRid_ = 1;
        ASSERT_NO_FATAL_FAILURE(Run(seed, 400));
    }
}

INSTANTIATE_TEST_SUITE_P(, Model,
                         ::testing::Values(Variant{"Plain", 0, false},
                                           Variant{"SmallBudget", 1536, false},
                                           Variant{"MovingBlocks", 0, true},
                                           Variant{"SmallBudgetMovingBlocks", 1536, true}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
