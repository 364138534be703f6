// The result table: medians with their spread, and zunfs over each peer.
#include "report.h"

#include <algorithm>
#include <cmath>

namespace bench {

const char *const kColumnNames[kColumns] = {"zunfs", "SQLite WAL", "SQLite journal", "LMDB"};

Spread Summarize(std::vector<double> samples) {
    Spread s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    s.any = true;
    s.min = samples.front();
    s.max = samples.back();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return s;
}

std::string FormatValue(double v) {
    char buf[64];
    double a = std::fabs(v);
    if (a >= 100 || a == 0)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else if (a >= 10)
        std::snprintf(buf, sizeof buf, "%.1f", v);
    else if (a >= 1)
        std::snprintf(buf, sizeof buf, "%.2f", v);
    else
        std::snprintf(buf, sizeof buf, "%.3g", v);
    return buf;
}

const Row *Report::Find(const std::string &id) const {
    for (const Row &r : rows_)
        if (r.id == id) return &r;
    return nullptr;
}

Spread Report::Get(const std::string &row, int column) const {
    std::string source = row;
    if (column != kZunfs)
        for (const Row *r = Find(source); r && !r->peerRow.empty(); r = Find(source)) source = r->peerRow;
    auto it = samples_.find({source, column});
    return it == samples_.end() ? Spread{} : Summarize(it->second);
}

std::string Report::Cell(const std::string &row, int column) const {
    Spread s = Get(row, column);
    if (!s.any) return failed_[column] ? "failed" : "-";
    return FormatValue(s.median) + " [" + FormatValue(s.min) + ".." + FormatValue(s.max) + "]";
}

void Report::Print(std::FILE *out) const {
    std::fprintf(out, "| workload | unit |");
    for (int c = 0; c < kColumns; ++c) std::fprintf(out, " %s |", kColumnNames[c]);
    for (int c = 1; c < kColumns; ++c) std::fprintf(out, " zunfs/%s |", kColumnNames[c]);
    std::fprintf(out, "\n|---|---|");
    for (int c = 1; c < 2 * kColumns; ++c) std::fprintf(out, "---:|");
    std::fprintf(out, "\n");
    for (const Row &r : rows_) {
        std::fprintf(out, "| %s | %s |", r.label.c_str(), r.unit.c_str());
        for (int c = 0; c < kColumns; ++c) std::fprintf(out, " %s |", Cell(r.id, c).c_str());
        Spread z = Get(r.id, kZunfs);
        for (int c = 1; c < kColumns; ++c) {
            Spread p = Get(r.id, c);
            if (z.any && p.any && p.median != 0)
                std::fprintf(out, " %sx |", FormatValue(z.median / p.median).c_str());
            else
                std::fprintf(out, " - |");
        }
        std::fprintf(out, "\n");
    }
}

void Report::PrintFailures(std::FILE *out) const {
    if (failures_.empty()) return;
    std::fprintf(out, "\nFailed repetitions (their rows show the others; \"failed\" where none is left):\n");
    for (const std::string &f : failures_) std::fprintf(out, "- %s\n", f.c_str());
}

} // namespace bench
