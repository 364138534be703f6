// Shared helpers of the command-line tool.
#include "cli.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace tool {

std::string ScratchFolder() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

zunfs::Context AnyFileContext(const std::string &scratchFolder) {
    return zunfs::Context(scratchFolder);
}

zunfs::File OpenCopy(const std::string &path, zunfs::Version version) {
    zunfs::Context ctx = AnyFileContext();
    return zunfs::File::open(path, ctx, version, true);
}

void RefuseFaulty(const std::string &path, const ZunfsCheckReport &r) {
    if (r.findingCount != 0)
        throw Failure(path + ": the checker finds " + std::to_string(r.findingCount) +
                      (r.findingCount == 1 ? " fault" : " faults") + " (zunfs check " +
                      path + "); recover a sound version with `zunfs recover`");
}

zunfs::File OpenInPlace(const std::string &path, const ZunfsCheckReport &r, bool dropMini) {
    if (r.format != ZUNFS_CHECK_FORMAT_NATIVE)
        throw Failure(path + ": needs conversion (old format or other byte order); write a converted copy "
                              "with `zunfs compact " + path + " OUT`");
    RefuseFaulty(path, r);
    if ((r.versionFlags & 0x2) != 0 && !r.leftOpen && !dropMini)
        throw Failure(path + ": holds a mini-saved version, which this would drop; write it out first with "
                              "`zunfs recover " + path + " OUT --version mini`, or give --drop-mini");
    zunfs::Context ctx = AnyFileContext();
    zunfs::File file = zunfs::File::open(path, ctx);
    if (file.path() != path)
        throw Failure(path + ": cannot be written (read-only?); write a changed copy elsewhere");
    return file;
}

zunfs::Version ParseVersion(const std::string &name) {
    if (name == "saved") return zunfs::Version::saved;
    if (name == "mini") return zunfs::Version::mini;
    return zunfs::Version::current;
}

void RefuseExisting(const std::string &path, bool force) {
    std::error_code ec;
    // Save-as into a folder would make a file of another name there.
    if (std::filesystem::is_directory(path, ec)) throw Failure(path + " is a folder; name a file");
    if (!force && std::filesystem::exists(path, ec))
        throw Failure(path + " exists (give --force to replace it)");
}

uint64_t FileLength(const std::string &path) {
    std::error_code ec;
    uint64_t n = std::filesystem::file_size(path, ec);
    if (ec) throw Failure(path + ": " + ec.message());
    return n;
}

std::string Bytes(uint64_t n) {
    char buffer[32];
    if (n < 1024)
        std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(n));
    else if (n < 1024 * 1024)
        std::snprintf(buffer, sizeof buffer, "%.1f KiB", double(n) / 1024);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f MiB", double(n) / (1024 * 1024));
    return buffer;
}

std::string VersionNames(uint16_t bits) {
    bool saved = bits & 0x4, mini = bits & 0x2;
    if (saved && mini) return "saved and mini-saved";
    if (saved) return "saved";
    if (mini) return "mini-saved";
    return "none";
}

Report CheckFile(const std::string &path) {
    ZunfsCheckReport *r = nullptr;
    zunfs::check(ZunfsCheckFile(path.c_str(), &r));
    return Report(r);
}

uint32_t PrintFindings(std::FILE *out, const ZunfsCheckReport &r) {
    for (uint32_t i = 0; i < r.findingCount; ++i) {
        const ZunfsCheckFinding &f = r.findings[i];
        std::string where = f.version != 0 ? VersionNames(f.version) : "file";
        std::fprintf(out, "  %-20s %-22s @%-10u %s\n", ZunfsCheckKindName(f.kind), where.c_str(), f.position,
                     f.message);
    }
    return r.findingCount;
}

void ProgressBar::operator()(const FSProgress &p) {
    if (p.code == 0) {
        total_ = p.bytes;
        done_ = 0;
    } else if (p.code == 1) {
        done_ += p.bytes;
    } else {
        done_ = total_ > done_ ? total_ : done_;
    }
    if (!enabled_) return;
    // A terminal sees the bar grow; a log gets the finished bar once.
    if (p.code == 2 || IsTerminal(out_)) Draw(done_, total_);
    if (p.code == 2) std::fputc('\n', out_);
    std::fflush(out_);
}

void ProgressBar::Draw(uint64_t done, uint64_t total) {
    constexpr int width = 30;
    uint64_t shown = done > total ? total : done;
    int filled = total != 0 ? int(shown * width / total) : width;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '.');
    int percent = total != 0 ? int(shown * 100 / total) : 100;
    std::fprintf(out_, "\r%s[%s] %3d%%  %s of %s", indent_, bar.c_str(), percent, Bytes(shown).c_str(),
                 Bytes(total).c_str());
}

bool IsTerminal(std::FILE *f) { return isatty(fileno(f)) != 0; }

} // namespace tool
