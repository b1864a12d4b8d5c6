// The loop search (-l): its lines on small songs worked out by hand, and on
// generated songs the loop the generator put in (or an equivalent earlier
// one, declined when that loop does not replay), never a loop where there
// is none; every result is also replayed (loop_check.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
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
            S98Builder::Put(want, 0x18, S98Builder::Get(looped.output, 0x18));
        }
        EXPECT_EQ(looped.output, want) << c.name;
        const auto startOnly = ConvertInMemory(c.image, {.showStartOnly = true, .findLoop = true});
        EXPECT_EQ(startOnly.lines, (std::vector<std::string>{ordinary.lines[0], c.loopLine})) << c.name;
        EXPECT_FALSE(startOnly.written) << c.name;
        EXPECT_EQ(CheckLoop(c.image, {}), "") << c.name;
    }
}

struct KindRow {
    SongKind kind;
    const char* name;
    int songs;
};

constexpr KindRow kKinds[] = {
    {SongKind::Loop, "intro, loop, repeats", 300},
    {SongKind::Timers, "timers on their own clock", 200},
    {SongKind::PhraseTwice, "a phrase twice in the intro", 150},
    {SongKind::Rewrites, "unchanged registers rewritten", 150},
    {SongKind::LongLoop, "a loop over 60 s", 30},
    {SongKind::TempoChange, "a slower first pass", 150},
    {SongKind::NoLoop, "no repeat", 100},
    {SongKind::SilentTail, "a silent frame repeated at the end", 100},
    {SongKind::VibratoTail, "a vibrato at the end", 100},
};
constexpr std::uint64_t kSongSeed = 0x100B;

// The earliest start of a loop of `len` writes (a multiple of the
// generator's) that qualifies, reached walking back from the generator's
// start while the writes one loop later are the same and the loop's length in
// time stays within rule 5; -1 if none does.
std::int64_t EarliestStart(const std::vector<ComparedWrite>& w, const S98Stream& s, std::int64_t a, std::int64_t len) {
    const auto n = static_cast<std::int64_t>(w.size());
    auto d = [&](std::int64_t j) { return w[j + len].time - w[j].time; };
    std::int64_t lo = INT64_MAX, hi = INT64_MIN, best = -1;
    for (std::int64_t j = a; j + len < n; ++j) lo = std::min(lo, d(j)), hi = std::max(hi, d(j));
    for (std::int64_t j = a; j >= 0 && j + len < n && w[j].key == w[j + len].key; --j) {
        lo = std::min(lo, d(j)), hi = std::max(hi, d(j));
        if (!s.Tolerates(hi - lo)) break;
        if (j + 2 * len <= n && d(j) * static_cast<std::int64_t>(s.num) >= static_cast<std::int64_t>(s.den)) best = j;
    }
    return best;
}

// The loop rule 3 picks in a song built on the generator's loop: among the
// multiples of its length (a slower pass may hold the timing of one length
// but not of another), the earliest start, then the shortest length.
std::pair<std::int64_t, std::int64_t> RulesLoop(const std::vector<ComparedWrite>& w, const S98Stream& s, const LoopSong& song) {
    std::pair<std::int64_t, std::int64_t> best{-1, 0};
    for (std::int64_t len = song.loopLength; 2 * len <= static_cast<std::int64_t>(w.size()); len += song.loopLength) {
        const auto start = EarliestStart(w, s, song.loopStart, len);
        if (start >= 0 && (best.first < 0 || start < best.first)) best = {start, len};
    }
    return best;
}

// Whether the loop (a, len) of the ordinary stream `s` replays: the search
// declines a loop that does not.
bool Replays(S98Stream s, const std::vector<ComparedWrite>& w, std::int64_t a, std::int64_t len) {
    const auto cut = w[static_cast<std::size_t>(a + len)].at;
    std::erase_if(s.ops, [&](const S98Op& op) { return op.at >= cut; });
    s.loop = w[static_cast<std::size_t>(a)].at;
    return Replay(s, w).empty();
}

TEST(LoopSearch, FindsEachGeneratedSongsLoopOrAnEquivalentEarlierOneAndNeverALoopWhereThereIsNone) {
    int failures = 0;
    for (std::size_t k = 0; k < std::size(kKinds); ++k) {
        const auto& row = kKinds[k];
        int asExpected = 0, declined = 0, none = 0, wrong = 0;
        for (int i = 0; i < row.songs && failures < 10; ++i) {
            const std::uint64_t seed = kSongSeed + 1000 * k + static_cast<std::uint64_t>(i);
            const LoopSong song = LoopSongGenerator(seed).Song(row.kind);
            const std::string where = std::string(row.name) + ", seed " + std::to_string(seed);
            FoundLoop got;
            const auto why = CheckLoop(song.image, {.detailLog = i % 2 == 1}, &got);
            if (!why.empty()) ADD_FAILURE() << where << ": " << why, ++failures;

            std::int64_t start = -1, length = 0;
            bool replays = false;
            if (song.loopStart >= 0) {
                S98Stream s;
                ASSERT_EQ(ParseS98(ConvertInMemory(song.image).output, s), "") << where;
                const auto w = Compared(s);
                ASSERT_GE(EarliestStart(w, s, song.loopStart, song.loopLength), 0) << where << ": the generator's loop does not qualify";
                std::tie(start, length) = RulesLoop(w, s, song);
                replays = Replays(s, w, start, length);
                declined += !replays;
            }
            if (!got.found) {
                ++none;
                if (replays) ADD_FAILURE() << where << ": no loop, expected one at compared write " << start, ++failures;
            } else if (got.start == start && got.length == length && replays) {
                ++asExpected;
            } else {
                ++wrong;
                ADD_FAILURE() << where << ": loop at compared write " << got.start << " of " << got.length << " writes, expected "
                              << (replays ? start : -1) << " of " << length, ++failures;
            }
        }
        if (std::getenv("ZELTA_SHOW_COUNTS"))
            std::printf("%-36s %4d songs: %4d loops as expected, %4d none (%d declined for the replay), %4d wrong\n",
                        row.name, row.songs, asExpected, none, declined, wrong);
    }
}

}  // namespace
}  // namespace zelta::test
