// dump, export and import: records out of a table and into it.
#include <cstring>
#include <iterator>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace tool {

namespace {

// Whether records of class cls end with a RID, by the file's class table.
bool HasRids(const ZunfsCheckReport &r, uint8_t cls) {
    return cls < r.classesRead && (r.classes[cls].flags & FS_CLASS_RIDS) != 0;
}

// Record size of table tid in the saved version, which opening the current
// version works on; 0 when the report does not know it.
uint16_t SavedRecordSize(const ZunfsCheckReport &r, uint16_t tid) {
    for (uint32_t i = 0; r.openCurrent == 0 && i < r.versionCount; ++i)
        for (uint32_t t = 0; r.versions[i].version == 0x4 && t < r.versions[i].tableCount; ++t)
            if (r.versions[i].tables[t].tid == tid) return r.versions[i].tables[t].recordSize;
    return 0;
}

uint32_t RidOf(std::span<const std::byte> record) {
    uint32_t rid = 0;
    if (record.size() >= 4) std::memcpy(&rid, record.data() + record.size() - 4, 4);
    return rid;
}

std::string HexBytes(std::span<const std::byte> bytes, size_t from, size_t count, bool spaced) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        if (spaced && i != from) out += (i - from) % 8 == 0 ? "  " : " ";
        auto b = static_cast<unsigned>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void PrintHexRecord(uint32_t rix, std::span<const std::byte> record, bool rids) {
    char label[48];
    if (rids)
        std::snprintf(label, sizeof label, "%10u rid %-10u", rix, RidOf(record));
    else
        std::snprintf(label, sizeof label, "%10u", rix);
    for (size_t at = 0; at < record.size() || at == 0; at += 16) {
        std::string ascii;
        for (size_t i = at; i < at + 16 && i < record.size(); ++i) {
            auto c = static_cast<unsigned char>(record[i]);
            ascii += c >= 0x20 && c < 0x7F ? char(c) : '.';
        }
        std::printf("%s  %-49s |%s|\n", at == 0 ? label : std::string(std::strlen(label), ' ').c_str(),
                    HexBytes(record, at, 16, true).c_str(), ascii.c_str());
        if (record.empty()) break;
    }
}

struct DumpOptions {
    std::string path;
    uint16_t tid = 0;
    uint32_t from = 0;
    uint32_t count = UINT32_MAX;
    std::string format = "hex";
};

void Dump(const DumpOptions &o) {
    Report report;
    About(o.path, [&] { report = CheckFile(o.path); });
    About(o.path, [&] {
        zunfs::File file = OpenCopy(o.path);
        zunfs::Session s = file.check_out(o.tid, zunfs::Mode::read);
        uint32_t size = s.size();
        if (o.from > size)
            throw Failure("--from " + std::to_string(o.from) + " is past the end of table " + std::to_string(o.tid) +
                          " (" + std::to_string(size) + " records)");
        uint32_t left = std::min(o.count, size - o.from);
        bool rids = HasRids(*report, s.record_class());
        nlohmann::json records = nlohmann::json::array();
        if (o.format == "hex") {
            std::printf("table %u: class %u, %u-byte records%s, %u records", o.tid, s.record_class(), s.record_size(),
                        rids ? " with RIDs" : "", size);
            if (left != 0) std::printf("; records %u to %u", o.from, o.from + left - 1);
            std::printf("\n");
        }
        for (const zunfs::Chunk &chunk : s.chunks(o.from)) {
            uint32_t rix = chunk.first();
            for (std::span<std::byte> record : chunk) {
                if (left == 0) break;
                if (o.format == "raw") {
                    if (std::fwrite(record.data(), 1, record.size(), stdout) != record.size())
                        throw Failure("cannot write the records to standard output");
                } else if (o.format == "json") {
                    nlohmann::json j = {{"rix", rix}, {"hex", HexBytes(record, 0, record.size(), false)}};
                    if (rids) j["rid"] = RidOf(record);
                    records.push_back(j);
                } else {
                    PrintHexRecord(rix, record, rids);
                }
                ++rix;
                --left;
            }
            if (left == 0) break;
        }
        if (o.format == "json") {
            nlohmann::json j = {{"table", o.tid},     {"class", s.record_class()}, {"recordSize", s.record_size()},
                                {"records", size},    {"rids", rids},              {"from", o.from},
                                {"dump", records}};
            std::printf("%s\n", j.dump(1).c_str());
        }
        if (std::fflush(stdout) != 0) throw Failure("cannot write the records to standard output");
    });
}

std::vector<std::byte> ReadAll(std::FILE *in) {
    std::vector<std::byte> data;
    std::byte buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.insert(data.end(), buffer, buffer + n);
    if (std::ferror(in)) throw Failure("cannot read standard input");
    return data;
}

} // namespace

void AddDump(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("dump", "Print records of a table");
    auto o = std::make_shared<DumpOptions>();
    cmd->add_option("FILE", o->path, "Storage file")->required();
    cmd->add_option("TID", o->tid, "Table number")->required();
    cmd->add_option("--from", o->from, "First record (RIX)")->capture_default_str();
    cmd->add_option("--count", o->count, "Number of records (default: to the end)");
    cmd->add_option("--format", o->format, "hex (with RIDs and text), raw (the bytes) or json")
        ->check(CLI::IsMember({"hex", "raw", "json"}))
        ->capture_default_str();
    cmd->footer("Reads the current version (the saved version of a closed file) from a scratch\n"
                "copy; the file itself is not written.");
    cmd->callback([o, &exitCode] {
        Dump(*o);
        exitCode = 0;
    });
}

void AddExport(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("export", "Write every record of a table to standard output");
    auto o = std::make_shared<DumpOptions>();
    o->format = "raw";
    cmd->add_option("FILE", o->path, "Storage file")->required();
    cmd->add_option("TID", o->tid, "Table number")->required();
    cmd->footer("The records' exact bytes, packed in RIX order: `zunfs import` reads them back.");
    cmd->callback([o, &exitCode] {
        Dump(*o);
        exitCode = 0;
    });
}

void AddImport(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("import", "Append records from standard input to a table and save");
    auto path = std::make_shared<std::string>();
    auto tid = std::make_shared<uint16_t>(0);
    auto dropMini = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "Storage file")->required();
    cmd->add_option("TID", *tid, "Table number")->required();
    cmd->add_flag("--drop-mini", *dropMini, "Go on even though the file's mini-saved version is dropped");
    cmd->footer("Standard input holds whole records, packed: its length must be a whole number\n"
                "of records, else nothing is added. Records of a class with RIDs get new RIDs\n"
                "(the last four bytes of each input record are not used). The file is saved.");
    cmd->callback([=, &exitCode] {
        std::vector<std::byte> data = ReadAll(stdin);
        About(*path, [&] {
            Report report = CheckFile(*path);
            // Input that cannot be added is refused before the file is opened.
            auto refuseRagged = [&](uint16_t size) {
                if (size != 0 && data.size() % size != 0)
                    throw Failure(std::to_string(data.size()) + " bytes are not a whole number of " +
                                  std::to_string(size) + "-byte records of table " + std::to_string(*tid) +
                                  "; nothing added");
            };
            refuseRagged(SavedRecordSize(*report, *tid));
            zunfs::File file = OpenInPlace(*path, *report, *dropMini);
            zunfs::Session s = file.check_out(*tid, zunfs::Mode::write);
            uint16_t size = s.record_size();
            refuseRagged(size);
            uint32_t count = static_cast<uint32_t>(data.size() / size), first = s.size();
            size_t kept = HasRids(*report, s.record_class()) ? (size >= 4 ? size - 4u : 0u) : size;
            if (count != 0) {
                s.add(RIX_LAST, count);
                const std::byte *from = data.data();
                for (const zunfs::Chunk &chunk : s.chunks(first)) {
                    s.dirty();
                    for (std::span<std::byte> record : chunk) {
                        std::memcpy(record.data(), from, kept);
                        from += size;
                    }
                }
                s.check_in();
                file.save();
            }
            file.close(true);
            std::printf("%s: table %u: %u records added, %u in all\n", path->c_str(), *tid, count, first + count);
        });
        exitCode = 0;
    });
}

} // namespace tool
