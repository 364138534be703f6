// The SQL peer: one table r(k INTEGER PRIMARY KEY, v BLOB).
//
// Record i is stored under key KeyOf(i), so reading "by position" before any
// insertion is a lookup by integer key. The key doubles as the order key of
// positional insertion: a new record between keys a and b gets a + (b - a) / 2,
// and the rowid B-tree is the index that keeps records in that order.
// Reading the record at position p after insertions has no better way than
// walking p entries of that order (LIMIT 1 OFFSET p).
//
// Durability: the default journal mode with the default synchronous=FULL,
// or WAL with synchronous=FULL. Reads run inside one read transaction per
// workload, so that they do not pay for a lock per statement.
#include "bench.h"

#include <sqlite3.h>

#include <cstring>

namespace bench {
namespace {

class Statement {
public:
    Statement(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
            throw StoreError(std::string("prepare: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *get() { return st_; }
    // Steps once; true for a row, false when done.
    bool Step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("step: ") + sqlite3_errmsg(db_));
    }
    void Reset() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }

private:
    sqlite3 *db_;
    sqlite3_stmt *st_ = nullptr;
};

class SqliteStore final : public Store {
public:
    explicit SqliteStore(bool wal) : wal_(wal) {}
    ~SqliteStore() override { Close(); }

    void Create(const std::string &dir, uint32_t recSize) override {
        recSize_ = recSize;
        path_ = dir + "/records.db";
        if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            throw StoreError("open " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "no memory"));
        if (wal_) {
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=FULL");
        }
        Exec("CREATE TABLE r(k INTEGER PRIMARY KEY, v BLOB NOT NULL)");
    }

    void Append(int, const uint8_t *data, uint64_t n) override {
        Exec("BEGIN");
        Statement ins(db_, "INSERT INTO r(k, v) VALUES(?1, ?2)");
        for (uint64_t i = 0; i < n; ++i) {
            sqlite3_bind_int64(ins.get(), 1, static_cast<sqlite3_int64>(KeyOf(i)));
            sqlite3_bind_blob(ins.get(), 2, data + i * recSize_, static_cast<int>(recSize_),
                              SQLITE_STATIC);
            ins.Step();
            sqlite3_reset(ins.get());
        }
        Exec("COMMIT");
    }

    uint64_t Count() override {
        Statement q(db_, "SELECT count(*) FROM r");
        q.Step();
        return static_cast<uint64_t>(sqlite3_column_int64(q.get(), 0));
    }

    uint64_t Scan() override {
        ReadTxn txn(this);
        Statement q(db_, "SELECT v FROM r ORDER BY k");
        uint64_t sum = 0;
        while (q.Step()) sum += Blob(q.get());
        return sum;
    }

    uint64_t ReadAt(const std::vector<uint32_t> &positions) override {
        ReadTxn txn(this);
        Statement q(db_, "SELECT v FROM r WHERE k = ?1");
        uint64_t sum = 0;
        for (uint32_t p : positions) {
            sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(KeyOf(p)));
            if (!q.Step()) throw StoreError("record missing");
            sum += Blob(q.get());
            sqlite3_reset(q.get());
        }
        return sum;
    }

    void Update(const std::vector<uint32_t> &positions, const uint8_t *records) override {
        Exec("BEGIN");
        Statement up(db_, "UPDATE r SET v = ?2 WHERE k = ?1");
        for (size_t i = 0; i < positions.size(); ++i) {
            sqlite3_bind_int64(up.get(), 1, static_cast<sqlite3_int64>(KeyOf(positions[i])));
            sqlite3_bind_blob(up.get(), 2, records + i * recSize_, static_cast<int>(recSize_),
                              SQLITE_STATIC);
            up.Step();
            if (sqlite3_changes(db_) != 1) throw StoreError("update found no record");
            sqlite3_reset(up.get());
        }
        Exec("COMMIT");
    }

    void Insert(const std::vector<uint64_t> &fractions, const uint8_t *records) override {
        Exec("BEGIN");
        Statement next(db_, "SELECT k FROM r WHERE k >= ?1 ORDER BY k LIMIT 1");
        Statement prev(db_, "SELECT k FROM r WHERE k < ?1 ORDER BY k DESC LIMIT 1");
        Statement last(db_, "SELECT max(k) FROM r");
        Statement ins(db_, "INSERT INTO r(k, v) VALUES(?1, ?2)");
        last.Step();
        uint64_t lastKey = static_cast<uint64_t>(sqlite3_column_int64(last.get(), 0));
        for (size_t i = 0; i < fractions.size(); ++i) {
            // A random point of the key space; the new record goes before the
            // first record at or after it.
            uint64_t target = Scale(fractions[i], lastKey + (uint64_t{1} << 32));
            uint64_t key;
            sqlite3_bind_int64(next.get(), 1, static_cast<sqlite3_int64>(target));
            if (next.Step()) {
                uint64_t hi = static_cast<uint64_t>(sqlite3_column_int64(next.get(), 0));
                sqlite3_bind_int64(prev.get(), 1, static_cast<sqlite3_int64>(hi));
                uint64_t lo = prev.Step() ? static_cast<uint64_t>(sqlite3_column_int64(prev.get(), 0))
                                          : 0;
                prev.Reset();
                key = lo + (hi - lo) / 2;
                if (key == lo) throw StoreError("order keys exhausted between two records");
            } else {
                key = lastKey + (uint64_t{1} << 32);
                lastKey = key;
            }
            next.Reset();
            sqlite3_bind_int64(ins.get(), 1, static_cast<sqlite3_int64>(key));
            sqlite3_bind_blob(ins.get(), 2, records + i * recSize_, static_cast<int>(recSize_),
                              SQLITE_STATIC);
            ins.Step();
            sqlite3_reset(ins.get());
        }
        Exec("COMMIT");
    }

    uint64_t ReadRanked(const std::vector<uint64_t> &fractions, uint64_t count,
                        double seconds) override {
        ReadTxn txn(this);
        Statement q(db_, "SELECT v FROM r ORDER BY k LIMIT 1 OFFSET ?1");
        double end = Now() + seconds;
        uint64_t done = 0;
        volatile uint64_t sink = 0;
        for (uint64_t f : fractions) {
            sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(Scale(f, count)));
            if (!q.Step()) throw StoreError("record missing");
            sink = sink + Blob(q.get());
            sqlite3_reset(q.get());
            ++done;
            if (Now() >= end) break;
        }
        return done;
    }

    uint64_t Compact(const std::string &outDir) override {
        std::string out = outDir + "/compact.db";
        Statement q(db_, "VACUUM INTO ?1");
        sqlite3_bind_text(q.get(), 1, out.c_str(), -1, SQLITE_TRANSIENT);
        q.Step();
        SyncFile(out);
        return FileSize(out);
    }

    uint64_t DiskBytes() override { return FileSize(path_) + FileSize(path_ + "-wal"); }

    void Close() override {
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

private:
    // A read transaction for the life of the object.
    struct ReadTxn {
        explicit ReadTxn(SqliteStore *s) : s_(s) { s_->Exec("BEGIN"); }
        ~ReadTxn() { sqlite3_exec(s_->db_, "COMMIT", nullptr, nullptr, nullptr); }
        SqliteStore *s_;
    };

    void Exec(const char *sql) {
        char *err = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = std::string(sql) + ": " + (err ? err : "failed");
            sqlite3_free(err);
            throw StoreError(msg);
        }
    }

    uint64_t Blob(sqlite3_stmt *st) {
        const void *v = sqlite3_column_blob(st, 0);
        int n = sqlite3_column_bytes(st, 0);
        if (n != static_cast<int>(recSize_)) throw StoreError("record of the wrong size");
        return SumBytes(static_cast<const uint8_t *>(v), static_cast<size_t>(n));
    }

    bool wal_;
    uint32_t recSize_ = 0;
    std::string path_;
    sqlite3 *db_ = nullptr;
};

} // namespace

std::unique_ptr<Store> MakeSqliteStore(bool wal) { return std::make_unique<SqliteStore>(wal); }

std::string SqliteSettings(const std::string &dir) {
    // Asks a fresh database what the defaults are.
    std::string path = dir + "/settings.db";
    sqlite3 *db = nullptr;
    std::string out = std::string("SQLite ") + sqlite3_libversion();
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        auto pragma = [&](const char *sql) {
            std::string v;
            sqlite3_stmt *st = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW)
                v = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
            sqlite3_finalize(st);
            return v;
        };
        out += ": default journal_mode=" + pragma("PRAGMA journal_mode") +
               " synchronous=" + pragma("PRAGMA synchronous") +
               " (2 = FULL), page_size=" + pragma("PRAGMA page_size") +
               ", cache_size=" + pragma("PRAGMA cache_size");
    }
    sqlite3_close(db);
    RemoveTree(path);
    return out;
}

} // namespace bench
