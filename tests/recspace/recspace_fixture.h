// Tables of known shape and content for tests of record space.
#pragma once

#include <vector>

#include <gtest/gtest.h>

#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"

constexpr uint8_t kSmall = 4; // 8-byte records, at most 4 per chunk
constexpr uint8_t kLarge = 5; // 1000-byte records, at most 100 per chunk (61 fit the limit)

class RecSpaceTest : public ScratchFcbTest {
protected:
    ScratchOptions Options() override {
        ScratchOptions o;
        o.hostClasses = {HostClass(8, 4), HostClass(1000, 100)};
        return o;
    }

    // A table of class cls with chunks of these counts (indexed when asked,
    // else one chunk of counts[0]); record i holds bytes distinct from every
    // other record's.
    uint16_t MakeTable(const std::vector<uint16_t> &counts, bool indexed, uint8_t cls = kSmall) {
        uint16_t top = indexed ? NewIndex(counts, cls, 1) : NewChunk(cls, counts.at(0));
        const uint16_t recSize = ClassRecSize(fcb_, cls);
        uint32_t total = 0;
        for (uint16_t c : counts) total += c;
        std::vector<uint8_t> bytes(size_t{total} * recSize);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / recSize + 1 + (i % recSize) * 3);
        EXPECT_EQ(WriteRecords(fcb_, top, 0, bytes), 0);
        return top;
    }

    // content with n zero records opened at rix.
    static std::vector<uint8_t> WithGap(std::vector<uint8_t> content, uint32_t rix, uint32_t n, uint16_t recSize) {
        content.insert(content.begin() + rix * recSize, size_t{n} * recSize, 0);
        return content;
    }

    // Every chunk of the table within its class maximum and the size limit.
    void ExpectWithinLimits(uint16_t top, uint8_t cls) {
        const FSClassDesc *d = ClassDesc(fcb_, cls);
        for (uint16_t c : ChunkCounts(fcb_, top)) {
            EXPECT_LE(c, d->maxPerChunk);
            EXPECT_LE(uint32_t{c} * d->recSize, +fcb_->h.maxChunk);
        }
        if (IsIndexed(fcb_, top)) {
            EXPECT_LE(uint32_t{TBChunkCount(fcb_, top)} * sizeof(ChunkRef), +fcb_->h.maxChunk);
        }
    }
};
