// Several threads at once, each working on files of its own (one thread per
// file at a time): changes under a memory budget, saves, mini-saves,
// save-as, closes and reopens of each version, the checker; and all of them
// opening scratch copies of one shared file and reading it, with the host
// classes of one shared context.
#include <filesystem>
#include <thread>

#include "common/clean_file.h"
#include "common/doc_model.h"
#include "common/scratch_fcb.h"

namespace {

constexpr int kThreads = 4;

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeMemoryScratchFolder();
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override { RemoveScratchFolder(folder_); }
    std::string folder_;
};

// One thread's document: made, changed and saved in steps, saved as a host
// file, then every version reopened and compared.
void OwnDocument(const std::string &folder, uint32_t seed) {
    const FSContext ctx = DocContext(folder, seed % 2 ? 6000 : 0);
    std::mt19937 rng(seed);
    Doc saved, mini;
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx, &fcb), 0);
    for (uint8_t cls : {4, 5, 6}) DocMakeTable(fcb, saved, cls);
    for (int round = 0; round < 8 && !::testing::Test::HasFatalFailure(); ++round) {
        DocChange(fcb, saved, rng, 25);
        ASSERT_EQ(FSISaveCommit(fcb, round % 3 != 2, 0), 0);
    }
    ASSERT_EQ(FSISaveCommit(fcb, 1, 0), 0);
    const std::string path = folder + "/own.zf";
    VMFileSpec spec{};
    ASSERT_EQ(VMMakeFileSpec(path.c_str(), 0, &spec), 0);
    ASSERT_EQ(FSSaveAs(fcb, &spec), 0);
    mini = saved;
    DocChange(fcb, mini, rng, 30);
    ASSERT_EQ(FSISaveCommit(fcb, 0, 0), 0);
    FSFileClose(fcb, 1);
    EXPECT_TRUE(FileIsClean(path));
    EXPECT_TRUE(VersionHolds(path, FS_VERSION_MINI, ctx, mini));
    EXPECT_TRUE(VersionHolds(path, FS_VERSION_SAVED, ctx, saved));
    EXPECT_TRUE(FileIsClean(path));
}

TEST_F(Threads, EachThreadWithItsOwnFiles) {
    std::vector<std::string> folders;
    for (int i = 0; i < kThreads; ++i) {
        folders.push_back(folder_ + "/t" + std::to_string(i));
        ASSERT_TRUE(std::filesystem::create_directory(folders.back()));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(OwnDocument, folders[i], 10u + i);
    for (std::thread &t : threads) t.join();
}

TEST_F(Threads, CopiesOfOneSharedFile) {
    const FSContext ctx = DocContext(folder_);
    Doc doc;
    std::mt19937 rng(5);
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx, &fcb), 0);
    for (uint8_t cls : {4, 5, 6}) DocMakeTable(fcb, doc, cls);
    DocChange(fcb, doc, rng, 80);
    const std::string path = folder_ + "/shared.zf";
    VMFileSpec spec{};
    ASSERT_EQ(VMMakeFileSpec(path.c_str(), 0, &spec), 0);
    ASSERT_EQ(FSSaveAs(fcb, &spec), 0);
    FSFileClose(fcb, 1);

    auto reader = [&](uint32_t seed) {
        std::mt19937 own(seed);
        for (int round = 0; round < 6; ++round) {
            FCB *copy = nullptr;
            ASSERT_EQ(FSFileOpen(&spec, FS_VERSION_CURRENT, 1, &ctx, &copy, nullptr), 0);
            EXPECT_TRUE(FileHolds(copy, doc));
            Doc changed = doc;
            DocChange(copy, changed, own, 10);
            EXPECT_TRUE(FileHolds(copy, changed));
            FSFileClose(copy, 0);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(reader, 20u + i);
    for (std::thread &t : threads) t.join();
    EXPECT_TRUE(VersionHolds(path, FS_VERSION_CURRENT, ctx, doc));
}

} // namespace
