// Byte streams over a registered callback table, driven here by a fake that
// keeps one stream's bytes in memory.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

namespace {

constexpr FSStatus kPastEnd = 20515;

// The fake's one table, and the count of bytes each read or write moved.
struct FakeFile {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> calls;
    int open = 0;
};
FakeFile &File(VMStreamContext *s) { return *static_cast<FakeFile *>(s->fcb); }

FSStatus Bind(VMStreamContext *s, const VMBindParams *p) {
    s->fcb = p->fcb;
    s->tid = p->tid;
    return 0;
}
FSStatus Open(VMStreamContext *s, uint32_t mode) {
    if (mode > 1) return VM_E_STREAMMODE;
    File(s).open++;
    return 0;
}
FSStatus Create(VMStreamContext *s) {
    s->tid = 1;
    return Open(s, 1);
}
FSStatus Destroy(VMStreamContext *) { return 0; }
void Close(VMStreamContext *s) { File(s).open--; }
FSStatus Read(VMStreamContext *s, uint32_t at, uint16_t n, void *dest) {
    File(s).calls.push_back(n);
    if (uint64_t{at} + n > File(s).bytes.size()) return kPastEnd;
    if (n != 0) std::memcpy(dest, File(s).bytes.data() + at, n);
    return 0;
}
FSStatus Write(VMStreamContext *s, uint32_t at, uint16_t n, const void *source) {
    File(s).calls.push_back(n);
    if (at + n > File(s).bytes.size()) File(s).bytes.resize(at + n);
    std::memcpy(File(s).bytes.data() + at, source, n);
    return 0;
}
FSStatus Reopen(VMStreamContext *) { return 0; }
FSStatus SetSize(VMStreamContext *s, uint32_t size) {
    File(s).bytes.resize(size);
    return 0;
}
uint32_t GetSize(VMStreamContext *s) { return static_cast<uint32_t>(File(s).bytes.size()); }
int32_t SameTable(VMStreamContext *s, VMStreamContext *t) { return s->fcb == t->fcb && s->tid == t->tid; }

const VMSFMTable kFake = {Bind, Create, Open, Destroy, Close, Read, Write, Reopen, SetSize, GetSize, SameTable};

TEST(Streams, TransfersAreSplitIntoCallsOf65535BytesAtMost) {
    FakeFile file;
    uint16_t registration = 0;
    ASSERT_EQ(VMInstallSFM(&kFake, &registration), 0);
    VMStream *stream = nullptr;
    ASSERT_EQ(VMStreamCreate(&file, 1, &stream), 0);
    EXPECT_EQ(VMStreamTable(stream), 1);
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_EQ(VMStreamWrite(stream, 0, static_cast<uint32_t>(data.size()), data.data()), 0);
    EXPECT_EQ(file.calls, (std::vector<uint32_t>{65535, 65535, 65535, 3395}));
    EXPECT_EQ(file.bytes, data);
    file.calls.clear();
    std::vector<uint8_t> back(140000);
    ASSERT_EQ(VMStreamRead(stream, 50000, 140000, back.data()), 0);
    EXPECT_EQ(file.calls, (std::vector<uint32_t>{65535, 65535, 8930}));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 50000));
    // The callback's status comes back; an empty transfer is one call; a
    // range past 4 GiB is refused before any call.
    EXPECT_EQ(VMStreamRead(stream, 150000, 100000, back.data()), kPastEnd);
    file.calls.clear();
    EXPECT_EQ(VMStreamRead(stream, 7, 0, nullptr), 0);
    EXPECT_EQ(file.calls, (std::vector<uint32_t>{0}));
    EXPECT_EQ(VMStreamRead(stream, 0xFFFFFFF0u, 0x20, back.data()), VM_E_RANGE);
    EXPECT_EQ(VMStreamWrite(stream, 0, 5, nullptr), VM_E_BADSPEC);
    EXPECT_EQ(file.calls.size(), 1u);
    VMStreamClose(stream);
    EXPECT_EQ(file.open, 0);

    stream = reinterpret_cast<VMStream *>(1);
    EXPECT_EQ(VMStreamOpen(&file, 1, 2, &stream), VM_E_STREAMMODE);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(VMStreamCreate(nullptr, 1, &stream), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamRead(nullptr, 0, 1, &file), VM_E_BADSPEC);
    EXPECT_EQ(VMUninstallSFM(registration), 0);
}

TEST(Streams, StreamsNeedARegisteredTable) {
    FakeFile file;
    VMStream *stream;
    uint16_t word = 0;
    EXPECT_EQ(VMInstallSFM(nullptr, &word), VM_E_BADSPEC);
    EXPECT_EQ(VMInstallSFM(&kFake, nullptr), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamCreate(&file, 1, &stream), VM_E_BADSPEC);
    ASSERT_EQ(VMInstallSFM(&kFake, &word), 0);
    EXPECT_NE(word, 0);
    EXPECT_EQ(VMUninstallSFM(word), 0);
    EXPECT_EQ(VMUninstallSFM(word), VM_E_BADSPEC);
    EXPECT_EQ(VMStreamOpen(&file, 1, 0, &stream), VM_E_BADSPEC);
}

} // namespace
