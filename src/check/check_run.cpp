// Findings, bounded reads and the small lookups every check step shares.
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "check/check.h"

void CheckAdd(CheckRun &run, ZunfsCheckKind kind, uint16_t version, uint32_t pos, const char *fmt, ...) {
    for (uint16_t bit = 1; bit < 8; bit <<= 1)
        if (version & bit) ++run.findingsOf[bit];
    if (run.findings.size() >= ZUNFS_CHECK_FINDINGS_MAX) {
        ++run.dropped;
        return;
    }
    ZunfsCheckFinding f{};
    f.kind = kind;
    f.version = version;
    f.position = pos;
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(f.message, sizeof f.message, fmt, args);
    va_end(args);
    run.findings.push_back(f);
}

bool CheckRead(CheckRun &run, uint32_t pos, uint32_t len, void *buffer, uint16_t version) {
    if (len == 0) return true;
    FSStatus st = VMRead(&run.spec, pos, len, buffer);
    if (st == 0) return true;
    CheckAdd(run, ZUNFS_CHECK_UNREADABLE, version, pos, "cannot read %u bytes at %u (status %u)", len, pos, st);
    return false;
}

ImageMap::const_iterator FirstMeeting(const ImageMap &images, uint32_t pos, uint32_t len) {
    auto it = images.lower_bound(pos);
    if (it != images.begin()) {
        auto prev = std::prev(it);
        if (Meets(prev->second.pos, prev->second.len, pos, len)) return prev;
    }
    if (it != images.end() && Meets(it->second.pos, it->second.len, pos, len)) return it;
    return images.end();
}

const char *DescribeImage(const CheckImage &image, char *buffer, size_t size) {
    switch (image.role) {
    case ImageRole::MasterIndex:
        std::snprintf(buffer, size, "master index");
        break;
    case ImageRole::MasterChunk:
        std::snprintf(buffer, size, "master chunk %u", image.chunk);
        break;
    case ImageRole::TableIndex:
        std::snprintf(buffer, size, "index of table %u", image.tid);
        break;
    case ImageRole::TableChunk:
        std::snprintf(buffer, size, "chunk %u of table %u", image.chunk, image.tid);
        break;
    }
    return buffer;
}

int CheckStructures(const CheckRun &run, Structure out[3]) {
    int n = 0;
    out[n++] = {"header", 0, HEADER_SIZE};
    if (run.headerRead) {
        out[n++] = {"class table", run.h.classTableOffset, uint32_t(run.h.classCount) * DESC_SIZE};
        if (run.h.savedFreeCount != 0)
            out[n++] = {"stored free list", run.h.savedFreeOffset, uint32_t(run.h.savedFreeCount) * FREE_ENTRY_SIZE};
    }
    return n;
}
