// The C++ interface: record walks across chunk boundaries, ownership of
// files and sessions, failures as exceptions, and a host's exception kept
// out of the library.
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#include <zunfs/zunfs.hpp>

#include "common/fcb_fixture.h"
#include "common/scratch_fcb.h"

namespace {

class CppApi : public ::testing::Test {
protected:
    void TearDown() override { RemoveScratchFolder(folder_); }
    std::string folder_ = MakeScratchFolder();
    // Class 4: 8-byte records, at most 5 a chunk; class 5: the same with RIDs.
    zunfs::Context ctx_ = zunfs::Context(folder_, {HostClass(8, 5), HostClass(8, 5, FS_CLASS_RIDS)});
};

TEST_F(CppApi, ChunksVisitEveryRecordOnceFromAnyStart) {
    zunfs::File file = zunfs::File::create(ctx_);
    zunfs::Session s = file.check_out(file.make_table(5), zunfs::Mode::write);
    s.add(RIX_LAST, 23);
    EXPECT_EQ(s.rid(0), 1u);
    EXPECT_EQ(s.rix_of(12), 11u);
    EXPECT_THROW(s.rix_of(99), zunfs::Error);
    uint64_t n = 0;
    for (const zunfs::Chunk &chunk : s.chunks()) {
        EXPECT_LE(chunk.count(), 5u);
        EXPECT_EQ(chunk.first(), n);
        s.dirty();
        for (std::span<std::byte> record : chunk) std::memcpy(record.data(), &n, 8), ++n;
    }
    EXPECT_EQ(s.get()->flags & FS_SCB_LOCKED, 0) << "a finished walk leaves the session unlocked";
    std::vector<uint64_t> back(23), seen;
    s.read(0, std::as_writable_bytes(std::span(back)));
    for (uint64_t i = 0; i < 23; ++i) EXPECT_EQ(back[i], i);
    for (const zunfs::Chunk &chunk : s.chunks(7)) // the first chunk is cut at the start
        for (std::span<std::byte> record : chunk) seen.push_back(*reinterpret_cast<uint64_t *>(record.data()));
    EXPECT_EQ(seen, std::vector<uint64_t>(back.begin() + 7, back.end()));
    EXPECT_EQ(std::distance(s.chunks(23).begin(), s.chunks(23).end()), 0);
}

TEST_F(CppApi, FailuresThrowTheStatusAndChangeNothing) {
    zunfs::File file = zunfs::File::create(ctx_);
    uint16_t tid = file.make_table(4);
    try {
        file.check_out(tid + 1), ADD_FAILURE() << "no exception";
    } catch (const zunfs::Error &e) {
        EXPECT_EQ(e.status(), FS_E_BAD_TID);
        EXPECT_EQ(std::string(e.what()), zunfs::status_text(FS_E_BAD_TID));
    }
    zunfs::Session s = file.check_out(tid, zunfs::Mode::write), reader = file.check_out(tid);
    std::byte partial[12] = {};
    EXPECT_THROW(s.insert(0, partial), zunfs::Error); // not a whole number of records
    EXPECT_EQ(s.size(), 0u);
    EXPECT_THROW(reader.add(RIX_LAST, 1), zunfs::Error);
}

TEST_F(CppApi, SessionsCheckInAndFilesCloseWhenTheyGo) {
    {
        zunfs::File file = zunfs::File::create(ctx_);
        file.make_table(4);
        uint16_t tid = file.make_table(5);
        {
            zunfs::Session s = file.check_out(tid, zunfs::Mode::write), moved = std::move(s);
            EXPECT_EQ(s.get(), nullptr);
            s = file.check_out(tid); // assigning over a session checks the old one in first
            moved = std::move(s);
            EXPECT_THROW(file.destroy_table(tid), zunfs::Error);
        }
        file.destroy_table(tid); // no session left open on it
        zunfs::File other = std::move(file);
        EXPECT_EQ(FolderEntries(folder_).size(), 1u); // other goes unclosed: its scratch file goes with it
    }
    EXPECT_EQ(FolderEntries(folder_).size(), 0u);
    zunfs::File kept = zunfs::File::create(ctx_);
    std::string path = kept.path();
    kept.close(true);
    kept.close(true); // closing twice does nothing
    EXPECT_TRUE(std::filesystem::exists(path));
}

// Reopened, nothing is in memory: every image is copied from the file, with
// progress reported to a callback that throws on every call.
TEST_F(CppApi, SaveAsReportsProgressAndGoesOnInTheNewFile) {
    std::string first = folder_ + "/first.zf", target = folder_ + "/doc.zf";
    {
        zunfs::File file = zunfs::File::create(ctx_);
        std::vector<uint64_t> records(4000, 0x0123456789ABCDEF);
        file.check_out(file.make_table(4), zunfs::Mode::write).insert(0, std::as_bytes(std::span(records)));
        file.save_as(first);
        file.close(true);
    }
    zunfs::File file = zunfs::File::open(first, ctx_);
    std::vector<FSProgress> seen;
    file.save_as(target, [&](const FSProgress &p) {
        seen.push_back(p);
        throw std::runtime_error("a host's failure stays on its side of the library");
    });
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().code, 0u);
    EXPECT_EQ(seen.back().code, 2u);
    uint64_t written = 0;
    for (size_t i = 1; i + 1 < seen.size(); ++i) written += seen[i].code == 1 ? seen[i].bytes : 0;
    EXPECT_GE(written, 4000u * 8);
    EXPECT_EQ(file.path(), target);
    EXPECT_TRUE(file.has_saved());
    EXPECT_EQ(file.compact_size(), std::filesystem::file_size(target));
}

} // namespace
