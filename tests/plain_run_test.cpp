// Stepping over the writes and waits after the start, 64 bytes at a time:
// it must stop exactly where the one-command-at-a-time rule stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "generator.h"
#include "plain_run.h"

namespace zelta::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Streams mostly of plain commands, with now and then a command of another
// kind (end of data, a write to a missing device) and n-syncs whose counts
// may run long, so that every way of leaving a block comes up.
Bytes PlainStream(StreamGenerator& r, std::size_t commands, int writeLimit) {
    Bytes s;
    for (std::size_t i = 0; i < commands; ++i) {
        const std::uint32_t k = r.Below(100);
        if (k < 60 && writeLimit > 0) {
            s.push_back(static_cast<std::uint8_t>(r.Below(static_cast<std::uint32_t>(writeLimit))));
            s.push_back(static_cast<std::uint8_t>(r.Below(256)));
            s.push_back(static_cast<std::uint8_t>(r.Below(256)));
        } else if (k < 85) {
            s.insert(s.end(), 1 + r.Below(r.Chance(10) ? 200 : 4), 0xFF);
        } else if (k < 99) {
            s.push_back(0xFE);
            const std::uint32_t more = r.Chance(10) ? r.Below(90) : r.Below(3);
            for (std::uint32_t j = 0; j < more; ++j) s.push_back(static_cast<std::uint8_t>(0x80 | r.Below(128)));
            s.push_back(static_cast<std::uint8_t>(r.Below(128)));
        } else {
            s.push_back(static_cast<std::uint8_t>(r.Pick<int>({0xFD, 0xFC, 0xFE})));
        }
    }
    return s;
}

std::string Around(const Bytes& s, std::int64_t end) {
    std::string text = "bytes before the end:";
    char b[8];
    for (std::int64_t i = std::max<std::int64_t>(0, end - 12); i < end; ++i) {
        std::snprintf(b, sizeof b, " %02x", s[static_cast<std::size_t>(i)]);
        text += b;
    }
    return text;
}

// Every walk: the one chosen for this processor, in blocks, and by jump
// tables (in blocks where the processor has no byte permutes).
TEST(PlainRun, TheBlockWalkStopsWhereTheOneByOneRuleStops) {
    StreamGenerator r(0xB10C);
    for (int round = 0; round < 3000; ++round) {
        const int writeLimit = r.Pick<int>({0, 1, 2, 4, 0x80, 0x81, 0xFC, 0xFD});
        const Bytes s = PlainStream(r, 1 + r.Below(400), writeLimit);
        const auto size = static_cast<std::int64_t>(s.size());
        // Every start a few bytes apart (most of them inside commands, which
        // the rule reads as whatever they say) and ends cut anywhere.
        for (std::int64_t at = 0; at < size; at += 1 + r.Below(48)) {
            const std::int64_t end = at + r.Below(static_cast<std::uint32_t>(size - at) + 1);
            const std::int64_t want = SkipPlainCommandsOneByOne(s.data(), at, end, writeLimit);
            ASSERT_EQ(SkipPlainCommands(s.data(), at, end, writeLimit), want)
                << "round " << round << ", at " << at << ", end " << end << ", limit "
                << writeLimit << "\n" << Around(s, end);
            ASSERT_EQ(SkipPlainCommandsInBlocks(s.data(), at, end, writeLimit), want) << round;
            ASSERT_EQ(SkipPlainCommandsByJumps(s.data(), at, end, writeLimit), want) << round;
        }
    }
}

// Splitting the walk over two threads: the guess near `middle` may be right,
// wrong and never met (a stream of zero bytes reads as writes from any
// position, so a misplaced guess survives its probe), or not found at all;
// the answer must be the rule's every time.
TEST(PlainRun, TheSplitWalkStopsWhereTheOneByOneRuleStops) {
    StreamGenerator r(0x5B17);
    for (int round = 0; round < 600; ++round) {
        const int writeLimit = r.Pick<int>({0, 1, 2, 4, 0x80, 0xFC, 0xFD});
        Bytes s = PlainStream(r, 200 + r.Below(2000), writeLimit);
        switch (r.Below(4)) {
        case 0: std::fill(s.begin() + static_cast<std::ptrdiff_t>(r.Below(static_cast<std::uint32_t>(s.size()))), s.end(), 0x00); break;
        case 1: std::fill(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(r.Below(static_cast<std::uint32_t>(s.size()))), 0x00); break;
        default: break;  // as generated
        }
        const auto size = static_cast<std::int64_t>(s.size());
        for (int k = 0; k < 8; ++k) {
            const std::int64_t at = r.Below(static_cast<std::uint32_t>(size / 4) + 1);
            const std::int64_t end = size - r.Below(static_cast<std::uint32_t>(size / 4) + 1);
            const std::int64_t middle = at + r.Below(static_cast<std::uint32_t>(end - at) + 1);
            ASSERT_EQ(SkipPlainCommandsSplit(s.data(), at, end, writeLimit, middle),
                      SkipPlainCommandsOneByOne(s.data(), at, end, writeLimit))
                << "round " << round << ", at " << at << ", middle " << middle << ", end " << end
                << ", limit " << writeLimit;
        }
    }
}

TEST(PlainRun, TheBlockMasksMatchTheBytes) {
    StreamGenerator r(0x3A5C);
    for (int round = 0; round < 2000; ++round) {
        Bytes block(64);
        for (auto& b : block) b = static_cast<std::uint8_t>(r.Pick<std::uint32_t>({0x00, 0x7F, 0x80, 0xFC, 0xFD, 0xFE, 0xFF, r.Below(256)}));
        const int writeLimit = 1 + static_cast<int>(r.Below(0xFD));
        const BlockMasks fast = ClassifyBlock(block.data(), writeLimit);
        const BlockMasks plain = ClassifyBlockPortable(block.data(), writeLimit);
        ASSERT_EQ(fast.writes, plain.writes) << "limit " << writeLimit;
        ASSERT_EQ(fast.waits, plain.waits);
        ASSERT_EQ(fast.high, plain.high);
    }
}

TEST(PlainRun, RunsOfWaitsEndAtTheFirstOtherByteOrTheLimit) {
    Bytes s(100, 0xFF);
    for (std::int64_t stop = 0; stop < 100; ++stop) {
        s[static_cast<std::size_t>(stop)] = 0x00;
        for (std::int64_t from = 0; from <= stop; ++from) {
            EXPECT_EQ(RunLength(s.data() + from, 100 - from, 0xFF), stop - from);
        }
        EXPECT_EQ(RunLength(s.data(), stop, 0xFF), 0 == stop ? 0 : (s[0] == 0xFF ? stop : 0));
        s[static_cast<std::size_t>(stop)] = 0xFF;
    }
    EXPECT_EQ(RunLength(s.data(), 100, 0xFF), 100);
    EXPECT_EQ(RunLength(s.data(), 37, 0xFF), 37);
}

}  // namespace
}  // namespace zelta::test
