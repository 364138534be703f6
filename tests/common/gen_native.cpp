#include "gen_native.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "gen_foreign.h"

namespace gen {

namespace {

constexpr uint32_t kHeaderSize = 154;
constexpr uint16_t kCurrent = 0x1, kMini = 0x2, kSaved = 0x4;

// Field encoding of one byte order.
struct Encoding {
    void (*u16)(Bytes &, uint32_t, uint16_t);
    void (*u32)(Bytes &, uint32_t, uint32_t);
    void (*flags16)(Bytes &, uint32_t, uint16_t); // a word of one-bit flags
    uint8_t (*tableFlags)(uint8_t);               // byte 10 of a table record
    bool foreign;
};

struct Ref {
    uint8_t cls = 0;
    uint16_t count = 0;
    uint32_t pos = 0;
};

// Where a table's or a master table's chunks went; image -1 for none.
struct Placed {
    uint16_t versions = 0;
    std::vector<Ref> chunks;
    std::vector<int> chunkImages;
    Ref top;
    int indexImage = -1;
    std::vector<std::vector<int>> chunkTids; // master only: per chunk, table per record
    int TopImage() const { return indexImage >= 0 ? indexImage : chunkImages[0]; }
};

// Space and image bookkeeping while the file is laid out.
struct Plan {
    const NativeSpec &spec;
    NativeFile &out;
    uint32_t granule;
    uint32_t next = 0;
    std::vector<FreeRun> runs;
    uint32_t Take(uint32_t len) { return std::exchange(next, next + RoundUp(len, granule)); }
};

// Places an image of len bytes (nothing for 0) and the free run after it.
int PlaceImage(Plan &p, ImageInfo::Kind kind, int table, int chunk, uint32_t len, uint16_t versions, Ref &ref) {
    ref.pos = 0;
    if (len == 0) return -1;
    ref.pos = p.Take(len);
    p.out.images.push_back({kind, table, chunk, ref.pos, len, versions, {}});
    if (p.spec.freeAfterEachImage != 0) p.runs.push_back({0, p.Take(p.spec.freeAfterEachImage), p.spec.freeAfterEachImage});
    return int(p.out.images.size() - 1);
}

uint16_t RecordSize(const NativeSpec &s, uint8_t cls) {
    if (cls < 4) return cls == 0 ? 16 : cls == 1 ? 10 : 0;
    if (size_t(cls - 4) >= s.classes.size()) throw std::invalid_argument("table of an unknown class");
    return s.classes[cls - 4].recSize;
}

std::vector<uint16_t> Cut(uint32_t total, const std::vector<uint16_t> &counts, uint16_t per) {
    std::vector<uint16_t> out = counts;
    for (uint32_t left = total; out.empty() || (counts.empty() && left > 0); left -= out.back())
        out.push_back(uint16_t(std::min<uint32_t>(left, per)));
    uint32_t sum = 0;
    for (auto c : out) sum += c;
    if (sum != total) throw std::invalid_argument("chunk counts do not add up to the records");
    return out;
}

// Chunks of counts records (len bytes each per record, none when imageless)
// under an index when indexed.
void PlaceChunks(Plan &p, Placed &pl, ImageInfo::Kind kind, ImageInfo::Kind indexKind, int t, uint8_t cls,
                 const std::vector<uint16_t> &counts, uint16_t rs, bool indexed) {
    for (size_t c = 0; c < counts.size(); ++c) {
        Ref r{cls, counts[c], 0};
        pl.chunkImages.push_back(PlaceImage(p, kind, t, int(c), uint32_t(counts[c]) * rs, pl.versions, r));
        pl.chunks.push_back(r);
    }
    pl.top = indexed ? Ref{1, uint16_t(counts.size()), 0} : pl.chunks[0];
    if (indexed) pl.indexImage = PlaceImage(p, indexKind, t, 0, uint32_t(counts.size()) * 10, pl.versions, pl.top);
}

void PlaceTable(Plan &p, int t, Placed &tp) {
    const TableSpec &ts = p.spec.tables[size_t(t)];
    uint16_t rs = RecordSize(p.spec, ts.cls);
    if (rs == 0 || ts.records.size() % rs != 0) throw std::invalid_argument("records of a bad size");
    std::vector<uint16_t> counts = Cut(uint32_t(ts.records.size() / rs), ts.chunks, 0xFFFF);
    if (!ts.indexed && counts.size() != 1) throw std::invalid_argument("several chunks need an index");
    PlaceChunks(p, tp, ImageInfo::TableChunk, ImageInfo::TableIndex, t, ts.cls, counts, ts.imageless ? 0 : rs, ts.indexed);
}

void PlaceMaster(Plan &p, const VersionSpec &v, Placed &mp) {
    std::vector<uint16_t> counts = v.masterIndexed ? Cut(uint32_t(v.tids.size()), v.masterChunks, 256)
                                                   : std::vector<uint16_t>{uint16_t(v.tids.size())};
    for (size_t c = 0, at = 0; c < counts.size(); at += counts[c++])
        mp.chunkTids.emplace_back(v.tids.begin() + long(at), v.tids.begin() + long(at + counts[c]));
    PlaceChunks(p, mp, ImageInfo::Master, ImageInfo::MasterIndex, -1, 0, counts, 16, v.masterIndexed);
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

// A host record in its foreign form: each 32-bit word byte-reversed, a
// 16-bit word at an odd end swapped.
void ToForeignWords(uint8_t *rec, uint16_t size) {
    uint16_t i = 0;
    for (; i + 4 <= size; i += 4) std::reverse(rec + i, rec + i + 4);
    if (i + 2 <= size) std::swap(rec[i], rec[i + 1]);
}

void WriteTable(const Plan &p, const Encoding &e, int t, const Placed &tp, Bytes &b) {
    const TableSpec &ts = p.spec.tables[size_t(t)];
    const uint16_t rs = RecordSize(p.spec, ts.cls);
    const bool translate = e.foreign && (p.spec.classes[ts.cls - 4].flags & 0x28) != 0;
    for (size_t c = 0, first = 0; c < tp.chunks.size(); first += size_t(tp.chunks[c++].count) * rs) {
        const size_t len = size_t(tp.chunks[c].count) * rs;
        if (tp.chunkImages[c] >= 0) {
            Bytes data(ts.records.begin() + long(first), ts.records.begin() + long(first + len));
            for (size_t r = 0; translate && r < len; r += rs) ToForeignWords(data.data() + r, rs);
            PutBytes(b, tp.chunks[c].pos, data);
        }
        if (!ts.indexed) continue;
        uint32_t at = tp.top.pos + uint32_t(c) * 10;
        if (tp.top.pos != 0) PutRef(e, b, at, tp.chunks[c]);
        NoteRef(p.out, tp.chunkImages[c], at);
    }
}

void WriteMaster(Plan &p, const Encoding &e, const Placed &mp, const std::vector<Placed> &tables, Bytes &b) {
    for (size_t c = 0; c < mp.chunks.size(); ++c) {
        for (size_t i = 0; i < mp.chunkTids[c].size(); ++i) {
            const int t = mp.chunkTids[c][i];
            if (t < 0) continue;
            const uint32_t at = mp.chunks[c].pos + uint32_t(i) * 16;
            const TableSpec &ts = p.spec.tables[size_t(t)];
            PutRef(e, b, at, tables[size_t(t)].top);
            b[at + 10] = e.tableFlags(uint8_t(0x01 | (ts.indexed ? 0x02 : 0)));
            b[at + 11] = ts.cls;
            NoteRef(p.out, tables[size_t(t)].TopImage(), at);
        }
        if (mp.top.cls != 1) continue;
        PutRef(e, b, mp.top.pos + uint32_t(c) * 10, mp.chunks[c]);
        NoteRef(p.out, mp.chunkImages[c], mp.top.pos + uint32_t(c) * 10);
    }
}

void WriteClass(const Encoding &e, Bytes &b, uint32_t at, const ClassSpec &c) {
    e.flags16(b, at, c.flags);
    b[at + 2] = c.allocShift;
    b[at + 3] = c.growShift;
    e.u16(b, at + 4, c.recSize);
    e.u16(b, at + 6, c.maxPerChunk);
    e.u16(b, at + 8, c.minPerChunk);
    e.u32(b, at + 10, c.ridCounter);
}

void WriteHeader(const Plan &p, const Encoding &e, const Ref *saved, const Ref *mini, Bytes &b) {
    const NativeSpec &s = p.spec;
    const NativeFile &f = p.out;
    const uint32_t fileSize = uint32_t(b.size());
    // The numeric header fields by offset.
    for (auto [at, v] : {std::pair<uint32_t, uint16_t>{6, 0x99FF}, {10, 521}, {12, s.allocShift}, {14, 12},
                         {16, f.versionFlags}, {84, 0xF000}, {90, s.rootTable.value_or(s.tables.empty() ? 0xFFFF : 0)},
                         {102, uint16_t(f.freeList.size())}, {108, s.fileType}, {110, s.appVersion}})
        e.u16(b, at, v);
    for (auto [at, v] : {std::pair<uint32_t, uint32_t>{22, fileSize}, {26, s.saved ? fileSize : 0},
                         {30, s.mini ? fileSize : 0}, {86, f.classTableOffset}, {104, f.freeListOffset}})
        e.u32(b, at, v);
    e.flags16(b, 8, s.stateFlags);
    b[38] = 1;
    b[42] = uint8_t(4 + s.classes.size());
    if (saved) PutRef(e, b, 44, *saved);
    if (mini) PutRef(e, b, 54, *mini);
    PutRef(e, b, 64, mini ? *mini : saved ? *saved : Ref{});
    if (!e.foreign) {
        e.u16(b, 116, 0xFFFF);
        e.u16(b, 118, 0xFFFF);
        return;
    }
    // Run-time slots and the status hold leftovers of the writer's session;
    // conversion clears them.
    e.u16(b, 4, 0x0102);
    std::fill(b.begin() + 112, b.begin() + kHeaderSize, 0xA5);
}

// The runs not used by every version, the free runs, and the list's place.
void PlaceFreeList(Plan &p) {
    NativeFile &f = p.out;
    for (const ImageInfo &im : f.images)
        if (im.versions != f.versionFlags) p.runs.push_back({im.versions, im.pos, RoundUp(im.len, p.granule)});
    const size_t count = p.runs.size() + (p.spec.freeTail != 0 ? 1 : 0);
    if (count == 0) return;
    f.freeListOffset = p.Take(uint32_t(count) * 10);
    if (p.spec.freeTail != 0) p.runs.push_back({0, p.Take(p.spec.freeTail), p.spec.freeTail});
    std::sort(p.runs.begin(), p.runs.end(), [](const FreeRun &a, const FreeRun &b) { return a.pos < b.pos; });
    f.freeList = p.runs;
}

NativeFile BuildEncoded(const NativeSpec &s, const Encoding &e) {
    NativeFile f;
    Plan p{s, f, 1u << s.allocShift, 0, {}};
    f.versionFlags = uint16_t((s.saved ? kSaved : 0) | (s.mini ? kMini : 0) | (s.current ? kCurrent : 0));
    // The current version repeats the newest on-disk version and owns what it owns.
    const uint16_t savedBits = uint16_t(kSaved | (s.current && !s.mini ? kCurrent : 0));
    const uint16_t miniBits = uint16_t(kMini | (s.current ? kCurrent : 0));
    const bool shareMaster = s.saved && s.mini && *s.saved == *s.mini;
    p.Take(kHeaderSize);
    f.classTableOffset = p.Take(uint32_t(4 + s.classes.size()) * 14);

    std::vector<Placed> tables(s.tables.size());
    for (auto [v, bits] : {std::pair{&s.saved, savedBits}, {&s.mini, miniBits}})
        for (int t : *v ? (*v)->tids : std::vector<int>{})
            if (t >= 0) tables.at(size_t(t)).versions |= bits;
    for (size_t t = 0; t < tables.size(); ++t)
        if (tables[t].versions != 0) PlaceTable(p, int(t), tables[t]);
    Placed savedMaster, miniMaster;
    savedMaster.versions = uint16_t(savedBits | (shareMaster ? miniBits : 0));
    miniMaster.versions = miniBits;
    if (s.saved) PlaceMaster(p, *s.saved, savedMaster);
    if (s.mini && !shareMaster) PlaceMaster(p, *s.mini, miniMaster);
    const Placed &miniUsed = shareMaster ? savedMaster : miniMaster;
    PlaceFreeList(p);

    Bytes &b = f.bytes;
    b.assign(p.next, 0);
    uint32_t at = f.classTableOffset;
    for (uint16_t cls = 0; cls < 4; ++cls, at += 14)
        WriteClass(e, b, at, {uint16_t(cls == 0 ? 16 : cls == 1 ? 10 : 0), uint16_t(cls == 0 ? 256 : 0), 0, 0x38, 5, 8, 1});
    for (const ClassSpec &c : s.classes) WriteClass(e, b, at, c), at += 14;
    for (size_t t = 0; t < tables.size(); ++t)
        if (tables[t].versions != 0) WriteTable(p, e, int(t), tables[t], b);
    if (s.saved) WriteMaster(p, e, savedMaster, tables, b);
    if (s.mini && !shareMaster) WriteMaster(p, e, miniMaster, tables, b);
    for (size_t i = 0; i < f.freeList.size(); ++i) {
        const uint32_t entry = f.freeListOffset + uint32_t(i) * 10;
        e.u16(b, entry, f.freeList[i].owners);
        e.u32(b, entry + 2, f.freeList[i].pos);
        e.u32(b, entry + 6, f.freeList[i].len);
    }
    WriteHeader(p, e, s.saved ? &savedMaster.top : nullptr, s.mini ? &miniUsed.top : nullptr, b);
    const int savedImage = s.saved ? savedMaster.TopImage() : -1, miniImage = s.mini ? miniUsed.TopImage() : -1;
    NoteRef(f, savedImage, 44);
    NoteRef(f, miniImage, 54);
    if (s.current) NoteRef(f, s.mini ? miniImage : savedImage, 64);
    return f;
}

} // namespace

const ImageInfo &NativeFile::Image(ImageInfo::Kind kind, int table, int chunk) const {
    for (const ImageInfo &im : images)
        if (im.kind == kind && im.table == table && im.chunk == chunk) return im;
    std::abort();
}

NativeFile BuildNative(const NativeSpec &spec) {
    return BuildEncoded(spec, {Put16, Put32, Put16, [](uint8_t flags) { return flags; }, false});
}

uint16_t ForeignFlagWord(uint16_t flags) {
    uint16_t w = 0;
    for (int i = 0; i < 16; ++i)
        if (flags & (1u << i)) w = uint16_t(w | 1u << (15 - i));
    return w;
}

uint8_t ForeignTableFlags(uint8_t flags) { return uint8_t((flags & 0x01) << 7 | (flags & 0x02) << 5 | flags >> 2); }

NativeFile BuildForeign(const NativeSpec &spec) {
    const auto flags = [](Bytes &b, uint32_t at, uint16_t v) { Put16BE(b, at, ForeignFlagWord(v)); };
    return BuildEncoded(spec, {Put16BE, Put32BE, flags, ForeignTableFlags, true});
}

} // namespace gen
