#include "doc_model.h"

#include <algorithm>
#include <cstring>

#include "common/fcb_fixture.h"
#include "common/scratch_fcb.h"

namespace {

// A session on the table, checked in when the value goes.
struct Session {
    SCB *scb = nullptr;
    Session(FCB *fcb, uint16_t tid, uint32_t mode) { EXPECT_EQ(FSCheckOut(fcb, tid, mode, &scb), 0) << "tid " << tid; }
    ~Session() { FSCheckIn(scb); }
};

// Writes recs over the table's records from at on, through locks.
void WriteThrough(SCB *scb, uint32_t at, const std::vector<Record> &recs) {
    void *p = nullptr;
    ASSERT_EQ(FSIxLock(scb, at, &p, nullptr), 0);
    for (size_t j = 0; j < recs.size(); ++j) {
        ASSERT_NE(p, nullptr) << "record " << at + j;
        std::memcpy(p, recs[j].data(), recs[j].size());
        FSDirtyRec(scb);
        if (j + 1 < recs.size()) p = FSLockNext(scb);
    }
    FSUnlock(scb);
    ASSERT_EQ(FSError(scb), 0);
}

} // namespace

std::vector<FSClassDesc> DocClasses() { return {HostClass(8, 4), HostClass(12, 10), HostClass(1, 3000)}; }

FSContext DocContext(const std::string &folder, uint32_t memBudget) {
    static const std::vector<FSClassDesc> classes = DocClasses();
    FSContext ctx = ScratchContext(folder);
    ctx.fileType = 0x4443, ctx.appVersion = 0x0100, ctx.memBudget = memBudget;
    ctx.classCount = static_cast<uint8_t>(classes.size()), ctx.classes = classes.data();
    return ctx;
}

void DocMakeTable(FCB *fcb, Doc &doc, uint8_t cls, uint16_t *tidOut) {
    uint16_t tid = TID_NONE;
    ASSERT_EQ(FSMakeTable(fcb, cls, &tid), 0);
    ASSERT_EQ(doc.count(tid), 0u);
    doc[tid] = DocTable{cls, {}};
    if (tidOut != nullptr) *tidOut = tid;
}

void DocDestroyTable(FCB *fcb, Doc &doc, uint16_t tid) {
    ASSERT_EQ(FSDestroyTable(fcb, tid), 0);
    doc.erase(tid);
}

void DocInsert(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, const std::vector<Record> &recs) {
    if (recs.empty()) return;
    Session s(fcb, tid, 1);
    ASSERT_NE(s.scb, nullptr);
    ASSERT_EQ(FSIAddLock(s.scb, at, static_cast<uint32_t>(recs.size()), 0, nullptr), 0);
    WriteThrough(s.scb, at, recs);
    auto &r = doc[tid].recs;
    r.insert(r.begin() + at, recs.begin(), recs.end());
}

void DocOverwrite(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, const std::vector<Record> &recs) {
    if (recs.empty()) return;
    Session s(fcb, tid, 1);
    ASSERT_NE(s.scb, nullptr);
    WriteThrough(s.scb, at, recs);
    std::copy(recs.begin(), recs.end(), doc[tid].recs.begin() + at);
}

void DocDelete(FCB *fcb, Doc &doc, uint16_t tid, uint32_t at, uint32_t count) {
    if (count == 0) return;
    Session s(fcb, tid, 1);
    ASSERT_NE(s.scb, nullptr);
    ASSERT_EQ(FSIRecOps(s.scb, FSOpDelete, at, count, nullptr, 0), 0);
    auto &r = doc[tid].recs;
    r.erase(r.begin() + at, r.begin() + at + count);
}

std::vector<Record> RandomRecords(std::mt19937 &rng, uint8_t cls, uint32_t count) {
    std::vector<Record> out(count, Record(DocClasses()[cls - 4].recSize));
    for (Record &r : out) std::generate(r.begin(), r.end(), [&] { return static_cast<uint8_t>(rng()); });
    return out;
}

void DocChange(FCB *fcb, Doc &doc, std::mt19937 &rng, int steps) {
    auto pick = [&](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    for (int step = 0; step < steps && !::testing::Test::HasFatalFailure(); ++step) {
        const uint32_t what = pick(100);
        if (what < 4 || doc.empty()) {
            DocMakeTable(fcb, doc, static_cast<uint8_t>(4 + pick(3)));
            continue;
        }
        auto it = doc.begin();
        std::advance(it, pick(static_cast<uint32_t>(doc.size())));
        const uint16_t tid = it->first;
        const uint8_t cls = it->second.cls;
        const auto n = static_cast<uint32_t>(it->second.recs.size());
        if (what < 7) {
            if (tid != FSRootTable(fcb)) DocDestroyTable(fcb, doc, tid);
        } else if (what < 50 || n == 0) {
            DocInsert(fcb, doc, tid, pick(n + 1), RandomRecords(rng, cls, 1 + pick(cls == 6 ? 400 : 12)));
        } else if (what < 80) {
            const uint32_t at = pick(n);
            DocOverwrite(fcb, doc, tid, at, RandomRecords(rng, cls, 1 + pick(std::min(n - at, 6u))));
        } else {
            const uint32_t at = pick(n);
            DocDelete(fcb, doc, tid, at, 1 + pick(std::min(n - at, cls == 6 ? 300u : 8u)));
        }
    }
}

std::vector<Record> ReadTable(FCB *fcb, uint16_t tid) {
    std::vector<Record> out;
    SCB *scb = nullptr;
    if (FSCheckOut(fcb, tid, 0, &scb) != 0) return out;
    const uint32_t n = FSTableSize(scb);
    void *p = n != 0 && FSIxLock(scb, 0, &p, nullptr) == 0 ? p : nullptr;
    for (uint32_t i = 0; i < n && p != nullptr; ++i) {
        auto *bytes = static_cast<const uint8_t *>(p);
        out.emplace_back(bytes, bytes + scb->recSize);
        if (i + 1 < n) p = FSLockNext(scb);
    }
    FSUnlock(scb), FSCheckIn(scb);
    return out;
}

::testing::AssertionResult FileHolds(FCB *fcb, const Doc &doc) {
    uint16_t last = 0;
    for (const auto &[tid, table] : doc) {
        last = std::max(last, tid);
        SCB *scb = nullptr;
        FSStatus status = FSCheckOut(fcb, tid, 0, &scb);
        if (status != 0) return ::testing::AssertionFailure() << "table " << tid << " cannot be checked out: " << status;
        const uint8_t cls = scb->classNumber;
        FSCheckIn(scb);
        if (cls != table.cls) return ::testing::AssertionFailure() << "table " << tid << " has class " << int{cls};
        const std::vector<Record> recs = ReadTable(fcb, tid);
        const auto diff = std::mismatch(recs.begin(), recs.end(), table.recs.begin(), table.recs.end());
        if (diff.first != recs.end() || diff.second != table.recs.end())
            return ::testing::AssertionFailure() << "table " << tid << " of " << recs.size() << " records differs at "
                                                 << diff.first - recs.begin() << " (" << table.recs.size() << " expected)";
    }
    for (uint16_t tid = 0; tid <= last + 16u; ++tid) {
        if (doc.count(tid) != 0) continue;
        SCB *scb = nullptr;
        if (FSCheckOut(fcb, tid, 0, &scb) == 0) {
            FSCheckIn(scb);
            return ::testing::AssertionFailure() << "table " << tid << " is in use but not in the model";
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult VersionHolds(const std::string &path, uint32_t selector, const FSContext &ctx,
                                        const Doc &doc) {
    VMFileSpec spec;
    FCB *fcb = nullptr;
    VMMakeFileSpec(path.c_str(), 0, &spec);
    FSStatus status = FSFileOpen(&spec, selector, 0, &ctx, &fcb, nullptr);
    if (status != 0) return ::testing::AssertionFailure() << "open with selector " << selector << ": " << status;
    ::testing::AssertionResult result = FileHolds(fcb, doc);
    return FSFileClose(fcb, 1), result;
}
