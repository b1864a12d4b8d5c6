// The OPL family's part of the sound model (sound_opl.cpp) against the
// renders of opl.tsv: each probe's first and last heard moments against its
// first and last nonsilent frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sound_facts.h"

namespace zelta::test {
namespace {

constexpr double kEarliest = 0.050;  // heard at most this long before the first frame
constexpr double kLatest = 0.25;     // and at most this long after the last

TEST(SoundOpl, HeardSpanCoversEveryRenderClosely) {
    double earliest = 0, latest = 0;  // the widest margins met
    std::string earliestProbe, latestProbe;
    for (const FactRow& row : ReadFacts("opl.tsv")) {
        const std::string& probe = row.at("probe");
        const HeardSpan span = SpanOfProbe(probe);
        if (row.Int("first_nonsilent") < 0) {
            EXPECT_LT(span.first, 0) << probe << " is silent";
            continue;
        }
        const double first = row.Frame("first_nonsilent");
        const double last = row.Frame("last_nonsilent");
        EXPECT_LE(span.first, first) << probe;
        EXPECT_GE(span.first, first - kEarliest) << probe;
        EXPECT_GE(span.last, last) << probe;
        if (row.Int("nonzero_in_last_10ms") == 1) {
            EXPECT_EQ(span.last, span.end) << probe << " sounds to the end";
        } else {
            EXPECT_LE(span.last, last + kLatest) << probe;
            if (span.last - last > latest) latest = span.last - last, latestProbe = probe;
        }
        if (first - span.first > earliest) earliest = first - span.first, earliestProbe = probe;
    }
    std::printf("widest margins: heard %.1f ms early (%s), %.1f ms late (%s)\n", earliest * 1000,
                earliestProbe.c_str(), latest * 1000, latestProbe.c_str());
}

}  // namespace
}  // namespace zelta::test
