// Files damaged in the ways the fuzzers found: each is opened, every table
// walked and the file closed, and the damage must come back as a status,
// never as a crash or a read outside memory (the sanitizer build runs these).
#include <cstring>
#include <functional>

#include "common/gen_native.h"
#include "common/scratch_fcb.h"
#include "session/format.h"

namespace {

using gen::Bytes;
using gen::ImageInfo;

// Two tables of class 4 in a master table indexed over two chunks of two
// table records each (TIDs 0-1 and 2-3).
gen::NativeSpec TwoMasterChunks() {
    gen::NativeSpec s;
    s.classes = {{8, 16, 2, 0x08, 4, 6, 1}};
    s.tables = {{4, gen::PatternRecords(20, 8, 1), false, {}, false},
                {4, gen::PatternRecords(5, 8, 2), false, {}, false}};
    s.saved = gen::VersionSpec{{0, -1, 1, -1}, true, {2, 2}};
    return s;
}

struct Case {
    const char *name;
    std::function<void(gen::NativeFile &)> damage;
    FSStatus open;                             // what the open answers
    std::vector<std::pair<uint16_t, FSStatus>> checkOuts; // TID and what its check-out answers
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Hostile : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { VMFaultReset(); }
    gen::TempDir dir;
};

// Reads every record of the table through a session.
void Walk(FCB *fcb, uint16_t tid) {
    SCB *scb = nullptr;
    if (FSCheckOut(fcb, tid, 0, &scb) != 0) return;
    void *p = FSIxLockQuiet(scb, 0);
    for (uint32_t i = 0; p != nullptr && i < 100000; ++i) p = FSLockNext(scb);
    FSCheckIn(scb);
}

TEST_P(Hostile, DamageIsAStatus) {
    gen::NativeFile f = gen::BuildNative(TwoMasterChunks());
    GetParam().damage(f);
    const std::string path = dir.File("hostile.zf");
    gen::WriteFile(path, f.bytes);
    const std::string scratch = MakeMemoryScratchFolder();
    FSContext ctx{};
    ctx.flags = FS_ANY_VERSION;
    VMMakeFileSpec(scratch.c_str(), 0, &ctx.scratchSpec);
    VMFileSpec spec{};
    ASSERT_EQ(VMMakeFileSpec(path.c_str(), 0, &spec), 0);
    FCB *fcb = nullptr;
    ASSERT_EQ(FSFileOpen(&spec, FS_VERSION_CURRENT, 0, &ctx, &fcb, nullptr), GetParam().open);
    for (const auto &[tid, expected] : GetParam().checkOuts) {
        SCB *scb = nullptr;
        EXPECT_EQ(FSCheckOut(fcb, tid, 0, &scb), expected) << "tid " << tid;
        FSCheckIn(scb);
    }
    for (uint32_t tid = 0; fcb != nullptr && tid < FSTableCount(fcb); ++tid) Walk(fcb, static_cast<uint16_t>(tid));
    if (fcb != nullptr) FSFileClose(fcb, 1);
    RemoveScratchFolder(scratch);
}

// Byte offsets of a chunk reference's fields.
constexpr uint32_t REF_CLS = 1;

INSTANTIATE_TEST_SUITE_P(
    Files, Hostile,
    ::testing::Values(
        // A master index naming a data chunk: its records are not table
        // records, and its memory is sized for its own class.
        Case{"master_chunk_of_a_data_class",
             [](gen::NativeFile &f) { f.bytes[f.Image(ImageInfo::Master, -1, 1).refs[0] + REF_CLS] = 4; },
             0, {{0, 0}, {2, FS_E_BAD_CLASS}}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
