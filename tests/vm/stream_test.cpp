// Byte streams over a registered callback table, driven here against a fake
// in-memory table store.
#include <cstring>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

namespace {

constexpr FSStatus kBadTable = 20514;
constexpr FSStatus kBadIndex = 20515;

// The "storage file" the fake callbacks work on: tables of bytes by number.
struct FakeFile {
    std::map<uint16_t, std::vector<uint8_t>> tables;
    uint16_t nextTid = 1;
    std::vector<uint32_t> counts; // count of every read and write call
    int openSessions = 0;
};

FakeFile &File(VMStreamContext *s) { return *static_cast<FakeFile *>(s->fcb); }

std::vector<uint8_t> *Table(VMStreamContext *s) {
    auto t = File(s).tables.find(s->tid);
    return t == File(s).tables.end() ? nullptr : &t->second;
}

FSStatus Bind(VMStreamContext *s, const VMBindParams *p) {
    s->fcb = p->fcb;
    s->tid = p->tid;
    s->classNumber = p->classNumber;
    s->scb = nullptr;
    s->position = 0xFFFFFFFF;
    return 0;
}

FSStatus Open(VMStreamContext *s, uint32_t mode) {
    if (mode > 1) return VM_E_STREAMMODE;
    if (Table(s) == nullptr) return kBadTable;
    s->scb = s;
    s->position = 0;
    File(s).openSessions++;
    return 0;
}

FSStatus Create(VMStreamContext *s) {
    s->tid = File(s).nextTid++;
    File(s).tables[s->tid];
    return Open(s, 1);
}

FSStatus Destroy(VMStreamContext *s) {
    return File(s).tables.erase(s->tid) == 1 ? 0 : kBadTable;
}

void Close(VMStreamContext *s) {
    if (s->scb != nullptr) File(s).openSessions--;
    s->scb = nullptr;
}

FSStatus Read(VMStreamContext *s, uint32_t position, uint16_t count, void *dest) {
    File(s).counts.push_back(count);
    std::vector<uint8_t> &t = *Table(s);
    if (uint64_t{position} + count > t.size()) return kBadIndex;
    if (count != 0) std::memcpy(dest, t.data() + position, count);
    s->position = position + count;
    return 0;
}

FSStatus Write(VMStreamContext *s, uint32_t position, uint16_t count, const void *source) {
    File(s).counts.push_back(count);
    std::vector<uint8_t> &t = *Table(s);
    if (position + count > t.size()) t.resize(position + count);
    std::memcpy(t.data() + position, source, count);
    s->position = position + count;
    return 0;
}

FSStatus Reopen(VMStreamContext *) { return 0; }

FSStatus SetSize(VMStreamContext *s, uint32_t size) {
    Table(s)->resize(size);
    s->position = size;
    return 0;
}

uint32_t GetSize(VMStreamContext *s) { return static_cast<uint32_t>(Table(s)->size()); }

int32_t SameTable(VMStreamContext *s, VMStreamContext *t) { return s->fcb == t->fcb && s->tid == t->tid; }

const VMSFMTable kFake = {Bind, Create, Open, Destroy, Close, Read, Write, Reopen, SetSize, GetSize, SameTable};

class Streams : public ::testing::Test {
  protected:
    FakeFile file;
    uint16_t registration = 0;
    void SetUp() override { ASSERT_EQ(VMInstallSFM(&kFake, &registration), 0); }
    void TearDown() override { VMUninstallSFM(registration); }
};

TEST_F(Streams, LongTransfersAreSplitIntoCallsOf65535BytesAtMost) {
    VMStream *stream = nullptr;
    ASSERT_EQ(VMStreamCreate(&file, 1, &stream), 0);
    uint16_t tid = VMStreamTable(stream);
    EXPECT_EQ(tid, 1);
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_EQ(VMStreamWrite(stream, 0, static_cast<uint32_t>(data.size()), data.data()), 0);
    EXPECT_EQ(file.counts, (std::vector<uint32_t>{65535, 65535, 65535, 3395}));
    EXPECT_EQ(file.tables[tid], data);
    EXPECT_EQ(VMStreamSize(stream), 200000u);

    file.counts.clear();
    std::vector<uint8_t> back(140000);
    ASSERT_EQ(VMStreamRead(stream, 50000, 140000, back.data()), 0);
    EXPECT_EQ(file.counts, (std::vector<uint32_t>{65535, 65535, 8930}));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 50000));

    // A read that runs off the end gives the callback's status.
    EXPECT_EQ(VMStreamRead(stream, 150000, 100000, back.data()), kBadIndex);
    // An empty transfer makes one call, which records the position.
    file.counts.clear();
    EXPECT_EQ(VMStreamRead(stream, 7, 0, nullptr), 0);
    EXPECT_EQ(file.counts, (std::vector<uint32_t>{0}));
    EXPECT_EQ(VMStreamRead(stream, 0xFFFFFFF0u, 0x20, back.data()), VM_E_RANGE);

    EXPECT_EQ(VMStreamSetSize(stream, 10), 0);
    EXPECT_EQ(VMStreamSize(stream), 10u);
    VMStreamClose(stream);
    EXPECT_EQ(file.openSessions, 0);

    // Open again read-only, then destroy once closed.
    ASSERT_EQ(VMStreamOpen(&file, tid, 0, &stream), 0);
    EXPECT_EQ(VMStreamSize(stream), 10u);
    VMStreamClose(stream);
    EXPECT_EQ(VMStreamDestroy(&file, tid), 0);
    EXPECT_EQ(file.tables.count(tid), 0u);
}

TEST_F(Streams, FailuresAndBadArgumentsGetStatuses) {
    VMStream *stream = reinterpret_cast<VMStream *>(1);
    EXPECT_EQ(VMStreamOpen(&file, 1, 2, &stream), VM_E_STREAMMODE);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(VMStreamOpen(&file, 99, 1, &stream), kBadTable);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(VMStreamDestroy(&file, 99), kBadTable);
    EXPECT_EQ(VMStreamCreate(nullptr, 1, &stream), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamRead(nullptr, 0, 1, &file), VM_E_BADSPEC);

    ASSERT_EQ(VMStreamCreate(&file, 1, &stream), 0);
    EXPECT_EQ(VMStreamWrite(stream, 0, 5, nullptr), VM_E_BADSPEC);
    VMStreamClose(stream);
}

TEST(StreamRegistration, StreamsNeedARegisteredTable) {
    FakeFile file;
    VMStream *stream;
    uint16_t word = 0;
    EXPECT_EQ(VMInstallSFM(nullptr, &word), VM_E_BADSPEC);
    EXPECT_EQ(VMInstallSFM(&kFake, nullptr), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamCreate(&file, 1, &stream), VM_E_BADSPEC);
    ASSERT_EQ(VMInstallSFM(&kFake, &word), 0);
    EXPECT_NE(word, 0);
    ASSERT_EQ(VMStreamCreate(&file, 1, &stream), 0);
    VMStreamClose(stream);
    EXPECT_EQ(VMUninstallSFM(word), 0);
    EXPECT_EQ(VMUninstallSFM(word), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamOpen(&file, 1, 0, &stream), VM_E_BADSPEC);
}

} // namespace
