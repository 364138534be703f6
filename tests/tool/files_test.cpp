// create, import, export, dump, recover and compact on files the library
// makes: records go through the tool and come back the same, bad input and
// files that must not be touched are refused and left as they were.
#include <filesystem>

#include <nlohmann/json.hpp>
#include <zunfs/zunfs.hpp>

#include "common/clean_file.h"
#include "common/scratch_fcb.h"
#include "run_tool.h"

namespace {

namespace fs = std::filesystem;

gen::Bytes Bytes(const std::string &s) { return gen::Bytes(s.begin(), s.end()); }

gen::Bytes Concat(gen::Bytes a, const gen::Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ToolFiles : public ::testing::Test {
protected:
    void SetUp() override { VMFaultReset(); }
    void TearDown() override { VMFaultReset(); }

    std::string Path(const std::string &name) const { return dir_.File(name); }
    // Class 4: 16-byte records, 8 a chunk; class 5: 8-byte records ending with a RID.
    zunfs::Context Ctx() const { return zunfs::Context(dir_.path, {HostClass(16, 8), HostClass(8, 8, FS_CLASS_RIDS)}); }

    gen::Bytes Export(const std::string &path, uint16_t tid) {
        ToolRun run = RunTool({"export", path, std::to_string(tid)});
        EXPECT_EQ(run.status, 0) << run.err;
        return Bytes(run.out);
    }
    void Append(zunfs::File &file, uint16_t tid, const gen::Bytes &records) {
        zunfs::Session s = file.check_out(tid, zunfs::Mode::write);
        s.insert(RIX_LAST, std::as_bytes(std::span(records)));
    }
    void ExpectRefused(const std::vector<std::string> &args, const std::string &path, const std::string &why,
                       const gen::Bytes *input = nullptr) {
        gen::Bytes before = gen::ReadFile(path);
        ToolRun run = RunTool(args, input);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
        EXPECT_EQ(gen::ReadFile(path), before) << args[0] << " changed " << path;
    }

    gen::TempDir dir_;
};

TEST_F(ToolFiles, CreateImportExportDumpRoundTrip) {
    std::string doc = Path("doc.zf");
    ToolRun made = RunTool({"create", doc, "--class", "16:8", "--class", "8:8:rid"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(FileIsClean(doc));
    ExpectRefused({"create", doc, "--class", "4"}, doc, "--force");
    for (const char *bad : {"0", "16:0", "2:rid", "16:9999", "16:8:9", "x"})
        EXPECT_EQ(RunTool({"create", Path("bad.zf"), "--class", bad}).status, 1) << bad;
    EXPECT_FALSE(fs::exists(Path("bad.zf")));

    gen::Bytes first = gen::PatternRecords(30, 16, 1), more = gen::PatternRecords(20, 16, 2);
    ASSERT_EQ(RunTool({"import", doc, "0"}, &first).status, 0);
    ASSERT_EQ(RunTool({"import", doc, "0"}, &more).status, 0);
    EXPECT_EQ(Export(doc, 0), Concat(first, more));
    gen::Bytes ragged(17, 1);
    ExpectRefused({"import", doc, "0"}, doc, "nothing added", &ragged);
    EXPECT_TRUE(FileIsClean(doc));

    // Records with RIDs get new ones; their other bytes go in as given.
    gen::Bytes stamped = gen::PatternRecords(3, 8, 3);
    ASSERT_EQ(RunTool({"import", doc, "1"}, &stamped).status, 0);
    ASSERT_EQ(RunTool({"import", doc, "1"}, &stamped).status, 0);
    gen::Bytes back = Export(doc, 1);
    ASSERT_EQ(back.size(), 48u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(std::equal(back.begin() + i * 8, back.begin() + i * 8 + 4, stamped.begin() + (i % 3) * 8));
        EXPECT_EQ(gen::Get32(back, i * 8 + 4), i + 1) << "RID of record " << i;
    }

    ToolRun json = RunTool({"dump", doc, "1", "--from", "4", "--format", "json"});
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json j = nlohmann::json::parse(json.out);
    ASSERT_EQ(j["dump"].size(), 2u);
    EXPECT_EQ(j["dump"][0]["rix"], 4);
    EXPECT_EQ(j["dump"][1]["rid"], 6);
    ToolRun hex = RunTool({"dump", doc, "0", "--from", "48", "--count", "5"});
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_NE(hex.out.find("records 48 to 49"), std::string::npos) << hex.out;
    ToolRun raw = RunTool({"dump", doc, "0", "--from", "29", "--count", "2", "--format", "raw"});
    EXPECT_EQ(Bytes(raw.out), Concat(gen::Bytes(first.end() - 16, first.end()), gen::Bytes(more.begin(), more.begin() + 16)));
    EXPECT_EQ(RunTool({"dump", doc, "0", "--from", "51"}).status, 1);
    ToolRun noTable = RunTool({"export", doc, "7"});
    EXPECT_EQ(noTable.status, 1);
    EXPECT_NE(noTable.err.find(StatusText(FS_E_BAD_TID)), std::string::npos) << noTable.err;
    EXPECT_TRUE(FileIsClean(doc));
}

TEST_F(ToolFiles, RecoverTheVersionsOfACrashedFileAndTouchNothingElse) {
    std::string doc = Path("doc.zf");
    gen::Bytes saved = gen::PatternRecords(10, 16, 1), mini = gen::PatternRecords(5, 16, 2);
    {
        zunfs::Context ctx = Ctx();
        zunfs::File file = zunfs::File::create(ctx);
        uint16_t tid = file.make_table(4);
        Append(file, tid, saved);
        file.save_as(doc);
        Append(file, tid, mini);
        file.mini_save();
        Append(file, tid, gen::PatternRecords(40, 16, 3));
        VMFaultCrashAfter(3, 0); // the machine stops in the middle of the save
        file.save();
        file.close(true);
        VMFaultReset();
    }
    gen::Bytes crashed = gen::ReadFile(doc);

    ToolRun newest = RunTool({"recover", doc, Path("mini.zf")});
    ASSERT_EQ(newest.status, 0) << newest.err;
    EXPECT_NE(newest.out.find("mini-saved"), std::string::npos) << newest.out;
    EXPECT_EQ(Export(Path("mini.zf"), 0), Concat(saved, mini));
    ASSERT_EQ(RunTool({"recover", doc, Path("saved.zf"), "--version", "saved"}).status, 0);
    EXPECT_EQ(Export(Path("saved.zf"), 0), saved);
    EXPECT_TRUE(FileIsClean(Path("mini.zf")));
    EXPECT_TRUE(FileIsClean(Path("saved.zf")));

    ExpectRefused({"recover", doc, Path("saved.zf")}, Path("saved.zf"), "--force");
    EXPECT_EQ(RunTool({"recover", doc, Path("saved.zf"), "--force"}).status, 0);
    EXPECT_EQ(Export(Path("saved.zf"), 0), Concat(saved, mini));
    ExpectRefused({"recover", doc, doc}, doc, "another file");

    // What needs a sound, closed file says why it cannot go on.
    std::string crash = StatusText(FS_E_CRASHED_BOTH);
    ExpectRefused({"compact", doc}, doc, crash);
    ExpectRefused({"export", doc, "0"}, doc, crash);
    gen::Bytes one = gen::PatternRecords(1, 16, 4);
    ExpectRefused({"import", doc, "0"}, doc, crash, &one);
    EXPECT_EQ(gen::ReadFile(doc), crashed);
}

TEST_F(ToolFiles, CompactInPlaceAndToAnotherFile) {
    std::string doc = Path("doc.zf");
    gen::Bytes records = gen::PatternRecords(200, 16, 1);
    {
        zunfs::Context ctx = Ctx();
        zunfs::File file = zunfs::File::create(ctx);
        uint16_t tid = file.make_table(4);
        Append(file, tid, records);
        file.save_as(doc);
        file.check_out(tid, zunfs::Mode::write).erase(20, 150);
        file.save();
        file.close(true);
    }
    records.erase(records.begin() + 20 * 16, records.begin() + 170 * 16);
    fs::permissions(doc, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    gen::Bytes before = gen::ReadFile(doc);

    ToolRun copy = RunTool({"compact", doc, Path("small.zf")});
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_LT(fs::file_size(Path("small.zf")), before.size());
    EXPECT_EQ(Export(Path("small.zf"), 0), records);
    EXPECT_TRUE(FileIsClean(Path("small.zf")));
    EXPECT_EQ(gen::ReadFile(doc), before);
    ExpectRefused({"compact", doc, Path("small.zf")}, Path("small.zf"), "--force");
    // Save-as into a folder would make a file of another name there.
    auto files = [&] { return std::distance(fs::directory_iterator(dir_.path), fs::directory_iterator()); };
    auto inFolder = files();
    EXPECT_EQ(RunTool({"compact", doc, dir_.path, "--force"}).status, 1);
    EXPECT_EQ(files(), inFolder);

    ToolRun inPlace = RunTool({"compact", doc});
    ASSERT_EQ(inPlace.status, 0) << inPlace.err;
    EXPECT_NE(inPlace.out.find("in place"), std::string::npos);
    EXPECT_EQ(fs::file_size(doc), fs::file_size(Path("small.zf")));
    EXPECT_EQ(Export(doc, 0), records);
    EXPECT_TRUE(FileIsClean(doc));
    EXPECT_EQ(fs::status(doc).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A mini-saved version is not dropped unasked.
    {
        zunfs::Context ctx = Ctx();
        zunfs::File file = zunfs::File::open(doc, ctx);
        Append(file, 0, gen::PatternRecords(3, 16, 5));
        file.mini_save();
        file.close(true);
    }
    ExpectRefused({"compact", doc}, doc, "--drop-mini");
    gen::Bytes one = gen::PatternRecords(1, 16, 6);
    ExpectRefused({"import", doc, "0"}, doc, "--drop-mini", &one);
    EXPECT_EQ(RunTool({"compact", doc, "--drop-mini"}).status, 0);
    EXPECT_EQ(Export(doc, 0), records);

    // A damaged file is not compacted.
    fs::resize_file(doc, fs::file_size(doc) - 64);
    ExpectRefused({"compact", doc}, doc, "zunfs check");
    ExpectRefused({"compact", doc, Path("other.zf"), "--force"}, doc, "zunfs check");
    EXPECT_FALSE(fs::exists(Path("other.zf")));
}

TEST_F(ToolFiles, DemoLeavesSoundFilesAndWritesOverNone) {
    std::string tour = Path("tour");
    ToolRun run = RunTool({"demo", tour});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(FileIsClean(tour + "/doc.zf"));
    EXPECT_TRUE(FileIsClean(tour + "/recovered.zf"));
    ExpectRefused({"demo", tour}, tour + "/doc.zf", "already");
}

} // namespace
