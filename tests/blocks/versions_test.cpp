// Moving ownership between versions in stages, the stored free list, and a
// randomized run against a model of which version owns each granule.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "blocks/space.h"
#include "blocks/versions.h"
#include "common/scratch_fcb.h"

namespace {

using List = std::vector<FreeEntry>;

struct Event {
    const char *name;
    VersionMove move;
};
constexpr Event kSave{"save", MOVE_SAVE};
constexpr Event kMiniSave{"mini-save", MOVE_MINI_SAVE};
constexpr Event kOpenSaved{"open saved", MOVE_OPEN_SAVED};
constexpr Event kOpenMini{"open mini-saved", MOVE_OPEN_MINI};
constexpr Event kClose{"close", MOVE_CLOSE_TO_SAVED};

// A model of the file: the owner bits of every granule. Unlisted granules
// belong to every version.
struct Model {
    std::vector<uint16_t> owners; // per 64-byte granule, up to fileSize

    static Model From(const List &list, uint32_t size, uint16_t versions) {
        Model m;
        m.owners.assign(size / 64, versions);
        for (const FreeEntry &e : list)
            for (uint32_t g = e.pos / 64; g < (e.pos + e.len) / 64; ++g) m.owners[g] = e.owners;
        return m;
    }
    static Model Of(FCB *fcb) { return From(FreeListOf(fcb), fcb->h.fileSize, fcb->h.versionFlags); }
    void Grow(uint32_t size, uint16_t versions) { owners.resize(size / 64, versions); }
    bool AllFree(uint32_t pos, uint32_t len) const {
        for (uint32_t g = pos / 64; g < (pos + len + 63) / 64; ++g)
            if (g < owners.size() && owners[g] != 0) return false;
        return true;
    }
    void Set(uint32_t pos, uint32_t len, uint16_t bits) {
        for (uint32_t g = pos / 64; g < (pos + len + 63) / 64; ++g) owners[g] = bits;
    }
};

class Versions : public BareFcbTest {
protected:
    uint32_t Alloc(uint32_t length, uint16_t owner) {
        uint32_t at = 0;
        EXPECT_EQ(BKAllocSpace(fcb_, length, owner, &at), 0);
        return at;
    }
    // The stored copy named by the header image.
    List StoredList() {
        List out(fcb_->h.savedFreeCount);
        if (!out.empty()) {
            EXPECT_EQ(VMRead(fcb_->file, fcb_->h.savedFreeOffset, out.size() * sizeof(FreeEntry), out.data()), 0);
        }
        return out;
    }
    void Start(uint16_t versions, uint32_t size, const List &list) {
        fcb_->h.versionFlags = versions;
        fcb_->h.fileSize = size;
        fcb_->h.savedFreeCount = 0;
        fcb_->h.savedFreeOffset = 0;
        ASSERT_EQ(VMSetFileSize(fcb_->file, size), 0);
        SetFreeList(fcb_, list);
    }
    // The list is in its one canonical form: no run of every version, no two
    // free runs that touch.
    void ExpectCanonical() {
        List list = FreeListOf(fcb_);
        ASSERT_TRUE(BKFreeListValid(fcb_, list.data(), static_cast<uint32_t>(list.size())));
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_NE(list[i].owners, fcb_->h.versionFlags) << "entry " << i;
            if (i > 0 && list[i].owners == 0 && list[i - 1].owners == 0) {
                EXPECT_LT(list[i - 1].pos + list[i - 1].len, list[i].pos) << "free runs " << i - 1 << ", " << i;
            }
        }
    }
};

// Each row: the list before, and the list the move leaves before its stored
// copy takes its place. The copy must then lie in a run that was free
// before the move, or at the old end of the file.
TEST_F(Versions, EachEventMovesOwnershipAsTheTableSays) {
    struct Row {
        Event event;
        uint16_t before, after;
        List in, out;
        uint32_t sizeAfter = 4096;
    };
    const Row rows[] = {
        // A replaced saved image is freed, the run written since is used by
        // both and unlisted; the copy takes the run free before.
        {kSave, 0x5, 0x5, {{4, 192, 64}, {1, 256, 64}, {0, 320, 64}}, {{0, 192, 64}, {0, 320, 64}}},
        // current-only runs join the saved version; mini-only runs are freed
        {kSave, 0x7, 0x5, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}, {0, 1024, 256}}, {{0, 256, 128}, {0, 1024, 256}}},
        {kMiniSave, 0x5, 0x7, {{1, 192, 64}, {4, 256, 64}, {0, 512, 128}}, {{3, 192, 64}, {4, 256, 64}, {0, 512, 128}}},
        {kMiniSave, 0x7, 0x7, {{2, 192, 64}, {3, 256, 64}, {4, 320, 64}}, {{0, 192, 64}, {3, 256, 64}, {4, 320, 64}},
         4160},
        // current := saved: runs of the current version alone are freed
        {kOpenSaved, 0x7, 0x5, {{1, 192, 64}, {4, 256, 64}, {2, 320, 64}, {0, 2048, 64}},
         {{0, 192, 64}, {0, 320, 64}, {0, 2048, 64}}},
        // current := mini-saved; the mini-saved version is kept
        {kOpenMini, 0x7, 0x7, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}, {0, 960, 64}},
         {{0, 192, 64}, {3, 256, 64}, {0, 960, 64}}},
        // only the saved version remains; the copy goes to the tail's first
        // place free before, and the file is cut right after it
        {kClose, 0x7, 0x4, {{3, 192, 64}, {4, 256, 64}, {2, 320, 1024}, {0, 1344, 128}, {3, 1472, 2624}},
         {{0, 192, 64}, {0, 320, 1024}}, 1408},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.event.name);
        Start(row.before, 4096, row.in);
        const Model before = Model::From(row.in, 4096, row.before);
        ASSERT_EQ(CommitNow(fcb_, row.event.move), 0);
        EXPECT_EQ(fcb_->h.versionFlags, row.after);
        EXPECT_EQ(+fcb_->h.fileSize, row.sizeAfter);
        EXPECT_EQ(VMFileSize(fcb_->file), row.sizeAfter);
        const uint32_t copy = fcb_->h.savedFreeOffset, copyLen = fcb_->h.savedFreeCount * 10u;
        ASSERT_NE(copy, 0u);
        EXPECT_TRUE(copy >= 4096 || before.AllFree(copy, copyLen)) << "copy at " << copy;
        Model expected = Model::From(row.out, 4096, row.after);
        expected.Grow(row.sizeAfter, row.after);
        expected.Set(copy, copyLen, row.after);
        expected.Grow(row.sizeAfter, 0); // the cut
        EXPECT_EQ(Model::Of(fcb_).owners, expected.owners);
        EXPECT_EQ(StoredList(), FreeListOf(fcb_));
        ExpectCanonical();
    }
}

// The space a move frees (images of a dropped version, the previous stored
// copy) is free in the new list but never takes the new copy, since the
// header naming the copy may not reach the disk; with no other free space
// the copy goes to the end of the file.
TEST_F(Versions, CopyNeverLandsOnSpaceTheMoveFrees) {
    Start(0x7, 4096, {{2, 192, 640}, {4, 832, 64}});
    fcb_->h.savedFreeCount = 3;
    fcb_->h.savedFreeOffset = 1024;
    ASSERT_EQ(CommitNow(fcb_, kSave.move), 0);
    EXPECT_EQ(+fcb_->h.savedFreeOffset, 4096u);
    EXPECT_EQ(+fcb_->h.fileSize, 4096u + 64);
    // The mini-saved run, the replaced saved image and the old copy are free.
    EXPECT_EQ(FreeListOf(fcb_), (List{{0, 192, 704}, {0, 1024, 64}}));
    EXPECT_EQ(StoredList(), FreeListOf(fcb_));
}

// Until adoption the FCB keeps its list and versions; dropping a prepared
// move (or failing to write its copy) leaves them as they were, with the
// space taken at the end for the copy listed as free.
TEST_F(Versions, APreparedMoveChangesNothingUntilAdopted) {
    const List in{{4, 192, 64}, {1, 256, 64}};
    Start(0x5, 4096, in);
    VersionCommit c;
    ASSERT_EQ(BKPrepareCommit(fcb_, MOVE_SAVE, &c), 0);
    EXPECT_EQ(FreeListOf(fcb_), in);
    EXPECT_EQ(fcb_->h.versionFlags, 0x5);
    EXPECT_EQ(c.grownFrom, 4096u);
    EXPECT_EQ(+fcb_->h.fileSize, 4160u);
    BKDropCommit(fcb_, &c);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, 192, 64}, {1, 256, 64}, {0, 4096, 64}}));
    EXPECT_EQ(c.list, 0u);

    // A failed write of the copy goes the same way.
    Start(0x5, 4096, in);
    VMFaultFail(VM_OP_WRITE, 0, VM_E_WRITE);
    EXPECT_EQ(CommitNow(fcb_, kSave.move), VM_E_WRITE);
    EXPECT_EQ(fcb_->h.versionFlags, 0x5);
    EXPECT_EQ(fcb_->h.savedFreeOffset, 0u);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, 192, 64}, {1, 256, 64}, {0, 4096, 64}}));
}

// The free tail is cut only when the move is adopted; a header that may
// not be durable frees nothing and cuts nothing.
TEST_F(Versions, TailIsCutOnlyWhenAdopted) {
    // After the move: free runs at 192 (128 bytes) and from 512 to the end.
    const List in{{2, 192, 64}, {0, 256, 64}, {1, 512, 3584}};
    for (bool sure : {true, false}) {
        SCOPED_TRACE(sure ? "adopted" : "unsure");
        Start(0x7, 4096, in);
        VersionCommit c;
        ASSERT_EQ(BKPrepareCommit(fcb_, MOVE_CLOSE_TO_SAVED, &c), 0);
        EXPECT_EQ(c.copyPos, 256u); // free before the move; 192 was not
        EXPECT_EQ(c.count, 1);
        EXPECT_EQ(c.fileSize, 512u);
        ASSERT_EQ(BKWriteCommitList(fcb_, c), 0);
        EXPECT_EQ(VMFileSize(fcb_->file), 4096u);
        BKCommitHeader(c, fcb_->h);
        if (sure) {
            BKAdoptCommit(fcb_, &c);
            EXPECT_EQ(VMFileSize(fcb_->file), 512u);
            EXPECT_EQ(FreeListOf(fcb_), (List{{0, 192, 64}}));
        } else {
            BKAdoptCommitUnsure(fcb_, &c);
            EXPECT_EQ(+fcb_->h.fileSize, 4096u);
            EXPECT_EQ(VMFileSize(fcb_->file), 4096u);
            EXPECT_EQ(fcb_->h.freeCount, 0);
        }
    }
}

TEST_F(Versions, StoredListIsWrittenAndReadBack) {
    Start(0x1, 192, {});
    ASSERT_EQ(CommitNow(fcb_, kSave.move), 0); // nothing listed: nothing stored
    EXPECT_EQ(fcb_->h.savedFreeCount, 0);
    EXPECT_EQ(fcb_->h.savedFreeOffset, 0u);
    for (int i = 0; i < 5; ++i) Alloc(100, VER_CURRENT);
    uint32_t first = Alloc(64, VER_CURRENT);
    BKReleaseSpace(fcb_, first, 64, VER_CURRENT);
    ASSERT_EQ(CommitNow(fcb_, kMiniSave.move), 0);
    List list = FreeListOf(fcb_);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(fcb_->h.versionFlags, 0x7);
    EXPECT_EQ(StoredList(), list);

    BKLoadFreeList(fcb_);
    EXPECT_EQ(FreeListOf(fcb_), list);
    ASSERT_EQ(CommitNow(fcb_, kMiniSave.move), 0);
    EXPECT_EQ(StoredList(), FreeListOf(fcb_));
}

// Stored lists that cannot be right are not trusted; the header then names
// no copy, so its space is never freed.
class LoadFreeList : public Versions {
protected:
    void Load(const List &stored, uint32_t count, uint32_t offset = 1024) {
        Start(0x5, 65536, {});
        ASSERT_EQ(VMWrite(fcb_->file, offset, stored.size() * sizeof(FreeEntry), stored.data()), 0);
        fcb_->h.savedFreeCount = static_cast<uint16_t>(count);
        fcb_->h.savedFreeOffset = offset;
        BKLoadFreeList(fcb_);
    }
    void ExpectDropped() {
        EXPECT_EQ(fcb_->h.freeCount, 0);
        EXPECT_EQ(fcb_->h.savedFreeCount, 0);
        EXPECT_EQ(fcb_->h.savedFreeOffset, 0u);
    }
};

TEST_F(LoadFreeList, SoundListsAreLoadedAndDamagedOnesDropped) {
    List good{{4, 192, 64}, {0, 256, 128}, {1, 4096, 4096}};
    Load(good, 3);
    EXPECT_EQ(FreeListOf(fcb_), good);
    EXPECT_EQ(fcb_->h.savedFreeCount, 3);
    const List bad[] = {
        {{4, 256, 64}, {0, 192, 64}},  // unsorted
        {{4, 192, 128}, {0, 256, 64}}, // overlapping
        {{4, 200, 64}},                // unaligned position
        {{4, 192, 100}},               // unaligned length
        {{0, 65472, 128}},             // past fileSize
        {{0, 0, 192}},                 // over the header
        {{0, 192, 0}},                 // empty run
        {{0, 0xFFFFFFC0, 0x80}},       // wrapping
        {{0x8, 192, 64}},              // a version that does not exist
    };
    for (const List &stored : bad) {
        SCOPED_TRACE(::testing::PrintToString(stored));
        Load(stored, static_cast<uint32_t>(stored.size()));
        ExpectDropped();
    }
}

TEST_F(LoadFreeList, OverlongOrMisplacedCopyIsDropped) {
    uint32_t reads = VMFaultCount(VM_OP_READ);
    Load({{4, 192, 64}}, FREE_LIST_MAX + 1);
    ExpectDropped();
    Load({{4, 192, 64}}, 1, 65530); // copy reaching past fileSize
    ExpectDropped();
    EXPECT_EQ(VMFaultCount(VM_OP_READ), reads);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    Load({{4, 192, 64}}, 1);
    ExpectDropped();
}

TEST_F(Versions, RandomSequencesAgreeWithAModelOfOwnership) {
    // Replay a failure with --gtest_random_seed=<seed>.
    const int seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Start(0x1, 192, {});
    Model model = Model::Of(fcb_);
    struct Run {
        uint32_t pos, len;
    };
    std::vector<Run> runs; // runs the current version may give up

    auto ownedByCurrent = [&](const Run &r) {
        for (uint32_t g = r.pos / 64; g < (r.pos + r.len + 63) / 64; ++g)
            if ((model.owners[g] & VER_CURRENT) == 0) return false;
        return true;
    };
    auto apply = [&](const Event &e) {
        SCOPED_TRACE(e.name);
        const uint32_t oldCopy = fcb_->h.savedFreeOffset, oldCopyLen = fcb_->h.savedFreeCount * 10u;
        const uint32_t oldSize = fcb_->h.fileSize;
        const Model before = model;
        ASSERT_EQ(CommitNow(fcb_, e.move), 0);
        if (oldCopy != 0) model.Set(oldCopy, oldCopyLen, 0);
        for (uint16_t &o : model.owners) {
            o &= ~e.move.clear;
            o = (o & e.move.test) ? (o | e.move.set) : (o & ~e.move.set);
        }
        std::erase_if(runs, [&](const Run &r) { return model.AllFree(r.pos, r.len); });
        for (size_t g = fcb_->h.fileSize / 64; g < model.owners.size(); ++g)
            ASSERT_EQ(model.owners[g], 0) << "cut space that was in use";
        model.owners.resize(fcb_->h.fileSize / 64, fcb_->h.versionFlags);
        if (fcb_->h.savedFreeOffset != 0) {
            const uint32_t copy = fcb_->h.savedFreeOffset, len = fcb_->h.savedFreeCount * 10u;
            ASSERT_TRUE(copy >= oldSize || before.AllFree(copy, len)) << "copy over space freed by the move, at " << copy;
            model.Set(copy, len, fcb_->h.versionFlags);
            EXPECT_EQ(StoredList(), FreeListOf(fcb_));
        }
    };

    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        int what = std::uniform_int_distribution<int>(0, 99)(rng);
        uint16_t vf = fcb_->h.versionFlags;
        if (what < 55) { // allocate for the current version, or for all
            uint32_t len = std::uniform_int_distribution<uint32_t>(1, 2000)(rng);
            uint16_t owner = what < 50 ? VER_CURRENT : vf;
            uint32_t at = Alloc(len, owner);
            ASSERT_TRUE(model.AllFree(at, len)) << "allocated space in use";
            model.Grow(fcb_->h.fileSize, 0);
            model.Set(at, len, owner);
            runs.push_back({at, len});
        } else if (what < 93) { // the current version gives a run up
            if (runs.empty()) continue;
            size_t i = std::uniform_int_distribution<size_t>(0, runs.size() - 1)(rng);
            Run run = runs[i];
            runs.erase(runs.begin() + i);
            BKReleaseSpace(fcb_, run.pos, run.len, VER_CURRENT);
            for (uint32_t g = run.pos / 64; g < (run.pos + run.len + 63) / 64; ++g)
                model.owners[g] &= ~VER_CURRENT;
        } else { // a version event
            const Event *choices[] = {&kSave, &kMiniSave, &kOpenSaved, &kOpenMini, &kClose};
            const Event &e = *choices[std::uniform_int_distribution<int>(0, 4)(rng)];
            if ((&e == &kOpenSaved || &e == &kClose) && !(vf & VER_SAVED)) continue;
            if (&e == &kOpenMini && !(vf & VER_MINI)) continue;
            apply(e);
            if (&e == &kClose) apply(kOpenSaved); // reopened as the current version
            std::erase_if(runs, [&](const Run &r) { return !ownedByCurrent(r); });
        }
        List list = FreeListOf(fcb_);
        ASSERT_TRUE(BKFreeListValid(fcb_, list.data(), static_cast<uint32_t>(list.size())));
        ASSERT_EQ(+fcb_->h.fileSize % 64, 0u);
        ASSERT_EQ(VMFileSize(fcb_->file), +fcb_->h.fileSize);
        ASSERT_EQ(Model::Of(fcb_).owners, model.owners);
    }
}

} // namespace
