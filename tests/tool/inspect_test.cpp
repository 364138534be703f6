// check, info and tables on files laid out byte by byte: sound files pass,
// files damaged on purpose fail with the finding that names the damage, and
// nothing the tool reads is written.
#include <nlohmann/json.hpp>

#include "check/check_helpers.h"
#include "run_tool.h"

namespace {

using gen::ImageInfo;

constexpr uint16_t SAVED = 0x4, MINI = 0x2;

class ToolInspect : public ::testing::Test {
protected:
    gen::TempDir dir;
    gen::NativeFile f = gen::BuildNative(TwoVersions());

    std::string Write(const gen::Bytes &bytes) {
        std::string path = dir.File("doc.zf");
        gen::WriteFile(path, bytes);
        return path;
    }
    const ImageInfo &Image(ImageInfo::Kind kind, int table, uint16_t version) {
        for (const ImageInfo &im : f.images)
            if (im.kind == kind && im.table == table && im.chunk == 0 && (im.versions & version)) return im;
        throw std::logic_error("no such image");
    }
    uint32_t FreeEntryAt(uint32_t pos) {
        for (size_t i = 0; i < f.freeList.size(); ++i)
            if (f.freeList[i].pos == pos) return f.freeListOffset + uint32_t(i) * 10;
        throw std::logic_error("no such run");
    }
};

TEST_F(ToolInspect, CheckPassesSoundFilesAndNamesTheDamageInOthers) {
    ToolRun clean = RunTool({"check", Write(f.bytes)});
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    EXPECT_NE(clean.out.find("clean"), std::string::npos) << clean.out;

    struct Damage {
        const char *finding;
        std::function<void(gen::Bytes &)> apply;
    };
    const std::vector<Damage> damages = {
        {"overlap", // table 0 of the saved version pointed at table 2's image
         [&](gen::Bytes &b) {
             uint32_t record = Image(ImageInfo::Master, -1, SAVED).pos;
             gen::Put32(b, record + 4, Image(ImageInfo::TableChunk, 2, SAVED).pos);
         }},
        {"free-over-live", // the saved-only run of table 2 handed to the mini-saved version
         [&](gen::Bytes &b) { gen::Put16(b, FreeEntryAt(Image(ImageInfo::TableChunk, 2, SAVED).pos), MINI); }},
        {"image-past-end", // a chunk of the shared index placed past the end
         [&](gen::Bytes &b) {
             gen::Put32(b, Image(ImageInfo::TableIndex, 1, SAVED).pos + 2 * 10 + 4, uint32_t(b.size()));
         }},
    };
    for (const Damage &d : damages) {
        f = gen::BuildNative(TwoVersions());
        d.apply(f.bytes);
        std::string path = Write(f.bytes);
        ToolRun run = RunTool({"check", path});
        EXPECT_EQ(run.status, 1) << d.finding;
        EXPECT_NE(run.out.find(d.finding), std::string::npos) << run.out;
        EXPECT_EQ(gen::ReadFile(path), f.bytes) << "check wrote to the file";

        ToolRun quiet = RunTool({"check", "--quiet", path});
        EXPECT_EQ(quiet.status, 1);
        EXPECT_EQ(quiet.out, "");
    }
}

TEST_F(ToolInspect, InfoShowsCrashStateAndWhatCanBeRecovered) {
    gen::NativeSpec s = TwoVersions();
    s.stateFlags = 0; // left open
    f = gen::BuildNative(s);
    std::string path = Write(f.bytes);

    ToolRun text = RunTool({"info", path});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("left open"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(StatusText(FS_E_CRASHED_BOTH)), std::string::npos) << text.out;

    ToolRun json = RunTool({"info", "--json", path});
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["leftOpen"], true);
    EXPECT_EQ(j["recoverable"], SAVED | MINI);
    EXPECT_EQ(j["openCurrent"]["status"], FS_E_CRASHED_BOTH);
    EXPECT_EQ(j["classes"].size(), 6u);
    EXPECT_EQ(j["classes"][5]["recordSize"], 12);
    EXPECT_EQ(j["versions"].size(), 2u);
    EXPECT_EQ(j["freeList"]["freeBytes"], 9 * 64 + 128);
    EXPECT_EQ(gen::ReadFile(path), f.bytes);

    // Not a storage file: a summary, no crash.
    ToolRun junk = RunTool({"info", Write(gen::Bytes(300, 0x5A))});
    EXPECT_EQ(junk.status, 0) << junk.err;
    EXPECT_NE(junk.out.find("not a storage file"), std::string::npos) << junk.out;
}

TEST_F(ToolInspect, TablesOfEachVersionAndTheReasonWhenOneCannotBeRead) {
    std::string path = Write(f.bytes);
    ToolRun saved = RunTool({"tables", path});
    ASSERT_EQ(saved.status, 0) << saved.err;
    // TID, class, record size, records, chunks, indexed, bytes.
    EXPECT_NE(saved.out.find("    1      5      12          80        3      yes         990"), std::string::npos)
        << saved.out;
    EXPECT_NE(saved.out.find("    2      4       8          50"), std::string::npos) << saved.out;

    ToolRun mini = RunTool({"tables", path, "--version", "mini"});
    ASSERT_EQ(mini.status, 0) << mini.err;
    // The mini-saved version holds another table under TID 2.
    EXPECT_NE(mini.out.find("    2      4       8          20"), std::string::npos) << mini.out;

    gen::NativeSpec s = TwoVersions();
    s.stateFlags = 0;
    s.mini.reset();
    path = Write(gen::BuildNative(s).bytes);
    ToolRun crashed = RunTool({"tables", path});
    EXPECT_EQ(crashed.status, 1);
    EXPECT_NE(crashed.err.find(StatusText(FS_E_CRASHED_SAVED)), std::string::npos) << crashed.err;
    ToolRun noMini = RunTool({"tables", path, "--version", "mini"});
    EXPECT_EQ(noMini.status, 1);
    EXPECT_NE(noMini.err.find(StatusText(FS_E_NO_MINI)), std::string::npos) << noMini.err;
    EXPECT_EQ(RunTool({"tables", path, "--version", "saved"}).status, 0);
}

TEST(ToolCommandLine, HelpOfEveryCommandAndUsageErrors) {
    ToolRun top = RunTool({"--help"});
    EXPECT_EQ(top.status, 0);
    const char *commands[] = {"info", "tables", "dump", "check", "compact", "recover", "create", "import", "export", "demo"};
    for (const char *c : commands) EXPECT_NE(top.out.find(c), std::string::npos) << c;
    EXPECT_EQ(RunTool({"compact", "--help"}).status, 0);
    EXPECT_EQ(RunTool({}).status, 2);
    EXPECT_EQ(RunTool({"check"}).status, 2);
    EXPECT_EQ(RunTool({"tables", "x", "--version", "newest"}).status, 2);
    EXPECT_EQ(RunTool({"frobnicate"}).status, 2);
    ToolRun missing = RunTool({"check", "/nonexistent/doc.zf"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(StatusText(VM_E_NOTFOUND)), std::string::npos) << missing.err;
}

} // namespace
