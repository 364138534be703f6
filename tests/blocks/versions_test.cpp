// Moving ownership between versions, the stored free list, and a
// randomized run against a model of which version owns each byte.
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
    uint16_t clear, test, set;
    bool cut;
};
constexpr Event kSave{"save", 0x6, 0x1, 0x4, false};
constexpr Event kMiniSave{"mini-save", 0x2, 0x1, 0x2, false};
constexpr Event kOpenSaved{"open saved", 0x2, 0x4, 0x1, false};
constexpr Event kOpenMini{"open mini-saved", 0x0, 0x2, 0x1, false};
constexpr Event kClose{"close", 0x3, 0x0, 0x0, true};

class Versions : public BareFcbTest {
protected:
    void Commit(const Event &e) { BKCommitVersions(fcb_, e.clear, e.test, e.set, e.cut); }
    uint32_t Alloc(uint32_t length, uint16_t owner) {
        uint32_t at = 0;
        EXPECT_EQ(BKAllocSpace(fcb_, length, owner, &at), 0);
        return at;
    }
    // The stored copy named by the header image.
    List StoredList() {
        List out(fcb_->h.savedFreeCount);
        if (!out.empty()) {
            EXPECT_EQ(VMRead(fcb_->file, fcb_->h.savedFreeOffset,
                             out.size() * sizeof(FreeEntry), out.data()),
                      0);
        }
        return out;
    }
    void Start(uint16_t versions, uint32_t size, const List &list) {
        fcb_->h.versionFlags = versions;
        fcb_->h.fileSize = size;
        ASSERT_EQ(VMSetFileSize(fcb_->file, size), 0);
        SetFreeList(fcb_, list);
    }
};

TEST_F(Versions, EachEventMovesOwnershipAsTheTableSays) {
    struct Row {
        Event event;
        uint16_t before, after;
        List in, out;
    };
    constexpr Event kNone{"no change", 0, 0, 0, false};
    const Row rows[] = {
        // A replaced saved image is freed, the run written since is used by
        // both and unlisted: the free runs around it do not merge.
        {kSave, 0x5, 0x5, {{4, 192, 64}, {1, 256, 64}, {0, 320, 64}}, {{0, 192, 64}, {0, 320, 64}}},
        // An unlisted gap keeps free runs apart; touching free runs merge.
        {kNone, 0x5, 0x5, {{0, 192, 64}, {0, 320, 64}, {0, 384, 64}, {4, 448, 64}},
         {{0, 192, 64}, {0, 320, 128}, {4, 448, 64}}},
        // current-only runs join the saved version; mini-only runs are freed
        {kSave, 0x7, 0x5, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}}, {{0, 256, 128}}},
        {kMiniSave, 0x5, 0x7, {{1, 192, 64}, {4, 256, 64}}, {{3, 192, 64}, {4, 256, 64}}},
        {kMiniSave, 0x7, 0x7, {{2, 192, 64}, {3, 256, 64}, {4, 320, 64}},
         {{0, 192, 64}, {3, 256, 64}, {4, 320, 64}}},
        // current := saved: runs of the current version alone are freed
        {kOpenSaved, 0x7, 0x5, {{1, 192, 64}, {4, 256, 64}, {2, 320, 64}},
         {{0, 192, 64}, {0, 320, 64}}},
        // current := mini-saved; the mini-saved version is kept
        {kOpenMini, 0x7, 0x7, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}},
         {{0, 192, 64}, {3, 256, 64}}},
        // only the saved version remains; the free tail is cut off the file
        {kClose, 0x7, 0x4, {{3, 192, 64}, {4, 256, 64}, {2, 320, 3776}}, {{0, 192, 64}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.event.name);
        Start(row.before, 4096, row.in);
        fcb_->h.savedFreeCount = 0;
        fcb_->h.savedFreeOffset = 0;
        fcb_->h.versionFlags = (row.before & ~row.event.clear) | row.event.set;
        EXPECT_EQ(fcb_->h.versionFlags, row.after);
        EXPECT_EQ(BKRecomputeOwners(fcb_, row.event.clear, row.event.test, row.event.set,
                                    row.event.cut),
                  0);
        EXPECT_EQ(FreeListOf(fcb_), row.out);
    }
    EXPECT_EQ(+fcb_->h.fileSize, 320u);
    EXPECT_EQ(VMFileSize(fcb_->file), 320u);
}

TEST_F(Versions, SavedImageReplacedByCurrentIsFreedByTheNextSave) {
    Start(0x5, 192, {});
    uint32_t image = Alloc(64, 0x5); // a saved image, shared by both versions
    BKReleaseSpace(fcb_, image, 64, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, image, 64}}));
    uint32_t fresh = Alloc(64, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, 192, 64}, {1, fresh, 64}, {0, 320, 4032}}));
    EXPECT_EQ(BKRecomputeOwners(fcb_, kSave.clear, kSave.test, kSave.set, false), 0);
    // The old image is free; the new one is used by both and unlisted.
    EXPECT_EQ(FreeListOf(fcb_), (List{{0, 192, 64}, {0, 320, 4032}}));
}

TEST_F(Versions, ReopeningTheSavedVersionTakesTheReplacedImageBack) {
    Start(0x5, 192, {});
    uint32_t image = Alloc(64, 0x5);
    BKReleaseSpace(fcb_, image, 64, VER_CURRENT);
    Alloc(64, VER_CURRENT);
    EXPECT_EQ(BKRecomputeOwners(fcb_, kOpenSaved.clear, kOpenSaved.test, kOpenSaved.set, false),
              0);
    // The saved image is current again; the unsaved run joins the free tail.
    EXPECT_EQ(FreeListOf(fcb_), (List{{0, 256, 4096}}));
}

TEST_F(Versions, StoredListIsWrittenToSpaceOfEveryVersionAndReadBack) {
    Start(0x1, 192, {});
    Commit(kSave); // nothing listed: nothing stored
    EXPECT_EQ(fcb_->h.savedFreeCount, 0);
    EXPECT_EQ(fcb_->h.savedFreeOffset, 0u);
    for (int i = 0; i < 5; ++i) Alloc(100, VER_CURRENT);
    uint32_t first = Alloc(64, VER_CURRENT);
    BKReleaseSpace(fcb_, first, 64, VER_CURRENT);
    Commit(kMiniSave);
    List list = FreeListOf(fcb_);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(fcb_->h.versionFlags, 0x7);
    EXPECT_EQ(StoredList(), list);
    uint32_t copy = fcb_->h.savedFreeOffset;
    for (const FreeEntry &e : list) // the copy's own run is used by every version
        EXPECT_TRUE(e.pos + e.len <= copy || e.pos >= copy + list.size() * 10 ||
                    e.owners == fcb_->h.versionFlags);

    BKLoadFreeList(fcb_);
    EXPECT_EQ(FreeListOf(fcb_), list);

    // The next commit frees the previous copy before writing the new one.
    Commit(kMiniSave);
    EXPECT_EQ(StoredList(), FreeListOf(fcb_));
}

TEST_F(Versions, FailedCopyEmptiesTheListAndLosesOnlySpace) {
    Start(0x5, 4096, {{4, 192, 64}, {1, 256, 64}, {0, 320, 3776}});
    VMFaultFail(VM_OP_WRITE, 0, VM_E_WRITE);
    Commit(kMiniSave);
    EXPECT_EQ(fcb_->h.freeCount, 0);
    EXPECT_EQ(fcb_->h.savedFreeCount, 0);
    EXPECT_EQ(fcb_->h.savedFreeOffset, 0u);
    EXPECT_EQ(fcb_->h.versionFlags, 0x7);
}

// Stored lists that cannot be right are not trusted.
class LoadFreeList : public Versions {
protected:
    void Load(const List &stored, uint32_t count, uint32_t offset = 1024) {
        Start(0x5, 65536, {});
        ASSERT_EQ(VMWrite(fcb_->file, offset, stored.size() * sizeof(FreeEntry), stored.data()), 0);
        fcb_->h.savedFreeCount = static_cast<uint16_t>(count);
        fcb_->h.savedFreeOffset = offset;
        BKLoadFreeList(fcb_);
    }
};

TEST_F(LoadFreeList, SoundListsAreLoadedAndDamagedOnesTreatedAsEmpty) {
    List good{{4, 192, 64}, {0, 256, 128}, {1, 4096, 4096}};
    Load(good, 3);
    EXPECT_EQ(FreeListOf(fcb_), good);
    const List bad[] = {
        {{4, 256, 64}, {0, 192, 64}},      // unsorted
        {{4, 192, 128}, {0, 256, 64}},     // overlapping
        {{4, 200, 64}},                    // unaligned position
        {{4, 192, 100}},                   // unaligned length
        {{0, 65472, 128}},                 // past fileSize
        {{0, 0, 192}},                     // over the header
        {{0, 192, 0}},                     // empty run
        {{0, 0xFFFFFFC0, 0x80}},           // wrapping
        {{0x8, 192, 64}},                  // a version that does not exist
    };
    for (const List &stored : bad) {
        SCOPED_TRACE(::testing::PrintToString(stored));
        Load(stored, static_cast<uint32_t>(stored.size()));
        EXPECT_EQ(fcb_->h.freeCount, 0);
    }
}

TEST_F(LoadFreeList, OverlongOrMisplacedCopyIsTreatedAsEmpty) {
    uint32_t reads = VMFaultCount(VM_OP_READ);
    Load({{4, 192, 64}}, FREE_LIST_MAX + 1);
    EXPECT_EQ(fcb_->h.freeCount, 0);
    Load({{4, 192, 64}}, 1, 65530); // copy reaching past fileSize
    EXPECT_EQ(fcb_->h.freeCount, 0);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), reads);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    Load({{4, 192, 64}}, 1);
    EXPECT_EQ(fcb_->h.freeCount, 0);
}

// A model of the file: the owner bits of every granule. Unlisted granules
// belong to every version.
struct Model {
    std::vector<uint16_t> owners; // per 64-byte granule, up to fileSize

    static Model Of(FCB *fcb) {
        Model m;
        m.owners.assign(fcb->h.fileSize / 64, fcb->h.versionFlags);
        for (const FreeEntry &e : FreeListOf(fcb))
            for (uint32_t g = e.pos / 64; g < (e.pos + e.len) / 64; ++g) m.owners[g] = e.owners;
        return m;
    }
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
        uint32_t oldCopy = fcb_->h.savedFreeOffset;
        uint32_t oldCopyLen = fcb_->h.savedFreeCount * 10u;
        Commit(e);
        if (oldCopy != 0) model.Set(oldCopy, oldCopyLen, 0);
        for (uint16_t &o : model.owners) {
            o &= ~e.clear;
            o = (o & e.test) ? (o | e.set) : (o & ~e.set);
        }
        // Freed space may be handed out again (the list copy goes there
        // first): its old runs are gone for good.
        std::erase_if(runs, [&](const Run &r) { return model.AllFree(r.pos, r.len); });
        for (size_t g = fcb_->h.fileSize / 64; g < model.owners.size(); ++g)
            ASSERT_EQ(model.owners[g], 0) << "cut space that was in use";
        model.owners.resize(fcb_->h.fileSize / 64, fcb_->h.versionFlags);
        if (fcb_->h.savedFreeOffset != 0) {
            model.Set(fcb_->h.savedFreeOffset, fcb_->h.savedFreeCount * 10u, fcb_->h.versionFlags);
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
        // The list is sorted, disjoint, aligned and within the file, and
        // says what the model says.
        List list = FreeListOf(fcb_);
        ASSERT_TRUE(BKFreeListValid(fcb_, list.data(), static_cast<uint32_t>(list.size())));
        ASSERT_EQ(+fcb_->h.fileSize % 64, 0u);
        ASSERT_EQ(VMFileSize(fcb_->file), +fcb_->h.fileSize);
        ASSERT_EQ(Model::Of(fcb_).owners, model.owners);
    }
}

} // namespace
