// Synthetic S98 images for the benchmarks: a long silent lead-in of waits
// and timer writes (with a few setup writes that are kept), then a mix of
// register writes and waits like a real song's, an end-of-data command and a
// tag. Deterministic for a given seed.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zelta::bench {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    std::uint64_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    // Uniform in [0, n).
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

private:
    std::uint64_t state_;
};

struct SynthOptions {
    std::size_t size = 1 << 20;     // total image size, approximately (within a few bytes)
    double leadInShare = 0.125;     // part of the stream that is silent lead-in
    std::uint64_t seed = 1;
};

inline void PutLe32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}

// Two devices: 0 = YM2608 (OPNA), 1 = YM2149 (PSG).
inline std::vector<std::uint8_t> MakeSong(const SynthOptions& o) {
    constexpr std::size_t kDevices = 2;
    constexpr std::size_t kDump = 0x20 + 16 * kDevices;
    const std::string tag = "[S98]title=benchmark song\ngame=none\nartist=zelta bench\n";
    const std::size_t total = o.size < kDump + tag.size() + 64 ? kDump + tag.size() + 64 : o.size;
    const std::size_t streamBytes = total - kDump - tag.size();
    const auto leadIn = static_cast<std::size_t>(static_cast<double>(streamBytes) * o.leadInShare);

    std::vector<std::uint8_t> v(kDump, 0);
    v.reserve(total + 16);
    std::memcpy(v.data(), "S983", 4);
    PutLe32(v, 0x04, 1);      // timer numerator
    PutLe32(v, 0x08, 1000);   // timer denominator
    PutLe32(v, 0x14, kDump);  // dumpOffset
    PutLe32(v, 0x1C, kDevices);
    PutLe32(v, 0x20, 4);  // OPNA
    PutLe32(v, 0x24, 7987200);
    PutLe32(v, 0x30, 1);  // PSG
    PutLe32(v, 0x34, 1996800);

    Random r(o.seed);
    auto write = [&](int device, int port, std::uint8_t reg, std::uint8_t value) {
        v.push_back(static_cast<std::uint8_t>(device * 2 + port));
        v.push_back(reg);
        v.push_back(value);
    };
    auto nsync = [&] {
        v.push_back(0xFE);
        std::uint32_t ticks = 2 + r.Below(3000);
        while (ticks >= 0x80) {
            v.push_back(static_cast<std::uint8_t>(0x80 | (ticks & 0x7F)));
            ticks >>= 7;
        }
        v.push_back(static_cast<std::uint8_t>(ticks));
    };

    // Lead-in: waits and timer writes (mode bits 00, so they are left out),
    // with now and then a silent setup write that is kept.
    const std::size_t leadInEnd = kDump + leadIn;
    while (v.size() < leadInEnd) {
        const std::uint32_t k = r.Below(100);
        if (k < 45) {
            v.insert(v.end(), 1 + r.Below(24), 0xFF);
        } else if (k < 60) {
            nsync();
        } else if (k < 95) {
            write(0, 0, 0x27, static_cast<std::uint8_t>(0x15 | (r.Below(2) << 5)));  // timer reset/enable
            if (r.Below(4) == 0) write(0, 1, 0x27, 0x30);  // port 1: left out, never listed
        } else {
            // Operator parameters, total levels, PSG mixer: silent, kept.
            write(0, static_cast<int>(r.Below(2)), static_cast<std::uint8_t>(0x30 + r.Below(0x80)),
                  static_cast<std::uint8_t>(r.Below(256)));
            if (r.Below(3) == 0) write(1, 0, 0x07, 0x38);
        }
    }

    // The first note, then the song.
    write(0, 0, 0xA4, 0x22);
    write(0, 0, 0xA0, 0x69);
    write(0, 0, 0x28, 0xF0);
    const std::size_t loopAt = v.size() + (streamBytes - leadIn) / 4;
    std::uint32_t loopOffset = 0;
    const std::size_t songEnd = kDump + streamBytes - 8;  // room for the last command and 0xFD
    while (v.size() < songEnd) {
        if (loopOffset == 0 && v.size() >= loopAt) loopOffset = static_cast<std::uint32_t>(v.size());
        const std::uint32_t k = r.Below(100);
        if (k < 70) {
            // A burst of register writes: frequencies, levels, key-ons.
            const std::uint32_t n = 1 + r.Below(8);
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint32_t c = r.Below(10);
                if (c < 6) {
                    write(0, static_cast<int>(r.Below(2)), static_cast<std::uint8_t>(0x30 + r.Below(0x88)),
                          static_cast<std::uint8_t>(r.Below(256)));
                } else if (c < 8) {
                    write(0, 0, 0x28, static_cast<std::uint8_t>((r.Below(16) << 4) | r.Below(7)));
                } else {
                    write(1, 0, static_cast<std::uint8_t>(r.Below(14)), static_cast<std::uint8_t>(r.Below(256)));
                }
            }
        } else if (k < 92) {
            v.insert(v.end(), 1 + r.Below(4), 0xFF);
        } else {
            nsync();
        }
    }
    while (v.size() < kDump + streamBytes - 1) v.push_back(0xFF);
    v.push_back(0xFD);
    const std::size_t tagAt = v.size();
    v.insert(v.end(), tag.begin(), tag.end());
    PutLe32(v, 0x10, static_cast<std::uint32_t>(tagAt));
    PutLe32(v, 0x18, loopOffset);
    return v;
}

// A logged song that loops: a short lead-in, an intro, then a loop played
// again and again until the image is about `size` bytes, cut inside a pass,
// with no loop offset (a logger cannot know it). One YM2608, 1 ms ticks, a
// driver at 60 frames per second, so the waits between frames are 16 or 17
// ticks; every frame sets an operator or two and every fourth keys a
// channel on. What a frame writes depends only on its place in the intro or
// the loop. `writes` counts the image's register writes.
struct LoopSongOptions {
    std::size_t size = 1 << 20;
    std::uint32_t introFrames = 20 * 60;
    std::uint32_t loopFrames = 90 * 60;
    std::uint64_t seed = 1;
};

inline std::vector<std::uint8_t> MakeLoopSong(const LoopSongOptions& o, std::uint64_t* writes = nullptr) {
    constexpr std::size_t kDump = 0x20 + 16;
    constexpr std::uint32_t kFramesPerSecond = 60;
    constexpr std::uint32_t kTicksPerSecond = 1000;
    std::vector<std::uint8_t> v(kDump, 0);
    v.reserve(o.size + 64);
    std::memcpy(v.data(), "S983", 4);
    PutLe32(v, 0x04, 1);
    PutLe32(v, 0x08, kTicksPerSecond);
    PutLe32(v, 0x14, kDump);
    PutLe32(v, 0x1C, 1);
    PutLe32(v, 0x20, 4);  // OPNA
    PutLe32(v, 0x24, 7987200);
    std::uint64_t count = 0;
    auto write = [&](int port, std::uint8_t reg, std::uint8_t value) {
        v.push_back(static_cast<std::uint8_t>(port));
        v.push_back(reg);
        v.push_back(value);
        ++count;
    };
    auto wait = [&](std::uint32_t ticks) {
        v.push_back(0xFE);
        ticks -= 2;
        while (ticks >= 0x80) {
            v.push_back(static_cast<std::uint8_t>(0x80 | (ticks & 0x7F)));
            ticks >>= 7;
        }
        v.push_back(static_cast<std::uint8_t>(ticks));
    };
    for (int i = 0; i < 100; ++i) v.push_back(0xFF);  // the silence before the song
    // The three channels' operators made to sound: AR 31, SL 2, RR 8 (a
    // chip's registers are 0 at reset, and AR 0 never sounds).
    for (std::uint8_t slot = 0; slot < 16; ++slot) {
        if ((slot & 3) == 3) continue;
        write(0, static_cast<std::uint8_t>(0x50 + slot), 0x1F);
        write(0, static_cast<std::uint8_t>(0x80 + slot), 0x28);
    }
    std::uint64_t frame = 0;
    std::uint64_t ticksSoFar = 0;
    while (v.size() + 64 < o.size) {
        const bool intro = frame < o.introFrames;
        const std::uint64_t place = intro ? frame : (frame - o.introFrames) % o.loopFrames;
        Random r(o.seed * 0x100000001B3ULL + place * 2 + (intro ? 1 : 0));
        const int channel = static_cast<int>(r.Below(3));
        write(0, static_cast<std::uint8_t>(0x40 + r.Below(16)), static_cast<std::uint8_t>(r.Below(128)));
        write(0, static_cast<std::uint8_t>(0x30 + r.Below(16)), static_cast<std::uint8_t>(r.Below(256)));
        if (place % 4 == 0) {
            write(0, 0x28, static_cast<std::uint8_t>(channel));
            write(0, static_cast<std::uint8_t>(0xA4 + channel), static_cast<std::uint8_t>(r.Below(64)));
            write(0, static_cast<std::uint8_t>(0xA0 + channel), static_cast<std::uint8_t>(r.Below(256)));
            write(0, 0x28, static_cast<std::uint8_t>(0xF0 | channel));
        }
        write(0, 0x27, 0x15);  // the driver's timer, reloaded every frame
        ++frame;
        const std::uint64_t due = frame * kTicksPerSecond / kFramesPerSecond;
        wait(static_cast<std::uint32_t>(due - ticksSoFar));
        ticksSoFar = due;
    }
    v.push_back(0xFD);
    if (writes != nullptr) *writes = count;
    return v;
}

}  // namespace zelta::bench
