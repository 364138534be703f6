// Randomized record operations against an in-memory model: tables of several
// classes with one or two sessions each; adds (from host buffers too),
// writes through locks, deletions, copies and moves of runs and of selected
// records (within and between tables), refusals, reads into host buffers,
// RID lookups, a byte stream written, resized and read, write-backs and
// reclaims. After every step each
// table holds exactly the model's records, its chunks respect the class's
// bounds, and after a deletion no two neighbours could have merged. Runs go
// under a small budget or with blocks moving on every first lock, so that an
// address kept past its unlock shows up as wrong records. ZUNFS_SEED=<n>
// replays one seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "common/session_fixture.h"

namespace {

using Record = std::vector<uint8_t>;

// The list selector picks about a third of the records by content.
uint32_t g_salt = 0;
size_t g_recSize = 0;
bool Picked(const uint8_t *rec) {
    uint32_t h = g_salt;
    for (size_t i = 0; i < g_recSize; ++i) h = h * 31 + rec[i];
    return (h >> 7) % 3 == 0;
}
int32_t Selector(void *rec) { return Picked(static_cast<const uint8_t *>(rec)) ? 1 : 0; }

struct Table {
    uint16_t tid;
    uint8_t cls;
    uint16_t size, max;
    bool rids;
    std::vector<Record> recs;
    std::vector<SCB *> sessions;
    static bool Writable(const SCB *s) { return (s->flags & FS_SCB_READ_WRITE) != 0; }
};

class Model : public SessionFileTest, public ::testing::WithParamInterface<bool> {
protected:
    // Either a small budget, or blocks moving on every first lock.
    uint32_t MemBudget() override { return GetParam() ? 0 : 1536; }
    uint32_t R(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    SCB *AnySession(Table &t) { return t.sessions[R(static_cast<uint32_t>(t.sessions.size()))]; }
    Table &Peer(Table &t) { // a table that may receive t's records (t among them)
        std::vector<Table *> peers;
        for (Table &u : tables_)
            if (u.size == t.size && u.rids == t.rids) peers.push_back(&u);
        return *peers[R(static_cast<uint32_t>(peers.size()))];
    }
    void Run(uint32_t seed, int steps);
    void Add(Table &t);
    void LockWrite(Table &t);
    void Transfer(Table &t, int kind, bool list);
    void Verify(Table &t, bool afterDeletion);
    void Stream();

    std::mt19937 rng_;
    std::vector<Table> tables_;
    uint32_t nextRid_ = 1;
    VMStream *stream_ = nullptr;
    std::vector<uint8_t> streamBytes_;
};

// A write (past the end too), a resize either way, or a read (past the end:
// refused), of up to 70000 bytes: several callbacks of at most 65535.
void Model::Stream() {
    auto &m = streamBytes_;
    auto n = static_cast<uint32_t>(m.size()), at = R(n + 100), len = R(4) == 0 ? R(70000) : R(3000);
    std::vector<uint8_t> data(len);
    const uint32_t kind = R(3);
    switch (kind) {
    case 0:
        for (auto &b : data) b = static_cast<uint8_t>(rng_());
        ASSERT_EQ(VMStreamWrite(stream_, at, len, data.data()), 0);
        if (at + len > n) m.resize(at + len, 0);
        std::copy(data.begin(), data.end(), m.begin() + at);
        break;
    case 1:
        ASSERT_EQ(VMStreamSetSize(stream_, at + len / 8), 0);
        m.resize(at + len / 8, 0);
        break;
    default:
        ASSERT_EQ(VMStreamRead(stream_, at, len, data.data()), at + len <= n ? 0 : FS_E_BAD_RIX) << at << "+" << len;
        ASSERT_TRUE(at + len > n || std::equal(data.begin(), data.end(), m.begin() + at)) << at << "+" << len;
    }
    ASSERT_TRUE(TableBytes(VMStreamTable(stream_)) == m) << "stream op " << kind << ": " << at << "+" << len << " of " << n;
}

void Model::Add(Table &t) {
    SCB *s = AnySession(t);
    auto n = static_cast<uint32_t>(t.recs.size());
    uint32_t rix = R(5) == 0 ? RIX_LAST : R(n + 2), count = R(4) == 0 ? 0 : 1 + R(9);
    bool keep = R(4) == 0, out = R(2) == 0;
    uint32_t at = rix == RIX_LAST ? n : rix;
    FSStatus expect = !t.Writable(s)                       ? FS_E_READ_ONLY
                      : at > n                             ? FS_E_BAD_RIX
                      : count > 0 && keep && count > t.max ? FS_E_CHUNK_TOO_BIG
                      : count == 0 && out && at == n       ? FS_E_BAD_RIX
                                                           : 0;
    if (!t.rids && !keep && count > 0 && R(3) == 0) { // from the host's bytes
        std::vector<uint8_t> bytes(count * t.size);
        for (auto &b : bytes) b = static_cast<uint8_t>(rng_());
        expect = at > n ? FS_E_BAD_RIX : expect; // the place is checked first here
        ASSERT_EQ(FSIAddPtr(s, rix, count, 0, bytes.data()), expect);
        for (uint32_t j = 0; expect == 0 && j < count; ++j)
            t.recs.insert(t.recs.begin() + at + j, Record(bytes.begin() + j * t.size, bytes.begin() + (j + 1) * t.size));
        return;
    }
    void *rec = nullptr;
    ASSERT_EQ(FSIAddLock(s, rix, count, keep, out ? &rec : nullptr), expect) << count << " at " << rix << " of " << n;
    if (expect != 0) return;
    for (uint32_t j = 0; j < count; ++j) {
        Record r(t.size, 0);
        if (t.rids) std::memcpy(r.data() + t.size - 4, &nextRid_, 4), ++nextRid_;
        t.recs.insert(t.recs.begin() + at + j, r);
    }
    if (!out) return;
    uint32_t written = keep && count > 0 ? count : 1;
    ASSERT_GE(static_cast<size_t>(s->chunkEnd - static_cast<uint8_t *>(rec)), written * t.size);
    for (uint32_t j = 0; j < written; ++j) {
        for (auto &b : t.recs[at + j]) b = static_cast<uint8_t>(rng_());
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
        Record &r = t.recs[rix + j];
        if (!t.Writable(s)) {
            ASSERT_EQ(std::memcmp(p, r.data(), t.size), 0) << "rix " << rix + j;
            continue;
        }
        for (auto &b : r) b = static_cast<uint8_t>(rng_());
        std::memcpy(p, r.data(), t.size);
        FSDirtyRec(s);
    }
    ASSERT_EQ(FSError(s), 0);
    FSUnlock(s);
}

// A deletion, copy or move of a run (FSIRecOps) or of the records the
// selector picks (the list calls), within a table or into a peer.
void Model::Transfer(Table &t, int kind, bool list) {
    const bool del = kind == 0, move = kind == 2;
    g_salt = static_cast<uint32_t>(rng_());
    g_recSize = t.size;
    Table &u = del ? t : Peer(t);
    SCB *src = AnySession(t), *dst = del ? nullptr : &u == &t && R(2) == 0 ? src : AnySession(u);
    auto n = static_cast<uint32_t>(t.recs.size()), un = static_cast<uint32_t>(u.recs.size());
    uint32_t first = R(n + 1), count = R(std::min(n - first, 12u) + 1);
    if (del && !list && R(10) == 0) count = n - first + 1; // one past the end
    uint32_t dstRix = R(6) == 0 ? RIX_LAST : R(un + 2), at = del ? 0 : dstRix == RIX_LAST ? un : dstRix;
    std::vector<bool> sel(n);
    for (uint32_t i = 0; i < n; ++i) sel[i] = list ? Picked(t.recs[i].data()) : i >= first && i < first + count;
    FSStatus expect = list && n == 0                      ? 0
                      : (del || move) && !t.Writable(src) ? FS_E_READ_ONLY
                      : del                               ? (!list && first + count > n ? FS_E_BAD_PARAMS : 0)
                      : list && &u == &t && dst != src    ? FS_E_BAD_PARAMS
                      : (list || dst != src) && !u.Writable(dst) ? FS_E_READ_ONLY
                      : at > un                           ? FS_E_BAD_RIX
                                                          : 0;
    FSStatus got = !list  ? FSIRecOps(src, del ? FSOpDelete : move ? FSOpMove : FSOpCopy,
                                      first, count, dst, dstRix)
                   : del  ? FSDelList(src, Selector, 0)
                   : move ? FSMoveList(src, Selector, dst, dstRix, 0)
                          : FSCopyList(src, Selector, dst, dstRix, 0);
    ASSERT_EQ(got, expect) << (list ? "list " : "run ") << kind << ": " << first << "+" << count << " of " << n
                           << " to " << dstRix << " of " << un << (&u == &t ? " (same table)" : "");
    std::vector<Record> picked, rest;
    for (uint32_t i = 0; i < n; ++i) (sel[i] ? picked : rest).push_back(t.recs[i]);
    if (expect != 0 || picked.empty()) return;
    // Copied list records get new RIDs; moved ones keep theirs, though a
    // move between tables draws as many from the counter.
    if (list && t.rids && !del && (!move || &u != &t)) {
        for (Record &r : picked) {
            if (!move) std::memcpy(r.data() + t.size - 4, &nextRid_, 4);
            ++nextRid_;
        }
    }
    if (move && &u == &t) { // the picked records go to at, counted in the old table
        std::vector<Record> out;
        for (uint32_t i = 0; i < at; ++i)
            if (!sel[i]) out.push_back(t.recs[i]);
        out.insert(out.end(), picked.begin(), picked.end());
        for (uint32_t i = at; i < n; ++i)
            if (!sel[i]) out.push_back(t.recs[i]);
        t.recs = out;
    } else {
        if (!del) u.recs.insert(u.recs.begin() + at, picked.begin(), picked.end());
        if (del || move) t.recs = rest;
    }
    if (del || move) Verify(t, true);
}

void Model::Verify(Table &t, bool afterDeletion) {
    std::vector<uint8_t> bytes = TableBytes(t.tid);
    ASSERT_EQ(bytes.size(), t.recs.size() * t.size) << "table " << t.tid;
    for (size_t i = 0; i < t.recs.size(); ++i)
        ASSERT_EQ(std::memcmp(bytes.data() + i * t.size, t.recs[i].data(), t.size), 0) << "table " << t.tid << " rix " << i;
    for (SCB *s : t.sessions) ASSERT_EQ(FSTableSize(s), t.recs.size());
    TableShape shape = ShapeOf(t.tid);
    for (uint16_t c : shape.counts) ASSERT_LE(c, t.max);
    if (!afterDeletion || !shape.indexed) return;
    // After a deletion an index keeps two chunks at least, and no small (or
    // empty) chunk beside a neighbour it would fit into with it.
    const FSClassDesc &d = fcb_->classTable[t.cls];
    uint16_t min = std::max<uint16_t>(d.minPerChunk, 1);
    ASSERT_GE(shape.counts.size(), 2u);
    for (size_t i = 0; i + 1 < shape.counts.size(); ++i) {
        uint16_t a = shape.counts[i], b = shape.counts[i + 1];
        ASSERT_FALSE((a < min || b < min) && a + b <= d.maxPerChunk) << "unmerged neighbours " << a << " and " << b;
    }
}

void Model::Run(uint32_t seed, int steps) {
    rng_.seed(seed);
    GlobalSetMoveOnLock(GetParam() ? 1 : 0);
    uint16_t registration;
    ASSERT_EQ(FSInstallSFM(&registration), 0);
    ASSERT_EQ(VMStreamCreate(fcb_, kBytes, &stream_), 0);
    streamBytes_.clear();
    for (uint8_t cls : {kTwelve, kTwelveB, kTwelve, kSmall, kStamped}) {
        const FSClassDesc &d = fcb_->classTable[cls];
        Table t{MakeTable(cls), cls, d.recSize, d.maxPerChunk, (d.flags & FS_CLASS_RIDS) != 0, {}, {}};
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
        case 5: case 6: case 7: case 8: case 9: case 10:
            ASSERT_NO_FATAL_FAILURE(Transfer(t, static_cast<int>(R(3)), R(4) == 0));
            break;
        case 11: ASSERT_NO_FATAL_FAILURE(Stream()); break;
        default:
            BKFlush(fcb_, R(3) == 0 ? 0xFFFFFFFF : R(2048)); // the pinned master table stays
            GlobalReclaimDiscardable();
            if (!t.recs.empty()) { // a run read into the host's memory
                auto n = static_cast<uint32_t>(t.recs.size()), first = R(n), count = 1 + R(n - first);
                std::vector<uint8_t> got(count * t.size), want;
                ASSERT_EQ(FSFillPtr(AnySession(t), first, count, got.data()), 0);
                for (uint32_t i = first; i < first + count; ++i) want.insert(want.end(), t.recs[i].begin(), t.recs[i].end());
                ASSERT_EQ(got, want) << first << "+" << count;
                if (!t.rids) break;
                // The first record holding a RID answers for it (copies share theirs).
                auto rid = [&](const Record &r) { return *reinterpret_cast<const uint32_t *>(r.data() + t.size - 4); };
                auto match = std::find_if(t.recs.begin(), t.recs.end(), [&](const Record &r) { return rid(r) == rid(t.recs[first]); });
                ASSERT_EQ(RIX2RID(AnySession(t), first), rid(t.recs[first]));
                ASSERT_EQ(RID2RIX(AnySession(t), rid(t.recs[first])), uint32_t(match - t.recs.begin()));
            }
        }
        for (Table &u : tables_) ASSERT_NO_FATAL_FAILURE(Verify(u, false));
    }
    uint32_t &counter = fcb_->classTable[kStamped].ridCounter, highest = 0;
    EXPECT_EQ(counter, nextRid_);
    for (const Record &r : tables_.back().recs) highest = std::max(highest, *reinterpret_cast<const uint32_t *>(r.data() + 4));
    counter = 1; // repaired from the stored RIDs
    ASSERT_EQ(FSBumpRIDCounter(tables_.back().sessions[0]), 0);
    EXPECT_EQ(counter, highest + 1);
    VMStreamClose(stream_);
    EXPECT_EQ(FSUninstallSFM(), 0);
}

TEST_P(Model, RecordsMatchTheModel) {
    std::vector<uint32_t> seeds{1, 2, 3};
    if (const char *env = std::getenv("ZUNFS_SEED")) seeds = {static_cast<uint32_t>(std::strtoul(env, nullptr, 0))};
    for (uint32_t seed : seeds) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " (replay: ZUNFS_SEED=" << seed << ")");
        TearDown(); // a fresh file per seed
        SetUp();
        tables_.clear();
        nextRid_ = 1;
        ASSERT_NO_FATAL_FAILURE(Run(seed, 400));
    }
}

INSTANTIATE_TEST_SUITE_P(, Model, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "MovingBlocks" : "SmallBudget"); });

} // namespace
