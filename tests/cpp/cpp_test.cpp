// The C++ interface: record walks across chunk boundaries, ownership of
// files and sessions, and failures as exceptions.
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#include <zunfs/zunfs.hpp>

#include "common/scratch_fcb.h"

namespace {

class CppApi : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeScratchFolder();
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override { RemoveScratchFolder(folder_); }

    size_t FilesInFolder() const {
        auto it = std::filesystem::directory_iterator(folder_);
        return size_t(std::distance(begin(it), end(it)));
    }

    // Class 4: 8-byte records, at most 5 a chunk; class 5: the same with RIDs.
    zunfs::Context Ctx() const { return zunfs::Context(folder_, {HostClass(8, 5), HostClass(8, 5, FS_CLASS_RIDS)}); }

    std::string folder_;
};

TEST_F(CppApi, ChunksVisitEveryRecordOnceFromAnyStart) {
    zunfs::Context ctx = Ctx();
    zunfs::File file = zunfs::File::create(ctx);
    zunfs::Session s = file.check_out(file.make_table(4), zunfs::Mode::write);
    EXPECT_EQ(std::distance(s.chunks().begin(), s.chunks().end()), 0);

    s.add(RIX_LAST, 23);
    uint64_t n = 0;
    for (const zunfs::Chunk &chunk : s.chunks()) {
        EXPECT_LE(chunk.count(), 5u);
        EXPECT_EQ(chunk.first(), n);
        s.dirty();
        for (std::span<std::byte> record : chunk) {
            ASSERT_EQ(record.size(), 8u);
            std::memcpy(record.data(), &n, 8);
            ++n;
        }
    }
    EXPECT_EQ(n, 23u);
    EXPECT_EQ(s.get()->flags & FS_SCB_LOCKED, 0) << "a finished walk leaves the session unlocked";

    std::vector<uint64_t> back(23);
    s.read(0, std::as_writable_bytes(std::span(back)));
    for (uint64_t i = 0; i < 23; ++i) EXPECT_EQ(back[i], i);

    // From the middle of a chunk: the first chunk is cut at the start.
    std::vector<uint64_t> seen;
    for (const zunfs::Chunk &chunk : s.chunks(7))
        for (std::span<std::byte> record : chunk) seen.push_back(*reinterpret_cast<uint64_t *>(record.data()));
    ASSERT_EQ(seen.size(), 16u);
    EXPECT_EQ(seen.front(), 7u);
    EXPECT_EQ(seen.back(), 22u);
    EXPECT_EQ(std::distance(s.chunks(23).begin(), s.chunks(23).end()), 0);
}

TEST_F(CppApi, FailuresThrowTheStatusAndChangeNothing) {
    zunfs::Context ctx = Ctx();
    zunfs::File file = zunfs::File::create(ctx);
    uint16_t tid = file.make_table(4);
    try {
        file.check_out(tid + 1);
        FAIL() << "no exception";
    } catch (const zunfs::Error &e) {
        EXPECT_EQ(e.status(), FS_E_BAD_TID);
        EXPECT_EQ(std::string(e.what()), zunfs::status_text(FS_E_BAD_TID));
    }
    zunfs::Session s = file.check_out(tid, zunfs::Mode::write);
    std::byte partial[12] = {};
    EXPECT_THROW(s.insert(0, partial), zunfs::Error); // not a whole number of records
    EXPECT_EQ(s.size(), 0u);
    zunfs::Session reader = file.check_out(tid);
    EXPECT_THROW(reader.add(RIX_LAST, 1), zunfs::Error);
    EXPECT_THROW(reader.lock(0), zunfs::Error);
    EXPECT_EQ(zunfs::status_text(0x7777), "status 30583");
}

TEST_F(CppApi, SessionsCheckInAndFilesCloseWhenTheyGo) {
    zunfs::Context ctx = Ctx();
    {
        zunfs::File file = zunfs::File::create(ctx);
        ASSERT_EQ(FilesInFolder(), 1u);
        file.make_table(4);
        uint16_t tid = file.make_table(5);
        {
            zunfs::Session s = file.check_out(tid, zunfs::Mode::write);
            zunfs::Session moved = std::move(s);
            EXPECT_EQ(s.get(), nullptr);
            s = file.check_out(tid); // assigning over a session checks the old one in first
            EXPECT_THROW(file.destroy_table(tid), zunfs::Error);
            moved = std::move(s);
            EXPECT_THROW(file.destroy_table(tid), zunfs::Error);
        }
        file.destroy_table(tid); // no session left open on it

        zunfs::File other = std::move(file);
        EXPECT_EQ(file.get(), nullptr);
        // other goes without being closed: a scratch file goes with it.
    }
    EXPECT_EQ(FilesInFolder(), 0u);

    zunfs::File kept = zunfs::File::create(ctx);
    std::string path = kept.path();
    kept.close(true);
    EXPECT_TRUE(std::filesystem::exists(path));
    kept.close(true); // closing twice does nothing
}

TEST_F(CppApi, RecordIdsOfStampedRecords) {
    zunfs::Context ctx = Ctx();
    zunfs::File file = zunfs::File::create(ctx);
    zunfs::Session s = file.check_out(file.make_table(5), zunfs::Mode::write);
    s.add(RIX_LAST, 12);
    EXPECT_EQ(s.rid(0), 1u);
    EXPECT_EQ(s.rix_of(12), 11u);
    EXPECT_THROW(s.rix_of(99), zunfs::Error);
    EXPECT_THROW(s.rid(12), zunfs::Error);
}

TEST_F(CppApi, SaveAsReportsProgressAndGoesOnInTheNewFile) {
    zunfs::Context ctx = Ctx();
    std::string first = folder_ + "/first.zf", target = folder_ + "/doc.zf";
    {
        zunfs::File file = zunfs::File::create(ctx);
        std::vector<uint64_t> records(4000, 0x0123456789ABCDEF);
        file.check_out(file.make_table(4), zunfs::Mode::write).insert(0, std::as_bytes(std::span(records)));
        file.save_as(first);
        file.close(true);
    }
    // Reopened, nothing is in memory: every image is copied from the file.
    zunfs::File file = zunfs::File::open(first, ctx);
    std::vector<FSProgress> seen;
    file.save_as(target, [&](const FSProgress &p) {
        seen.push_back(p);
        throw std::runtime_error("a host's failure stays on its side of the library");
    });
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().code, 0u);
    EXPECT_EQ(seen.back().code, 2u);
    uint64_t written = 0;
    for (size_t i = 1; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i].code, 1u);
        written += seen[i].bytes;
    }
    EXPECT_GE(written, 4000u * 8);
    EXPECT_EQ(file.path(), target);
    EXPECT_TRUE(file.has_saved());
    EXPECT_EQ(file.compact_size(), std::filesystem::file_size(target));
}

} // namespace
