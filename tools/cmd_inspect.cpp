// info, tables and check: what the whole-file checker reads from a file,
// without opening it as a storage file (nothing is written, converted or
// recovered).
#include <nlohmann/json.hpp>

#include "cli.h"

namespace tool {

namespace {

const char *FormatName(uint32_t format) {
    switch (format) {
    case ZUNFS_CHECK_FORMAT_NATIVE: return "native";
    case ZUNFS_CHECK_FORMAT_OLD: return "old format (converted when opened)";
    case ZUNFS_CHECK_FORMAT_FOREIGN: return "other byte order (converted when opened)";
    default: return "not a storage file this library can read";
    }
}

std::string Hex(uint32_t v, int digits = 4) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, v);
    return buffer;
}

// What opening the current version does.
std::string OpeningCurrent(const ZunfsCheckReport &r) {
    if (r.openCurrent == 0) return "opens the saved version";
    return "refused: " + zunfs::status_text(r.openCurrent);
}

void PrintVersion(const ZunfsCheckVersion &v) {
    std::printf("  %-14s %u tables, %u images (%u shared), %s; master table: %u chunk%s%s, %u records\n",
                VersionNames(v.version).c_str(), v.tableCount, v.imageCount, v.sharedImages,
                Bytes(v.imageBytes).c_str(), v.masterChunks, v.masterChunks == 1 ? "" : "s",
                v.masterIndexed ? " under an index" : "", v.masterRecords);
    if (!v.walked) std::printf("  %-14s not walked: the class table cannot be read\n", "");
}

void PrintInfo(const std::string &path, const ZunfsCheckReport &r) {
    std::printf("%s: %s, %s (%u bytes)\n", path.c_str(), FormatName(r.format), Bytes(r.fileLength).c_str(),
                r.fileLength);
    if (!r.headerRead) {
        if (r.format == ZUNFS_CHECK_FORMAT_OLD)
            std::printf("  %-14s %s\n", "format", Hex(r.formatVersion).c_str());
        return;
    }
    std::printf("  %-14s version %s, mark %u\n", "format", Hex(r.formatVersion).c_str(), r.formatMark);
    std::printf("  %-14s file type %s, application version %s\n", "host", Hex(r.fileType).c_str(),
                Hex(r.appVersion).c_str());
    std::printf("  %-14s %s\n", "state", r.leftOpen ? "left open: the file was open during a crash" : "closed cleanly");
    std::printf("  %-14s %s\n", "versions", VersionNames(r.versionFlags).c_str());
    std::printf("  %-14s %s\n", "current", OpeningCurrent(r).c_str());
    if (r.leftOpen)
        std::printf("  %-14s %s (zunfs recover %s OUT --version saved|mini)\n", "recoverable",
                    VersionNames(r.recoverable).c_str(), path.c_str());
    std::printf("  %-14s file %u, saved %u, mini-saved %u bytes; chunks up to %u bytes\n", "sizes", r.fileSize,
                r.savedFileSize, r.miniFileSize, r.maxChunk);
    std::printf("  %-14s granule %u bytes, growth step %u bytes\n", "space",
                r.allocShift < 32 ? 1u << r.allocShift : 0u, r.growShift < 32 ? 1u << r.growShift : 0u);
    if (r.rootTable == TID_NONE)
        std::printf("  %-14s none\n", "root table");
    else
        std::printf("  %-14s %u\n", "root table", r.rootTable);
    std::printf("  %-14s %u entries at %u: %s free; owned by current %s, mini-saved %s, saved %s\n",
                "free list", r.freeEntries, r.savedFreeOffset, Bytes(r.freeBytes).c_str(),
                Bytes(r.ownedBytes[0]).c_str(), Bytes(r.ownedBytes[1]).c_str(), Bytes(r.ownedBytes[2]).c_str());
    std::printf("  %-14s %u at %u\n", "classes", r.classCount, r.classTableOffset);
    if (r.classesRead != 0) {
        std::printf("  %16s class  flags  record  max/chunk  min/chunk  shifts  next RID\n", "");
        for (uint32_t c = 0; c < r.classesRead; ++c) {
            const FSClassDesc &d = r.classes[c];
            std::printf("  %16s %5u  %s  %6u  %9u  %9u  %2u/%-2u  %8u%s\n", "", c, Hex(d.flags, 2).c_str(), d.recSize,
                        d.maxPerChunk, d.minPerChunk, d.allocShift, d.growShift, d.ridCounter,
                        c < 4 ? "  (built-in)" : (d.flags & FS_CLASS_RIDS) ? "  (RIDs)" : "");
        }
    }
    for (uint32_t i = 0; i < r.versionCount; ++i) PrintVersion(r.versions[i]);
    if (r.findingCount == 0)
        std::printf("  %-14s none\n", "findings");
    else
        std::printf("  %-14s %u (zunfs check %s)\n", "findings", r.findingCount, path.c_str());
}

nlohmann::json InfoJson(const std::string &path, const ZunfsCheckReport &r) {
    using nlohmann::json;
    json j = {{"file", path},
              {"length", r.fileLength},
              {"format", r.format == ZUNFS_CHECK_FORMAT_NATIVE    ? "native"
                         : r.format == ZUNFS_CHECK_FORMAT_OLD     ? "old"
                         : r.format == ZUNFS_CHECK_FORMAT_FOREIGN ? "foreign"
                                                                  : "unknown"},
              {"headerRead", bool(r.headerRead)},
              {"formatVersion", r.formatVersion}};
    if (!r.headerRead) return j;
    j.update(json{{"formatMark", r.formatMark},
                  {"fileType", r.fileType},
                  {"appVersion", r.appVersion},
                  {"stateFlags", r.stateFlags},
                  {"leftOpen", bool(r.leftOpen)},
                  {"versionFlags", r.versionFlags},
                  {"recoverable", r.recoverable},
                  {"openCurrent", {{"status", r.openCurrent}, {"text", zunfs::status_text(r.openCurrent)}}},
                  {"fileSize", r.fileSize},
                  {"savedFileSize", r.savedFileSize},
                  {"miniFileSize", r.miniFileSize},
                  {"maxChunk", r.maxChunk},
                  {"allocShift", r.allocShift},
                  {"growShift", r.growShift},
                  {"rootTable", r.rootTable},
                  {"fileStamp", r.fileStamp},
                  {"lastStatus", r.lastStatus},
                  {"freeList",
                   {{"offset", r.savedFreeOffset},
                    {"entries", r.freeEntries},
                    {"freeBytes", r.freeBytes},
                    {"ownedBytes", {{"current", r.ownedBytes[0]}, {"mini", r.ownedBytes[1]}, {"saved", r.ownedBytes[2]}}}}},
                  {"classTableOffset", r.classTableOffset},
                  {"findings", r.findingCount}});
    json classes = json::array();
    for (uint32_t c = 0; c < r.classesRead; ++c) {
        const FSClassDesc &d = r.classes[c];
        // The descriptor is packed: its fields are copied out, not bound.
        classes.push_back({{"class", c},
                           {"flags", uint32_t{d.flags}},
                           {"recordSize", uint32_t{d.recSize}},
                           {"maxPerChunk", uint32_t{d.maxPerChunk}},
                           {"minPerChunk", uint32_t{d.minPerChunk}},
                           {"allocShift", uint32_t{d.allocShift}},
                           {"growShift", uint32_t{d.growShift}},
                           {"ridCounter", uint32_t{d.ridCounter}}});
    }
    j["classes"] = classes;
    json versions = json::array();
    for (uint32_t i = 0; i < r.versionCount; ++i) {
        const ZunfsCheckVersion &v = r.versions[i];
        versions.push_back({{"version", v.version == 0x4 ? "saved" : "mini"},
                            {"tables", v.tableCount},
                            {"images", v.imageCount},
                            {"sharedImages", v.sharedImages},
                            {"imageBytes", v.imageBytes},
                            {"masterChunks", v.masterChunks},
                            {"masterIndexed", bool(v.masterIndexed)},
                            {"masterRecords", v.masterRecords},
                            {"findings", v.findingCount}});
    }
    j["versions"] = versions;
    return j;
}

// The version of the report that --version names, or a failure saying why
// it cannot be read.
const ZunfsCheckVersion &SelectVersion(const std::string &path, const ZunfsCheckReport &r, const std::string &name) {
    if (r.format != ZUNFS_CHECK_FORMAT_NATIVE)
        throw Failure(path + ": " + FormatName(r.format) +
                      (r.format == ZUNFS_CHECK_FORMAT_UNKNOWN ? "" : "; its tables are listed once it is converted"));
    uint16_t bit = name == "mini" ? 0x2 : 0x4;
    if (name == "current" && r.openCurrent != 0)
        throw Failure(path + ": " + zunfs::status_text(r.openCurrent) + " (status " + std::to_string(r.openCurrent) +
                      ")");
    for (uint32_t i = 0; i < r.versionCount; ++i)
        if (r.versions[i].version == bit) return r.versions[i];
    FSStatus missing = bit == 0x2 ? FS_E_NO_MINI : FS_E_NO_SAVED;
    throw Failure(path + ": " + zunfs::status_text(missing) + " (status " + std::to_string(missing) + ")");
}

} // namespace

int Info(const std::string &path, bool json) {
    Report r;
    About(path, [&] { r = CheckFile(path); });
    if (json)
        std::printf("%s\n", InfoJson(path, *r).dump(2).c_str());
    else
        PrintInfo(path, *r);
    return 0;
}

int Check(const std::string &path, bool quiet, const char *indent) {
    Report r;
    About(path, [&] { r = CheckFile(path); });
    if (r->findingCount == 0 && r->format != ZUNFS_CHECK_FORMAT_NATIVE) {
        if (!quiet)
            std::printf("%s%s: %s; its versions are checked once it is converted\n", indent, path.c_str(),
                        FormatName(r->format));
        return 0;
    }
    if (r->findingCount == 0) {
        if (!quiet) {
            std::printf("%s%s: clean", indent, path.c_str());
            for (uint32_t i = 0; i < r->versionCount; ++i)
                std::printf("%s %s version: %u tables, %u images", i == 0 ? ";" : ",",
                            VersionNames(r->versions[i].version).c_str(), r->versions[i].tableCount,
                            r->versions[i].imageCount);
            std::printf("\n");
        }
        return 0;
    }
    if (!quiet) {
        std::printf("%s%s: %u finding%s\n", indent, path.c_str(), r->findingCount, r->findingCount == 1 ? "" : "s");
        PrintFindings(stdout, *r);
    }
    return 1;
}

void AddInfo(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("info", "Show a file's header, versions, crash state, sizes, free space and classes");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "Storage file")->required();
    cmd->add_flag("--json", *json, "Print the same as one JSON object");
    cmd->callback([=, &exitCode] { exitCode = Info(*path, *json); });
}

void AddTables(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("tables", "List the tables of a version: one line per table");
    auto path = std::make_shared<std::string>();
    auto version = std::make_shared<std::string>("current");
    cmd->add_option("FILE", *path, "Storage file")->required();
    cmd->add_option("--version", *version, "Version to list: current (the saved version of a closed file), saved or mini")
        ->check(CLI::IsMember({"current", "saved", "mini"}))
        ->capture_default_str();
    cmd->callback([=, &exitCode] {
        Report r;
        About(*path, [&] { r = CheckFile(*path); });
        const ZunfsCheckVersion &v = SelectVersion(*path, *r, *version);
        std::printf("%5s  %5s  %6s  %10s  %7s  %7s  %10s\n", "TID", "class", "record", "records", "chunks", "indexed",
                    "bytes");
        for (uint32_t i = 0; i < v.tableCount; ++i) {
            const ZunfsCheckTable &t = v.tables[i];
            std::printf("%5u  %5u  %6u  %10u  %7u  %7s  %10u\n", t.tid, t.classNumber, t.recordSize, t.records,
                        t.chunks, t.indexed ? "yes" : "no", t.bytes);
        }
        if (v.findingCount != 0) {
            std::fprintf(stderr, "zunfs tables: %s: this version has %u findings (zunfs check %s)\n", path->c_str(),
                         v.findingCount, path->c_str());
            exitCode = 1;
            return;
        }
        exitCode = 0;
    });
}

void AddCheck(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("check", "Check the integrity of every version in a file");
    cmd->footer("Checks the header, the class table, every chunk reference of the saved and\n"
                "mini-saved versions (inside the file, within limits, no two images of one\n"
                "version overlapping) and the free list (sorted, disjoint, aligned, inside the\n"
                "file, never over a live image of a version that owns it). The file is only read.\n"
                "Exit status 0 when the file is clean, 1 with the list of findings when not.");
    auto path = std::make_shared<std::string>();
    auto quiet = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "Storage file")->required();
    cmd->add_flag("-q,--quiet", *quiet, "Print nothing; only the exit status tells");
    cmd->callback([=, &exitCode] { exitCode = Check(*path, *quiet); });
}

} // namespace tool
