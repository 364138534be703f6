// zunfs_bench: the workloads on zunfs and its two peers, side by side in one
// run, and the machine's own limits measured in the same run.
//
// Every repetition measures the limits, then runs each store's sequence of
// workloads in turn (the store that goes first rotates), so that drift of the
// machine touches every column alike. The table shows the median of the
// repetitions with the smallest and largest value, and zunfs over each peer.
// Each workload checks what it read or wrote against the dataset; a store
// whose results are wrong fails its repetition instead of reporting a time.
#include "bench.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {
namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

struct StopRequested : StoreError {
    StopRequested() : StoreError("stopped") {}
};

void CheckStop() {
    if (g_stop) throw StopRequested();
}

struct Config {
    uint64_t n = 1000000;      // records of 64 and 16 bytes
    int reps = 5;
    double rankSeconds = 1.0;  // per store and repetition, for reads by rank
    uint64_t writeBytes = 0; // set from n
    uint64_t seed = 0x5A42;
    std::string tmpParent;
    std::string only;          // when set, only the stores whose name begins with it run
    bool quick = false;
};

void Usage() {
    std::printf(
        "usage: zunfs_bench [--quick] [--n=RECORDS] [--reps=N] [--tmp=DIR] [--seed=N]\n"
        "                   [--rank-seconds=S] [--only=STORE]\n"
        "  --quick          100,000 records, 3 repetitions, shorter reads by rank\n"
        "  --n=RECORDS      records of 64 and 16 bytes (default 1,000,000); 1 KiB records\n"
        "                   are 30%% of it, updates 1%%, insertions 10%%\n"
        "  --reps=N         repetitions (default 5)\n"
        "  --tmp=DIR        where the temporary folder is made (default $TMPDIR or /tmp)\n"
        "  --rank-seconds=S time for reads at a position after insertions (default 1)\n"
        "  --seed=N         seed of the records, positions and insertion points\n"
        "  --only=STORE     run only the stores whose name begins with STORE (zunfs,\n"
        "                   SQLite, LMDB), e.g. to profile one of them\n"
        "  ZUNFS_BENCH_QUICK=1 in the environment is the same as --quick.\n");
}

bool ParseArgs(int argc, char **argv, Config &cfg) {
    const char *envQuick = std::getenv("ZUNFS_BENCH_QUICK");
    auto quick = [&] {
        cfg.quick = true;
        cfg.n = 100000;
        cfg.reps = 3;
        cfg.rankSeconds = 0.25;
    };
    if (envQuick && *envQuick && std::strcmp(envQuick, "0") != 0) quick();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            size_t len = std::strlen(name);
            return a.compare(0, len, name) == 0 ? a.c_str() + len : nullptr;
        };
        const char *v;
        char *end = nullptr;
        if (a == "--quick") {
            quick();
        } else if ((v = value("--n="))) {
            cfg.n = std::strtoull(v, &end, 10);
            if (*end || cfg.n < 100 || cfg.n > 10000000) {
                std::fprintf(stderr, "--n must be between 100 and 10000000\n");
                return false;
            }
        } else if ((v = value("--reps="))) {
            cfg.reps = static_cast<int>(std::strtol(v, &end, 10));
            if (*end || cfg.reps < 1 || cfg.reps > 1000) {
                std::fprintf(stderr, "--reps must be between 1 and 1000\n");
                return false;
            }
        } else if ((v = value("--rank-seconds="))) {
            cfg.rankSeconds = std::strtod(v, &end);
            if (*end || !(cfg.rankSeconds > 0) || cfg.rankSeconds > 600) {
                std::fprintf(stderr, "--rank-seconds must be above 0 and at most 600\n");
                return false;
            }
        } else if ((v = value("--seed="))) {
            cfg.seed = std::strtoull(v, &end, 0);
        } else if ((v = value("--tmp="))) {
            cfg.tmpParent = v;
        } else if ((v = value("--only="))) {
            cfg.only = v;
        } else {
            Usage();
            return false;
        }
    }
    // 256 MiB at a million records, in proportion below, at least 16 MiB.
    cfg.writeBytes = std::clamp<uint64_t>(cfg.n * 256 / 1000000, 16, 256) << 20;
    return true;
}

// "10k", "1M", "300k", "1234".
std::string Count(uint64_t n) {
    if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
    if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + "k";
    return std::to_string(n);
}

void FillRandom(std::mt19937_64 &rng, std::vector<uint8_t> &bytes) {
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t w = rng();
        std::memcpy(bytes.data() + i, &w, std::min<size_t>(8, bytes.size() - i));
    }
}

Dataset MakeDataset(std::mt19937_64 &rng, uint32_t recSize, uint64_t count) {
    Dataset d;
    d.recSize = recSize;
    d.count = count;
    d.records.resize(recSize * count);
    FillRandom(rng, d.records);
    d.recordsSum = SumBytes(d.records.data(), d.records.size());
    return d;
}

Plan MakePlan(std::mt19937_64 &rng, const Dataset &d, const Config &cfg) {
    Plan p;
    uint64_t n = d.count, r = d.recSize;
    std::uniform_int_distribution<uint32_t> pos(0, static_cast<uint32_t>(n - 1));
    p.readPositions.resize(n);
    for (auto &x : p.readPositions) x = pos(rng);
    for (uint32_t x : p.readPositions) p.readSum += SumBytes(&d.records[x * r], r);

    p.updatePositions.resize(std::max<uint64_t>(1, n / 100));
    for (auto &x : p.updatePositions) x = pos(rng);
    p.updateRecords.resize(p.updatePositions.size() * r);
    FillRandom(rng, p.updateRecords);
    std::vector<uint8_t> model = d.records;
    for (size_t i = 0; i < p.updatePositions.size(); ++i)
        std::memcpy(&model[p.updatePositions[i] * r], &p.updateRecords[i * r], r);
    p.sumAfterUpdates = SumBytes(model.data(), model.size());

    p.insertFractions.resize(std::max<uint64_t>(1, n / 10));
    for (auto &x : p.insertFractions) x = rng();
    p.insertRecords.resize(p.insertFractions.size() * r);
    FillRandom(rng, p.insertRecords);
    p.sumAfterInserts = p.sumAfterUpdates + SumBytes(p.insertRecords.data(), p.insertRecords.size());

    p.rankFractions.resize(n);
    for (auto &x : p.rankFractions) x = rng();
    p.rankSeconds = cfg.rankSeconds;
    return p;
}

void Expect(uint64_t got, uint64_t want, const char *what) {
    if (got != want)
        throw StoreError(std::string(what) + ": expected " + std::to_string(want) + ", got " +
                         std::to_string(got));
}

// Prefix of the rows of workload 7 for one record size: "r16.".
std::string SizePrefix(uint32_t recSize) {
    std::string x = std::to_string(recSize);
    x.insert(x.begin(), 'r');
    x += '.';
    return x;
}

// Times fn; returns seconds.
double Time(const std::function<void()> &fn) {
    CheckStop();
    double t0 = Now();
    fn();
    return Now() - t0;
}

// A store of one column with the factory that makes it and the prefix of the
// rows it fills ("" for the ordinary rows, "8." for zunfs under a budget).
struct Contender {
    int column;
    std::string name;
    std::function<std::unique_ptr<Store>()> make;
    std::string rows;
};

class Runner {
public:
    Runner(Report &report, std::string root) : report_(report), root_(std::move(root)) {}

    // Appends with every method of the store, each into a fresh store, and
    // scans the result of the first. Rows: <prefix>append<m>, <prefix>scan,
    // <prefix>size when wanted.
    // Returns the store built by method 0, still open, for the caller to go on.
    std::unique_ptr<Store> AppendAndScan(const Contender &c, const Dataset &d, const std::string &prefix,
                                         const std::string &dir) {
        double payload = static_cast<double>(d.records.size());
        for (int m = c.make()->AppendMethods() - 1; m >= 0; --m) {
            std::string mdir = dir + "/m" + std::to_string(m);
            MakeDir(mdir);
            auto s = c.make();
            s->Create(mdir, d.recSize);
            double t = Time([&] { s->Append(m, d.records.data(), d.count); });
            Log(c, prefix + "append" + std::to_string(m), t);
            Expect(s->Count(), d.count, "records after the append");
            report_.Add(prefix + "append" + std::to_string(m), c.column, d.count / t / 1e6);
            if (m == 0) {
                report_.Add(prefix + "size", c.column, s->DiskBytes() / payload);
                Expect(s->Scan(), d.recordsSum, "byte sum of a scan"); // also warms the data
                double ts = Time([&] { Expect(s->Scan(), d.recordsSum, "byte sum of a scan"); });
                Log(c, prefix + "scan", ts);
                report_.Add(prefix + "scan", c.column, payload / ts / 1e9);
                return s;
            }
            s->Close();
            RemoveTree(mdir);
        }
        throw StoreError("no append method");
    }

    // Workloads 1 to 6 on 64-byte records.
    void Full(const Contender &c, const Dataset &d, const Plan &p) {
        const std::string &x = c.rows;
        std::string dir = StoreDir(c);
        auto s = AppendAndScan(c, d, x, dir);
        double t = Time([&] { Expect(s->ReadAt(p.readPositions), p.readSum, "byte sum of random reads"); });
        Log(c, x + "read", t);
        report_.Add(x + "read", c.column, p.readPositions.size() / t / 1e6);

        t = Time([&] { s->Update(p.updatePositions, p.updateRecords.data()); });
        Log(c, x + "update", t);
        report_.Add(x + "update", c.column, t * 1e3);

        t = Time([&] { s->Insert(p.insertFractions, p.insertRecords.data()); });
        Log(c, x + "insert", t);
        report_.Add(x + "insert", c.column, p.insertFractions.size() / t / 1e3);
        uint64_t total = d.count + p.insertFractions.size();
        Expect(s->Count(), total, "records after the insertions");
        Expect(s->Scan(), p.sumAfterInserts, "byte sum after updates and insertions");

        uint64_t reads = 0;
        t = Time([&] { reads = s->ReadRanked(p.rankFractions, total, p.rankSeconds); });
        Log(c, x + "rank", t);
        report_.Add(x + "rank", c.column, reads / t);

        std::string out = dir + "/copy";
        MakeDir(out);
        uint64_t size = 0;
        t = Time([&] { size = s->Compact(out); });
        Log(c, x + "compact", t);
        double payload = static_cast<double>(total) * d.recSize;
        report_.Add(x + "compact", c.column, payload / t / 1e6);
        report_.Add(x + "compactSize", c.column, size / payload);
        Expect(s->Scan(), p.sumAfterInserts, "byte sum after compaction");
        s->Close();
        RemoveTree(dir);
    }

    // Workload 7: append and scan with another record size.
    void Small(const Contender &c, const Dataset &d) {
        std::string dir = StoreDir(c);
        auto s = AppendAndScan(c, d, SizePrefix(d.recSize), dir);
        s->Close();
        RemoveTree(dir);
    }

    // Runs fn for the contender; a failure drops the rest of its repetition.
    void Guard(const Contender &c, const std::function<void()> &fn) {
        try {
            fn();
        } catch (const StopRequested &) {
            throw;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "  %s: FAILED: %s\n", c.name.c_str(), e.what());
            report_.Failed(c.column, c.name + ": " + e.what());
        }
        RemoveTree(DirOf(c));
    }

private:
    std::string DirOf(const Contender &c) { return root_ + "/" + std::to_string(c.column) + c.rows; }

    // A fresh, empty folder for the contender's stores.
    std::string StoreDir(const Contender &c) {
        std::string dir = DirOf(c);
        RemoveTree(dir);
        MakeDir(dir);
        return dir;
    }

    void Log(const Contender &c, const std::string &what, double seconds) {
        std::fprintf(stderr, "  %-16s %-14s %9.3f s\n", c.name.c_str(), what.c_str(), seconds);
    }

    Report &report_;
    std::string root_;
};

__attribute__((noinline)) uint64_t PlainSum(const uint8_t *p, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// Fastest of a few trials of fn, in bytes per second: a limit is the best
// the machine does.
double BestRate(double bytes, const std::function<void()> &fn) {
    double best = 0;
    for (int trial = 0; trial < 3; ++trial) best = std::max(best, bytes / Time(fn));
    return best;
}

// memcpy and byte-sum bandwidth over a hot buffer, and sequential writes to
// the temporary folder ending with fdatasync.
void MeasureLimits(const Dataset &d, const Config &cfg, const std::string &root, Report &limits) {
    const std::vector<uint8_t> &src = d.records;
    static std::vector<uint8_t> dst;
    if (dst.size() != src.size()) dst.assign(src.size(), 1);
    const int passes = 4;
    double bytes = double(passes) * src.size();
    limits.Add("memcpy", kZunfs, BestRate(bytes, [&] {
                   for (int i = 0; i < passes; ++i) {
                       std::memcpy(dst.data(), src.data(), src.size());
                       asm volatile("" : : "r"(dst.data()) : "memory");
                   }
               }) / 1e9);

    // The ceiling of a scan: the same sum over each record of the hot payload
    // in order, with no store in between.
    limits.Add("bytesum", kZunfs, BestRate(bytes, [&] {
                   uint64_t sum = 0;
                   for (int i = 0; i < passes; ++i) {
                       const uint8_t *p = src.data();
                       asm volatile("" : "+r"(p));
                       for (size_t at = 0; at < src.size(); at += d.recSize) sum += SumBytes(p + at, d.recSize);
                   }
                   Expect(sum, passes * d.recordsSum, "byte sum of the hot buffer");
               }) / 1e9);

    // For reference: a plain byte loop as the compiler builds it.
    limits.Add("plainsum", kZunfs, BestRate(bytes, [&] {
                   uint64_t sum = 0;
                   for (int i = 0; i < passes; ++i) {
                       const uint8_t *p = src.data();
                       asm volatile("" : "+r"(p));
                       sum += PlainSum(p, src.size());
                   }
                   Expect(sum, passes * d.recordsSum, "plain byte sum of the hot buffer");
               }) / 1e9);

    std::string path = root + "/write-test";
    std::vector<uint8_t> block(size_t{1} << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131 + 7);
    double t = Time([&] {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) throw StoreError("cannot make " + path);
        for (uint64_t done = 0; done < cfg.writeBytes; done += block.size())
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                close(fd);
                throw StoreError("write to " + path + " failed");
            }
        int rc = fdatasync(fd);
        close(fd);
        if (rc != 0) throw StoreError("fdatasync of " + path + " failed");
    });
    unlink(path.c_str());
    limits.Add("write", kZunfs, cfg.writeBytes / t / 1e6);
}

std::string CpuModel() {
    std::FILE *f = std::fopen("/proc/cpuinfo", "r");
    std::string model = "unknown";
    if (!f) return model;
    char line[512];
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "model name", 10) == 0) {
            const char *colon = std::strchr(line, ':');
            if (colon) model = colon + 2;
            model.erase(model.find_last_not_of("\n ") + 1);
            break;
        }
    std::fclose(f);
    return model;
}

void PrintMachine(const Config &cfg, const std::string &root) {
    struct utsname u;
    uname(&u);
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    std::printf("# zunfs_bench\n\n");
    std::printf("- machine: %s, %ld cores, %.1f GiB memory, %s %s\n", CpuModel().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), pages * double(pageSize) / (1u << 30), u.sysname,
                u.release);
    std::printf("- compiler: %s; temporary folder under %s\n", __VERSION__, cfg.tmpParent.c_str());
    std::printf("- %s\n- %s\n", SqliteSettings(root).c_str(), LmdbSettings().c_str());
    std::printf("- N = %s records of 64 and 16 bytes, %s of 1024 bytes; %d repetitions%s\n\n",
                Count(cfg.n).c_str(), Count(cfg.n * 3 / 10).c_str(), cfg.reps,
                cfg.quick ? " (quick run)" : "");
}

void AddRows(Report &r, const Config &cfg) {
    uint64_t n = cfg.n, n1k = cfg.n * 3 / 10;
    std::string N = Count(n);
    std::string upd = Count(std::max<uint64_t>(1, n / 100)), ins = Count(std::max<uint64_t>(1, n / 10));
    auto full = [&](const std::string &x, const std::string &tag) {
        bool budget = !x.empty();
        auto row = [&](const std::string &id, const std::string &label, const std::string &unit,
                       const std::string &peerRow = "") {
            r.AddRow({x + id, tag + label, unit, budget ? id : peerRow});
        };
        row("append0", "1 append " + N + " x 64 B + durable save (FSIAddPtr batches)", "M rec/s ↑");
        row("append1", "1 append " + N + " x 64 B + durable save (FSIAddLock in place)", "M rec/s ↑",
            "append0");
        row("size", "1 files on disk after append / payload", "x ↓");
        row("scan", "2 scan all records, hot", "GB/s ↑");
        row("read", "3 " + N + " random reads by position", "M/s ↑");
        row("update", "4 " + upd + " random updates + durable save", "ms ↓");
        row("insert", "5 " + ins + " insertions at random positions + durable save", "k/s ↑");
        row("rank", "5 read the record at a position, after insertions", "reads/s ↑");
        row("compact", "6 compaction", "MB/s payload ↑");
        row("compactSize", "6 compact copy / payload", "x ↓");
    };
    full("", "");
    for (uint32_t size : {16u, 1024u}) {
        std::string x = SizePrefix(size);
        std::string count = Count(size == 1024 ? n1k : n);
        std::string rec = count + " x " + std::to_string(size) + " B";
        r.AddRow({x + "append0", "7 append " + rec + " + durable save (FSIAddPtr batches)", "M rec/s ↑", ""});
        r.AddRow({x + "append1", "7 append " + rec + " + durable save (FSIAddLock in place)", "M rec/s ↑",
                  x + "append0"});
        r.AddRow({x + "scan", "7 scan " + rec + ", hot", "GB/s ↑", ""});
    }
    full("8.", "8 (8 MiB) ");
}

int Main(int argc, char **argv) {
    Config cfg;
    if (!ParseArgs(argc, argv, cfg)) return 2;
    if (cfg.tmpParent.empty()) {
        const char *t = std::getenv("TMPDIR");
        cfg.tmpParent = t && *t ? t : "/tmp";
    }
    std::string tmpl = cfg.tmpParent + "/zunfs-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) {
        std::fprintf(stderr, "cannot make a temporary folder under %s\n", cfg.tmpParent.c_str());
        return 1;
    }
    std::string root = buf.data();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::vector<Contender> all;
    all.push_back({kZunfs, "zunfs", [] { return MakeZunfsStore(0); }, ""});
    all.push_back({kZunfs, "zunfs 8 MiB", [] { return MakeZunfsStore(8u << 20); }, "8."});
    all.push_back({kSqliteWal, "SQLite WAL", [] { return MakeSqliteStore(true); }, ""});
    all.push_back({kSqliteJournal, "SQLite journal", [] { return MakeSqliteStore(false); }, ""});
    all.push_back({kLmdb, "LMDB", [] { return MakeLmdbStore(); }, ""});
    std::erase_if(all, [&](const Contender &c) { return c.name.compare(0, cfg.only.size(), cfg.only) != 0; });
    if (all.empty()) {
        std::fprintf(stderr, "--only=%s names no store (zunfs, SQLite, LMDB)\n", cfg.only.c_str());
        RemoveTree(root);
        return 2;
    }

    PrintMachine(cfg, root);
    std::fflush(stdout);

    Report report, limits;
    AddRows(report, cfg);

    std::mt19937_64 rng(cfg.seed);
    std::fprintf(stderr, "making the datasets...\n");
    Dataset d64 = MakeDataset(rng, 64, cfg.n);
    Dataset d16 = MakeDataset(rng, 16, cfg.n);
    Dataset d1k = MakeDataset(rng, 1024, cfg.n * 3 / 10);
    Plan plan = MakePlan(rng, d64, cfg);

    Runner run(report, root);
    int status = 0;
    try {
        for (int rep = 0; rep < cfg.reps; ++rep) {
            std::fprintf(stderr, "repetition %d of %d\n", rep + 1, cfg.reps);
            MeasureLimits(d64, cfg, root, limits);
            for (size_t i = 0; i < all.size(); ++i) {
                const Contender &c = all[(i + rep) % all.size()];
                run.Guard(c, [&] { run.Full(c, d64, plan); });
                if (!c.rows.empty()) continue; // the budget runs only workloads 1 to 6
                run.Guard(c, [&] { run.Small(c, d16); });
                run.Guard(c, [&] { run.Small(c, d1k); });
            }
        }
    } catch (const StopRequested &) {
        std::fprintf(stderr, "stopped: removing %s\n", root.c_str());
        status = 130;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        status = 1;
    }
    RemoveTree(root);
    if (status) return status;

    auto limit = [&](const char *id) { return limits.Get(id, kZunfs); };
    auto show = [&](const char *name, const char *id, const char *unit) {
        Spread s = limit(id);
        std::printf("| %s | %s | %s [%s..%s] |\n", name, unit, FormatValue(s.median).c_str(),
                    FormatValue(s.min).c_str(), FormatValue(s.max).c_str());
    };
    std::printf("## Machine limits, same run\n\n| limit | unit | median [min..max] |\n|---|---|---:|\n");
    show("memcpy of the hot 64 B-record payload (best of 3)", "memcpy", "GB/s");
    show("byte-sum ceiling: the scan's sum over each 64 B record of it, no store (best of 3)",
         "bytesum", "GB/s");
    show("for reference: a plain byte loop over it (best of 3)", "plainsum", "GB/s");
    std::string w = "sequential write of " + Count(cfg.writeBytes >> 20) + " MiB + fdatasync";
    show(w.c_str(), "write", "MB/s");

    std::printf("\n## Workloads (median [min..max] of %d repetitions; ratios of medians)\n\n", cfg.reps);
    report.Print(stdout);

    double ceiling = limit("bytesum").median;
    if (ceiling > 0) {
        std::printf("\nScan of 64 B records as a share of the byte-sum ceiling:");
        for (int c = 0; c < kColumns; ++c) {
            Spread s = report.Get("scan", c);
            if (s.any) std::printf(" %s %.0f%%;", kColumnNames[c], 100 * s.median / ceiling);
        }
        std::printf("\n");
    }
    report.PrintFailures(stdout);
    std::printf("\nRows 1 (FSIAddLock) and 7 (FSIAddLock) compare with the peers' only append; "
                "rows 8 run zunfs with an 8 MiB memory budget against the peers' numbers of rows "
                "1 to 6.\n");
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char **argv) { return bench::Main(argc, argv); }
