// Samples of every (row, column) of the result table, and its printing.
#ifndef ZUNFS_BENCH_REPORT_H
#define ZUNFS_BENCH_REPORT_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Columns of the table, zunfs first, then the peers it is compared with.
enum Column { kZunfs, kSqliteWal, kSqliteJournal, kLmdb, kColumns };
extern const char *const kColumnNames[kColumns];

struct Row {
    std::string id;    // short key used by the harness
    std::string label; // what the table shows
    std::string unit;  // with an arrow: which way is better
    // Peers have no values of their own on this row; they show the row
    // named here (the zunfs memory-budget rows compare with the peers'
    // ordinary numbers, the in-place append with their only append).
    std::string peerRow;
};

struct Spread {
    bool any = false;
    double median = 0, min = 0, max = 0;
};
Spread Summarize(std::vector<double> samples);

class Report {
public:
    void AddRow(Row row) { rows_.push_back(std::move(row)); }
    void Add(const std::string &row, int column, double value) { samples_[{row, column}].push_back(value); }
    // A repetition of the column failed; its cells keep the other repetitions.
    void Failed(int column, std::string what) {
        failed_[column] = true;
        failures_.push_back(std::move(what));
    }
    Spread Get(const std::string &row, int column) const;
    // Prints the markdown table of medians [min..max] and ratios of medians.
    void Print(std::FILE *out) const;
    // Lists the failures, if any, below the table.
    void PrintFailures(std::FILE *out) const;

private:
    std::string Cell(const std::string &row, int column) const;
    const Row *Find(const std::string &id) const;
    std::vector<Row> rows_;
    std::map<std::pair<std::string, int>, std::vector<double>> samples_;
    std::vector<std::string> failures_;
    bool failed_[kColumns] = {};
};

// Three significant digits, no exponent.
std::string FormatValue(double v);

} // namespace bench

#endif
