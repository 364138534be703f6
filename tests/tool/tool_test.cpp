// The zunfs tool run as a process. create, import, export, dump, recover and
// compact on files the library makes: records go through the tool and come
// back the same, bad input and files that must not be touched are refused
// and left as they were. check, info and tables on files laid out byte by
// byte: damage is named, and nothing the tool reads is written.
#include <filesystem>

#include <nlohmann/json.hpp>
#include <zunfs/zunfs.hpp>

#include "common/clean_file.h"
#include "common/fcb_fixture.h"
#include "check/check_helpers.h"
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
    void TearDown() override { VMFaultReset(); }
    std::string Path(const std::string &name) const { return dir_.File(name); }
    gen::Bytes Export(const std::string &path, uint16_t tid) {
        ToolRun run = RunTool({"export", path, std::to_string(tid)});
        EXPECT_EQ(run.status, 0) << run.err;
        return Bytes(run.out);
    }
    void Append(zunfs::File &file, uint16_t tid, const gen::Bytes &records) {
        file.check_out(tid, zunfs::Mode::write).insert(RIX_LAST, std::as_bytes(std::span(records)));
    }
    void ExpectRefused(const std::vector<std::string> &args, const std::string &path, const std::string &why,
                       const gen::Bytes *input = nullptr) {
        gen::Bytes before = gen::ReadFile(path);
        EXPECT_TRUE(Ran(RunTool(args, input), 1, why)) << args[0];
        EXPECT_EQ(gen::ReadFile(path), before) << args[0] << " changed " << path;
    }

    std::string Write(const gen::Bytes &bytes) {
        gen::WriteFile(Path("doc.zf"), bytes);
        return Path("doc.zf");
    }
    // A file of TwoVersions left open, with or without its mini-saved version.
    std::string Crashed(bool mini) {
        gen::NativeSpec s = TwoVersions();
        s.stateFlags = 0;
        if (!mini) s.mini.reset();
        return Write((f_ = gen::BuildNative(s)).bytes);
    }

    gen::TempDir dir_;
    gen::NativeFile f_ = gen::BuildNative(TwoVersions());
    // Class 4: 16-byte records, 8 a chunk; class 5: 8-byte records ending with a RID.
    zunfs::Context ctx_ = zunfs::Context(dir_.path, {HostClass(16, 8), HostClass(8, 8, FS_CLASS_RIDS)});
};

TEST_F(ToolFiles, CreateImportExportDumpRoundTrip) {
    std::string doc = Path("doc.zf");
    ASSERT_TRUE(Ran(RunTool({"create", doc, "--class", "16:8", "--class", "8:8:rid"}), 0));
    ExpectRefused({"create", doc, "--class", "4"}, doc, "--force");
    for (const char *bad : {"0", "16:0", "2:rid", "16:9999", "16:8:9", "x"})
        EXPECT_EQ(RunTool({"create", Path("bad.zf"), "--class", bad}).status, 1) << bad;
    EXPECT_FALSE(fs::exists(Path("bad.zf")));

    gen::Bytes first = gen::PatternRecords(30, 16, 1), more = gen::PatternRecords(20, 16, 2), ragged(17, 1);
    ASSERT_EQ(RunTool({"import", doc, "0"}, &first).status, 0);
    ASSERT_EQ(RunTool({"import", doc, "0"}, &more).status, 0);
    EXPECT_EQ(Export(doc, 0), Concat(first, more));
    ExpectRefused({"import", doc, "0"}, doc, "nothing added", &ragged);
    // Records with RIDs get new ones; their other bytes go in as given.
    gen::Bytes stamped = gen::PatternRecords(3, 8, 3);
    ASSERT_EQ(RunTool({"import", doc, "1"}, &stamped).status, 0);
    ASSERT_EQ(RunTool({"import", doc, "1"}, &stamped).status, 0);
    gen::Bytes want = Concat(stamped, stamped);
    for (uint32_t i = 0; i < 6; ++i) gen::Put32(want, i * 8 + 4, i + 1);
    EXPECT_EQ(Export(doc, 1), want);
    nlohmann::json j = nlohmann::json::parse(RunTool({"dump", doc, "1", "--from", "4", "--format", "json"}).out);
    ASSERT_EQ(j["dump"].size(), 2u);
    EXPECT_EQ(j["dump"][0]["rix"], 4);
    EXPECT_EQ(j["dump"][1]["rid"], 6);
    EXPECT_TRUE(Ran(RunTool({"dump", doc, "0", "--from", "48", "--count", "5"}), 0, "records 48 to 49"));
    ToolRun raw = RunTool({"dump", doc, "0", "--from", "29", "--count", "2", "--format", "raw"});
    EXPECT_EQ(Bytes(raw.out), Concat(gen::Bytes(first.end() - 16, first.end()), gen::Bytes(more.begin(), more.begin() + 16)));
    EXPECT_EQ(RunTool({"dump", doc, "0", "--from", "51"}).status, 1);
    EXPECT_TRUE(Ran(RunTool({"export", doc, "7"}), 1, StatusText(FS_E_BAD_TID)));
    EXPECT_TRUE(FileIsClean(doc));
}

TEST_F(ToolFiles, RecoverTheVersionsOfACrashedFileAndTouchNothingElse) {
    std::string doc = Path("doc.zf");
    gen::Bytes saved = gen::PatternRecords(10, 16, 1), mini = gen::PatternRecords(5, 16, 2);
    {
        zunfs::File file = zunfs::File::create(ctx_);
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
    ASSERT_TRUE(Ran(RunTool({"recover", doc, Path("mini.zf")}), 0, "mini-saved"));
    EXPECT_EQ(Export(Path("mini.zf"), 0), Concat(saved, mini));
    ASSERT_TRUE(Ran(RunTool({"recover", doc, Path("saved.zf"), "--version", "saved"}), 0));
    EXPECT_EQ(Export(Path("saved.zf"), 0), saved);
    EXPECT_TRUE(FileIsClean(Path("mini.zf")) && FileIsClean(Path("saved.zf")));
    ExpectRefused({"recover", doc, Path("saved.zf")}, Path("saved.zf"), "--force");
    EXPECT_EQ(RunTool({"recover", doc, Path("saved.zf"), "--force"}).status, 0);
    EXPECT_EQ(Export(Path("saved.zf"), 0), Concat(saved, mini));
    ExpectRefused({"recover", doc, doc}, doc, "another file");
    // What needs a sound, closed file says why it cannot go on.
    gen::Bytes one = gen::PatternRecords(1, 16, 4);
    for (std::vector<std::string> args : {std::vector<std::string>{"compact", doc}, {"export", doc, "0"}, {"import", doc, "0"}})
        ExpectRefused(args, doc, StatusText(FS_E_CRASHED_BOTH), &one);
}

TEST_F(ToolFiles, CompactInPlaceAndToAnotherFile) {
    std::string doc = Path("doc.zf"), small = Path("small.zf");
    gen::Bytes records = gen::PatternRecords(200, 16, 1);
    {
        zunfs::File file = zunfs::File::create(ctx_);
        uint16_t tid = file.make_table(4);
        Append(file, tid, records);
        file.save_as(doc);
        file.check_out(tid, zunfs::Mode::write).erase(20, 150);
        file.save();
        file.close(true);
    }
    records.erase(records.begin() + 20 * 16, records.begin() + 170 * 16);
    const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(doc, perms);
    gen::Bytes before = gen::ReadFile(doc);
    ASSERT_TRUE(Ran(RunTool({"compact", doc, small}), 0));
    EXPECT_LT(fs::file_size(small), before.size());
    EXPECT_EQ(Export(small, 0), records);
    EXPECT_EQ(gen::ReadFile(doc), before);
    ExpectRefused({"compact", doc, small}, small, "--force");
    // Save-as into a folder would make a file of another name there.
    const auto entries = FolderEntries(dir_.path);
    EXPECT_EQ(RunTool({"compact", doc, dir_.path, "--force"}).status, 1);
    EXPECT_EQ(FolderEntries(dir_.path), entries);

    ASSERT_TRUE(Ran(RunTool({"compact", doc}), 0, "in place"));
    EXPECT_EQ(fs::file_size(doc), fs::file_size(small));
    EXPECT_EQ(Export(doc, 0), records);
    EXPECT_TRUE(FileIsClean(doc));
    EXPECT_EQ(fs::status(doc).permissions() & fs::perms::all, perms);
    // A mini-saved version is not dropped unasked.
    {
        zunfs::File file = zunfs::File::open(doc, ctx_);
        Append(file, 0, gen::PatternRecords(3, 16, 5));
        file.mini_save();
        file.close(true);
    }
    gen::Bytes one = gen::PatternRecords(1, 16, 6);
    ExpectRefused({"compact", doc}, doc, "--drop-mini");
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
    ASSERT_TRUE(Ran(RunTool({"demo", tour}), 0));
    EXPECT_TRUE(FileIsClean(tour + "/doc.zf"));
    EXPECT_TRUE(FileIsClean(tour + "/recovered.zf"));
    ExpectRefused({"demo", tour}, tour + "/doc.zf", "already");
}

constexpr uint16_t SAVED = 0x4, MINI = 0x2;

TEST_F(ToolFiles, CheckPassesSoundFilesAndNamesTheDamageInOthers) {
    EXPECT_TRUE(Ran(RunTool({"check", Write(f_.bytes)}), 0, "clean"));
    // Table 0 of the saved version pointed at table 2's image.
    gen::Put32(f_.bytes, f_.Image(gen::ImageInfo::Master, -1).pos + 4, f_.Image(gen::ImageInfo::TableChunk, 2).pos);
    std::string path = Write(f_.bytes);
    EXPECT_TRUE(Ran(RunTool({"check", path}), 1, "overlap"));
    EXPECT_EQ(RunTool({"check", "--quiet", path}).out, "");
    EXPECT_EQ(gen::ReadFile(path), f_.bytes) << "check wrote to the file";
}

TEST_F(ToolFiles, InfoShowsCrashStateAndWhatCanBeRecovered) {
    std::string path = Crashed(true);
    EXPECT_TRUE(Ran(RunTool({"info", path}), 0, "left open"));
    EXPECT_TRUE(Ran(RunTool({"info", path}), 0, StatusText(FS_E_CRASHED_BOTH)));
    nlohmann::json j = nlohmann::json::parse(RunTool({"info", "--json", path}).out);
    EXPECT_EQ(j["leftOpen"], true);
    EXPECT_EQ(j["recoverable"], SAVED | MINI);
    EXPECT_EQ(j["openCurrent"]["status"], FS_E_CRASHED_BOTH);
    EXPECT_EQ(j["classes"][5]["recordSize"], 12);
    EXPECT_EQ(j["freeList"]["freeBytes"], 9 * 64 + 128);
    EXPECT_EQ(gen::ReadFile(path), f_.bytes);
    EXPECT_TRUE(Ran(RunTool({"info", Write(gen::Bytes(300, 0x5A))}), 0, "not a storage file"));
}

TEST_F(ToolFiles, TablesOfEachVersionAndTheReasonWhenOneCannotBeRead) {
    std::string path = Write(f_.bytes);
    // TID, class, record size, records, chunks, indexed, bytes.
    EXPECT_TRUE(Ran(RunTool({"tables", path}), 0, "    1      5      12          80        3      yes         990"));
    EXPECT_TRUE(Ran(RunTool({"tables", path}), 0, "    2      4       8          50"));
    // The mini-saved version holds another table under TID 2.
    EXPECT_TRUE(Ran(RunTool({"tables", path, "--version", "mini"}), 0, "    2      4       8          20"));
    path = Crashed(false);
    EXPECT_TRUE(Ran(RunTool({"tables", path}), 1, StatusText(FS_E_CRASHED_SAVED)));
    EXPECT_TRUE(Ran(RunTool({"tables", path, "--version", "mini"}), 1, StatusText(FS_E_NO_MINI)));
    EXPECT_EQ(RunTool({"tables", path, "--version", "saved"}).status, 0);
}

TEST(ToolCommandLine, HelpOfEveryCommandAndUsageErrors) {
    const ToolRun help = RunTool({"--help"});
    for (const char *c : {"info", "tables", "dump", "check", "compact", "recover", "create", "import", "export", "demo"})
        EXPECT_TRUE(Ran(help, 0, c));
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"check"}, {"tables", "x", "--version", "newest"}, {"frobnicate"}})
        EXPECT_EQ(RunTool(args).status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(Ran(RunTool({"check", "/nonexistent/doc.zf"}), 1, StatusText(VM_E_NOTFOUND)));
}

} // namespace
