// Damaged foreign files and failing services. The checking pass refuses a
// damaged file before anything is written, so a refusal always leaves the
// file byte for byte as it was; a failure part-way leaves the FCB as it was
// and no memory behind.
#include <functional>
#include <random>

#include "foreign_helpers.h"

namespace {

using namespace gen;

class ForeignHostile : public ForeignTest {
protected:
    // Converts b; a refusal must leave the file and the FCB as they were and
    // must come before any host record was handed to the hook.
    FSStatus Refused() {
        FSStatus status = Run();
        if (status != 0) {
            EXPECT_EQ(ReadFile(path), b);
            EXPECT_EQ(std::memcmp(&fcb->h, b.data(), HEADER_SIZE), 0);
            EXPECT_TRUE(calls.empty());
        }
        calls.clear();
        return status;
    }
    uint32_t Class(int cls) const { return f.classTableOffset + uint32_t(cls) * 14; }
};

TEST_F(ForeignHostile, DamagedStructuresAreRefusedBeforeAnyWrite) {
    const uint32_t t0 = SavedRecord(0), t1 = SavedRecord(1);
    const uint32_t chunk1 = Image(ImageInfo::TableChunk, 1).pos;
    struct Case {
        const char *what;
        std::function<void()> damage;
    };
    const Case cases[] = {
        {"root of a host class", [&] { b[45] = 5; }},
        {"fewer classes than the built-ins", [&] { b[42] = 3; }},
        {"class table past the end", [&] { Put32BE(b, 86, uint32_t(b.size())); }},
        {"class table over the header", [&] { Put32BE(b, 86, 64); }},
        {"allocation shift of 20", [&] { Put16BE(b, 12, 20); }},
        {"master records of 20 bytes", [&] { Put16BE(b, Class(0) + 4, 20); }},
        {"index class without references", [&] { Put16BE(b, Class(1), ForeignFlagWord(0x18)); }},
        {"table of a built-in class", [&] { b[t0 + 11] = 3; }},
        {"table of a class beyond the table", [&] { b[t0 + 11] = 200; }},
        {"single table whose chunk is an index", [&] { b[t0 + 1] = 1; }},
        {"indexed table not marked indexed", [&] { b[t1 + 10] = ForeignTableFlags(0x01); }},
        {"indexed table whose top is no index", [&] { b[t1 + 1] = 5; }},
        {"index naming a chunk of another class", [&] { b[IndexRef(1, 1) + 1] = 4; }},
        {"count over the chunk size limit", [&] { Put16BE(b, t0 + 2, 0xFFFF); }},
        {"count over the class maximum", [&] { Put16BE(b, Class(6) + 6, 20); }},
        {"image past the end", [&] { Put32BE(b, t0 + 4, uint32_t(b.size()) - 16); }},
        {"image over the header", [&] { Put32BE(b, t0 + 4, 64); }},
        {"image over the class table", [&] { Put32BE(b, t0 + 4, f.classTableOffset); }},
        {"two tables sharing an image", [&] { Put32BE(b, t0 + 4, chunk1); }},
        {"master chunk over its class maximum", [&] { Put16BE(b, Class(0) + 6, 4); }},
        {"index with more references than its image", [&] { Put16BE(b, t1 + 2, 6000); }},
    };
    const Bytes original = b;
    for (const Case &c : cases) {
        b = original;
        c.damage();
        EXPECT_EQ(Refused(), FS_E_UNREADABLE) << c.what;
    }
}

TEST_F(ForeignHostile, TruncatedFilesAreRefused) {
    const Bytes original = b;
    uint32_t savedEnd = 0; // end of the saved version's last image
    for (const ImageInfo &im : f.images)
        if (im.versions & VER_SAVED) savedEnd = std::max(savedEnd, im.pos + im.len);
    for (uint32_t cut = HEADER_SIZE; cut < original.size(); cut += 13) {
        b.assign(original.begin(), original.begin() + cut);
        FSStatus status = Refused();
        if (cut < savedEnd) {
            EXPECT_EQ(status, FS_E_UNREADABLE) << cut;
        }
    }
}

TEST_F(ForeignHostile, RandomDamageIsRefusedUntouchedOrConverted) {
    const Bytes original = b;
    std::mt19937 rng(7);
    int refused = 0;
    for (int round = 0; round < 200; ++round) {
        b = original;
        int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i) b[rng() % b.size()] = uint8_t(rng());
        Put16BE(b, 6, FS_MAGIC); // still foreign
        FSStatus status = Refused();
        refused += status != 0;
        EXPECT_TRUE(status == 0 || status == FS_E_UNREADABLE || status == FS_E_CANNOT_CONVERT)
            << "round " << round << ": " << status;
    }
    EXPECT_GT(refused, 0);
}

// Every file operation and allocation, failed in turn for good and once: the
// injected status (or 0x4001 for memory), the FCB as it was, no memory left;
// or, where a failure is absorbed (the stamp, the free list), a sound file.
TEST_F(ForeignHostile, FailuresOfServicesLeaveNoMemoryBehind) {
    const FSStatus injected = 4242;
    const Bytes original = b;
    for (VMOp op : {VM_OP_READ, VM_OP_WRITE, VM_OP_FLUSH, VM_OP_OPEN, VM_OP_GALLOC}) {
        for (bool once : {false, true}) {
            for (uint32_t n = 0;; ++n) {
                FcbRelease(fcb);
                path = Put(original);
                fcb = FcbOnFile(path);
                ASSERT_NE(fcb, nullptr);
                VMMakeFileSpec(path.c_str(), 0, &host);
                VMFaultReset();
                if (once) VMFaultFailOnce(op, n, injected);
                else VMFaultFail(op, n, injected);
                FSStatus status = CVConvertForeign(fcb, &ctx, &host);
                bool fired = VMFaultCount(op) > n;
                VMFaultReset();
                std::string where = "op " + std::to_string(op) + (once ? " once" : "") + " after " + std::to_string(n);
                EXPECT_EQ(CVBuffersInUse(), 0u) << where;
                if (status != 0) {
                    EXPECT_EQ(status, op == VM_OP_GALLOC ? FS_E_NOMEM : injected) << where;
                    EXPECT_EQ(std::memcmp(&fcb->h, original.data(), HEADER_SIZE), 0) << where;
                } else {
                    // Absorbed: a stamp that cannot be had, a free list that cannot be converted.
                    EXPECT_TRUE(!fired || (op == VM_OP_OPEN && Val(fcb->h.fileStamp) == 0) || fcb->h.savedFreeCount == 0)
                        << where;
                    EXPECT_EQ(ReadSaved(FileBytes(fcb)).tables[1].records, spec.tables[1].records) << where;
                    EXPECT_CLEAN(path);
                }
                if (!fired) break;
            }
        }
    }
}

} // namespace
