// The model on whole songs rendered by the reference renderer
// (tests/sound-facts/corpus): -s starts at a write at or before each song's
// first sound and at most 50 ms before it, and the model's last sound lies at
// or after the rendered last one and at most 0.25 s after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "sound_facts.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

constexpr double kEarliestStart = 0.050;  // seconds before the first sound
constexpr double kLatestEnd = 0.250;      // seconds after the last
constexpr double kFrame = 1 / kFramesPerSecond;

// The moment of the write at `offset` in the song's own time.
double MomentOf(const S98Image& image, std::int64_t offset) {
    const S98Header header = ReadHeader(image, image.size());
    std::uint64_t ticks = 0;
    WalkStream(
        image, header, ReadDeviceTable(image, header),
        [&](std::int64_t at, const RegisterWrite&) { return at < offset; },
        [&](std::int64_t, std::uint64_t n, std::int64_t) { return ticks += n, true; });
    return double(ticks) * TickSeconds(header);
}

unsigned StartIn(const MemoryConversion& result) {
    unsigned start = 0;
    std::sscanf(result.lines.at(0).c_str(), "start offset(1st key-on)=%8x", &start);
    return start;
}

TEST(SoundModelOnTheCorpus, StartsAndEndsLieWhereTheRenderedSoundDoes) {
    int moved = 0, cut = 0, silentTails = 0;
    double movedBy = 0, leftOut = 0, tailLeft = 0;
    for (const FactRow& row : ReadFacts("corpus/audible.tsv")) {
        const std::string& name = row.at("file");
        const auto bytes = ReadFile(SoundFactsPath("corpus/" + name));
        const S98Image image{bytes};
        const double first = row.Frame("first_nonsilent_frame"), last = row.Frame("last_nonsilent_frame");
        const auto sound = ConvertInMemory(bytes, {.showStartOnly = true, .bySound = true});
        const auto keyOn = ConvertInMemory(bytes, {.showStartOnly = true, .allChips = true});
        ASSERT_EQ(sound.message, "") << name;
        const HeardSpan span = FollowInRealTime(image);
        if (first < 0) {
            if (span.first < 0) EXPECT_EQ(StartIn(sound), 0u) << name << ": a start in a song heard nowhere";
            continue;
        }
        const double start = MomentOf(image, StartIn(sound));
        EXPECT_LE(start, first + kFrame) << name << ": the start lies after the first sound";
        EXPECT_LE(first - start, kEarliestStart) << name << ": the start lies " << first - start << " s early";
        EXPECT_GE(span.last, last - kFrame) << name << ": the model's end lies before the last sound";
        EXPECT_LE(span.last, last + kLatestEnd) << name << ": the model's end lies " << span.last - last << " s late";

        const double was = MomentOf(image, StartIn(keyOn));
        if (start > was) ++moved, movedBy += start - was;
        double seconds = 0;
        if (std::sscanf(sound.lines.at(1).c_str(), "end offset(silence cut)=%*8x, %lf s", &seconds) == 1) {
            ++cut, leftOut += seconds;
        }
        if (span.end - last > 1.0) ++silentTails, tailLeft += std::min(span.end, span.end - seconds) - last;
    }
    if (std::getenv("ZELTA_SHOW_COUNTS")) {
        std::printf("starts moved: %d, by %.2f s in all; ends cut: %d, %.2f s left out; "
                    "songs with over 1 s of silent tail: %d, %.2f s of it left after -s\n",
                    moved, movedBy, cut, leftOut, silentTails, tailLeft);
    }
}

}  // namespace
}  // namespace zelta::test
