// A long randomized run against a model of the document: changes, saves,
// mini-saves, save-as, closes and reopens of each version, memory budgets,
// reclaim of discardable memory, single allocation and I/O failures, and
// crashes at random write points. After every step the library's view
// equals the model's; after every step that reaches the disk the checker
// finds nothing in the file.
//
// ZUNFS_SOAK_OPS (default 1500), ZUNFS_SOAK_SECONDS (0: no limit) and
// ZUNFS_SOAK_SEED (default 1) set the length and the seed of the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/clean_file.h"
#include "common/doc_model.h"
#include "common/scratch_fcb.h"

namespace {

uint64_t EnvOr(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != 0 ? std::strtoull(v, nullptr, 10) : fallback;
}

// What each version of the file must hold.
struct Versions {
    Doc cur;
    std::optional<Doc> saved, mini;
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeMemoryScratchFolder();
        ASSERT_FALSE(folder_.empty());
        ctx_ = DocContext(folder_);
    }
    void TearDown() override {
        VMFaultReset();
        if (fcb_ != nullptr) FSFileClose(fcb_, 0);
        RemoveScratchFolder(folder_);
    }

    uint32_t Pick(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }

    // A host file, saved, with a table of each class.
    void Start() {
        ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        for (uint8_t cls : {4, 5, 6}) DocMakeTable(fcb_, v_.cur, cls);
        ASSERT_NO_FATAL_FAILURE(SaveAs());
    }

    // One change of the document, kept small: deletions win once a table
    // holds more than a few hundred records.
    void Change() {
        if (v_.cur.size() < 2 || Pick(40) == 0) return DocMakeTable(fcb_, v_.cur, static_cast<uint8_t>(4 + Pick(3)));
        auto it = std::next(v_.cur.begin(), Pick(static_cast<uint32_t>(v_.cur.size())));
        const uint16_t tid = it->first;
        const uint8_t cls = it->second.cls;
        const auto n = static_cast<uint32_t>(it->second.recs.size());
        const uint32_t limit = cls == 6 ? 4000 : 300, what = Pick(100);
        if (what < 3 && tid != FSRootTable(fcb_)) {
            DocDestroyTable(fcb_, v_.cur, tid);
            SCB *scb = nullptr;
            EXPECT_NE(FSCheckOut(fcb_, tid, 0, &scb), 0) << "destroyed table " << tid;
            FSCheckIn(scb);
            return;
        }
        if (n == 0 || (what < 50 && n < limit)) {
            DocInsert(fcb_, v_.cur, tid, Pick(n + 1), RandomRecords(rng_, cls, 1 + Pick(cls == 6 ? 300 : 10)));
        } else if (what < 75) {
            uint32_t at = Pick(n);
            DocOverwrite(fcb_, v_.cur, tid, at, RandomRecords(rng_, cls, 1 + Pick(std::min(n - at, 5u))));
        } else {
            uint32_t at = Pick(n);
            DocDelete(fcb_, v_.cur, tid, at, 1 + Pick(std::min(n - at, cls == 6 ? 400u : 12u)));
        }
        if (!HasFatalFailure()) {
            EXPECT_EQ(ReadTable(fcb_, tid), v_.cur[tid].recs) << "table " << tid;
        }
    }

    // An insert while one allocation or write fails: it succeeds whole or
    // leaves the table as it was.
    void FailingInsert() {
        auto it = std::next(v_.cur.begin(), Pick(static_cast<uint32_t>(v_.cur.size())));
        const uint16_t tid = it->first;
        std::vector<Record> recs = RandomRecords(rng_, it->second.cls, 1 + Pick(40));
        std::vector<uint8_t> bytes;
        for (const Record &r : recs) bytes.insert(bytes.end(), r.begin(), r.end());
        SCB *scb = nullptr;
        ASSERT_EQ(FSCheckOut(fcb_, tid, 1, &scb), 0);
        const uint32_t at = Pick(FSTableSize(scb) + 1);
        VMFaultFailOnce(Pick(2) ? VM_OP_GALLOC : VM_OP_WRITE, Pick(6), 0);
        FSStatus status = FSIAddPtr(scb, at, static_cast<uint32_t>(recs.size()), 0, bytes.data());
        VMFaultReset();
        FSCheckIn(scb);
        if (status == 0) {
            auto &r = v_.cur[tid].recs;
            r.insert(r.begin() + at, recs.begin(), recs.end());
        }
        ASSERT_FALSE(FSFatalError(fcb_)) << "insert answered " << status;
        EXPECT_EQ(ReadTable(fcb_, tid), v_.cur[tid].recs) << "after an insert that answered " << status;
    }

    Versions AfterSave(bool save) const {
        Versions after = v_;
        if (save) {
            after.saved = v_.cur;
            after.mini.reset();
        } else {
            after.mini = v_.cur;
        }
        return after;
    }

    // A save or mini-save, sometimes with one call failing first: a failure
    // short of the fatal state changed nothing and the save is tried again.
    void Save(bool save) {
        const Versions before = v_, after = AfterSave(save);
        const bool fault = Pick(3) == 0;
        if (fault) {
            static const VMOp ops[] = {VM_OP_WRITE, VM_OP_GALLOC, VM_OP_ALLOC, VM_OP_FLUSH, VM_OP_SETSIZE};
            VMFaultFailOnce(ops[Pick(5)], Pick(8), 0);
        }
        FSStatus status = FSISaveCommit(fcb_, save, 0);
        VMFaultReset();
        if (status != 0 && FSFatalError(fcb_)) return Recover(before, after);
        if (status != 0) {
            ASSERT_TRUE(fault) << "save answered " << status;
            ASSERT_EQ(FSISaveCommit(fcb_, save, 0), 0);
        }
        v_ = after;
        EXPECT_TRUE(FileIsClean(path_));
    }

    void SaveAs() {
        const std::string old = path_;
        path_ = folder_ + "/soak" + std::to_string(++files_) + ".zf";
        VMFileSpec target{};
        ASSERT_EQ(VMMakeFileSpec(path_.c_str(), 0, &target), 0);
        ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
        ASSERT_EQ(path_, VMFileSpecPath(FSFileSpec(fcb_)));
        if (!old.empty()) std::remove(old.c_str());
        v_.saved = v_.cur;
        v_.mini.reset();
        EXPECT_TRUE(FileIsClean(path_));
        EXPECT_TRUE(FileHolds(fcb_, v_.cur));
    }

    // Opens the file in place on a version, with a memory budget picked at
    // random, and makes that version the current one; versions newer than it
// go.
    void Reopen(uint32_t selector) {
        static const uint32_t budgets[] = {0, 3000, 20000};
        ctx_.memBudget = budgets[Pick(3)];
        if (selector == FS_VERSION_MINI && !v_.mini) {
            ASSERT_EQ(Open(selector), FS_E_NO_MINI);
            selector = FS_VERSION_SAVED;
        }
        ASSERT_EQ(Open(selector), 0) << "selector " << selector;
        v_.cur = selector == FS_VERSION_MINI ? *v_.mini : *v_.saved;
        if (selector != FS_VERSION_MINI) v_.mini.reset(); // the current version is the saved one
        EXPECT_TRUE(FileHolds(fcb_, v_.cur));
    }

    FSStatus Open(uint32_t selector, uint32_t asCopy = 0, FCB **out = nullptr) {
        VMFileSpec spec{};
        VMMakeFileSpec(path_.c_str(), 0, &spec);
        return FSFileOpen(&spec, selector, asCopy, &ctx_, out != nullptr ? out : &fcb_, nullptr);
    }

    void CloseAndReopen(uint16_t keep) {
        FSFileClose(fcb_, keep);
        fcb_ = nullptr;
        if (keep != 1) v_.mini.reset();
        EXPECT_TRUE(FileIsClean(path_));
        Reopen(Pick(3));
    }

    // Whether a version on disk holds doc (nullopt: the version must not
    // exist). Looks at a copy, so the file is not changed.
    bool OnDisk(uint32_t selector, const std::optional<Doc> &doc) {
        FCB *copy = nullptr;
        FSStatus status = Open(selector, 1, &copy);
        bool same = doc ? status == 0 && FileHolds(copy, *doc)
                        : status == (selector == FS_VERSION_MINI ? FS_E_NO_MINI : FS_E_NO_SAVED);
        if (copy != nullptr) FSFileClose(copy, 0);
        return same;
    }

    // After a crash or a fatal failure: the file holds the versions of
    // before or of after the operation, each whole; the one found becomes
    // the model, and the file is opened again on one of its versions.
    void Recover(const Versions &before, const Versions &after) {
        if (fcb_ != nullptr) FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        VMFaultReset();
        const bool isAfter = OnDisk(FS_VERSION_SAVED, after.saved) && OnDisk(FS_VERSION_MINI, after.mini);
        const bool isBefore = OnDisk(FS_VERSION_SAVED, before.saved) && OnDisk(FS_VERSION_MINI, before.mini);
        ASSERT_TRUE(isAfter || isBefore) << "the file holds neither the versions of before nor those of after";
        v_ = isAfter ? after : before;
        FCB *probe = nullptr;
        FSStatus code = Open(FS_VERSION_CURRENT, 1, &probe);
        if (probe != nullptr) FSFileClose(probe, 0);
        if (code != 0) {
            EXPECT_EQ(code, FS_E_CRASHED + (v_.saved ? 1 : 0) + (v_.mini ? 2 : 0)) << "open of the current version";
        }
        // Bytes past fileSize of a close cut short are taken off by the open.
        Reopen(v_.mini && Pick(2) ? FS_VERSION_MINI : FS_VERSION_SAVED);
        EXPECT_TRUE(FileIsClean(path_));
    }

    // The machine stops at a random write of a save, a mini-save or a
    // close, or while changes are written back.
    void Crash() {
        const uint32_t kind = Pick(4);
        Versions before = v_, after = kind < 2 ? AfterSave(kind == 0) : v_;
        if (kind == 3) after.mini.reset();
        VMFaultCrashAfter(Pick(12), Pick(2));
        switch (kind) {
        case 0: case 1: FSISaveCommit(fcb_, kind == 0, 0); break;
        case 2: case 3: FSFileClose(fcb_, kind == 2 ? 1 : 0); fcb_ = nullptr; break;
        }
        Recover(before, after);
    }

    void Step() {
        const uint32_t what = Pick(100);
        if (what < 55) Change();
        else if (what < 59) FailingInsert();
        else if (what < 67) Save(true);
        else if (what < 74) Save(false);
        else if (what < 76) SaveAs();
        else if (what < 82) CloseAndReopen(1);
        else if (what < 85) CloseAndReopen(0);
        else if (what < 92) Crash();
        else if (what < 96) {
            GlobalReclaimDiscardable();
            EXPECT_TRUE(FileHolds(fcb_, v_.cur));
        } else {
            EXPECT_EQ(BKFlush(fcb_, Pick(2) ? BK_ALL : Pick(20000)), 0);
            EXPECT_TRUE(FileHolds(fcb_, v_.cur));
        }
    }

    static constexpr uint32_t BK_ALL = 0xFFFFFFFF;
    std::mt19937 rng_;
    std::string folder_, path_;
    FSContext ctx_{};
    FCB *fcb_ = nullptr;
    Versions v_;
    uint32_t files_ = 0;
};

TEST_F(Soak, RandomOperationsAgreeWithTheModel) {
    const uint64_t ops = EnvOr("ZUNFS_SOAK_OPS", 1500), seconds = EnvOr("ZUNFS_SOAK_SECONDS", 0);
    const uint64_t seed = EnvOr("ZUNFS_SOAK_SEED", 1);
    rng_.seed(static_cast<uint32_t>(seed));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(Start());
    uint64_t done = 0;
    for (; done < ops && !HasFailure(); ++done) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", step " + std::to_string(done));
        Step();
        if (seconds != 0 && (done & 63) == 0 &&
            std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds))
            break;
    }
    std::printf("soak: seed %llu, %llu steps\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(done));
}

} // namespace
