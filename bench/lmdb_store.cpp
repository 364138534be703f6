// The memory-mapped B-tree peer: one unnamed database with 64-bit integer
// keys (MDB_INTEGERKEY), record i under KeyOf(i).
//
// The bulk load appends in key order (MDB_APPEND). Positional insertion uses
// the key as order key as the SQL peer does: the new record goes between the
// first record at or after a random point of the key space and its
// predecessor. The tree keeps no counts, so the record at position p is found
// by stepping a cursor p times from the first record.
//
// Durability: the default environment flags (a synchronous flush at every
// commit).
#include "bench.h"

#include <lmdb.h>

#include <cstring>
#include <string>

namespace bench {
namespace {

void Check(int rc, const char *what) {
    if (rc != MDB_SUCCESS) throw StoreError(std::string(what) + ": " + mdb_strerror(rc));
}

// A transaction that aborts unless committed.
class Txn {
public:
    Txn(MDB_env *env, unsigned flags) { Check(mdb_txn_begin(env, nullptr, flags, &txn_), "txn"); }
    ~Txn() {
        if (txn_) mdb_txn_abort(txn_);
    }
    Txn(const Txn &) = delete;
    Txn &operator=(const Txn &) = delete;
    MDB_txn *get() { return txn_; }
    void Commit() {
        int rc = mdb_txn_commit(txn_);
        txn_ = nullptr;
        Check(rc, "commit");
    }

private:
    MDB_txn *txn_ = nullptr;
};

class Cursor {
public:
    Cursor(MDB_txn *txn, MDB_dbi dbi) { Check(mdb_cursor_open(txn, dbi, &c_), "cursor"); }
    ~Cursor() { mdb_cursor_close(c_); }
    Cursor(const Cursor &) = delete;
    Cursor &operator=(const Cursor &) = delete;
    // true when positioned; false at the end.
    bool Get(MDB_val *k, MDB_val *v, MDB_cursor_op op) {
        int rc = mdb_cursor_get(c_, k, v, op);
        if (rc == MDB_NOTFOUND) return false;
        Check(rc, "cursor get");
        return true;
    }

private:
    MDB_cursor *c_ = nullptr;
};

// Keys inside pages need not be 8-byte aligned.
uint64_t KeyIn(const MDB_val &k) {
    uint64_t key;
    std::memcpy(&key, k.mv_data, sizeof key);
    return key;
}

class LmdbStore final : public Store {
public:
    ~LmdbStore() override { Close(); }

    void Create(const std::string &dir, uint32_t recSize) override {
        recSize_ = recSize;
        dir_ = dir + "/env";
        MakeDir(dir_);
        Check(mdb_env_create(&env_), "env create");
        Check(mdb_env_set_mapsize(env_, size_t{16} << 30), "mapsize");
        Check(mdb_env_open(env_, dir_.c_str(), 0, 0600), "env open");
        Txn txn(env_, 0);
        Check(mdb_dbi_open(txn.get(), nullptr, MDB_INTEGERKEY, &dbi_), "dbi open");
        txn.Commit();
    }

    void Append(int, const uint8_t *data, uint64_t n) override {
        Txn txn(env_, 0);
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t key = KeyOf(i);
            MDB_val k{sizeof key, &key};
            MDB_val v{recSize_, const_cast<uint8_t *>(data + i * recSize_)};
            Check(mdb_put(txn.get(), dbi_, &k, &v, MDB_APPEND), "append");
        }
        txn.Commit();
    }

    uint64_t Count() override {
        Txn txn(env_, MDB_RDONLY);
        MDB_stat st;
        Check(mdb_stat(txn.get(), dbi_, &st), "stat");
        return st.ms_entries;
    }

    uint64_t Scan() override {
        Txn txn(env_, MDB_RDONLY);
        Cursor c(txn.get(), dbi_);
        MDB_val k, v;
        uint64_t sum = 0;
        for (bool ok = c.Get(&k, &v, MDB_FIRST); ok; ok = c.Get(&k, &v, MDB_NEXT))
            sum += Value(v);
        return sum;
    }

    uint64_t ReadAt(const std::vector<uint32_t> &positions) override {
        Txn txn(env_, MDB_RDONLY);
        uint64_t sum = 0;
        for (uint32_t p : positions) {
            uint64_t key = KeyOf(p);
            MDB_val k{sizeof key, &key}, v;
            Check(mdb_get(txn.get(), dbi_, &k, &v), "get");
            sum += Value(v);
        }
        return sum;
    }

    void Update(const std::vector<uint32_t> &positions, const uint8_t *records) override {
        Txn txn(env_, 0);
        for (size_t i = 0; i < positions.size(); ++i) {
            uint64_t key = KeyOf(positions[i]);
            MDB_val k{sizeof key, &key};
            MDB_val v{recSize_, const_cast<uint8_t *>(records + i * recSize_)};
            Check(mdb_put(txn.get(), dbi_, &k, &v, 0), "update");
        }
        txn.Commit();
    }

    void Insert(const std::vector<uint64_t> &fractions, const uint8_t *records) override {
        Txn txn(env_, 0);
        Cursor c(txn.get(), dbi_);
        MDB_val k, v;
        if (!c.Get(&k, &v, MDB_LAST)) throw StoreError("empty table");
        uint64_t lastKey = KeyIn(k);
        for (size_t i = 0; i < fractions.size(); ++i) {
            // A random point of the key space; the new record goes before the
            // first record at or after it.
            uint64_t target = Scale(fractions[i], lastKey + (uint64_t{1} << 32));
            uint64_t key;
            k = MDB_val{sizeof target, &target};
            if (c.Get(&k, &v, MDB_SET_RANGE)) {
                uint64_t hi = KeyIn(k);
                uint64_t lo = c.Get(&k, &v, MDB_PREV) ? KeyIn(k) : 0;
                key = lo + (hi - lo) / 2;
                if (key == lo) throw StoreError("order keys exhausted between two records");
            } else {
                key = lastKey + (uint64_t{1} << 32);
                lastKey = key;
            }
            MDB_val nk{sizeof key, &key};
            MDB_val nv{recSize_, const_cast<uint8_t *>(records + i * recSize_)};
            Check(mdb_put(txn.get(), dbi_, &nk, &nv, MDB_NOOVERWRITE), "insert");
        }
        txn.Commit();
    }

    uint64_t ReadRanked(const std::vector<uint64_t> &fractions, uint64_t count,
                        double seconds) override {
        Txn txn(env_, MDB_RDONLY);
        Cursor c(txn.get(), dbi_);
        double end = Now() + seconds;
        uint64_t done = 0;
        volatile uint64_t sink = 0;
        for (uint64_t f : fractions) {
            uint64_t steps = Scale(f, count);
            MDB_val k, v;
            if (!c.Get(&k, &v, MDB_FIRST)) throw StoreError("empty table");
            for (uint64_t s = 0; s < steps; ++s)
                if (!c.Get(&k, &v, MDB_NEXT)) throw StoreError("record missing");
            sink = sink + Value(v);
            ++done;
            if (Now() >= end) break;
        }
        return done;
    }

    uint64_t Compact(const std::string &outDir) override {
        Check(mdb_env_copy2(env_, outDir.c_str(), MDB_CP_COMPACT), "compacting copy");
        std::string out = outDir + "/data.mdb";
        SyncFile(out);
        return FileSize(out);
    }

    uint64_t DiskBytes() override { return FileSize(dir_ + "/data.mdb"); }

    void Close() override {
        if (env_) mdb_env_close(env_);
        env_ = nullptr;
    }

private:
    uint64_t Value(const MDB_val &v) {
        if (v.mv_size != recSize_) throw StoreError("record of the wrong size");
        return SumBytes(static_cast<const uint8_t *>(v.mv_data), v.mv_size);
    }

    uint32_t recSize_ = 0;
    std::string dir_;
    MDB_env *env_ = nullptr;
    MDB_dbi dbi_ = 0;
};

} // namespace

std::unique_ptr<Store> MakeLmdbStore() { return std::make_unique<LmdbStore>(); }

std::string LmdbSettings() {
    int major = 0, minor = 0, patch = 0;
    mdb_version(&major, &minor, &patch);
    return "LMDB " + std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string(patch) + ": default environment flags (synchronous commits)," +
           " MDB_INTEGERKEY keys, bulk load with MDB_APPEND";
}

} // namespace bench
