// Benchmark harness: zunfs against two peer stores, side by side in one run.
//
// Every store implements the same workloads on a table of fixed-size records
// kept in record order. A store reports failures by throwing StoreError; the
// harness then drops that store's remaining work in the repetition and goes
// on with the others.
#ifndef ZUNFS_BENCH_BENCH_H
#define ZUNFS_BENCH_BENCH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Sum of every byte of [p, p + n): the work a reader does on each record.
uint64_t SumBytes(const uint8_t *p, size_t n);

double Now(); // seconds, monotonic

// Size in bytes of a file, 0 when it does not exist.
uint64_t FileSize(const std::string &path);
// Makes what was written to the file at path durable (open, fdatasync, close).
void SyncFile(const std::string &path);
// Removes a folder and everything below it; missing is fine.
void RemoveTree(const std::string &path);
void MakeDir(const std::string &path);

// The records a workload uses, made once per record size and shared by every
// store so that all of them do the same work on the same bytes.
struct Dataset {
    uint32_t recSize = 0;
    uint64_t count = 0;            // records appended
    std::vector<uint8_t> records;  // count * recSize bytes, in record order
    uint64_t recordsSum = 0;       // SumBytes of records
};

// The operations of the full sequence on 64-byte records.
struct Plan {
    std::vector<uint32_t> readPositions;   // random reads by position, in [0, count)
    std::vector<uint32_t> updatePositions; // in-place updates, in [0, count)
    std::vector<uint8_t> updateRecords;    // their new contents
    std::vector<uint64_t> insertFractions; // insertion points as fractions of 2^64
    std::vector<uint8_t> insertRecords;    // the inserted contents
    std::vector<uint64_t> rankFractions;   // reads by position after the insertions
    uint64_t sumAfterUpdates = 0;          // expected SumBytes of the table after the updates
    uint64_t sumAfterInserts = 0;          // ... and after the insertions
    uint64_t readSum = 0;                  // expected sum of the records at readPositions
    double rankSeconds = 1.0;              // time given to the reads after insertions
};

// Keys of the peers: record i starts at (i + 1) << 32, which leaves room
// for 31 halvings between any two neighbours and before the first one.
inline uint64_t KeyOf(uint64_t position) { return (position + 1) << 32; }
// Scales a fraction of 2^64 to [0, n).
inline uint64_t Scale(uint64_t fraction, uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(fraction) * n) >> 64);
}

class Store {
public:
    virtual ~Store() = default;
    // Makes an empty store for records of recSize bytes in folder dir.
    virtual void Create(const std::string &dir, uint32_t recSize) = 0;
    // Number of ways to append: peers have one; zunfs copies from the host's
    // buffer (0) or writes into locked new records (1).
    virtual int AppendMethods() const { return 1; }
    // Appends n records from data, then makes them durable.
    virtual void Append(int method, const uint8_t *data, uint64_t n) = 0;
    virtual uint64_t Count() = 0;
    // Visits every record in order; returns the SumBytes of all of them.
    virtual uint64_t Scan() = 0;
    // Reads the records at the given positions (before any insertion).
    virtual uint64_t ReadAt(const std::vector<uint32_t> &positions) = 0;
    // Overwrites records in place, then makes the change durable.
    virtual void Update(const std::vector<uint32_t> &positions, const uint8_t *records) = 0;
    // Inserts one record per fraction at that point of the table, then
    // makes the insertions durable.
    virtual void Insert(const std::vector<uint64_t> &fractions, const uint8_t *records) = 0;
    // Reads the record at position Scale(f, count) for each fraction until
    // the time is up (count is what Count() answers); returns the number of
    // reads done.
    virtual uint64_t ReadRanked(const std::vector<uint64_t> &fractions, uint64_t count,
                                double seconds) = 0;
    // Writes a compact copy into folder outDir; returns its size in bytes.
    virtual uint64_t Compact(const std::string &outDir) = 0;
    // Bytes the store occupies on disk now.
    virtual uint64_t DiskBytes() = 0;
    // Closes and forgets the store (files are removed by the harness).
    virtual void Close() = 0;
};

std::unique_ptr<Store> MakeSqliteStore(bool wal);
std::unique_ptr<Store> MakeLmdbStore();
std::unique_ptr<Store> MakeZunfsStore(uint32_t memBudget);

// What the peers were configured with, for the report header.
std::string SqliteSettings(const std::string &dir);
std::string LmdbSettings();

} // namespace bench

#endif
