// The SSG, the OPNA's rhythm and the DCSG against their measured renders:
// each probe of ssg.tsv, rhythm.tsv and dcsg.tsv followed in real time, its
// heard span beside the frames that are not silent. The ADPCM, which has no
// table, in songs made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "sound_facts.h"

namespace zelta::test {
namespace {

constexpr double kRounding = 1e-6;  // of moments summed from ticks
constexpr double kEarliest = 0.050;  // first heard at most this before the first sound
constexpr double kLatest = 0.25;     // last heard at most this after the last

// Silent renders the model hears, by design.
const std::set<std::string> kHeardSilences = {
    // Tone periods 2 to 5: exact zeros in the render, tones above hearing on
    // the chip; the model takes every tone at an attenuation below 0xF.
    "probes/dcsg/dcsg_tone0_period2_att0.s98",
    "probes/dcsg/dcsg_tone0_period3_att0.s98",
    "probes/dcsg/dcsg_tone0_period4_att0.s98",
    "probes/dcsg/dcsg_tone0_period5_att0.s98",
};

// Every row of `table`; prints the largest margins (how much earlier the
// model hears than the render, and how much later it stops).
void FollowsTheRenders(const std::string& table) {
    double early = 0, late = 0;
    for (const FactRow& row : ReadFacts(table)) {
        const std::string& probe = row.at("probe");
        const HeardSpan span = SpanOfProbe(probe);
        const double first = row.Frame("first_nonsilent");
        const double last = row.Frame("last_nonsilent");
        if (first < 0) {
            EXPECT_EQ(span.first >= 0, kHeardSilences.count(probe) == 1) << probe;
            continue;
        }
        EXPECT_LE(span.first, first + kRounding) << probe;
        EXPECT_GE(span.first, first - kEarliest) << probe;
        EXPECT_GE(span.last, last - kRounding) << probe;
        early = std::max(early, first - span.first);
        if (row.cells.count("nonzero_in_last_10ms") == 1 && row.Int("nonzero_in_last_10ms") == 1) {
            EXPECT_GE(span.last, span.end - kRounding) << probe;
        } else {
            EXPECT_LE(span.last, last + kLatest) << probe;
            late = std::max(late, span.last - last);
        }
    }
    std::printf("%s: heard at most %.2f ms early, %.2f ms late\n", table.c_str(), early * 1e3, late * 1e3);
}

TEST(SoundPsg, SsgFollowsTheRenders) { FollowsTheRenders("ssg.tsv"); }
TEST(SoundPsg, RhythmFollowsTheRenders) { FollowsTheRenders("rhythm.tsv"); }
TEST(SoundPsg, DcsgFollowsTheRenders) { FollowsTheRenders("dcsg.tsv"); }

// ADPCM: an OPNA song with 1 ms ticks. At 10 ms: x8 memory, L+R (0x01 = C2),
// units 0 to 0xFF (16,384 samples), delta-N 0x4000 (13,867 samples a second
// of the chip's 55,467: 1.1815 s), level 0xFF, then `start`; `later` at
// 500 ms; the end at 3 s.
struct AdpcmCase {
    const char* name;
    std::uint8_t start;                                  // 0x00 at 10 ms
    std::vector<std::pair<std::uint8_t, std::uint8_t>> later;
    double last;  // -1: never heard; 3: to the end
};

const AdpcmCase kAdpcmCases[] = {
    {"plays its samples", 0xA0, {}, 0.010 + 1.1815},
    {"repeats to the end", 0xB0, {}, 3},
    {"plays CPU data to the end", 0x80, {}, 3},
    {"records: silent", 0xE0, {}, -1},
    {"reset", 0xA0, {{0x00, 0x01}}, 0.5},
    {"stopped: the output held to the end", 0xA0, {{0x00, 0x20}}, 3},
    {"stopped, then reset", 0xA0, {{0x00, 0x20}, {0x00, 0x01}}, 0.5},
    {"level 0 from 500 ms", 0xA0, {{0x0B, 0x00}}, 0.5},
    {"panned nowhere from 500 ms", 0xA0, {{0x01, 0x02}}, 0.5},
    // 0.49 s at 13,867 (6,795 samples), the other 9,589 at 27,733: 0.3458 s.
    {"delta-N doubled", 0xA0, {{0x0A, 0x80}}, 0.5 + 0.3458},
    {"stop address moved behind the address", 0xA0, {{0x04, 0x10}}, 3},
};

TEST(SoundPsg, AdpcmPlaysFromItsStartToItsEnd) {
    for (const AdpcmCase& c : kAdpcmCases) {
        S98Builder b;
        b.Devices({kTypeOpna}).Tick(1, 1000).Wait(10);
        for (auto [reg, value] : {std::pair<std::uint8_t, std::uint8_t>{0x01, 0xC2}, {0x02, 0}, {0x03, 0},
                                  {0x04, 0xFF}, {0x05, 0}, {0x09, 0}, {0x0A, 0x40}, {0x0B, 0xFF}, {0x00, c.start}}) {
            b.Write(0, reg, value, 1);
        }
        b.Wait(490);
        for (auto [reg, value] : c.later) b.Write(0, reg, value, 1);
        const HeardSpan span = FollowInRealTime(S98Image{b.Wait(2500).End().Build()});
        if (c.last < 0) {
            EXPECT_EQ(span.first, -1) << c.name;
            continue;
        }
        EXPECT_NEAR(span.first, 0.010, kRounding) << c.name;
        EXPECT_GE(span.last, c.last - kRounding) << c.name;
        EXPECT_LE(span.last, c.last + 0.002) << c.name;
    }
}

}  // namespace
}  // namespace zelta::test
