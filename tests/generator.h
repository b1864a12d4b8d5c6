// A fixed-seed generator of S98 images for the property tests, the fuzzer's
// seed corpus and anything else that wants many varied files.
//
// Most images are well formed, with a silent lead-in (waits, timer writes,
// writes that come close to a key-on without being one) in front of a
// key-on, then more commands. A share of them carry one fault or oddity:
// a truncated stream, a bad device index, a device entry past the end,
// bytes after the end-of-data command, a tag before the data, a loop point
// anywhere (inside a left-out command too), a refused version or offset.
//
// The random numbers come from SplitMix64 with our own range reduction, so
// a seed gives the same images with every compiler and standard library.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "s98_builder.h"

namespace zelta::test {

class StreamGenerator {
public:
    explicit StreamGenerator(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next64() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next64() % n); }
    bool Chance(int percent) { return Below(100) < static_cast<std::uint32_t>(percent); }
    template <class T> T Pick(std::initializer_list<T> list) { return list.begin()[Below(static_cast<std::uint32_t>(list.size()))]; }

    std::vector<std::uint8_t> Image() {
        S98Builder b;
        PickDevices(b);
        const int leadIn = static_cast<int>(Below(5) == 0 ? Below(200) : Below(24));
        for (int i = 0; i < leadIn; ++i) SilentCommand(b);
        if (Chance(85)) KeyOn(b);
        const int body = static_cast<int>(Below(30));
        for (int i = 0; i < body; ++i) AnyCommand(b);
        const bool end = Chance(85);
        if (end) {
            b.End();
            if (Chance(25)) Garbage(b, 1 + Below(12));
        }
        const int tagKind = static_cast<int>(Below(100));
        if (tagKind < 35) b.Tag(Tag());
        std::vector<std::uint8_t> image = b.Build();
        const auto streamStart = static_cast<std::size_t>(b.StreamStart());

        // Bytes between the device entries and the stream: padding, or a
        // tag placed before the data.
        if (tagKind >= 35 && tagKind < 47) {
            const bool tagBefore = tagKind < 43;
            std::vector<std::uint8_t> block;
            if (tagBefore) { auto t = Tag(); block.assign(t.begin(), t.end()); }
            else block.assign(1 + Below(16), static_cast<std::uint8_t>(Below(256)));
            image.insert(image.begin() + static_cast<std::ptrdiff_t>(streamStart), block.begin(), block.end());
            const auto n = static_cast<std::int32_t>(block.size());
            S98Builder::Put(image, 0x14, static_cast<std::int32_t>(streamStart) + n);
            if (tagBefore) S98Builder::Put(image, 0x10, static_cast<std::int32_t>(streamStart));
            if (S98Builder::Get(image, 0x10) > static_cast<std::int32_t>(streamStart))
                S98Builder::Put(image, 0x10, S98Builder::Get(image, 0x10) + n);
        } else if (tagKind >= 47 && tagKind < 51) {
            // Tag offset equal to the data offset: the stream runs to the end.
            S98Builder::Put(image, 0x10, S98Builder::Get(image, 0x14));
        }

        const auto dump = S98Builder::Get(image, 0x14);
        const auto size = static_cast<std::int32_t>(image.size());
        if (!Chance(35)) S98Builder::Put(image, 0x18, LoopPoint(image, dump, size));

        // Rarer faults, each on its own.
        switch (Below(40)) {
        case 0: image.resize(Below(static_cast<std::uint32_t>(image.size()) + 1)); break;
        case 1: if (image.size() > 32) image.resize(32 + Below(static_cast<std::uint32_t>(image.size()) - 32)); break;
        case 2: if (image.size() >= 4) image[3] = Pick<std::uint8_t>({'0', '1', '2', '4', 0x00, 0x2F, 0xFF}); break;
        case 3: S98Builder::Put(image, 0x14, Pick<std::int32_t>({0, 0x1F, size, size + 1, -1, INT32_MIN, 0x20})); break;
        case 4: S98Builder::Put(image, 0x10, Pick<std::int32_t>({0x10, 0x1F, 0x20, size, size + 1, -1})); break;
        case 5: S98Builder::Put(image, 0x1C, Pick<std::int32_t>({-1, 3, 8, 127, 1000, INT32_MAX})); break;
        case 6: {  // a command byte for a device that may not exist
            if (static_cast<std::size_t>(dump) + 3 < image.size()) {
                const auto at = static_cast<std::size_t>(dump) + Below(static_cast<std::uint32_t>(image.size()) - static_cast<std::uint32_t>(dump));
                image[at] = static_cast<std::uint8_t>(Below(0xFD));
            }
            break;
        }
        default: break;
        }
        if (image.size() >= 32 && Chance(3)) {
            // Version digit ahead of the digit 0: accepted.
            image[3] = static_cast<std::uint8_t>(Below(0x30));
        }
        return image;
    }

private:
    void PickDevices(S98Builder& b) {
        devices_.clear();
        if (Chance(25)) { devices_.push_back(4); return; }  // implicit OPNA
        const int n = 1 + static_cast<int>(Below(Chance(10) ? 8 : 3));
        for (int i = 0; i < n; ++i) {
            std::int32_t type;
            if (Chance(45)) type = Pick<std::int32_t>({2, 3, 4});
            else if (Chance(90)) type = static_cast<std::int32_t>(Below(17));
            else type = Pick<std::int32_t>({-1, 17, 0x100, INT32_MAX});
            devices_.push_back(type);
        }
        switch (n) {  // the builder takes an initializer list
        case 1: b.Devices({devices_[0]}); break;
        case 2: b.Devices({devices_[0], devices_[1]}); break;
        case 3: b.Devices({devices_[0], devices_[1], devices_[2]}); break;
        case 4: b.Devices({devices_[0], devices_[1], devices_[2], devices_[3]}); break;
        case 5: b.Devices({devices_[0], devices_[1], devices_[2], devices_[3], devices_[4]}); break;
        case 6: b.Devices({devices_[0], devices_[1], devices_[2], devices_[3], devices_[4], devices_[5]}); break;
        case 7: b.Devices({devices_[0], devices_[1], devices_[2], devices_[3], devices_[4], devices_[5], devices_[6]}); break;
        default: b.Devices({devices_[0], devices_[1], devices_[2], devices_[3], devices_[4], devices_[5], devices_[6], devices_[7]}); break;
        }
    }

    int Device() { return static_cast<int>(Below(static_cast<std::uint32_t>(devices_.size()))); }
    int DeviceOfFamily() {
        for (int tries = 0; tries < 8; ++tries) {
            const int d = Device();
            if (devices_[d] >= 2 && devices_[d] <= 4) return d;
        }
        return Device();
    }

    void Sync(S98Builder& b) {
        if (Chance(60)) { b.Sync(1 + static_cast<int>(Below(Chance(10) ? 300 : 6))); return; }
        std::vector<std::uint8_t> counts;
        const int n = Chance(5) ? 1 + static_cast<int>(Below(400)) : 1 + static_cast<int>(Below(4));
        for (int i = 0; i + 1 < n; ++i) counts.push_back(static_cast<std::uint8_t>(0x80 | Below(128)));
        counts.push_back(static_cast<std::uint8_t>(Below(128)));
        b.Raw({0xFE});
        for (auto c : counts) b.Raw({c});
    }

    void Timer(S98Builder& b) {
        const int port = Chance(15) ? 1 : 0;
        const auto value = Chance(4) ? Pick<std::uint8_t>({0x80, 0x85, 0xBF})
                                     : Pick<std::uint8_t>({0x00, 0x05, 0x15, 0x2A, 0x3F, 0x3F, 0x40, 0x45, 0x7F, 0xC0, 0xFF});
        b.Write(DeviceOfFamily(), 0x27, value, port);
    }

    // A write chosen from registers and values where the key-on rules lie.
    void Interesting(S98Builder& b) {
        const auto reg = Chance(85) ? Pick<std::uint8_t>({0x00, 0x01, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0E, 0x10, 0x11, 0x14, 0x20,
                                                          0x24, 0x28, 0x29, 0x2A, 0x2A, 0x2B, 0x2B, 0x2C, 0xB0, 0xB4, 0xB8, 0xB9,
                                                          0xBD, 0xBE})
                                    : static_cast<std::uint8_t>(Below(256));
        const auto val = Chance(85) ? Pick<std::uint8_t>({0x00, 0x01, 0x05, 0x0E, 0x0F, 0x10, 0x1F, 0x20, 0x21, 0x2F, 0x3F,
                                                          0x40, 0x7F, 0x80, 0x80, 0x81, 0x88, 0x8F, 0x90, 0x9E, 0x9F, 0xA0,
                                                          0xA1, 0xB0, 0xBF, 0xC0, 0xE0, 0xF0, 0xFF})
                                    : static_cast<std::uint8_t>(Below(256));
        b.Write(Device(), reg, val, Chance(30) ? 1 : 0);
    }

    // Something that does not sound on any chip (or rarely does).
    void SilentCommand(S98Builder& b) {
        const auto r = Below(100);
        if (r < 45) Sync(b);
        else if (r < 70) Timer(b);
        else if (r < 78) b.Write(Device(), static_cast<std::uint8_t>(0x30 + Below(0x60)), static_cast<std::uint8_t>(Below(256)), static_cast<int>(Below(2)));
        else Interesting(b);
    }

    void KeyOn(S98Builder& b) {
        const int d = Chance(50) ? DeviceOfFamily() : Device();
        switch (devices_[d]) {
        case 2: case 3: case 4:
            switch (Below(7)) {
            case 0: b.Write(d, 0x28, static_cast<std::uint8_t>((1 + Below(15)) << 4 | Below(8))); break;
            case 1: b.Write(d, static_cast<std::uint8_t>(0x08 + Below(3)), static_cast<std::uint8_t>(1 + Below(255))); break;
            case 2: b.Write(d, 0x10, Pick<std::uint8_t>({0x01, 0x3F, 0x20})); break;
            case 3: b.Write(d, 0x00, Pick<std::uint8_t>({0x80, 0xA0, 0xB0}), 1); break;
            case 4: b.Write(d, 0x27, Pick<std::uint8_t>({0x80, 0x8F, 0xBF})); break;
            default:  // the DAC: value first or enable first
                if (Chance(50)) b.Write(d, 0x2A, 0x7F).Write(d, 0x2B, 0x80);
                else b.Write(d, 0x2B, 0x80).Write(d, 0x2A, Pick<std::uint8_t>({0x00, 0x81, 0xFF}));
                break;
            }
            break;
        case 5: b.Write(d, Chance(50) ? 0x08 : 0x14, Pick<std::uint8_t>({0x78, 0x08, 0x80, 0x8F}), static_cast<int>(Below(2))); break;
        case 6: b.Write(d, Chance(70) ? static_cast<std::uint8_t>(0x20 + Below(9)) : 0x0E, Pick<std::uint8_t>({0x10, 0x31, 0x21})); break;
        case 7: case 8: case 9: b.Write(d, Chance(70) ? static_cast<std::uint8_t>(0xB0 + Below(9)) : 0xBD, Pick<std::uint8_t>({0x20, 0x3F, 0x21}), static_cast<int>(Below(2))); break;
        case 1: case 15: b.Write(d, static_cast<std::uint8_t>(0x08 + Below(3)), static_cast<std::uint8_t>(1 + Below(15))); break;
        case 16:
            if (Chance(50)) b.Write(d, 0x00, static_cast<std::uint8_t>(0x90 | Below(8) << 5 | Below(15)));
            else b.Write(d, 0x00, 0x9F).Write(d, 0x00, static_cast<std::uint8_t>(Below(15)));
            break;
        default: Interesting(b); break;
        }
    }

    void AnyCommand(S98Builder& b) {
        const auto r = Below(100);
        if (r < 30) Sync(b);
        else if (r < 40) Timer(b);
        else if (r < 50) KeyOn(b);
        else if (r < 99 || !Chance(40)) Interesting(b);
        else b.Raw({static_cast<std::uint8_t>(Below(256))});
    }

    void Garbage(S98Builder& b, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i) b.Raw({static_cast<std::uint8_t>(Below(256))});
    }

    std::string Tag() {
        std::string t = Chance(70) ? "[S98]" : "";
        const auto n = Below(24);
        for (std::uint32_t i = 0; i < n; ++i) t.push_back(static_cast<char>(0x20 + Below(0x5F)));
        if (t.empty()) t = "x";
        return t;
    }

    std::int32_t LoopPoint(const std::vector<std::uint8_t>& image, std::int32_t dump, std::int32_t size) {
        switch (Below(10)) {
        case 0: return dump;
        case 1: return size;
        case 2: return Pick<std::int32_t>({-1, 1, 0x10, INT32_MAX, INT32_MIN, size + 1000});
        case 3:  // on a one-tick wait, if there is one
            for (int tries = 0; tries < 16 && dump < size; ++tries) {
                const auto at = dump + static_cast<std::int32_t>(Below(static_cast<std::uint32_t>(size - dump)));
                if (image[static_cast<std::size_t>(at)] == 0xFF) return at;
            }
            [[fallthrough]];
        default:
            if (dump >= size) return dump;
            return dump + static_cast<std::int32_t>(Below(static_cast<std::uint32_t>(size - dump + 1)));
        }
    }

    std::uint64_t state_;
    std::vector<std::int32_t> devices_;
};

// Found by the fuzzer: one device entry fits before the data, the count is
// 0x07010000. A loop cut left entry 2 past the end, so device 2 was invalid.
inline const std::vector<std::uint8_t> kDeviceTableInTheStream{
    0x53, 0x39, 0x19, 0x00, 0xff, 0x4b, 0x00, 0x27, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07,
    0x02, 0x00, 0x00, 0x00, 0x00, 0xff, 0x00, 0xa6, 0x23, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0x00, 0x28, 0xf2, 0x00, 0x00, 0x00, 0x04, 0xff, 0xff, 0xff, 0xff, 0x00, 0x28, 0xf2, 0x00, 0x00,
    0x00, 0x04, 0xff, 0xff};
// Found by the fuzzer: a device count that reaches into the stream, and no
// tag after the data, so that the copy with nothing left out ends earlier
// than the file and reads fewer device entries than it names. -s must not
// convert that copy again.
inline const std::vector<std::uint8_t> kDeviceTableInACutStream{
    0x53, 0x39, 0x38, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0xfd, 0x00, 0x00, 0x80, 0x02, 0x00, 0x00,
    0xff, 0xff, 0x03, 0x00, 0x00, 0xfd, 0xff, 0xff, 0xfd, 0x09, 0x00, 0x00, 0x00, 0xb8, 0x0f, 0xff,
    0x03, 0xfd, 0xff, 0xfd,
};

// Found by the fuzzer: a level held for two waits, then silenced, on a tick
// of 134152 s. Cut after its last sound, what is left reads as a repeat of
// its first write, so with -l the cut is not made (a second run would loop
// it); -s alone cuts it.
inline const std::vector<std::uint8_t> kCutLeavesARepeat{
    0x53, 0x39, 0x38, 0x31, 0x01, 0x00, 0xff, 0x07, 0xe8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x40, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xfe, 0x13, 0xff, 0x00, 0x08, 0x02, 0xfe, 0x2a, 0x00, 0x08, 0x02, 0xfe, 0x12, 0x00, 0x08, 0x00,
    0xfe, 0x00, 0xfe, 0x13, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0x00, 0x13, 0x00,
};

// Found by the fuzzer: 28 device entries reach into the stream, which
// writes to the 28th; the copy with nothing left out ends earlier and reads
// 27. -s must neither follow it in the model nor convert it again.
inline const std::vector<std::uint8_t> kDeviceTableInAShorterCopy{
    0x53, 0x39, 0x38, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xca, 0x01, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x25, 0x01, 0x00, 0x00,
    0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x27, 0x00, 0xfe, 0xd0, 0x27, 0xfe,
    0xe9, 0xad, 0x68, 0xff, 0xff, 0xff, 0xff, 0xff, 0x05, 0x0a, 0x5a, 0xff, 0xff, 0xff, 0x00, 0x10,
    0x9e, 0xff, 0xff, 0xff, 0x04, 0x27, 0x40, 0x00, 0x01, 0x00, 0x08, 0x90, 0xff, 0xff, 0xff, 0xff,
    0xff, 0x01, 0x08, 0xa1, 0x02, 0x27, 0x45, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0d,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0x97, 0x0b, 0x04, 0x27, 0x45, 0x02, 0x27, 0x40, 0xff, 0x04,
    0x27, 0x15, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0xbe, 0x7f, 0x02, 0x2b, 0x80, 0x02, 0x2a,
    0xff, 0xfe, 0xa4, 0xf5, 0x41, 0x04, 0x28, 0xe2, 0x02, 0x14, 0x3f, 0xff, 0xff, 0x05, 0x00, 0x80,
    0x00, 0x14, 0x2f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0xf0,
    0x12, 0x02, 0x04, 0xcf, 0x04, 0x37, 0x49, 0xbb, 0x00, 0x10, 0xff, 0xfd, 0x34, 0x32, 0x6f, 0x4a,
    0x63, 0x5b, 0x35, 0x61, 0x3a, 0x26, 0x44, 0x46, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0x97, 0x0b, 0x04, 0x27, 0x45,
    0x02, 0x27, 0x40, 0xff, 0x04, 0x27, 0x15, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0xbe, 0x7f,
    0x02, 0x2b, 0x80, 0x02, 0x2a, 0xff, 0xfe, 0xa4, 0xf5, 0x41, 0x04, 0x28, 0xe2, 0x02, 0x14, 0x3f,
    0xff, 0xff, 0x05, 0x00, 0x80, 0x00, 0x14, 0x2f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xfe, 0xf0, 0x12, 0x02, 0x04, 0xcf, 0x04, 0x37, 0x49, 0xbb, 0x00, 0x10, 0xff,
    0xfd, 0x34, 0x32, 0x6f,
};

}  // namespace zelta::test
