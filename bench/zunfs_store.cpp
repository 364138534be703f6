// zunfs through its public C interface: one storage file with one table of
// a host class of fixed-size records.
//
// Appends go in batches of whole chunks, either copied from the host's
// buffer (FSIAddPtr) or written into the new records while they are locked
// (FSIAddLock, then FSLockNext across the batch). Reads lock records by RIX
// (FSIxLock); the scan locks RIX 0 and steps with FSLockNext. Updates write
// into the locked record and mark its chunk changed (FSDirtyRec). Every
// writing workload checks the table in and saves (FSISaveCommit), which
// flushes the file to disk. Compaction is a save-as into a new file.
#include "bench.h"

#include <zunfs/zunfs.h>

#include <cstring>

namespace bench {
namespace {

// Chunk memory may not pass this many bytes, and one table may have at most
// 6144 chunks: full chunks keep 1,000,000 records of 64 bytes in 1042 chunks
// and 300,000 records of 1024 bytes in 5000.
constexpr uint32_t kChunkBytes = 61440;
constexpr uint8_t kHostClass = 4; // the first host class
// Appends go in batches of this many full chunks.
constexpr uint32_t kBatchChunks = 4;
// Reads by rank look at the clock once per this many reads.
constexpr uint64_t kClockEvery = 256;

std::string StatusText(FSStatus status) {
    char text[256];
    if (!FSErrorStr(status, text, sizeof text)) text[0] = 0;
    return std::to_string(status) + (text[0] ? std::string(" ") + text : std::string());
}

void Check(FSStatus status, const char *what) {
    if (status != FS_OK) throw StoreError(std::string(what) + ": " + StatusText(status));
}

// A checked-out table, checked in again when it goes out of scope.
class Session {
public:
    Session(FCB *fcb, uint16_t tid, bool write) {
        Check(FSCheckOut(fcb, tid, write ? 1 : 0, &scb_), "check out");
    }
    ~Session() {
        if (scb_) FSCheckIn(scb_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    SCB *get() { return scb_; }
    // Fails when the session's last operation did.
    void CheckStatus(const char *what) { Check(FSError(scb_), what); }

private:
    SCB *scb_ = nullptr;
};

class ZunfsStore final : public Store {
public:
    explicit ZunfsStore(uint32_t memBudget) : memBudget_(memBudget) {}
    ~ZunfsStore() override { Close(); }

    void Create(const std::string &dir, uint32_t recSize) override {
        recSize_ = recSize;
        uint32_t perChunk = kChunkBytes / recSize;
        if (perChunk == 0 || perChunk > 0xFFFF) throw StoreError("record size out of range");
        perChunk_ = perChunk;
        desc_ = FSClassDesc{};
        desc_.allocShift = 6;  // 64-byte steps when a chunk shrinks
        desc_.growShift = 10;  // 1 KiB steps when it grows; 61440 is a multiple
        desc_.recSize = static_cast<uint16_t>(recSize);
        desc_.maxPerChunk = static_cast<uint16_t>(perChunk);
        desc_.minPerChunk = static_cast<uint16_t>(perChunk / 4 ? perChunk / 4 : 1);
        FSContext ctx{};
        ctx.fileType = 0x5A42;
        ctx.appVersion = 0x0100;
        ctx.classCount = 1;
        ctx.classes = &desc_;
        ctx.memBudget = memBudget_;
        Check(VMMakeFileSpec(dir.c_str(), 0, &ctx.scratchSpec), "scratch folder");
        Check(FSCreate(&ctx, &fcb_), "create");
        Check(FSMakeTable(fcb_, kHostClass, &tid_), "make table");
    }

    int AppendMethods() const override { return 2; }

    void Append(int method, const uint8_t *data, uint64_t n) override {
        {
            Session s(fcb_, tid_, true);
            uint64_t batch = uint64_t{perChunk_} * kBatchChunks;
            for (uint64_t done = 0; done < n;) {
                uint32_t take = static_cast<uint32_t>(n - done < batch ? n - done : batch);
                const uint8_t *src = data + done * recSize_;
                if (method == 0)
                    Check(FSIAddPtr(s.get(), RIX_LAST, take, 0, src), "add records");
                else
                    WriteNew(s.get(), take, src);
                done += take;
            }
        }
        Save();
    }

    uint64_t Count() override {
        Session s(fcb_, tid_, false);
        return FSTableSize(s.get());
    }

    uint64_t Scan() override {
        Session s(fcb_, tid_, false);
        if (FSTableSize(s.get()) == 0) return 0;
        void *rec = nullptr;
        Check(FSIxLock(s.get(), 0, &rec, nullptr), "lock first record");
        uint64_t sum = 0;
        while (rec) {
            sum += SumBytes(static_cast<const uint8_t *>(rec), recSize_);
            rec = FSLockNext(s.get());
        }
        s.CheckStatus("step to the next record");
        return sum;
    }

    uint64_t ReadAt(const std::vector<uint32_t> &positions) override {
        Session s(fcb_, tid_, false);
        uint64_t sum = 0;
        for (uint32_t p : positions) sum += SumBytes(Lock(s.get(), p), recSize_);
        FSUnlock(s.get());
        return sum;
    }

    void Update(const std::vector<uint32_t> &positions, const uint8_t *records) override {
        {
            Session s(fcb_, tid_, true);
            for (size_t i = 0; i < positions.size(); ++i) {
                std::memcpy(Lock(s.get(), positions[i]), records + i * recSize_, recSize_);
                FSDirtyRec(s.get());
            }
            FSUnlock(s.get());
            s.CheckStatus("unlock");
        }
        Save();
    }

    void Insert(const std::vector<uint64_t> &fractions, const uint8_t *records) override {
        {
            Session s(fcb_, tid_, true);
            for (size_t i = 0; i < fractions.size(); ++i) {
                uint32_t rix = static_cast<uint32_t>(Scale(fractions[i], FSTableSize(s.get()) + 1));
                Check(FSIAddPtr(s.get(), rix, 1, 0, records + i * recSize_), "insert record");
            }
        }
        Save();
    }

    uint64_t ReadRanked(const std::vector<uint64_t> &fractions, uint64_t count,
                        double seconds) override {
        Session s(fcb_, tid_, false);
        double end = Now() + seconds;
        uint64_t done = 0, sum = 0;
        for (uint64_t f : fractions) {
            sum += SumBytes(Lock(s.get(), static_cast<uint32_t>(Scale(f, count))), recSize_);
            if (++done % kClockEvery == 0 && Now() >= end) break;
        }
        FSUnlock(s.get());
        volatile uint64_t sink = sum;
        (void)sink;
        return done;
    }

    uint64_t Compact(const std::string &outDir) override {
        std::string out = outDir + "/compact.zf";
        VMFileSpec target;
        Check(VMMakeFileSpec(out.c_str(), 0, &target), "target name");
        Check(FSSaveAs(fcb_, &target), "save as");
        return FileSize(out);
    }

    uint64_t DiskBytes() override { return FileSize(VMFileSpecPath(FSFileSpec(fcb_))); }

    void Close() override {
        if (fcb_) FSFileClose(fcb_, 0);
        fcb_ = nullptr;
    }

private:
    // Locks the record at rix; returns its address.
    uint8_t *Lock(SCB *scb, uint32_t rix) {
        void *rec = nullptr;
        Check(FSIxLock(scb, rix, &rec, nullptr), "lock record");
        return static_cast<uint8_t *>(rec);
    }

    // Appends n zero records locked in place and writes src into them, chunk
    // by chunk. Each chunk entered is marked changed, so that it is written
    // back even if it was written back as zeros while the batch went in.
    void WriteNew(SCB *scb, uint32_t n, const uint8_t *src) {
        void *rec = nullptr;
        Check(FSIAddLock(scb, RIX_LAST, n, 0, &rec), "add locked records");
        for (uint32_t i = 0;; ++i) {
            std::memcpy(rec, src + uint64_t{i} * recSize_, recSize_);
            if (i + 1 == n) break;
            rec = FSLockNext(scb);
            if (!rec) Check(FSError(scb) ? FSError(scb) : FS_E_BAD_RIX, "step to a new record");
            if (rec == scb->chunkBase) FSDirtyRec(scb);
        }
        FSUnlock(scb);
        Check(FSError(scb), "unlock new records");
    }

    void Save() { Check(FSISaveCommit(fcb_, 1, 0), "save"); }

    uint32_t memBudget_;
    uint32_t recSize_ = 0;
    uint32_t perChunk_ = 0;
    FSClassDesc desc_{};
    FCB *fcb_ = nullptr;
    uint16_t tid_ = TID_NONE;
};

} // namespace

std::unique_ptr<Store> MakeZunfsStore(uint32_t memBudget) {
    return std::make_unique<ZunfsStore>(memBudget);
}

} // namespace bench
