// A save-as that fails, or that a crash cuts short, loses nothing: before
// the new file is complete the old file is untouched and the FCB goes on
// working on it; a crash at any write leaves the old file as it was or the
// new file complete.
#include <filesystem>

#include "blocks/cache.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"

namespace {

constexpr FSStatus kInjected = 1234;

bool Holds(const std::string &path, const std::vector<DocTable> &tables) {
    return std::filesystem::exists(path) && Differences(path, tables) == "";
}

// A named file with a saved version (the model `saved`), then changes that
// are not saved, part of them written back to the file, part in memory.
struct Baseline {
    std::string folder, old;
    std::unique_ptr<Doc> doc;
    std::vector<DocTable> saved;
    Bytes oldBytes;

    Baseline(const std::string &parent, const std::string &name, uint32_t seed,
             uint32_t more = 0) {
        folder = parent + "/" + std::to_string(seed) + "-" + name;
        std::filesystem::create_directory(folder);
        old = folder + "/" + name;
        doc = std::make_unique<Doc>(folder, 16 * 1024);
        doc->Fill(seed);
        if (more != 0) doc->Insert(0, RIX_LAST, more, seed);
        VMFileSpec spec = Spec(old);
        EXPECT_EQ(FSSaveAs(doc->fcb, &spec), 0);
        saved = doc->tables;
        doc->Churn(seed + 1, 30);
        EXPECT_EQ(BKFlush(doc->fcb, 20000), 0);
        oldBytes = gen::ReadFile(old);
    }
};

// After a save-as failed with status: nothing but the old file, untouched,
// and the FCB still on it, holding the same records.
void ExpectUntouched(Baseline &b, FSStatus status) {
    EXPECT_EQ(FilesIn(b.folder), std::vector<std::string>{"old.zf"});
    EXPECT_TRUE(gen::ReadFile(b.old) == b.oldBytes) << "the old file changed";
    EXPECT_EQ(FSError(b.doc->fcb), status);
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(b.doc->fcb)), b.old.c_str());
    b.doc->ExpectRecords();
}

struct FaultCase {
    const char *name;
    VMOp op;
    bool once;
};
void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class SaveAsFaults : public SaveAsTest, public ::testing::WithParamInterface<FaultCase> {};

// Fails the n-th call of an operation for n = 0, 1, ... until a save-as
// runs without reaching the fault. Each save-as either succeeds, or fails
// with the fault's status (before the copy), FS_E_NOMEM, or FS_E_FATAL
// (during the copy) and leaves everything as it was.
TEST_P(SaveAsFaults, FailureLeavesTheOldFileAndTheFcb) {
    const FaultCase c = GetParam();
    for (uint32_t n = 0;; ++n) {
        SCOPED_TRACE(n);
        Baseline b(folder_, "old.zf", 40 + n % 3);
        ASSERT_FALSE(HasFailure());
        const uint32_t before = VMFaultCount(c.op);
        if (c.once) VMFaultFailOnce(c.op, n, kInjected);
        else VMFaultFail(c.op, n, kInjected);
        VMFileSpec target = Spec(b.folder + "/new.zf");
        FSStatus status = FSSaveAs(b.doc->fcb, &target);
        const bool fired = VMFaultCount(c.op) > before + n;
        VMFaultReset();
        if (status != 0) {
            EXPECT_TRUE(fired);
            EXPECT_TRUE(status == kInjected || status == FS_E_NOMEM || status == FS_E_FATAL)
                << status;
            ExpectUntouched(b, status);
            ASSERT_EQ(FSSaveAs(b.doc->fcb, &target), 0);
        }
        ExpectFileHolds(b.folder + "/new.zf", b.doc->tables);
        b.doc->ExpectRecords();
        ASSERT_FALSE(HasFailure());
        if (!fired) break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, SaveAsFaults,
    ::testing::Values(FaultCase{"alloc", VM_OP_ALLOC, false},
                      FaultCase{"movable", VM_OP_GALLOC, false},
                      FaultCase{"movableOnce", VM_OP_GALLOC, true},
                      FaultCase{"read", VM_OP_READ, false}, FaultCase{"write", VM_OP_WRITE, false},
                      FaultCase{"writeOnce", VM_OP_WRITE, true},
                      FaultCase{"flush", VM_OP_FLUSH, false},
                      FaultCase{"size", VM_OP_SETSIZE, false},
                      FaultCase{"create", VM_OP_CREATE, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct CrashCase {
    const char *name;
    uint32_t mode;
    bool itself; // saving onto the file itself
};
void PrintTo(const CrashCase &c, std::ostream *os) { *os << c.name; }

class SaveAsCrash : public SaveAsTest, public ::testing::WithParamInterface<CrashCase> {};

// Crashes after k writes, for every write of a save-as (the close of the
// old file included), with and without a reordering write cache.
TEST_P(SaveAsCrash, OldFileOrCompleteNewFile) {
    const CrashCase c = GetParam();
    uint32_t writes;
    {
        Baseline b(folder_, "old.zf", 50, 3000);
        VMFileSpec target = Spec(c.itself ? b.old : b.folder + "/new.zf");
        const uint32_t before = VMFaultCount(VM_OP_WRITE);
        ASSERT_EQ(FSSaveAs(b.doc->fcb, &target), 0);
        writes = VMFaultCount(VM_OP_WRITE) - before;
    }
    ASSERT_GT(writes, 8u);
    for (uint32_t k = 0; k <= writes; ++k) {
        SCOPED_TRACE(k);
        Baseline b(folder_, "old.zf", 50, 3000);
        ASSERT_FALSE(HasFailure());
        const std::string fresh = b.folder + "/new.zf";
        VMFileSpec target = Spec(c.itself ? b.old : fresh);
        VMFaultCrashAfter(k, c.mode);
        FSSaveAs(b.doc->fcb, &target);
        EXPECT_TRUE(VMFaultCrashed());
        const std::vector<DocTable> current = b.doc->tables;
        b.doc->Close(0); // nothing reaches the disk any more
        VMFaultReset();

        if (c.itself) {
            EXPECT_TRUE(gen::ReadFile(b.old) == b.oldBytes || Holds(b.old, current));
        } else if (std::filesystem::exists(fresh) && gen::ReadFile(fresh).size() >= HEADER_SIZE &&
                   gen::Get16(gen::ReadFile(fresh), 6) == FS_MAGIC) {
            EXPECT_EQ(Differences(fresh, current), "");
        } else {
            EXPECT_TRUE(gen::ReadFile(b.old) == b.oldBytes);
        }
        ASSERT_FALSE(HasFailure());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SaveAsCrash,
                         ::testing::Values(CrashCase{"inOrder", 0, false},
                                           CrashCase{"reordered", 1, false},
                                           CrashCase{"itselfInOrder", 0, true},
                                           CrashCase{"itselfReordered", 1, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// References in the old file that cannot be right (an image past the end of
// the file, an index that names itself) end the save-as; the FCB keeps
// working on the tables it can read.
TEST_F(SaveAsTest, DamagedOldImagesEndTheCopy) {
    for (bool cycle : {false, true}) {
        SCOPED_TRACE(cycle);
        Baseline b(folder_, "old.zf", cycle ? 71 : 72);
        Doc &doc = *b.doc;
        ASSERT_EQ(BKFlush(doc.fcb, BK_QUOTA_ALL), 0);
        GlobalReclaimDiscardable();
        TableRecord *rec;
        uint16_t master;
        ASSERT_EQ(TBFindTable(doc.fcb, doc.tables[0].tid, &rec, &master), 0);
        ChunkRef index = rec->top;
        ASSERT_EQ(TBUnlockChunk(doc.fcb, master, 0), 0);
        ASSERT_EQ(index.flags & REF_RESIDENT, 0);
        ASSERT_EQ(index.cls, CLASS_INDEX);
        ChunkRef bad = cycle ? index : ChunkRef{0, 5, 300, doc.fcb->h.fileSize - 64, THUNK_NONE};
        bad.flags = 0;
        ASSERT_EQ(VMWrite(doc.fcb->file, index.filePos, sizeof bad, &bad), 0);
        b.oldBytes = gen::ReadFile(b.old);

        VMFileSpec target = Spec(b.folder + "/new.zf");
        EXPECT_EQ(FSSaveAs(doc.fcb, &target), FS_E_FATAL);
        EXPECT_EQ(FilesIn(b.folder), std::vector<std::string>{"old.zf"});
        EXPECT_TRUE(gen::ReadFile(b.old) == b.oldBytes);
        EXPECT_TRUE(doc.Read(1) == doc.tables[1].records);
        doc.tables.clear(); // the damaged table is not read again
    }
}

} // namespace
