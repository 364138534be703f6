// create, compact and recover: whole files, written with save-as.
#include <filesystem>
#include <system_error>

#include "cli.h"

namespace tool {

namespace {

constexpr uint32_t kMaxChunkBytes = 0xF000; // the largest chunk of a new file

// SIZE[:MAX[:MIN]][:rid] into a class descriptor.
FSClassDesc ParseClass(const std::string &text) {
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t colon = text.find(':', at);
        parts.push_back(text.substr(at, colon - at));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    FSClassDesc d{};
    if (!parts.empty() && parts.back() == "rid") {
        d.flags = FS_CLASS_RIDS;
        parts.pop_back();
    }
    auto number = [&](size_t i, uint32_t low, uint32_t high) {
        const std::string &p = parts[i];
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(p) < low || std::stoul(p) > high)
            throw Failure("--class " + text + ": '" + p + "' is not a number from " + std::to_string(low) + " to " +
                          std::to_string(high));
        return static_cast<uint16_t>(std::stoul(p));
    };
    if (parts.empty() || parts.size() > 3) throw Failure("--class " + text + ": expected SIZE[:MAX[:MIN]][:rid]");
    d.recSize = number(0, (d.flags & FS_CLASS_RIDS) ? 4 : 1, kMaxChunkBytes);
    uint32_t most = kMaxChunkBytes / d.recSize;
    d.maxPerChunk = parts.size() > 1 ? number(1, 1, most) : static_cast<uint16_t>(std::clamp(8192u / d.recSize, 1u, most));
    d.minPerChunk = parts.size() > 2 ? number(2, 0, d.maxPerChunk) : static_cast<uint16_t>(d.maxPerChunk / 4);
    d.allocShift = 5;
    d.growShift = 8;
    d.ridCounter = 1;
    return d;
}

bool SameFile(const std::string &a, const std::string &b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

// Checks a file the tool wrote; prints the findings when there are any.
int Verify(const std::string &path, const char *indent) {
    Report r = CheckFile(path);
    if (r->findingCount == 0) return 0;
    std::printf("%s%s: the checker finds %u faults in the result\n", indent, path.c_str(), r->findingCount);
    PrintFindings(stdout, *r);
    return 1;
}

// Writes file compacted to target, with the progress bar o asks for, and
// closes it there.
void SaveAs(zunfs::File file, const std::string &target, const CopyOptions &o) {
    ProgressBar bar(o.progress != nullptr ? o.progress : stderr, o.progress != nullptr || IsTerminal(stderr),
                    o.indent);
    file.save_as(target, std::ref(bar));
    file.close(true);
}

} // namespace

int Compact(const CopyOptions &o) {
    Report r;
    About(o.path, [&] { r = CheckFile(o.path); });
    RefuseFaulty(o.path, *r);
    uint64_t before = FileLength(o.path);
    bool inPlace = o.out.empty() || SameFile(o.path, o.out);
    if (!inPlace) RefuseExisting(o.out, o.force);
    const std::string &target = inPlace ? o.path : o.out;
    std::error_code ec;
    auto mode = std::filesystem::status(o.path, ec).permissions();
    About(o.path, [&] { SaveAs(inPlace ? OpenInPlace(o.path, *r, o.dropMini) : OpenCopy(o.path), target, o); });
    // The compact copy replaces the file under a new inode: it keeps the
    // file's permissions.
    if (inPlace && !ec) std::filesystem::permissions(o.path, mode, ec);
    std::string from = inPlace ? "in place" : "from " + o.path;
    std::printf("%s%s: %s -> %s (%s)\n", o.indent, target.c_str(), Bytes(before).c_str(), Bytes(FileLength(target)).c_str(),
                from.c_str());
    if (!inPlace && (r->versionFlags & 0x2) != 0)
        std::printf("%snote: %s also holds a mini-saved version, which this did not copy "
                    "(zunfs recover %s OUT --version mini)\n",
                    o.indent, o.path.c_str(), o.path.c_str());
    return Verify(target, o.indent);
}

int Recover(const CopyOptions &o) {
    Report r;
    About(o.path, [&] { r = CheckFile(o.path); });
    std::string name = o.version;
    if (name.empty()) name = (r->versionFlags & 0x2) != 0 ? "mini" : "saved";
    uint16_t bit = name == "mini" ? 0x2 : 0x4;
    if (r->format == ZUNFS_CHECK_FORMAT_NATIVE && (r->versionFlags & bit) != 0 && (r->recoverable & bit) == 0)
        throw Failure(o.path + ": the " + VersionNames(bit) + " version has faults (zunfs check " + o.path + ")" +
                      (bit == 0x2 && (r->recoverable & 0x4) ? "; try --version saved" : ""));
    if (SameFile(o.path, o.out)) throw Failure(o.out + ": recover writes to another file than " + o.path);
    RefuseExisting(o.out, o.force);
    About(o.path, [&] { SaveAs(OpenCopy(o.path, ParseVersion(name)), o.out, o); });
    std::printf("%s%s: the %s version of %s, %s\n", o.indent, o.out.c_str(), VersionNames(bit).c_str(), o.path.c_str(),
                Bytes(FileLength(o.out)).c_str());
    return Verify(o.out, o.indent);
}

void AddCreate(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("create", "Make a new saved file with one empty table per class");
    auto path = std::make_shared<std::string>();
    auto classes = std::make_shared<std::vector<std::string>>();
    auto force = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "File to make")->required();
    cmd->add_option("--class", *classes, "A host class: SIZE[:MAX[:MIN]][:rid] (repeat for more)")->required();
    cmd->add_flag("--force", *force, "Replace FILE when it exists");
    cmd->footer("SIZE is the record size in bytes, MAX the most records in a chunk (default\n"
                "8192 bytes' worth), MIN the fewest before chunks merge (default MAX/4), rid\n"
                "makes the records end with a 4-byte RID. Classes are numbered from 4 in the\n"
                "order given, and table N (TID N) is made of the Nth class.\n"
                "Example: zunfs create doc.zf --class 16 --class 24:512:rid");
    cmd->callback([=, &exitCode] {
        std::vector<FSClassDesc> descs;
        for (const std::string &c : *classes) descs.push_back(ParseClass(c));
        if (descs.size() > 251) throw Failure("at most 251 classes");
        RefuseExisting(*path, *force);
        About(*path, [&] {
            zunfs::Context ctx(ScratchFolder(), descs);
            zunfs::File file = zunfs::File::create(ctx);
            for (size_t i = 0; i < descs.size(); ++i) file.make_table(static_cast<uint8_t>(4 + i));
            file.save_as(*path);
            file.close(true);
        });
        std::printf("%s: created with %zu table%s\n", path->c_str(), descs.size(), descs.size() == 1 ? "" : "s");
        for (size_t i = 0; i < descs.size(); ++i)
            std::printf("  TID %zu: class %zu, %u-byte records%s, up to %u in a chunk\n", i, 4 + i, descs[i].recSize,
                        (descs[i].flags & FS_CLASS_RIDS) ? " ending with a RID" : "", descs[i].maxPerChunk);
        exitCode = 0;
    });
}

void AddCompact(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("compact", "Write a compact copy of a file, in place or to OUT");
    auto o = std::make_shared<CopyOptions>();
    cmd->add_option("FILE", o->path, "Storage file")->required();
    cmd->add_option("OUT", o->out, "New file (default: FILE is replaced, once the copy is complete)");
    cmd->add_flag("--force", o->force, "Replace OUT when it exists");
    cmd->add_flag("--drop-mini", o->dropMini, "Compact in place even though the mini-saved version is dropped");
    cmd->footer("Copies the current version (the saved version of a closed file) with no free\n"
                "space, showing a progress bar on a terminal, and prints the size before and\n"
                "after. A file the checker finds faults in, or one left open by a crash, is\n"
                "refused: use `zunfs recover`.");
    cmd->callback([o, &exitCode] { exitCode = Compact(*o); });
}

void AddRecover(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("recover", "Write a version of a crashed file, compacted, to OUT");
    auto o = std::make_shared<CopyOptions>();
    cmd->add_option("FILE", o->path, "Storage file (it is only read)")->required();
    cmd->add_option("OUT", o->out, "New file")->required();
    cmd->add_option("--version", o->version, "saved or mini (default: the mini-saved version when there is one)")
        ->check(CLI::IsMember({"saved", "mini"}));
    cmd->add_flag("--force", o->force, "Replace OUT when it exists");
    cmd->footer("`zunfs info FILE` shows which versions a file left open by a crash holds.");
    cmd->callback([o, &exitCode] { exitCode = Recover(*o); });
}

} // namespace tool
