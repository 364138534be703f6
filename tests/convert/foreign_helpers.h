// Foreign files for the conversion tests: a sample of every shape the
// conversion meets, a translate hook that records its calls and undoes the
// generator's foreign record form, and a fixture that converts a generated
// file in place.
#pragma once

#include <algorithm>
#include <cstring>
#include <tuple>

#include "common/gen_foreign.h"
#include "convert/foreign.h"
#include "convert_helpers.h"

struct HookCall {
    uint8_t cls;
    uint16_t count;
    uint8_t mark;
    bool operator<(const HookCall &o) const { return std::tie(cls, count, mark) < std::tie(o.cls, o.count, o.mark); }
    bool operator==(const HookCall &) const = default;
};

// Host classes: 4 (8-byte records, translated), 5 (12-byte, RIDs,
// translated), 6 (6-byte, flags that ask for no translation), 7 (10-byte,
// records beginning with references: translated). Tables: 0 single, 1
// indexed over three chunks, 2 of class 6, 3 indexed of class 7, 4 with a
// chunk of records but no image, 5 only in the mini-saved version. The
// saved version has a free record at TID 2.
inline gen::NativeSpec ForeignSample() {
    gen::NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}, {6, 50, 0, 0x00, 4, 6, 1},
                 {10, 40, 0, 0x20, 4, 6, 7}};
    s.tables = {
        {4, gen::PatternRecords(10, 8, 1), false, {}, false},
        {5, gen::PatternRecords(80, 12, 2), true, {30, 30, 20}, false},
        {6, gen::PatternRecords(25, 6, 3), false, {}, false},
        {7, gen::PatternRecords(45, 10, 4), true, {40, 5}, false},
        {4, gen::PatternRecords(12, 8, 5), false, {}, true},
        {4, gen::PatternRecords(20, 8, 6), false, {}, false},
    };
    s.saved = gen::VersionSpec{{0, 1, -1, 2, 3, 4}, false, {}};
    s.mini = gen::VersionSpec{{0, 1, 5}, false, {}};
    s.freeAfterEachImage = 64;
    s.freeTail = 128;
    return s;
}

// Which table of the sample each TID of its saved version holds (-1 free).
inline const std::vector<int> &SavedTids() {
    static const std::vector<int> tids = ForeignSample().saved->tids;
    return tids;
}

class ForeignTest : public ConvertTest {
protected:
    gen::NativeSpec spec = ForeignSample();
    gen::NativeFile f = gen::BuildForeign(spec);
    gen::Bytes &b = f.bytes;
    FCB *fcb = nullptr;
    std::string path;
    VMFileSpec host{};

    static std::vector<HookCall> calls;
    static uint32_t failAfter; // calls that succeed before the hook refuses

    static FSStatus Translate(uint8_t cls, void *records, uint16_t count, uint8_t mark) {
        calls.push_back({cls, count, mark});
        if (calls.size() > failAfter) return 4711;
        static const uint16_t sizes[] = {0, 0, 0, 0, 8, 12, 6, 10};
        if (cls >= sizeof sizes / sizeof sizes[0]) return 4712;
        auto *p = static_cast<uint8_t *>(records);
        for (uint32_t r = 0; r < count; ++r, p += sizes[cls]) {
            uint16_t i = 0;
            for (; i + 4 <= sizes[cls]; i += 4) std::reverse(p + i, p + i + 4);
            if (i + 2 <= sizes[cls]) std::swap(p[i], p[i + 1]);
        }
        return 0;
    }

    void SetUp() override {
        ConvertTest::SetUp();
        calls.clear();
        failAfter = UINT32_MAX;
        ctx.translateHook = Translate;
    }
    void TearDown() override {
        FcbRelease(fcb);
        ConvertTest::TearDown();
    }

    // Writes b and converts it in place.
    FSStatus Run() {
        FcbRelease(fcb);
        path = Put(b);
        fcb = FcbOnFile(path);
        if (fcb == nullptr) {
            ADD_FAILURE() << "no FCB";
            return FS_E_BAD_PARAMS;
        }
        VMMakeFileSpec(path.c_str(), 0, &host);
        return CVConvertForeign(fcb, &ctx, &host);
    }

    // Where chunk references and table records of the saved version lie.
    const gen::ImageInfo &Image(gen::ImageInfo::Kind kind, int table, int chunk = 0) const {
        return f.Image(kind, table, chunk);
    }
    uint32_t SavedRecord(int tid) const { return Image(gen::ImageInfo::Master, -1, 0).pos + uint32_t(tid) * 16; }
    uint32_t IndexRef(int table, int chunk) const {
        return Image(gen::ImageInfo::TableIndex, table).pos + uint32_t(chunk) * 10;
    }
};

inline std::vector<HookCall> ForeignTest::calls;
inline uint32_t ForeignTest::failAfter = UINT32_MAX;
