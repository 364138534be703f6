// Round trips: what is written, saved, closed and opened again reads back
// record for record, for tables from empty to many chunks, with and without
// a memory budget small enough that chunks are written back (and read
// again) while the work goes on.
#include "common/doc_fixture.h"

namespace {

struct Size {
    const char *name;
    uint32_t records; // per table
};
void PrintTo(const Size &s, std::ostream *os) { *os << s.name; }

class RoundTrip : public DocFileTest, public ::testing::WithParamInterface<std::tuple<Size, uint32_t>> {
protected:
    uint32_t MemBudget() override { return std::get<1>(GetParam()); }
};

TEST_P(RoundTrip, SavedContentReadsBackAfterReopening) {
    const uint32_t n = std::get<0>(GetParam()).records;
    std::mt19937 rng(n);
    Doc doc;
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    for (uint8_t cls : {4, 5, 6, 4}) {
        uint16_t tid;
        DocMakeTable(fcb_, doc, cls, &tid);
        // In pieces, at the front, the back and the middle.
        const uint32_t count = cls == 6 ? n * 8 : n;
        for (uint32_t done = 0; done < count && !HasFatalFailure();) {
            uint32_t piece = std::min<uint32_t>(count - done, cls == 6 ? 5000 : 300);
            uint32_t at = done == 0 ? 0 : static_cast<uint32_t>(rng() % (done + 1));
            DocInsert(fcb_, doc, tid, at, RandomRecords(rng, cls, piece));
            done += piece;
        }
    }
    ASSERT_TRUE(FileHolds(fcb_, doc));
    if (MemBudget() != 0) {
        EXPECT_LE(fcb_->h.memInUse, MemBudget() + 65536) << "the budget was not kept";
    }
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_));
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ASSERT_EQ(std::rename(scratch.c_str(), path_.c_str()), 0);
    EXPECT_TRUE(FileIsClean(path_));
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(FileHolds(fcb_, doc));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Combine(::testing::Values(Size{"empty", 0}, Size{"one", 1},
                                                              Size{"few_chunks", 30}, Size{"many_chunks", 3000}),
                                            ::testing::Values(0u, 16384u)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_budget" : "_no_budget");
                         });

} // namespace
