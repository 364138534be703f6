// zunfs.hpp: a thin C++ interface over the C interface of <zunfs/zunfs.h>.
//
// Ownership is RAII: a File closes its FCB, a Session checks its SCB in, a
// Stream closes its byte stream. Failures throw zunfs::Error, which carries
// the status code and its message text; the C interface below stays free of
// exceptions. Nothing here adds behaviour: every call maps to one C function
// (or a short, fixed sequence of them), with the C contract's meaning.
//
// Record memory is handed out as std::span<std::byte> into the locked chunk:
// it is valid only as long as the C contract of FSIxLock says (until the
// session unlocks, locks or steps elsewhere, or any session changes the
// number of records). To write through it, call Session::dirty() first.
#ifndef ZUNFS_ZUNFS_HPP
#define ZUNFS_ZUNFS_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <zunfs/zunfs.h>

namespace zunfs {

// The message text of a library or services status, or "status N" when the
// code has none.
inline std::string status_text(FSStatus status) {
    char buffer[256];
    if (FSErrorStr(status, buffer, sizeof buffer) != 0) return buffer;
    return "status " + std::to_string(status);
}

class Error : public std::runtime_error {
public:
    explicit Error(FSStatus status) : std::runtime_error(status_text(status)), status_(status) {}
    FSStatus status() const noexcept { return status_; }

private:
    FSStatus status_;
};

inline void check(FSStatus status) {
    if (status != 0) throw Error(status);
}

enum class Version : uint32_t {
    current = FS_VERSION_CURRENT,
    saved = FS_VERSION_SAVED,
    mini = FS_VERSION_MINI,
};

enum class Mode : uint32_t { read = 0, write = 1 };

// A file-spec record naming path.
inline VMFileSpec file_spec(const std::string &path, uint32_t fileType = 0) {
    VMFileSpec spec;
    check(VMMakeFileSpec(path.c_str(), fileType, &spec));
    return spec;
}

// What the host tells the library at create and open. The descriptors live
// here, so the FSContext handed out by get() stays valid with the Context.
class Context {
public:
    explicit Context(const std::string &scratchFolder, std::vector<FSClassDesc> classes = {},
                     uint16_t fileType = 0, uint16_t appVersion = 0)
        : classes_(std::move(classes)) {
        ctx_.fileType = fileType;
        ctx_.appVersion = appVersion;
        check(VMMakeFileSpec(scratchFolder.c_str(), 0, &ctx_.scratchSpec));
        if (classes_.size() > 251) throw Error(FS_E_BAD_PARAMS);
    }
    // The C record; its hooks, flags and budget may be set through it.
    FSContext *get() {
        ctx_.classCount = static_cast<uint8_t>(classes_.size());
        ctx_.classes = classes_.empty() ? nullptr : classes_.data();
        return &ctx_;
    }

private:
    FSContext ctx_{};
    std::vector<FSClassDesc> classes_;
};

// A run of records inside one locked chunk, iterable record by record.
class Chunk {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::span<std::byte>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::span<std::byte>;
        iterator() = default;
        iterator(std::byte *at, uint16_t size) : at_(at), size_(size) {}
        std::span<std::byte> operator*() const { return {at_, size_}; }
        iterator &operator++() {
            at_ += size_;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            at_ += size_;
            return old;
        }
        bool operator==(const iterator &other) const { return at_ == other.at_; }

    private:
        std::byte *at_ = nullptr;
        uint16_t size_ = 0;
    };

    Chunk() = default;
    Chunk(uint32_t first, std::span<std::byte> bytes, uint16_t recordSize)
        : first_(first), bytes_(bytes), recordSize_(recordSize) {}

    uint32_t first() const { return first_; }               // RIX of the first record
    uint32_t count() const { return recordSize_ ? uint32_t(bytes_.size() / recordSize_) : 0; }
    std::span<std::byte> bytes() const { return bytes_; }   // the records, packed
    std::span<std::byte> record(uint32_t i) const { return bytes_.subspan(size_t(i) * recordSize_, recordSize_); }
    iterator begin() const { return {bytes_.data(), recordSize_}; }
    iterator end() const { return {bytes_.data() + bytes_.size(), recordSize_}; }

private:
    uint32_t first_ = 0;
    std::span<std::byte> bytes_;
    uint16_t recordSize_ = 0;
};

// A checked-out table. Move-only; checks the table in when destroyed.
class Session {
public:
    // Iterates a table's records chunk by chunk from a RIX: each step locks
    // the next chunk (FSIxLock); the end unlocks the session. Writing needs
    // dirty() on each chunk. Changing the number of records ends the walk.
    class Chunks {
    public:
        class iterator {
        public:
            using iterator_category = std::input_iterator_tag;
            using value_type = Chunk;
            using difference_type = std::ptrdiff_t;
            using pointer = void;
            using reference = const Chunk &;
            iterator() = default;
            iterator(SCB *scb, uint32_t from) : scb_(scb) { lock(from); }
            const Chunk &operator*() const { return chunk_; }
            const Chunk *operator->() const { return &chunk_; }
            iterator &operator++() {
                lock(chunk_.first() + chunk_.count());
                return *this;
            }
            void operator++(int) { ++*this; }
            bool operator==(const iterator &other) const { return scb_ == other.scb_; }

        private:
            void lock(uint32_t rix) {
                if (rix >= FSTableSize(scb_)) {
                    FSUnlock(scb_);
                    scb_ = nullptr;
                    return;
                }
                void *record = nullptr, *end = nullptr;
                check(FSIxLock(scb_, rix, &record, &end));
                auto *first = static_cast<std::byte *>(record);
                chunk_ = Chunk(rix, {first, static_cast<std::byte *>(end)}, scb_->recSize);
            }
            SCB *scb_ = nullptr;
            Chunk chunk_;
        };

        Chunks(SCB *scb, uint32_t from) : scb_(scb), from_(from) {}
        iterator begin() const { return {scb_, from_}; }
        iterator end() const { return {}; }

    private:
        SCB *scb_;
        uint32_t from_;
    };

    Session() = default;
    explicit Session(SCB *scb) noexcept : scb_(scb) {}
    Session(Session &&other) noexcept : scb_(std::exchange(other.scb_, nullptr)) {}
    Session &operator=(Session &&other) noexcept {
        if (this != &other) {
            check_in();
            scb_ = std::exchange(other.scb_, nullptr);
        }
        return *this;
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { check_in(); }

    void check_in() noexcept {
        if (scb_ != nullptr) FSCheckIn(std::exchange(scb_, nullptr));
    }
    SCB *get() const { return scb_; }

    uint16_t table() const { return scb_->tableNumber; }
    uint8_t record_class() const { return scb_->classNumber; }
    uint16_t record_size() const { return scb_->recSize; }
    uint32_t size() const { return FSTableSize(scb_); }

    // Record rix, locked (RIX_LAST: the last one).
    std::span<std::byte> lock(uint32_t rix) {
        void *record = nullptr;
        check(FSIxLock(scb_, rix, &record, nullptr));
        return {static_cast<std::byte *>(record), scb_->recSize};
    }
    // The locked chunk from record rix to its end.
    Chunk lock_chunk(uint32_t rix) {
        void *record = nullptr, *end = nullptr;
        check(FSIxLock(scb_, rix, &record, &end));
        return Chunk(FSxGetCurrent(scb_), {static_cast<std::byte *>(record), static_cast<std::byte *>(end)},
                     scb_->recSize);
    }
    void unlock() {
        FSUnlock(scb_);
        check(FSError(scb_));
    }
    // The locked chunk is written back at its unlock.
    void dirty() { FSDirtyRec(scb_); }
    Chunks chunks(uint32_t from = 0) const { return {scb_, from}; }

    // count zero records from rix (RIX_LAST: appended); records of a class
    // with RIDs get new RIDs. add_locked returns record rix, locked and dirty.
    void add(uint32_t rix, uint32_t count, bool keepWhole = false) {
        check(FSIAddLock(scb_, rix, count, keepWhole ? 1 : 0, nullptr));
    }
    std::span<std::byte> add_locked(uint32_t rix, uint32_t count, bool keepWhole = false) {
        void *record = nullptr;
        check(FSIAddLock(scb_, rix, count, keepWhole ? 1 : 0, &record));
        return {static_cast<std::byte *>(record), scb_->recSize};
    }
    // Whole records from host memory (not for classes with RIDs); replace
    // empties the table first.
    void insert(uint32_t rix, std::span<const std::byte> records, bool replace = false) {
        check(FSIAddPtr(scb_, rix, whole_records(records.size()), replace ? 1 : 0, records.data()));
    }
    // Records [first, first + out.size() / record_size()) into out.
    void read(uint32_t first, std::span<std::byte> out) {
        check(FSFillPtr(scb_, first, whole_records(out.size()), out.data()));
    }
    void erase(uint32_t first, uint32_t count) {
        check(FSIRecOps(scb_, FSOpDelete, first, count, nullptr, 0));
    }
    void copy(uint32_t first, uint32_t count, Session &to, uint32_t toRix) {
        check(FSIRecOps(scb_, FSOpCopy, first, count, to.scb_, toRix));
    }
    void move(uint32_t first, uint32_t count, Session &to, uint32_t toRix) {
        check(FSIRecOps(scb_, FSOpMove, first, count, to.scb_, toRix));
    }

    uint32_t rid(uint32_t rix) {
        uint32_t rid = RIX2RID(scb_, rix);
        if (rid == RIX_NONE) check(FSError(scb_));
        return rid;
    }
    uint32_t rix_of(uint32_t rid) {
        uint32_t rix = RID2RIX(scb_, rid);
        if (rix == RIX_NONE) check(FSError(scb_));
        return rix;
    }

private:
    uint32_t whole_records(size_t bytes) const {
        if (scb_ == nullptr) throw Error(FS_E_BAD_SCB);
        if (bytes % scb_->recSize != 0 || bytes / scb_->recSize > UINT32_MAX) throw Error(FS_E_BAD_PARAMS);
        return static_cast<uint32_t>(bytes / scb_->recSize);
    }
    SCB *scb_ = nullptr;
};

// An open storage file. Move-only; a File destroyed while open is closed
// without keeping what was not saved (FSFileClose with keep 0).
class File {
public:
    using Progress = std::function<void(const FSProgress &)>;

    // A new scratch file in the context's scratch folder (FSCreate).
    static File create(Context &ctx) {
        FCB *fcb = nullptr;
        check(FSCreate(ctx.get(), &fcb));
        return File(fcb);
    }
    // FSFileOpen; asCopy works on a scratch copy and never writes path.
    static File open(const std::string &path, Context &ctx, Version version = Version::current,
                     bool asCopy = false) {
        VMFileSpec spec = file_spec(path);
        FCB *fcb = nullptr;
        check(FSFileOpen(&spec, static_cast<uint32_t>(version), asCopy ? 1 : 0, ctx.get(), &fcb, nullptr));
        return File(fcb);
    }

    File() = default;
    explicit File(FCB *fcb) noexcept : fcb_(fcb) {}
    File(File &&other) noexcept : fcb_(std::exchange(other.fcb_, nullptr)) {}
    File &operator=(File &&other) noexcept {
        if (this != &other) {
            close(false);
            fcb_ = std::exchange(other.fcb_, nullptr);
        }
        return *this;
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { close(false); }

    // keep: the file stays as it stands; otherwise it falls back to its
    // saved version, or goes when it is a scratch file. Sessions still open
    // are checked in by the library: their Session objects must not be used
    // afterwards.
    void close(bool keep) noexcept {
        if (fcb_ != nullptr) FSFileClose(std::exchange(fcb_, nullptr), keep ? 1 : 0);
    }
    FCB *get() const { return fcb_; }

    void save() { check(FSISaveCommit(fcb_, 1, 0)); }
    void mini_save() { check(FSISaveCommit(fcb_, 0, 0)); }
    // Writes a compact copy to path and goes on in it (FSSaveAsExt); progress
    // receives the progress records (codes 0, 1..., 2).
    void save_as(const std::string &path, const Progress &progress = {}) {
        VMFileSpec spec = file_spec(path);
        if (progress)
            check(FSSaveAsExt(&Report, reinterpret_cast<uintptr_t>(&progress), fcb_, &spec));
        else
            check(FSSaveAs(fcb_, &spec));
    }
    uint32_t compact_size() {
        uint32_t size = 0;
        check(FSCompSize(fcb_, &size));
        return size;
    }

    uint16_t make_table(uint8_t recordClass) {
        uint16_t tid = TID_NONE;
        check(FSMakeTable(fcb_, recordClass, &tid));
        return tid;
    }
    void destroy_table(uint16_t tid) { check(FSDestroyTable(fcb_, tid)); }
    Session check_out(uint16_t tid, Mode mode = Mode::read) {
        SCB *scb = nullptr;
        check(FSCheckOut(fcb_, tid, static_cast<uint32_t>(mode), &scb));
        return Session(scb);
    }
    uint8_t table_class(uint16_t tid) {
        uint8_t cls = 0;
        check(FSTableClass(fcb_, tid, &cls));
        return cls;
    }
    uint32_t table_count() { return FSTableCount(fcb_); }
    uint32_t alloc_rid(uint8_t recordClass) {
        uint32_t rid = FSAllocRID(fcb_, recordClass);
        if (rid == RIX_NONE) check(FSError(fcb_));
        return rid;
    }

    std::string path() const { return VMFileSpecPath(FSFileSpec(fcb_)); }
    uint16_t root_table() const { return FSRootTable(fcb_); }
    bool has_saved() const { return FSSaved(fcb_) != 0; }
    bool has_mini() const { return FSCommitted(fcb_) != 0; }
    bool dirtied() const { return FSDirtied(fcb_) != 0; }

private:
    // First call: the new file exists, go on. Then progress records; an
    // exception must not cross the C library, so it is dropped here.
    static FSStatus Report(const void *oldSpec, const void *record) {
        if (oldSpec != nullptr) return 0;
        const auto *p = static_cast<const FSProgress *>(record);
        try {
            (*reinterpret_cast<const Progress *>(p->context))(*p);
        } catch (...) {
        }
        return 0;
    }
    FCB *fcb_ = nullptr;
};

// Registration of the library's callback table for byte streams
// (FSInstallSFM / FSUninstallSFM, counted).
class StreamCallbacks {
public:
    StreamCallbacks() {
        uint16_t registration = 0;
        FSStatus status = static_cast<FSStatus>(FSInstallSFM(&registration));
        if (status != 0) {
            FSUninstallSFM();
            throw Error(status);
        }
    }
    ~StreamCallbacks() { FSUninstallSFM(); }
    StreamCallbacks(const StreamCallbacks &) = delete;
    StreamCallbacks &operator=(const StreamCallbacks &) = delete;
};

// A byte stream kept in a table whose class has 1-byte records; needs the
// callback table registered. Move-only; closed when destroyed.
class Stream {
public:
    static Stream create(File &file, uint8_t recordClass) {
        VMStream *s = nullptr;
        check(VMStreamCreate(file.get(), recordClass, &s));
        return Stream(s);
    }
    static Stream open(File &file, uint16_t tid, Mode mode = Mode::read) {
        VMStream *s = nullptr;
        check(VMStreamOpen(file.get(), tid, static_cast<uint32_t>(mode), &s));
        return Stream(s);
    }
    Stream(Stream &&other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    Stream &operator=(Stream &&other) noexcept {
        if (this != &other) {
            close();
            s_ = std::exchange(other.s_, nullptr);
        }
        return *this;
    }
    ~Stream() { close(); }

    void close() noexcept {
        if (s_ != nullptr) VMStreamClose(std::exchange(s_, nullptr));
    }
    uint16_t table() const { return VMStreamTable(s_); }
    uint32_t size() { return VMStreamSize(s_); }
    void resize(uint32_t size) { check(VMStreamSetSize(s_, size)); }
    void write(uint32_t position, std::span<const std::byte> data) {
        check(VMStreamWrite(s_, position, static_cast<uint32_t>(data.size()), data.data()));
    }
    void read(uint32_t position, std::span<std::byte> out) {
        check(VMStreamRead(s_, position, static_cast<uint32_t>(out.size()), out.data()));
    }

private:
    explicit Stream(VMStream *s) : s_(s) {}
    VMStream *s_ = nullptr;
};

} // namespace zunfs

#endif // ZUNFS_ZUNFS_HPP
