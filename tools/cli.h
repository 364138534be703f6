// Shared pieces of the zunfs command-line tool: how commands are registered,
// how failures reach the user, the context the tool opens files with, and
// small output helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>
#include <zunfs/zunfs.hpp>
#include <zunfs/zunfs_check.h>

namespace tool {

// A failure the tool itself detects; main prints it like a library error.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs body; a library failure is reported with the file it concerns and
// the status code.
template <typename Body> void About(const std::string &path, Body body) {
    try {
        body();
    } catch (const zunfs::Error &e) {
        throw Failure(path + ": " + e.what() + " (status " + std::to_string(e.status()) + ")");
    }
}

// The commands' work, for the commands and the demo; each returns the exit
// status or throws.
int Info(const std::string &path, bool json);
int Check(const std::string &path, bool quiet, const char *indent = "");
struct CopyOptions {
    std::string path, out;
    std::string version; // recover: saved, mini, or empty for the newest
    bool force = false, dropMini = false;
    std::FILE *progress = nullptr; // where the progress bar goes; default: stderr on a terminal
    const char *indent = "";       // in front of every line printed
};
int Compact(const CopyOptions &o);
int Recover(const CopyOptions &o);

// Each command adds its subcommand to app; its callback stores the
// command's exit status in exitCode (0 success, 1 failure) or throws.
void AddInfo(CLI::App &app, int &exitCode);
void AddTables(CLI::App &app, int &exitCode);
void AddCheck(CLI::App &app, int &exitCode);
void AddDump(CLI::App &app, int &exitCode);
void AddExport(CLI::App &app, int &exitCode);
void AddImport(CLI::App &app, int &exitCode);
void AddCreate(CLI::App &app, int &exitCode);
void AddCompact(CLI::App &app, int &exitCode);
void AddRecover(CLI::App &app, int &exitCode);
void AddDemo(CLI::App &app, int &exitCode);

// The folder for scratch copies: $TMPDIR, else /tmp.
std::string ScratchFolder();

// A context that opens any storage file as it stands: any file type and
// application version, the file's own classes.
zunfs::Context AnyFileContext(const std::string &scratchFolder = ScratchFolder());

// Opens a version of path on a scratch copy, so that path is never written
// (reading a file must not change its versions or its crash state).
zunfs::File OpenCopy(const std::string &path, zunfs::Version version = zunfs::Version::current);

// Refuses a file the checker finds faults in.
void RefuseFaulty(const std::string &path, const ZunfsCheckReport &report);

// Opens path itself for a change. A file the change must not touch is
// refused: one the checker (report) finds faults in, one that needs
// conversion or cannot be written (the library would work on a copy), and
// one whose mini-saved version opening would drop, unless dropMini.
zunfs::File OpenInPlace(const std::string &path, const ZunfsCheckReport &report, bool dropMini);

// The version selector for a --version value: current, saved or mini.
zunfs::Version ParseVersion(const std::string &name);

// Refuses to write over an existing file unless force is given.
void RefuseExisting(const std::string &path, bool force);

// Length of a file in bytes (throws when it cannot be read).
uint64_t FileLength(const std::string &path);

// "12.3 KiB", "512 B".
std::string Bytes(uint64_t n);

// Names of version bits: "saved", "mini-saved", "saved and mini-saved", "none".
std::string VersionNames(uint16_t bits);

// The checker's report of a file, released automatically.
struct ReportDeleter {
    void operator()(ZunfsCheckReport *r) const { ZunfsCheckFree(r); }
};
using Report = std::unique_ptr<ZunfsCheckReport, ReportDeleter>;
Report CheckFile(const std::string &path);

// Prints the findings of a report, one a line; returns how many.
uint32_t PrintFindings(std::FILE *out, const ZunfsCheckReport &r);

// A save-as progress bar on out, when enabled: it grows while the copy runs
// on a terminal, and is drawn once, finished, elsewhere.
class ProgressBar {
public:
    ProgressBar(std::FILE *out, bool enabled, const char *indent = "")
        : out_(out), enabled_(enabled), indent_(indent) {}
    void operator()(const FSProgress &p);

private:
    void Draw(uint64_t done, uint64_t total);
    std::FILE *out_;
    bool enabled_;
    const char *indent_;
    uint64_t total_ = 0, done_ = 0;
};

// Whether f is a terminal.
bool IsTerminal(std::FILE *f);

} // namespace tool
