// Logged songs with a known loop, as a ripper logs them: a silent lead-in, an
// intro, the loop two or three times, then part of a pass that ends anywhere.
// The driver's frames come at a rate that is no multiple of the tick (the
// waits jitter by a tick, as 1-syncs and n-syncs), timer writes on a clock of
// their own. OPN, OPNA (also with no device entry) or OPN2; 10 ms or 1 ms
// ticks; v1 with the title before the data, v3 with a tag after it or none.
// The truth, loopStart and loopLength, counts the writes the search compares
// (instrument writes before the first key-on stay in the ordinary output;
// waits and timer writes are never compared).
#pragma once

#include <cstdint>
#include <vector>

#include "generator.h"
#include "s98_builder.h"

namespace zelta::test {

enum class SongKind {
    Loop,         // intro, loop, repeats
    Timers,       // timer values and I/O ports too; the loop switches 0x27's mode bits
    PhraseTwice,  // the intro plays one phrase twice before different music
    Rewrites,     // the driver rewrites unchanged registers every frame
    LongLoop,     // a loop of more than 60 s
    SlowFirst,    // the loop's first pass 5 to 20 % slower than the later ones (the truth: the second pass)
    NoLoop,       // music that never repeats
    SilentTail,   // music, then the same silent frame for seconds
    VibratoTail,  // music, then a held note's vibrato for seconds
};
inline constexpr int kSongKinds = 9;

struct LoopSong {
    std::vector<std::uint8_t> image;
    std::int64_t loopStart = -1, loopLength = 0;  // -1: no loop
};

class LoopSongGenerator {
public:
    explicit LoopSongGenerator(std::uint64_t seed) : rng_(seed) {}

    LoopSong Song(SongKind kind) {
        const bool fine = rng_.Chance(50);  // 1 ms ticks
        const int layout = static_cast<int>(rng_.Below(3));
        type_ = layout == 0 ? 0 : rng_.Pick<std::int32_t>({0, 2, 3, 4});
        const std::int64_t scale = fine ? 10 : 1;
        frame_ = scale * rng_.Pick<std::int64_t>({1803, 1667, 833, 5405, 1302});  // milliticks
        timer_ = rng_.Chance(kind == SongKind::Timers ? 100 : 50) ? scale * rng_.Pick<std::int64_t>({1300, 2900, 707}) : 0;
        kind_ = kind;
        auto frames = [&](double seconds) { return std::max(1, static_cast<int>(seconds * 1e5 * scale / frame_)); };

        std::vector<Frame> intro(rng_.Below(30));  // the silent lead-in, then instruments
        intro.emplace_back();
        for (int i = 0, n = 4 + static_cast<int>(rng_.Below(12)); i < n; ++i) intro.back().push_back({Port(), Byte(0x30, 0x60), Byte()});
        if (kind == SongKind::PhraseTwice) {
            const auto phrase = Phrase(frames(0.5 + rng_.Below(3)), 30);
            for (int i = 0; i < 2; ++i) intro.insert(intro.end(), phrase.begin(), phrase.end());
        }
        Append(intro, Phrase(frames(0.2 + rng_.Below(5)), 30));
        auto loop = Phrase(frames(kind == SongKind::LongLoop ? 61 + rng_.Below(20) : 1.5 + rng_.Below(12)), kind == SongKind::LongLoop ? 8 : 30);
        if (kind == SongKind::Timers) loop[0].push_back({0, 0x27, 0x40}), loop[loop.size() / 2].push_back({0, 0x27, 0x00});
        if (rng_.Chance(30)) intro.insert(intro.end(), loop.end() - 1 - rng_.Below(3), loop.end());  // ends as the loop does

        Plan plan{std::move(intro)};
        if (kind >= SongKind::NoLoop) {
            const int period = kind == SongKind::SilentTail ? 1 : kind == SongKind::VibratoTail ? 4 + static_cast<int>(rng_.Below(8)) : 0;
            std::vector<Frame> cycle(static_cast<std::size_t>(period));
            for (auto& f : cycle) f = period == 1 ? Frame{{0, 0x28, 0x00}, {0, 0x4C, 0x7F}} : Frame{{0, 0xA4, 0x22}, {0, 0xA0, Byte()}};
            if (period == 1) plan.frames.push_back({{0, 0x28, 0}, {0, 0x28, 1}, {0, 0x28, 2}, {0, 0x28, 4}, {0, 0x28, 5}, {0, 0x28, 6}});
            if (!period) Append(plan.frames, Phrase(frames(10 + rng_.Below(30)), 30));
            for (int i = 0, n = period ? frames(3 + rng_.Below(4)) : 0; i < n; ++i) plan.frames.push_back(cycle[static_cast<std::size_t>(i % period)]);
            return Render(plan, fine, layout);
        }
        if (kind == SongKind::SlowFirst) plan.slowFrom = plan.frames.size(), plan.slowBy = frame_ * (5 + rng_.Below(16)) / 100, Append(plan.frames, loop);
        plan.loopFrame = plan.frames.size();
        for (int p = 0, passes = 2 + static_cast<int>(rng_.Below(2)); p < passes; ++p) Append(plan.frames, loop);
        plan.loopFrames = loop.size();
        const auto last = rng_.Below(static_cast<std::uint32_t>(loop.size()));  // the frame the log stops in
        plan.frames.insert(plan.frames.end(), loop.begin(), loop.begin() + last + 1);
        plan.lastWrites = rng_.Below(static_cast<std::uint32_t>(loop[last].size() + 1));
        return Render(plan, fine, layout);
    }

private:
    struct Write { int port; std::uint8_t reg, value; };
    using Frame = std::vector<Write>;
    struct Plan {
        std::vector<Frame> frames;
        std::size_t loopFrame = SIZE_MAX, loopFrames = 0, lastWrites = SIZE_MAX, slowFrom = 0;
        std::int64_t slowBy = 0;  // milliticks more for each of the loopFrames frames from slowFrom
    };

    static void Append(std::vector<Frame>& to, const std::vector<Frame>& more) { to.insert(to.end(), more.begin(), more.end()); }
    int Port() { return type_ != 2 && rng_.Chance(40) ? 1 : 0; }
    std::uint8_t Byte(std::uint32_t from = 0, std::uint32_t n = 256) { return static_cast<std::uint8_t>(from + rng_.Below(n)); }

    // Random music with a key-on in the first frame: notes, other FM
    // registers, SSG writes, DAC samples on OPN2.
    std::vector<Frame> Phrase(int n, int notePercent) {
        std::vector<Frame> frames(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Frame& f = frames[i];
            if (i == 0 || rng_.Chance(notePercent)) {
                const int port = Port(), ch = static_cast<int>(rng_.Below(3));
                f.push_back({port, static_cast<std::uint8_t>(0xA4 + ch), Byte(0, 0x40)});
                f.push_back({port, static_cast<std::uint8_t>(0xA0 + ch), Byte()});
                f.push_back({0, 0x28, static_cast<std::uint8_t>(0xF0 | port << 2 | ch)});
            }
            if (rng_.Chance(20)) f.push_back({0, 0x28, Byte(0, 3)});
            if (rng_.Chance(15)) f.push_back({Port(), Byte(0x30, 0x87), Byte()});
            if (type_ != 3 && rng_.Chance(10)) f.push_back({0, Byte(0, 11), Byte(0, 16)});
            for (int k = 0, m = type_ == 3 && rng_.Chance(20) ? 1 + static_cast<int>(rng_.Below(4)) : 0; k < m; ++k) f.push_back({0, 0x2A, Byte()});
            if (kind_ == SongKind::Rewrites) f.push_back({0, 0x4C, 0x1F}), f.push_back({type_ == 2 ? 0 : 1, 0xB4, 0xC0});
        }
        return frames;
    }

    LoopSong Render(const Plan& plan, bool fine, int layout) {
        S98Builder b;
        if (layout == 0) b.Version('1').TagBefore("title");
        else if (type_ != 0) b.Devices({type_});
        if (fine) b.Tick(1, 1000);
        LoopSong song;
        std::int64_t now = 0, ticks = 0, nextTimer = 0, compared = 0;
        std::uint8_t mode = 0;  // 0x27's bits 7-6
        auto waitUntil = [&](std::int64_t at) {
            if (at / 1000 > ticks) b.Wait(at / 1000 - ticks, static_cast<int>(rng_.Below(3))), ticks = at / 1000;
        };
        auto timersUntil = [&](std::int64_t at) {
            for (; timer_ && nextTimer <= at; nextTimer += timer_) {
                waitUntil(nextTimer);
                b.Write(0, 0x27, static_cast<std::uint8_t>(mode | rng_.Pick<std::uint8_t>({0x15, 0x2A, 0x3F, 0x05})));
                if (kind_ == SongKind::Timers && rng_.Chance(30)) b.Write(0, Byte(0x24, 3), Byte());
                if (kind_ == SongKind::Timers && rng_.Chance(20)) b.Write(0, Byte(0x0E, 2), Byte());
            }
        };
        for (std::size_t i = 0; i < plan.frames.size(); ++i) {
            if (i == plan.loopFrame) song.loopStart = compared;
            if (i == plan.loopFrame + plan.loopFrames) song.loopLength = compared - song.loopStart;
            timersUntil(now);
            waitUntil(now);
            const auto& f = plan.frames[i];
            for (std::size_t k = 0; k < (i + 1 == plan.frames.size() ? std::min(plan.lastWrites, f.size()) : f.size()); ++k) {
                compared += f[k].reg != 0x27 || (f[k].value & 0xC0) != mode;
                if (f[k].reg == 0x27) mode = f[k].value & 0xC0;
                b.Write(0, f[k].reg, f[k].value, f[k].port);
            }
            now += frame_ + (i - plan.slowFrom < plan.loopFrames ? plan.slowBy : 0);
        }
        timersUntil(now += frame_ * rng_.Below(40));
        waitUntil(now);
        if (rng_.Chance(90)) b.End();
        if (layout == 1) b.Tag("[S98]title=loop");
        song.image = b.Build();
        return song;
    }

    StreamGenerator rng_;
    SongKind kind_ = SongKind::Loop;
    std::int32_t type_ = 0;  // 0: no device entry (OPNA)
    std::int64_t frame_ = 0, timer_ = 0;
};

}  // namespace zelta::test
