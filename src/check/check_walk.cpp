// The walk of each version on disk: from its root through the master table
// to every table's chunks, checking each chunk reference and entering each
// image into the version's image map. An image that cannot be placed (past
// the end, too big, over another image of the version) is reported and not
// read, so the walk reads every byte of the file at most once per version
// and its work is bounded by the file's length.
#include <cstdio>
#include <cstring>

#include "check/check.h"

namespace {

constexpr uint32_t TID_LIMIT = 0xFFFF; // TIDs are 16-bit; 0xFFFF means none

// What a chunk reference must be in its place.
struct Expect {
    uint8_t cls;
    uint16_t recSize;
    uint16_t maxCount; // 0: bounded by the chunk size limit only
    ImageRole role;
    uint16_t tid;
    uint32_t chunk;
};

enum class Seen { Skip, Zeros, Placed };

void ReportOverlap(CheckRun &run, const CheckVersion &v, const CheckImage &im, const CheckImage &other) {
    char a[48], b[48];
    CheckAdd(run, ZUNFS_CHECK_OVERLAP, v.bit, im.pos, "%s (%u bytes at %u) overlaps %s (%u bytes at %u)",
             DescribeImage(im, a, sizeof a), im.len, im.pos, DescribeImage(other, b, sizeof b), other.len, other.pos);
}

void CheckPlacement(CheckRun &run, const CheckVersion &v, const CheckImage &im) {
    char d[48];
    DescribeImage(im, d, sizeof d);
    if (im.pos % run.granule != 0)
        CheckAdd(run, ZUNFS_CHECK_IMAGE_ALIGN, v.bit, im.pos, "%s at %u is not on a %u-byte granule", d, im.pos,
                 run.granule);
    if (uint64_t(im.pos) + im.len > v.sizeLimit)
        CheckAdd(run, ZUNFS_CHECK_IMAGE_PAST_END, v.bit, im.pos, "%s (%u bytes at %u) ends past the version's size %u",
                 d, im.len, im.pos, v.sizeLimit);
    Structure st[3];
    int n = CheckStructures(run, st);
    for (int i = 0; i < n; ++i)
        if (Meets(im.pos, im.len, st[i].pos, st[i].len))
            CheckAdd(run, ZUNFS_CHECK_STRUCTURE, v.bit, im.pos, "%s (%u bytes at %u) overlaps the %s", d, im.len,
                     im.pos, st[i].name);
}

// Checks the reference's count and image and enters the image into the
// version's map. Placed: the image is in the file and may be read; Zeros:
// the chunk has records but no image (they read as zeros); Skip: nothing to
// read, either because the chunk is empty or because the image is unusable
// (reported).
Seen Visit(CheckRun &run, CheckVersion &v, const ChunkRef &ref, const Expect &e) {
    CheckImage im{ref.filePos, uint32_t(ref.storedCount) * e.recSize, e.cls, e.role, e.tid, e.chunk};
    char d[48];
    DescribeImage(im, d, sizeof d);
    if (ref.flags & REF_RESIDENT)
        CheckAdd(run, ZUNFS_CHECK_BAD_REF, v.bit, ref.filePos, "the reference to %s is marked resident on disk", d);
    if (ref.storedCount == 0) return Seen::Skip;
    if (e.maxCount != 0 && ref.storedCount > e.maxCount)
        CheckAdd(run, ZUNFS_CHECK_COUNT_OVER_MAX, v.bit, ref.filePos, "%s holds %u records, more than class %u's %u",
                 d, ref.storedCount, e.cls, e.maxCount);
    if (im.len > run.chunkLimit) {
        CheckAdd(run, ZUNFS_CHECK_CHUNK_TOO_BIG, v.bit, ref.filePos, "%s is %u bytes, over the chunk limit %u", d,
                 im.len, run.chunkLimit);
        return Seen::Skip;
    }
    if (ref.filePos == 0) return Seen::Zeros;
    if (uint64_t(im.pos) + im.len > run.length) {
        CheckAdd(run, ZUNFS_CHECK_IMAGE_PAST_END, v.bit, im.pos, "%s (%u bytes at %u) lies past the end of the file (%u)",
                 d, im.len, im.pos, run.length);
        return Seen::Skip;
    }
    CheckPlacement(run, v, im);
    auto other = FirstMeeting(v.images, im.pos, im.len);
    if (other != v.images.end()) {
        ReportOverlap(run, v, im, other->second);
        return Seen::Skip;
    }
    v.images.emplace(im.pos, im);
    ++v.summary.imageCount;
    v.summary.imageBytes += im.len;
    return Seen::Placed;
}

// Reads a placed image of count records of size bytes into out.
bool ReadImage(CheckRun &run, const CheckVersion &v, const ChunkRef &ref, uint16_t size, std::vector<uint8_t> &out) {
    out.assign(size_t(ref.storedCount) * size, 0);
    return CheckRead(run, ref.filePos, uint32_t(out.size()), out.data(), v.bit);
}

ChunkRef RefAt(const std::vector<uint8_t> &image, size_t i) {
    ChunkRef r;
    std::memcpy(&r, image.data() + i * sizeof r, sizeof r);
    return r;
}

uint16_t MaxOf(const CheckRun &run, uint8_t cls) { return cls < run.classes.size() ? run.classes[cls].maxPerChunk : 0; }

bool IndexWithoutImage(CheckRun &run, const CheckVersion &v, const ChunkRef &ref, const char *what) {
    CheckAdd(run, ZUNFS_CHECK_BAD_REF, v.bit, 0, "%s has %u references but no image", what, ref.storedCount);
    return false;
}

void WalkTable(CheckRun &run, CheckVersion &v, const TableRecord &tr, uint16_t tid) {
    if (tr.sessions != 0)
        CheckAdd(run, ZUNFS_CHECK_TABLE_RECORD, v.bit, 0, "table %u has a session chain head 0x%x on disk", tid,
                 tr.sessions);
    bool indexed = tr.flags & TABLE_INDEXED;
    ZunfsCheckTable t{tid, tr.cls, uint8_t(indexed), 0, 0, 0, 0};
    if (tr.cls < CLASS_FIRST_HOST || tr.cls >= run.classes.size()) {
        CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, 0, "table %u has class %u, not a host class of this file", tid,
                 tr.cls);
        v.tables.push_back(t);
        return;
    }
    t.recordSize = VetTableClass(run, tr.cls);
    Expect data{tr.cls, t.recordSize, MaxOf(run, tr.cls), ImageRole::TableChunk, tid, 0};
    if (t.recordSize == 0) {
        v.tables.push_back(t);
        return;
    }
    if (!indexed) {
        t.records = tr.top.storedCount;
        t.chunks = 1;
        if (tr.top.cls != tr.cls)
            CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, tr.top.filePos,
                     "table %u of class %u has a top chunk of class %u%s", tid, tr.cls, tr.top.cls,
                     tr.top.cls == CLASS_INDEX ? " but is not marked indexed" : "");
        else if (Visit(run, v, tr.top, data) == Seen::Placed)
            t.bytes = uint32_t(tr.top.storedCount) * t.recordSize;
        v.tables.push_back(t);
        return;
    }
    if (tr.top.cls != CLASS_INDEX) {
        CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, tr.top.filePos,
                 "indexed table %u has a top chunk of class %u, not an index", tid, tr.top.cls);
        v.tables.push_back(t);
        return;
    }
    Expect index{CLASS_INDEX, REF_SIZE, 0, ImageRole::TableIndex, tid, 0};
    Seen seen = Visit(run, v, tr.top, index);
    std::vector<uint8_t> refs;
    if (seen == Seen::Zeros) {
        char what[32];
        std::snprintf(what, sizeof what, "the index of table %u", tid);
        IndexWithoutImage(run, v, tr.top, what);
    } else if (seen == Seen::Placed && ReadImage(run, v, tr.top, REF_SIZE, refs)) {
        t.bytes = uint32_t(refs.size());
        for (size_t i = 0; i < tr.top.storedCount; ++i) {
            ChunkRef child = RefAt(refs, i);
            data.chunk = uint32_t(i);
            if (child.cls != tr.cls) {
                CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, tr.top.filePos + uint32_t(i * REF_SIZE),
                         "chunk %zu of table %u has class %u, not the table's %u", i, tid, child.cls, tr.cls);
                continue;
            }
            if (Visit(run, v, child, data) == Seen::Placed) t.bytes += uint32_t(child.storedCount) * t.recordSize;
            t.records += child.storedCount;
            ++t.chunks;
        }
    }
    v.tables.push_back(t);
}

// Walks one master chunk; returns false when the TIDs run out.
bool WalkMasterChunk(CheckRun &run, CheckVersion &v, const ChunkRef &ref, uint32_t chunk) {
    Expect e{CLASS_MASTER, TABLE_RECORD_SIZE, MaxOf(run, CLASS_MASTER), ImageRole::MasterChunk, TID_NONE, chunk};
    ++v.summary.masterChunks;
    uint32_t first = v.summary.masterRecords;
    if (first + ref.storedCount > TID_LIMIT) {
        CheckAdd(run, ZUNFS_CHECK_TABLE_RECORD, v.bit, ref.filePos,
                 "the master table has more than %u table records", TID_LIMIT);
        return false;
    }
    v.summary.masterRecords += ref.storedCount;
    Seen seen = Visit(run, v, ref, e);
    if (seen == Seen::Skip) return true;
    std::vector<uint8_t> records;
    if (seen == Seen::Zeros || !ReadImage(run, v, ref, TABLE_RECORD_SIZE, records)) return true; // all free
    for (uint32_t i = 0; i < ref.storedCount; ++i) {
        TableRecord tr;
        std::memcpy(&tr, records.data() + size_t(i) * sizeof tr, sizeof tr);
        if (tr.flags & TABLE_IN_USE) WalkTable(run, v, tr, uint16_t(first + i));
    }
    return true;
}

void WalkVersion(CheckRun &run, CheckVersion &v) {
    const ChunkRef &root = v.root;
    if (root.cls == CLASS_MASTER) {
        WalkMasterChunk(run, v, root, 0);
        return;
    }
    if (root.cls != CLASS_INDEX) {
        CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, root.filePos,
                 "the master table's root has class %u, neither 0 nor an index", root.cls);
        return;
    }
    v.summary.masterIndexed = 1;
    Expect e{CLASS_INDEX, REF_SIZE, 0, ImageRole::MasterIndex, TID_NONE, 0};
    Seen seen = Visit(run, v, root, e);
    std::vector<uint8_t> refs;
    if (seen == Seen::Zeros) IndexWithoutImage(run, v, root, "the master index");
    if (seen != Seen::Placed || !ReadImage(run, v, root, REF_SIZE, refs)) return;
    for (uint32_t i = 0; i < root.storedCount; ++i) {
        ChunkRef child = RefAt(refs, i);
        if (child.cls != CLASS_MASTER) {
            CheckAdd(run, ZUNFS_CHECK_BAD_CLASS, v.bit, root.filePos + i * REF_SIZE,
                     "master chunk %u has class %u, not 0", i, child.cls);
            continue;
        }
        if (!WalkMasterChunk(run, v, child, i)) return;
    }
}

} // namespace

void WalkVersions(CheckRun &run) {
    const FileHeader &h = run.h;
    if (h.versionFlags & VER_SAVED) run.versions.push_back({VER_SAVED, h.savedFileSize, h.savedRoot, {}, {}, {}});
    if (h.versionFlags & VER_MINI) run.versions.push_back({VER_MINI, h.miniFileSize, h.miniRoot, {}, {}, {}});
    for (CheckVersion &v : run.versions) {
        v.summary.version = v.bit;
        if (!run.classesRead) continue;
        v.summary.walked = 1;
        WalkVersion(run, v);
    }
}

void CheckSharedImages(CheckRun &run) {
    if (run.versions.size() < 2) return;
    CheckVersion &a = run.versions[0], &b = run.versions[1];
    for (const auto &[pos, im] : b.images) {
        auto it = FirstMeeting(a.images, im.pos, im.len);
        if (it == a.images.end()) continue;
        const CheckImage &other = it->second;
        char x[48], y[48];
        DescribeImage(im, x, sizeof x);
        DescribeImage(other, y, sizeof y);
        if (other.pos == im.pos && other.len == im.len && other.cls == im.cls) {
            ++a.summary.sharedImages;
            ++b.summary.sharedImages;
        } else {
            CheckAdd(run, ZUNFS_CHECK_SHARED_OVERLAP, uint16_t(a.bit | b.bit), im.pos,
                     "%s (%u bytes at %u, class %u) of one version overlaps %s (%u bytes at %u, class %u) of the other",
                     x, im.len, im.pos, im.cls, y, other.len, other.pos, other.cls);
        }
    }
}
