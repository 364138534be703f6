#include "gen_native.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace gen {

namespace {

constexpr uint32_t kHeaderSize = 154;
constexpr uint16_t kCurrent = 0x1, kMini = 0x2, kSaved = 0x4;

struct Ref {
    uint8_t cls = 0;
    uint16_t count = 0;
    uint32_t pos = 0;
};

struct TablePlace {
    uint16_t versions = 0;
    std::vector<Ref> chunks;
    std::vector<int> chunkImages; // -1 where a chunk has no image
    Ref top;
    int indexImage = -1;
};

struct MasterPlace {
    uint16_t versions = 0;
    std::vector<std::vector<int>> chunkTids; // per master chunk, table per record
    std::vector<Ref> chunks;
    std::vector<int> chunkImages;
    Ref root;
    int indexImage = -1;
};

// Space and image bookkeeping while the file is laid out.
struct Plan {
    const NativeSpec &spec;
    NativeFile &out;
    uint32_t granule;
    uint32_t next = 0;
    std::vector<FreeRun> runs;
};

uint32_t Take(Plan &p, uint32_t len) {
    uint32_t pos = p.next;
    p.next += RoundUp(len, p.granule);
    return pos;
}

// Places an image of len bytes (nothing for 0) and the free run after it.
int PlaceImage(Plan &p, ImageInfo::Kind kind, int table, int chunk, uint32_t len, uint16_t versions,
               Ref &ref) {
    ref.pos = 0;
    if (len == 0) return -1;
    ref.pos = Take(p, len);
    p.out.images.push_back({kind, table, chunk, ref.pos, len, versions, {}});
    if (p.spec.freeAfterEachImage != 0) {
        p.runs.push_back({0, p.next, p.spec.freeAfterEachImage});
        Take(p, p.spec.freeAfterEachImage);
    }
    return int(p.out.images.size() - 1);
}

uint16_t RecordSize(const NativeSpec &s, uint8_t cls) {
    if (cls == 0) return 16;
    if (cls == 1) return 10;
    if (cls < 4) return 0;
    if (size_t(cls - 4) >= s.classes.size()) throw std::invalid_argument("table of an unknown class");
    return s.classes[cls - 4].recSize;
}

std::vector<uint16_t> Cut(uint32_t total, const std::vector<uint16_t> &counts, uint16_t per) {
    std::vector<uint16_t> out = counts;
    if (out.empty()) {
        for (uint32_t left = total; left > 0 || out.empty(); left -= std::min<uint32_t>(left, per))
            out.push_back(uint16_t(std::min<uint32_t>(left, per)));
    }
    uint32_t sum = 0;
    for (auto c : out) sum += c;
    if (sum != total) throw std::invalid_argument("chunk counts do not add up to the records");
    return out;
}

void PlaceTable(Plan &p, int t, TablePlace &tp) {
    const TableSpec &ts = p.spec.tables[size_t(t)];
    uint16_t rs = RecordSize(p.spec, ts.cls);
    if (rs == 0 || ts.records.size() % rs != 0) throw std::invalid_argument("records of a bad size");
    uint32_t total = uint32_t(ts.records.size() / rs);
    std::vector<uint16_t> counts = Cut(total, ts.chunks, 0xFFFF);
    if (!ts.indexed && counts.size() != 1) throw std::invalid_argument("several chunks need an index");
    for (size_t c = 0; c < counts.size(); ++c) {
        Ref r{ts.cls, counts[c], 0};
        uint32_t len = ts.imageless ? 0 : uint32_t(counts[c]) * rs;
        tp.chunkImages.push_back(PlaceImage(p, ImageInfo::TableChunk, t, int(c), len, tp.versions, r));
        tp.chunks.push_back(r);
    }
    if (ts.indexed) {
        tp.top = {1, uint16_t(counts.size()), 0};
        tp.indexImage = PlaceImage(p, ImageInfo::TableIndex, t, 0, uint32_t(counts.size()) * 10,
                                   tp.versions, tp.top);
    } else {
        tp.top = tp.chunks[0];
    }
}

void PlaceMaster(Plan &p, const VersionSpec &v, MasterPlace &mp) {
    std::vector<uint16_t> counts = v.masterIndexed ? Cut(uint32_t(v.tids.size()), v.masterChunks, 256)
                                                   : std::vector<uint16_t>{uint16_t(v.tids.size())};
    size_t at = 0;
    for (size_t c = 0; c < counts.size(); ++c) {
        mp.chunkTids.emplace_back(v.tids.begin() + long(at), v.tids.begin() + long(at + counts[c]));
        at += counts[c];
        Ref r{0, counts[c], 0};
        mp.chunkImages.push_back(
            PlaceImage(p, ImageInfo::Master, -1, int(c), uint32_t(counts[c]) * 16, mp.versions, r));
        mp.chunks.push_back(r);
    }
    if (v.masterIndexed) {
        mp.root = {1, uint16_t(counts.size()), 0};
        mp.indexImage = PlaceImage(p, ImageInfo::MasterIndex, -1, 0, uint32_t(counts.size()) * 10,
                                   mp.versions, mp.root);
    } else {
        mp.root = mp.chunks[0];
    }
}

void PutRef(const Encoding &e, Bytes &b, uint32_t at, const Ref &r) {
    b[at] = 0;
    b[at + 1] = r.cls;
    e.u16(b, at + 2, r.count);
    e.u32(b, at + 4, r.pos);
    e.u16(b, at + 8, 0xFFFF);
}

void NoteRef(NativeFile &f, int image, uint32_t at) {
    if (image >= 0) f.images[size_t(image)].refs.push_back(at);
}

void ToForeignWords(uint8_t, uint8_t *rec, uint16_t size) {
    uint16_t i = 0;
    for (; i + 4 <= size; i += 4) {
        std::swap(rec[i], rec[i + 3]);
        std::swap(rec[i + 1], rec[i + 2]);
    }
    if (i + 2 <= size) std::swap(rec[i], rec[i + 1]);
}

void WriteTable(const Plan &p, const Encoding &e, int t, const TablePlace &tp, Bytes &b) {
    const TableSpec &ts = p.spec.tables[size_t(t)];
    uint16_t rs = RecordSize(p.spec, ts.cls);
    uint8_t flags = p.spec.classes[ts.cls - 4].flags;
    uint32_t first = 0;
    for (size_t c = 0; c < tp.chunks.size(); ++c) {
        uint32_t len = uint32_t(tp.chunks[c].count) * rs;
        if (tp.chunkImages[c] >= 0) {
            Bytes data(ts.records.begin() + first, ts.records.begin() + first + len);
            if (e.foreign && (flags & 0x28) != 0) {
                auto conv = p.spec.toForeign ? p.spec.toForeign : ToForeignWords;
                for (uint32_t r = 0; r < len; r += rs) conv(ts.cls, data.data() + r, rs);
            }
            PutBytes(b, tp.chunks[c].pos, data);
        }
        if (ts.indexed) {
            uint32_t at = tp.top.pos + uint32_t(c) * 10;
            if (tp.top.pos != 0) PutRef(e, b, at, tp.chunks[c]);
            NoteRef(p.out, tp.chunkImages[c], at);
        }
        first += len;
    }
}

void WriteMaster(Plan &p, const Encoding &e, const MasterPlace &mp, const std::vector<TablePlace> &tables,
                 Bytes &b) {
    for (size_t c = 0; c < mp.chunks.size(); ++c) {
        for (size_t i = 0; i < mp.chunkTids[c].size(); ++i) {
            int t = mp.chunkTids[c][i];
            if (t < 0) continue;
            uint32_t at = mp.chunks[c].pos + uint32_t(i) * 16;
            const TablePlace &tp = tables[size_t(t)];
            PutRef(e, b, at, tp.top);
            b[at + 10] = e.tableFlags(uint8_t(0x01 | (p.spec.tables[size_t(t)].indexed ? 0x02 : 0)));
            b[at + 11] = p.spec.tables[size_t(t)].cls;
            NoteRef(p.out, tp.indexImage >= 0 ? tp.indexImage : tp.chunkImages[0], at);
        }
        if (mp.root.cls == 1) {
            uint32_t at = mp.root.pos + uint32_t(c) * 10;
            PutRef(e, b, at, mp.chunks[c]);
            NoteRef(p.out, mp.chunkImages[c], at);
        }
    }
}

void WriteClassTable(const Plan &p, const Encoding &e, Bytes &b) {
    uint32_t at = p.out.classTableOffset;
    for (uint32_t cls = 0; cls < 4; ++cls, at += 14) {
        e.flags16(b, at, 0x38);
        b[at + 2] = 5;
        b[at + 3] = 8;
        e.u16(b, at + 4, cls == 0 ? 16 : cls == 1 ? 10 : 0);
        e.u16(b, at + 6, cls == 0 ? 256 : 0);
        e.u32(b, at + 10, 1);
    }
    for (const ClassSpec &c : p.spec.classes) {
        e.flags16(b, at, c.flags);
        b[at + 2] = c.allocShift;
        b[at + 3] = c.growShift;
        e.u16(b, at + 4, c.recSize);
        e.u16(b, at + 6, c.maxPerChunk);
        e.u16(b, at + 8, c.minPerChunk);
        e.u32(b, at + 10, c.ridCounter);
        at += 14;
    }
}

struct Roots {
    Ref saved, mini, current;
    int savedImage = -1, miniImage = -1, currentImage = -1;
};

void WriteHeader(const Plan &p, const Encoding &e, const Roots &roots, Bytes &b) {
    const NativeSpec &s = p.spec;
    const NativeFile &f = p.out;
    uint32_t fileSize = uint32_t(b.size());
    e.u16(b, 6, 0x99FF);
    e.flags16(b, 8, s.stateFlags);
    e.u16(b, 10, 521);
    e.u16(b, 12, s.allocShift);
    e.u16(b, 14, 12);
    e.u16(b, 16, f.versionFlags);
    e.u32(b, 22, fileSize);
    e.u32(b, 26, s.saved ? fileSize : 0);
    e.u32(b, 30, s.mini ? fileSize : 0);
    b[38] = 1;
    b[42] = uint8_t(4 + s.classes.size());
    if (s.saved) PutRef(e, b, 44, roots.saved);
    if (s.mini) PutRef(e, b, 54, roots.mini);
    PutRef(e, b, 64, roots.current);
    e.u16(b, 84, 0xF000);
    e.u32(b, 86, f.classTableOffset);
    e.u16(b, 90, s.rootTable.value_or(s.tables.empty() ? 0xFFFF : 0));
    e.u16(b, 102, uint16_t(f.freeList.size()));
    e.u32(b, 104, f.freeListOffset);
    e.u16(b, 108, s.fileType);
    e.u16(b, 110, s.appVersion);
    if (e.foreign) {
        // Run-time slots and the status hold leftovers of the writer's
        // session; conversion clears them.
        e.u16(b, 4, 0x0102);
        for (uint32_t i = 112; i < kHeaderSize; ++i) b[i] = 0xA5;
    } else {
        e.u16(b, 116, 0xFFFF);
        e.u16(b, 118, 0xFFFF);
    }
}

void PlaceFreeList(Plan &p) {
    NativeFile &f = p.out;
    if (!p.spec.storeFreeList) return;
    for (const ImageInfo &im : f.images)
        if (im.versions != f.versionFlags) p.runs.push_back({im.versions, im.pos, RoundUp(im.len, p.granule)});
    size_t count = p.runs.size() + (p.spec.freeTail != 0 ? 1 : 0);
    if (count == 0) return;
    f.freeListOffset = Take(p, uint32_t(count) * 10);
    if (p.spec.freeTail != 0) p.runs.push_back({0, Take(p, p.spec.freeTail), p.spec.freeTail});
    std::sort(p.runs.begin(), p.runs.end(), [](const FreeRun &a, const FreeRun &b) { return a.pos < b.pos; });
    f.freeList = p.runs;
}

} // namespace

const ImageInfo &NativeFile::Image(ImageInfo::Kind kind, int table, int chunk) const {
    for (const ImageInfo &im : images)
        if (im.kind == kind && im.table == table && im.chunk == chunk) return im;
    std::abort();
}

NativeFile BuildEncoded(const NativeSpec &s, const Encoding &e) {
    NativeFile f;
    Plan p{s, f, 1u << s.allocShift, 0, {}};
    f.versionFlags = uint16_t((s.saved ? kSaved : 0) | (s.mini ? kMini : 0) | (s.current ? kCurrent : 0));
    // The current version repeats the newest on-disk version and owns what it owns.
    uint16_t savedBits = uint16_t(kSaved | (s.current && !s.mini ? kCurrent : 0));
    uint16_t miniBits = uint16_t(kMini | (s.current ? kCurrent : 0));
    bool shareMaster = s.saved && s.mini && *s.saved == *s.mini;

    Take(p, kHeaderSize);
    f.classTableOffset = Take(p, uint32_t(4 + s.classes.size()) * 14);

    std::vector<TablePlace> tables(s.tables.size());
    auto mark = [&](const std::optional<VersionSpec> &v, uint16_t bits) {
        if (!v) return;
        for (int t : v->tids)
            if (t >= 0) tables.at(size_t(t)).versions |= bits;
    };
    mark(s.saved, savedBits);
    mark(s.mini, miniBits);
    for (size_t t = 0; t < tables.size(); ++t)
        if (tables[t].versions != 0) PlaceTable(p, int(t), tables[t]);

    MasterPlace savedMaster, miniMaster;
    savedMaster.versions = uint16_t(savedBits | (shareMaster ? miniBits : 0));
    miniMaster.versions = miniBits;
    if (s.saved) PlaceMaster(p, *s.saved, savedMaster);
    if (s.mini && !shareMaster) PlaceMaster(p, *s.mini, miniMaster);
    const MasterPlace &miniUsed = shareMaster ? savedMaster : miniMaster;

    PlaceFreeList(p);

    Bytes &b = f.bytes;
    b.assign(p.next, 0);
    WriteClassTable(p, e, b);
    for (size_t t = 0; t < tables.size(); ++t)
        if (tables[t].versions != 0) WriteTable(p, e, int(t), tables[t], b);
    if (s.saved) WriteMaster(p, e, savedMaster, tables, b);
    if (s.mini && !shareMaster) WriteMaster(p, e, miniMaster, tables, b);
    for (size_t i = 0; i < f.freeList.size(); ++i) {
        uint32_t at = f.freeListOffset + uint32_t(i) * 10;
        e.u16(b, at, f.freeList[i].owners);
        e.u32(b, at + 2, f.freeList[i].pos);
        e.u32(b, at + 6, f.freeList[i].len);
    }

    Roots roots;
    auto rootImage = [](const MasterPlace &m) { return m.indexImage >= 0 ? m.indexImage : m.chunkImages[0]; };
    if (s.saved) roots.saved = savedMaster.root, roots.savedImage = rootImage(savedMaster);
    if (s.mini) roots.mini = miniUsed.root, roots.miniImage = rootImage(miniUsed);
    roots.current = s.mini ? roots.mini : roots.saved;
    roots.currentImage = s.mini ? roots.miniImage : roots.savedImage;
    WriteHeader(p, e, roots, b);
    NoteRef(f, roots.savedImage, 44);
    NoteRef(f, roots.miniImage, 54);
    if (s.current) NoteRef(f, roots.currentImage, 64);
    return f;
}

NativeFile BuildNative(const NativeSpec &spec) {
    static const Encoding little{
        Put16, Put32, Put16, [](uint8_t flags) { return flags; }, false};
    return BuildEncoded(spec, little);
}

} // namespace gen
