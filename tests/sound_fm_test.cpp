// The FM model against the measured facts: for every probe of a table, the
// model following the whole probe in real time is heard no later than the
// render's first nonsilent frame and no earlier than its last, within the
// table's allowance; a silent render is never heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "sound_facts.h"

namespace zelta::test {
namespace {

constexpr double kSameMoment = 1e-9;  // seconds: float rounding of tick sums
constexpr double kEarlyAllowance = 0.050;
constexpr double kLateAllowance = 0.250;

// How far each end of the model's span strays from the render, worst first.
struct Margins {
    double early = -1;  // model's first moment before the render's
    double late = -1;   // model's last moment after the render's
    std::string earlyProbe;
    std::string lateProbe;
    void Print(const char* table) const {
        std::printf("%s: worst early %.2f ms (%s), ", table, early * 1e3, earlyProbe.c_str());
        if (late < 0) std::printf("every sound lasts to the end\n");
        if (late >= 0) std::printf("worst late %.2f ms (%s)\n", late * 1e3, lateProbe.c_str());
    }
};

// Still sounding when the song ends (the attack table tells by its last
// frame, within the last 10 ms).
bool SoundsAtEnd(const FactRow& row) {
    if (row.cells.count("nonzero_in_last_10ms") != 0) return row.Int("nonzero_in_last_10ms") == 1;
    return row.Int("last_nonsilent") >= row.Int("total_frames") - kFramesPerSecond / 100;
}

// `earlyAllowance`: how much earlier than the render the model may be heard.
void CheckRow(const FactRow& row, double earlyAllowance, Margins& m) {
    const std::string probe = row.at("probe");
    const HeardSpan span = SpanOfProbe(probe);
    if (row.Int("first_nonsilent") < 0) {
        EXPECT_EQ(span.first, -1) << probe << " is silent, the model hears it from " << span.first;
        return;
    }
    const double first = row.Frame("first_nonsilent");
    const double last = row.Frame("last_nonsilent");
    ASSERT_GE(span.first, 0) << probe << " sounds, the model hears nothing";
    EXPECT_LE(span.first, first + kSameMoment) << probe << ": heard late";
    EXPECT_LE(first - span.first, earlyAllowance) << probe << ": heard too early";
    EXPECT_GE(span.last, last - kSameMoment) << probe << ": silent early";
    if (SoundsAtEnd(row)) {
        EXPECT_GE(span.last, span.end - kSameMoment) << probe << ": still sounding at the end";
    } else {
        EXPECT_LE(span.last - last, kLateAllowance) << probe << ": silent too late";
        if (span.last - last >= m.late) m.late = span.last - last, m.lateProbe = probe;
    }
    if (first - span.first >= m.early) m.early = first - span.first, m.earlyProbe = probe;
}

TEST(SoundFm, ReleaseTableSpansHoldEveryRender) {
    Margins m;
    for (const FactRow& row : ReadFacts("fm_release.tsv")) CheckRow(row, kEarlyAllowance, m);
    m.Print("fm_release");
}

// The slowest attacks' onsets are known only to within a step or two of their
// rate (AR 1 steps every 1024 EG steps, about 50 ms): the model takes the
// earliest.
TEST(SoundFm, AttackTableSpansHoldEveryRender) {
    Margins m;
    for (const FactRow& row : ReadFacts("fm_attack.tsv")) {
        const double allowance = row.Int("attack_rate") <= 1 ? 0.100 : kEarlyAllowance;
        CheckRow(row, allowance, m);
    }
    m.Print("fm_attack");
}

TEST(SoundFm, DacTableSpansHoldEveryRender) {
    Margins m;
    for (const FactRow& row : ReadFacts("dac.tsv")) CheckRow(row, kEarlyAllowance, m);
    m.Print("dac");
}

// Held, keyed off and on at 1 s: decays again, D2R 14 (rate 28: +1 per 32 EG steps) to 832 in 1.440 s.
TEST(SoundFm, KeyOffAndOnAtOneMomentStartTheDecayAgain) {
    S98Builder b;
    b.Devices({kTypeOpna}).Tick(1, 1000).Write(0, 0x5C, 0x1F).Write(0, 0x7C, 0x0E).Write(0, 0x28, 0xF0).Wait(1000);
    const HeardSpan span = FollowInRealTime(S98Image{b.Write(0, 0x28, 0).Write(0, 0x28, 0xF0).Wait(4000).End().Build()});
    EXPECT_NEAR(span.last, 1.0 + 1.440, 0.001);
}

}  // namespace
}  // namespace zelta::test
