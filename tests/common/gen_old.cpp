#include "gen_old.h"

#include <stdexcept>

namespace gen {

namespace {

struct Block {
    uint8_t cls;
    uint16_t count;
    Bytes data;
};

// A byte position as a 16-bit count of units.
uint16_t Units(uint32_t pos, uint8_t shift) {
    if (pos >> shift > 0xFFFF) throw std::invalid_argument("old file too large for its shift");
    return uint16_t(pos >> shift);
}

} // namespace

std::vector<OldClass> OldDefaultClasses(const std::vector<OldClass> &host) {
    std::vector<OldClass> out(4);
    out[0].recSize = 10, out[0].maxPerChunk = 256, out[1].recSize = 2;
    out.insert(out.end(), host.begin(), host.end());
    return out;
}

OldFile BuildOld(const OldSpec &s) {
    OldFile f;
    std::vector<Block> blocks(1); // block 0: the master block, filled last
    auto add = [&](uint8_t cls, uint16_t count, Bytes data) {
        blocks.push_back({cls, count, std::move(data)});
        return uint16_t(blocks.size() - 1);
    };
    Bytes master;
    for (const OldTable &t : s.tables) {
        Bytes rec(10, 0);
        f.tableBlocks.emplace_back();
        if (!t.free) {
            if (t.cls >= s.classes.size() || s.classes[t.cls].recSize == 0)
                throw std::invalid_argument("old table of a class without records");
            if (t.blocks.empty() || (!t.indexed && t.blocks.size() != 1)) throw std::invalid_argument("bad block count");
            std::vector<uint16_t> data;
            for (size_t i = 0; i < t.blocks.size(); ++i)
                data.push_back(add(int(i) == t.mismatchBlock ? t.mismatchClass : t.cls,
                                   uint16_t(t.blocks[i].size() / s.classes[t.cls].recSize), t.blocks[i]));
            uint16_t top = data[0];
            if (t.indexed) {
                Bytes numbers;
                for (uint16_t n : data) Put16(numbers, uint32_t(numbers.size()), n);
                f.tableBlocks.back().push_back(top = add(t.indexClass, uint16_t(data.size()), numbers));
            }
            f.tableBlocks.back().insert(f.tableBlocks.back().end(), data.begin(), data.end());
            rec[2] = t.cls;
            Put16(rec, 4, top);
        }
        rec[0] = t.free ? 0x01 : t.indexed ? 0x00 : 0x02;
        master.insert(master.end(), rec.begin(), rec.end());
    }
    blocks[0] = {0, uint16_t(s.tables.size()), master};

    const uint32_t unit = 1u << s.shift;
    uint32_t next = RoundUp(262, unit);
    f.classTablePos = next;
    next += RoundUp(uint32_t(s.classes.size()) * 10, unit);
    for (const Block &b : blocks) f.blockPos.push_back(next), next += RoundUp(uint32_t(b.data.size()), unit);
    f.blockTablePos = next;
    f.blockCount = uint16_t(blocks.size());
    next += RoundUp(uint32_t(blocks.size()) * 24, unit);

    Bytes &out = f.bytes;
    out.assign(next, 0);
    // The 16-bit header fields by offset.
    for (auto [at, v] : {std::pair<uint32_t, uint16_t>{6, 0x99FF}, {10, s.formatVersion}, {14, s.word14}, {44, s.shift},
                         {50, Units(f.classTablePos, s.shift)}, {58, uint16_t(s.classes.size())},
                         {72, Units(f.blockTablePos, s.shift)}, {74, f.blockCount}, {130, s.rootTable}})
        Put16(out, at, v);
    out[12] = s.kind;
    for (size_t c = 0; c < s.classes.size() && c < 32; ++c) Put32(out, uint32_t(132 + c * 4), s.classes[c].ridCounter);
    Put16(out, 260, f.masterBlock);
    for (size_t c = 0; c < s.classes.size(); ++c) {
        const OldClass &d = s.classes[c];
        const uint32_t at = f.classTablePos + uint32_t(c) * 10;
        out[at] = d.flags;
        out[at + 2] = d.allocShift;
        out[at + 3] = d.growShift;
        Put16(out, at + 4, d.recSize);
        Put16(out, at + 6, d.maxPerChunk);
        Put16(out, at + 8, d.word8);
    }
    for (size_t n = 0; n < blocks.size(); ++n) {
        const uint32_t at = f.blockTablePos + uint32_t(n) * 24;
        out[at + 2] = blocks[n].cls;
        Put16(out, at + 16, blocks[n].count);
        Put16(out, at + 18, Units(f.blockPos[n], s.shift));
        PutBytes(out, f.blockPos[n], blocks[n].data);
    }
    return f;
}

} // namespace gen
