#include "read_saved.h"

#include <stdexcept>

namespace gen {

namespace {

struct Ref {
    uint8_t cls;
    uint16_t count;
    uint32_t pos;
};

Ref RefAt(const Bytes &b, uint32_t at) { return {b.at(at + 1), Get16(b, at + 2), Get32(b, at + 4)}; }

uint16_t RecordSize(const Bytes &b, uint8_t cls) {
    if (cls >= b.at(42)) throw std::runtime_error("class outside the class table");
    return Get16(b, Get32(b, 86) + cls * 14u + 4);
}

// The image of a reference; zeros when it has records but no position.
Bytes Image(const Bytes &b, const Ref &r) {
    size_t len = size_t(r.count) * RecordSize(b, r.cls);
    if (r.pos == 0) return Bytes(len, 0);
    if (r.pos + len > b.size()) throw std::runtime_error("image past the end of the file");
    return Bytes(b.begin() + r.pos, b.begin() + r.pos + long(len));
}

void ReadData(const Bytes &b, const Ref &r, ReadTable &t) {
    const Bytes data = Image(b, r);
    t.chunks.push_back(r.count), t.records.insert(t.records.end(), data.begin(), data.end());
}

void ReadMasterChunk(const Bytes &b, const Ref &r, ReadVersion &v) {
    if (r.cls != 0) throw std::runtime_error("master chunk of another class");
    Bytes records = Image(b, r);
    v.masterChunks.push_back(r.count);
    for (uint32_t i = 0; i < r.count; ++i) {
        ReadTable t{bool(records[i * 16 + 10] & 0x01), records[i * 16 + 11], bool(records[i * 16 + 10] & 0x02), {}, {}};
        const Ref top = RefAt(records, i * 16);
        if (t.inUse && !t.indexed) ReadData(b, top, t);
        if (t.inUse && t.indexed && top.cls != 1) throw std::runtime_error("indexed table without an index");
        const Bytes refs = t.inUse && t.indexed ? Image(b, top) : Bytes{};
        for (uint32_t c = 0; c < refs.size() / 10; ++c) ReadData(b, RefAt(refs, c * 10), t);
        v.tables.push_back(t);
    }
}

} // namespace

ReadVersion ReadSaved(const Bytes &b) {
    ReadVersion v;
    const Ref root = RefAt(b, 44);
    if (root.cls > 1) throw std::runtime_error("saved root of another class");
    if (root.cls == 0) return ReadMasterChunk(b, root, v), v;
    v.masterIndexed = true;
    const Bytes refs = Image(b, root);
    for (uint32_t c = 0; c < root.count; ++c) ReadMasterChunk(b, RefAt(refs, c * 10), v);
    return v;
}

} // namespace gen
