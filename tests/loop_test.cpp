// The loop search (-l): its lines on small songs worked out by hand, and on
// generated songs the loop the generator put in (or an equivalent earlier
// one, declined when that loop does not replay), never a loop where there
// is none; every result is also replayed (loop_check.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "loop_check.h"
#include "loop_songs.h"
#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

// A key-on, a wait, then a two-write loop played once per wait, each pass
// ending in its wait.
std::vector<std::uint8_t> Passes(std::vector<int> waits, bool millisecondTicks = false, std::int32_t loop = 0) {
    S98Builder b;
    if (millisecondTicks) b.Tick(1, 1000);
    if (loop) b.Loop(loop);
    b.Write(0, 0x28, 0xF0).Wait(120, 1);
    for (int w : waits) b.Write(0, 0xA0, 0x22).Write(0, 0x28, 0xF1).Wait(w, 1);
    return b.End().Build();
}

struct LineCase {
    const char* name;
    std::vector<std::uint8_t> image;
    std::string loopLine;
    std::int64_t cut;  // where the looped output ends in 0xfd; 0: the ordinary output
};

TEST(LoopSearch, LogsTheLoopLineAndCutsWhereTheRuleSays) {
    const LineCase cases[] = {
        {"a 1.2 s loop played three times", Passes({120, 120, 120}), "loop offset(repeat found)=00000025, 1.20 s\n", 0x2D},
        {"an input with a loop offset keeps it", Passes({120, 120, 120}, false, 0x28), "loop offset(kept)=00000028\n", 0},
        {"a 0.6 s phrase three times is no loop", Passes({60, 60, 60}), "loop offset(repeat found)=none\n", 0},
        {"five times, two phrases make a 1.2 s loop", Passes({60, 60, 60, 60, 60}), "loop offset(repeat found)=00000025, 1.20 s\n", 0x35},
        {"a pass 3 ticks longer moves the loop to the second pass", Passes({120, 123, 120}),
         "loop offset(repeat found)=0000002d, 1.23 s\n", 0x35},
        {"3 ms at 1 ms ticks are within the tolerance", Passes({1200, 1203, 1200}, true),
         "loop offset(repeat found)=00000025, 1.20 s\n", 0x2E},
        {"4 ms are not", Passes({1200, 1204, 1200}, true), "loop offset(repeat found)=0000002e, 1.20 s\n", 0x37},
        // The first pass's length, 2 ticks (3 ms) short of every later one's: the
        // replay falls behind by that each pass, past the tick a jump allows.
        {"later passes 2 ticks longer drift out of the replay", Passes({120, 122, 122, 122, 122, 122, 122}),
         "loop offset(repeat found)=none\n", 0},
        {"later passes 3 ms longer drift out of the replay", Passes({1200, 1203, 1203, 1203, 1203, 1203}, true),
         "loop offset(repeat found)=none\n", 0},
        {"four passes 2 ticks longer still replay", Passes({120, 122, 122, 122, 122}), "loop offset(repeat found)=00000025, 1.20 s\n", 0x2D},
    };
    for (const auto& c : cases) {
        const auto ordinary = ConvertInMemory(c.image);
        const auto looped = ConvertInMemory(c.image, {.findLoop = true});
        ASSERT_EQ(ordinary.lines.size(), 2u) << c.name;
        EXPECT_EQ(looped.lines, (std::vector<std::string>{ordinary.lines[0], c.loopLine, ordinary.lines[1]})) << c.name;
        auto want = ordinary.output;
        if (c.cut) {
            want.resize(static_cast<std::size_t>(c.cut));
            want.push_back(0xFD);
            S98Builder::Put(want, 0x18, std::stoi(c.loopLine.substr(c.loopLine.find('=') + 1, 8), nullptr, 16));
        }
        EXPECT_EQ(looped.output, want) << c.name;
        EXPECT_EQ(CheckLoop(c.image, {}), "") << c.name;
        EXPECT_EQ(CheckLoop(c.image, {.showStartOnly = true}), "") << c.name;
    }
}

constexpr std::pair<SongKind, int> kKinds[] = {
    {SongKind::Loop, 300}, {SongKind::Timers, 200}, {SongKind::PhraseTwice, 150}, {SongKind::Rewrites, 150},
    {SongKind::LongLoop, 30}, {SongKind::TempoChange, 150}, {SongKind::NoLoop, 100}, {SongKind::SilentTail, 100},
    {SongKind::VibratoTail, 100},
};
constexpr std::uint64_t kSongSeed = 0x100B;

// The loop rule 3 picks in a song made on the generator's loop, and whether
// it replays (the search declines it if not). Its length is a multiple of
// the generator's (a slower pass may hold the timing of one but not of
// another); its start the earliest reached walking back from the generator's
// while the writes one loop later are the same and the loop's length in time
// stays within rule 5.
struct Expected {
    std::int64_t start = -1, length = 0;
    bool replays = false;
};
Expected RulesLoop(const S98Stream& s, const LoopSong& song) {
    const auto w = Compared(s);
    const auto n = static_cast<std::int64_t>(w.size());
    Expected e;
    for (std::int64_t len = song.loopLength; len > 0 && 2 * len <= n; len += song.loopLength) {
        auto d = [&](std::int64_t j) { return w[j + len].time - w[j].time; };
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::int64_t j = song.loopStart; j + len < n; ++j) lo = std::min(lo, d(j)), hi = std::max(hi, d(j));
        for (std::int64_t j = song.loopStart; j >= 0 && j + len < n && w[j].key == w[j + len].key; --j) {
            lo = std::min(lo, d(j)), hi = std::max(hi, d(j));
            if (!s.Tolerates(hi - lo)) break;
            if (j + 2 * len <= n && s.LastsASecond(d(j)) && (e.start < 0 || j < e.start)) e = {j, len};
        }
    }
    if (e.start >= 0) {
        S98Stream looped = s;
        std::erase_if(looped.ops, [&](const S98Op& op) { return op.at >= w[e.start + e.length].at; });
        looped.loop = w[e.start].at;
        e.replays = Replay(looped, w).empty();
    }
    return e;
}

TEST(LoopSearch, FindsEachGeneratedSongsLoopOrAnEquivalentEarlierOneAndNeverALoopWhereThereIsNone) {
    int failures = 0;
    for (std::size_t k = 0; k < std::size(kKinds); ++k) {
        int asExpected = 0, declined = 0, none = 0;
        for (int i = 0; i < kKinds[k].second && failures < 10; ++i) {
            const std::uint64_t seed = kSongSeed + 1000 * k + static_cast<std::uint64_t>(i);
            const LoopSong song = LoopSongGenerator(seed).Song(kKinds[k].first);
            FoundLoop got;
            const auto why = CheckLoop(song.image, {.detailLog = i % 2 == 1}, &got);
            Expected e;
            if (song.loopStart >= 0) {
                S98Stream s;
                ASSERT_EQ(ParseS98(ConvertInMemory(song.image).output, s), "") << seed;
                e = RulesLoop(s, song);
                ASSERT_GE(e.start, 0) << "seed " << seed << ": the generator's loop does not qualify";
                declined += !e.replays;
            }
            const bool right = got.found ? e.replays && got.start == e.start && got.length == e.length : !e.replays;
            asExpected += got.found && right, none += !got.found;
            if (!why.empty() || !right) {
                ADD_FAILURE() << "kind " << k << ", seed " << seed << ": " << why << "; loop at compared write " << got.start << " of "
                              << got.length << ", expected " << (e.replays ? e.start : -1) << " of " << e.length;
                ++failures;
            }
        }
        if (std::getenv("ZELTA_SHOW_COUNTS"))
            std::printf("kind %zu, %4d songs: %4d loops as expected, %4d none (%d declined as they do not replay)\n", k,
                        kKinds[k].second, asExpected, none, declined);
    }
}

}  // namespace
}  // namespace zelta::test
