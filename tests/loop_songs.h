// Logged songs with a known loop, as a ripper logs them: a silent lead-in, an
// intro, the loop played two or three times, then part of a pass that ends
// anywhere. The driver runs frames at a rate that is no multiple of the
// log's tick, so the waits between frames jitter by a tick; timer writes come
// on a clock of their own. Formats: OPN, OPNA (also with no device entry) and
// OPN2; 10 ms and 1 ms ticks; v1 with the title before the data, v3 with a
// tag after it or none.
//
// Each song carries the generator's own truth: where the loop starts and how
// long it is, counted in the writes the loop search compares (the instrument
// writes before the first key-on stay in the ordinary output; waits and
// timer writes are never compared), or none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "generator.h"
#include "s98_builder.h"

namespace zelta::test {

enum class SongKind {
    Loop,         // intro, loop, repeats
    Timers,       // timer and I/O writes on their own clock; the loop switches 0x27's mode bits
    PhraseTwice,  // the intro plays one phrase twice before different music
    Rewrites,     // the driver rewrites unchanged registers every frame
    LongLoop,     // a loop of more than 60 s
    TempoChange,  // the first pass is slower: the loop starts in the second
    NoLoop,       // music that never repeats
    SilentTail,   // music, then the same silent frame for seconds
    VibratoTail,  // music, then a held note's vibrato for seconds
};

struct LoopSong {
    std::vector<std::uint8_t> image;
    std::int64_t loopStart = -1;  // in compared writes; -1: no loop
    std::int64_t loopLength = 0;
};

class LoopSongGenerator {
public:
    explicit LoopSongGenerator(std::uint64_t seed) : rng_(seed) {}

    LoopSong Song(SongKind kind) {
        const bool fine = rng_.Chance(50);  // 1 ms ticks, else the default 10 ms
        const int layout = static_cast<int>(rng_.Below(3));  // v1 title before, v3 tag after, v3 no tag
        type_ = layout == 0 ? 0 : rng_.Pick<std::int32_t>({0, 2, 3, 4});
        const std::int64_t scale = fine ? 10 : 1;
        frame_ = scale * rng_.Pick<std::int64_t>({1803, 1667, 833, 5405, 1302});  // milliticks
        timer_ = rng_.Chance(kind == SongKind::Timers ? 100 : 50) ? scale * rng_.Pick<std::int64_t>({1300, 2900, 707}) : 0;
        timerValues_ = kind == SongKind::Timers;
        rewrite_ = kind == SongKind::Rewrites;
        const double framesPerSecond = 1e5 / static_cast<double>(frame_ / scale);
        auto frames = [&](double seconds) { return static_cast<int>(seconds * framesPerSecond); };

        std::vector<Frame> intro(static_cast<std::size_t>(rng_.Below(30)));  // silent lead-in
        intro.push_back(Setup());
        if (kind == SongKind::PhraseTwice) {
            const auto phrase = Phrase(frames(0.5 + rng_.Below(3)), 30);
            intro.insert(intro.end(), phrase.begin(), phrase.end());
            intro.insert(intro.end(), phrase.begin(), phrase.end());
        }
        Append(intro, Phrase(frames(0.2 + rng_.Below(5)), 30));
        const double loopSeconds = kind == SongKind::LongLoop ? 61 + rng_.Below(20) : 1.5 + rng_.Below(12);
        auto loop = Phrase(frames(loopSeconds), kind == SongKind::LongLoop ? 8 : 30);
        if (kind == SongKind::Timers) {  // channel 3 mode on for the loop's first half
            loop[0].push_back({0, 0x27, 0x40});
            loop[loop.size() / 2].push_back({0, 0x27, 0x00});
        }
        if (rng_.Chance(30)) {  // the intro ends as the loop does: an earlier start is as good
            const auto k = 1 + rng_.Below(3);
            intro.insert(intro.end(), loop.end() - k, loop.end());
        }

        Plan plan{std::move(intro)};
        switch (kind) {
        case SongKind::NoLoop: Append(plan.frames, Phrase(frames(10 + rng_.Below(30)), 30)); break;
        case SongKind::SilentTail: plan.frames.push_back(AllKeysOff()); Append(plan.frames, Tail(frames(3 + rng_.Below(4)), 1)); break;
        case SongKind::VibratoTail: Append(plan.frames, Tail(frames(3 + rng_.Below(4)), 4 + static_cast<int>(rng_.Below(8)))); break;
        default: {
            const int passes = (kind == SongKind::TempoChange ? 3 : 2) + static_cast<int>(rng_.Below(2));
            for (int p = 0; p < passes; ++p) {
                if (p == (kind == SongKind::TempoChange ? 1 : 0)) plan.loopFrame = plan.frames.size();
                if (p == 1 && kind == SongKind::TempoChange) plan.slowerUntil = plan.frames.size();
                Append(plan.frames, loop);
            }
            plan.loopFrames = loop.size();
            const auto last = rng_.Below(static_cast<std::uint32_t>(loop.size()));  // the pass the log stops in
            Append(plan.frames, std::vector<Frame>(loop.begin(), loop.begin() + last + 1));
            plan.lastWrites = rng_.Below(static_cast<std::uint32_t>(loop[last].size() + 1));
        }
        }
        return Render(plan, fine, layout);
    }

private:
    struct Write { int port; std::uint8_t reg, value; };
    using Frame = std::vector<Write>;

    struct Plan {
        std::vector<Frame> frames;
        std::size_t loopFrame = SIZE_MAX, loopFrames = 0;
        std::size_t slowerUntil = 0;   // frames before this one last 5% longer
        std::size_t lastWrites = SIZE_MAX;  // writes of the last frame that are logged
    };

    static void Append(std::vector<Frame>& to, const std::vector<Frame>& more) { to.insert(to.end(), more.begin(), more.end()); }

    int Port() { return type_ != 2 && rng_.Chance(40) ? 1 : 0; }
    std::uint8_t Byte(std::uint32_t below = 256) { return static_cast<std::uint8_t>(rng_.Below(below)); }

    Frame Setup() {
        Frame f;
        for (int i = 0, n = 4 + static_cast<int>(rng_.Below(12)); i < n; ++i) f.push_back({Port(), static_cast<std::uint8_t>(0x30 + rng_.Below(0x60)), Byte()});
        return f;
    }

    // Random music: notes, other FM registers, the SSG, the DAC; a key-on in
    // the first frame.
    std::vector<Frame> Phrase(int n, int notePercent) {
        std::vector<Frame> frames(static_cast<std::size_t>(std::max(n, 1)));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Frame& f = frames[i];
            if (i == 0 || rng_.Chance(notePercent)) {
                const int port = Port(), ch = static_cast<int>(rng_.Below(3));
                f.push_back({port, static_cast<std::uint8_t>(0xA4 + ch), Byte(0x40)});
                f.push_back({port, static_cast<std::uint8_t>(0xA0 + ch), Byte()});
                f.push_back({0, 0x28, static_cast<std::uint8_t>(0xF0 | port << 2 | ch)});
            }
            if (rng_.Chance(20)) f.push_back({0, 0x28, static_cast<std::uint8_t>(rng_.Below(3))});
            if (rng_.Chance(15)) f.push_back({Port(), static_cast<std::uint8_t>(0x30 + rng_.Below(0x87)), Byte()});
            if (type_ != 3 && rng_.Chance(10)) f.push_back({0, Byte(11), Byte(16)});
            if (type_ == 3 && rng_.Chance(20))
                for (int k = 0, m = 1 + static_cast<int>(rng_.Below(4)); k < m; ++k) f.push_back({0, 0x2A, Byte()});
            if (rewrite_) f.push_back({0, 0x4C, 0x1F}), f.push_back({type_ == 2 ? 0 : 1, 0xB4, 0xC0});
        }
        return frames;
    }

    Frame AllKeysOff() {
        Frame f;
        for (std::uint8_t ch : {0, 1, 2, 4, 5, 6}) f.push_back({0, 0x28, ch});
        return f;
    }

    // The same frames over and over without a key-on: a silent frame
    // (period 1) or a vibrato on the held note.
    std::vector<Frame> Tail(int n, int period) {
        std::vector<Frame> cycle(static_cast<std::size_t>(period));
        for (auto& f : cycle) f = period == 1 ? Frame{{0, 0x28, 0x00}, {0, 0x4C, 0x7F}} : Frame{{0, 0xA4, 0x22}, {0, 0xA0, Byte()}};
        std::vector<Frame> frames;
        for (int i = 0; i < n; ++i) frames.push_back(cycle[static_cast<std::size_t>(i % period)]);
        return frames;
    }

    LoopSong Render(const Plan& plan, bool fine, int layout) {
        S98Builder b;
        if (layout == 0) b.Version('1').TagBefore("title");
        else if (type_ != 0) b.Devices(std::vector<std::int32_t>{type_});
        if (fine) b.Tick(1, 1000);
        LoopSong song;
        std::int64_t now = 0, ticks = 0, nextTimer = 0, compared = 0;
        std::uint8_t mode = 0;  // 0x27's bits 7-6
        auto waitUntil = [&](std::int64_t at) {
            if (at / 1000 > ticks) b.Wait(at / 1000 - ticks, static_cast<int>(rng_.Below(3)));
            ticks = std::max(ticks, at / 1000);
        };
        auto timersUntil = [&](std::int64_t at) {
            for (; timer_ && nextTimer <= at; nextTimer += timer_) {
                waitUntil(nextTimer);
                b.Write(0, 0x27, static_cast<std::uint8_t>(mode | rng_.Pick<std::uint8_t>({0x15, 0x2A, 0x3F, 0x05})));
                if (timerValues_ && rng_.Chance(30)) b.Write(0, static_cast<std::uint8_t>(0x24 + rng_.Below(3)), Byte());
                if (timerValues_ && rng_.Chance(20)) b.Write(0, static_cast<std::uint8_t>(0x0E + rng_.Below(2)), Byte());
            }
        };
        for (std::size_t i = 0; i < plan.frames.size(); ++i) {
            if (i == plan.loopFrame) song.loopStart = compared;
            if (i == plan.loopFrame + plan.loopFrames) song.loopLength = compared - song.loopStart;
            timersUntil(now);
            waitUntil(now);
            const auto& f = plan.frames[i];
            const auto n = i + 1 == plan.frames.size() ? std::min(plan.lastWrites, f.size()) : f.size();
            for (std::size_t k = 0; k < n; ++k) {
                const bool modeWrite = f[k].reg == 0x27;
                compared += !modeWrite || (f[k].value & 0xC0) != mode;
                if (modeWrite) mode = f[k].value & 0xC0;
                b.Write(0, f[k].reg, f[k].value, f[k].port);
            }
            now += i < plan.slowerUntil ? frame_ * 21 / 20 : frame_;
        }
        const std::int64_t after = now + frame_ * rng_.Below(40);
        timersUntil(after);
        waitUntil(after);
        if (rng_.Chance(90)) b.End();
        if (layout == 1) b.Tag("[S98]title=loop");
        song.image = b.Build();
        return song;
    }

    StreamGenerator rng_;
    std::int32_t type_ = 0;  // 0: no device entry (OPNA)
    std::int64_t frame_ = 0, timer_ = 0;
    bool timerValues_ = false, rewrite_ = false;
};

}  // namespace zelta::test
