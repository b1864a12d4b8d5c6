// Composes S98 images in memory for the tests.
//
//   S98Builder b;                      // version '3', data at 0x20, device 0 = OPNA
//   b.Devices({3, 1});                 // two device entries: OPN2, PSG
//   b.Sync().Write(0, 0x28, 0xF0).End();
//   b.Tag("title");                    // tag after the data
//   b.Tick(1, 1000).Wait(18);          // 1 ms ticks; a wait of 18 of them
//   std::vector<std::uint8_t> image = b.Build();
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace zelta::test {

class S98Builder {
public:
    S98Builder& Version(std::uint8_t digit) { version_ = digit; return *this; }
    // Device entries (types); without a call the count is 0 (implicit OPNA).
    S98Builder& Devices(std::initializer_list<std::int32_t> types) {
        devices_.assign(types.begin(), types.end());
        return *this;
    }
    // The tick length in seconds, num / den (header 0x04 and 0x08; 0 = default).
    S98Builder& Tick(std::int32_t num, std::int32_t den) { num_ = num; den_ = den; return *this; }
    S98Builder& Loop(std::int32_t offset) { loop_ = offset; loopSet_ = true; return *this; }
    // Loop at the offset where the next stream byte will go.
    S98Builder& LoopHere() { return Loop(static_cast<std::int32_t>(StreamStart() + stream_.size())); }

    S98Builder& Sync(int count = 1) { stream_.insert(stream_.end(), count, 0xFF); return *this; }
    S98Builder& NSync(std::initializer_list<std::uint8_t> counts) {
        stream_.push_back(0xFE);
        stream_.insert(stream_.end(), counts);
        return *this;
    }
    // A wait of `ticks`: `form` 0 as 1-syncs, 1 as one n-sync (ticks >= 2),
    // 2 as a 1-sync and an n-sync for the rest (ticks >= 3).
    S98Builder& Wait(std::int64_t ticks, int form = 0) {
        if (form == 2 && ticks >= 3) { Sync(); --ticks; form = 1; }
        if (form != 1 || ticks < 2) return Sync(static_cast<int>(ticks));
        stream_.push_back(0xFE);
        for (std::uint64_t v = static_cast<std::uint64_t>(ticks - 2);; v >>= 7) {
            stream_.push_back(static_cast<std::uint8_t>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            if (v <= 0x7F) break;
        }
        return *this;
    }
    S98Builder& Write(int device, std::uint8_t reg, std::uint8_t value, int port = 0) {
        stream_.push_back(static_cast<std::uint8_t>(device * 2 + port));
        stream_.push_back(reg);
        stream_.push_back(value);
        return *this;
    }
    S98Builder& Raw(std::initializer_list<std::uint8_t> bytes) {
        stream_.insert(stream_.end(), bytes);
        return *this;
    }
    S98Builder& End() { stream_.push_back(0xFD); return *this; }
    // A tag that follows the data.
    S98Builder& Tag(const std::string& text) { tag_.assign(text.begin(), text.end()); return *this; }
    // A tag (a v1 title) between the device entries and the data.
    S98Builder& TagBefore(const std::string& text) { headTag_.assign(text.begin(), text.end()); return *this; }

    // Offset of the first stream byte.
    std::int64_t StreamStart() const { return HeadTagAt() + static_cast<std::int64_t>(headTag_.size()); }
    // Offset the next stream byte will have.
    std::int64_t Here() const { return StreamStart() + static_cast<std::int64_t>(stream_.size()); }

    std::vector<std::uint8_t> Build() const {
        std::vector<std::uint8_t> image(static_cast<std::size_t>(StreamStart()), 0);
        image[0] = 'S'; image[1] = '9'; image[2] = '8'; image[3] = version_;
        const auto tagAt = !headTag_.empty() ? HeadTagAt() : tag_.empty() ? 0 : StreamStart() + stream_.size();
        Put(image, 0x04, num_);
        Put(image, 0x08, den_);
        Put(image, 0x10, static_cast<std::int32_t>(tagAt));
        Put(image, 0x14, static_cast<std::int32_t>(StreamStart()));
        Put(image, 0x18, loopSet_ ? loop_ : 0);
        Put(image, 0x1C, static_cast<std::int32_t>(devices_.size()));
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            Put(image, 0x20 + 16 * i, devices_[i]);
        }
        std::copy(headTag_.begin(), headTag_.end(), image.begin() + HeadTagAt());
        image.insert(image.end(), stream_.begin(), stream_.end());
        image.insert(image.end(), tag_.begin(), tag_.end());
        return image;
    }

    static void Put(std::vector<std::uint8_t>& image, std::size_t at, std::int32_t value) {
        const auto v = static_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static std::int32_t Get(const std::vector<std::uint8_t>& image, std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{image[at + i]} << (8 * i);
        return static_cast<std::int32_t>(v);
    }

private:
    std::int64_t HeadTagAt() const { return 0x20 + 16 * static_cast<std::int64_t>(devices_.size()); }

    std::uint8_t version_ = '3';
    std::int32_t num_ = 0, den_ = 0;
    std::vector<std::int32_t> devices_;
    std::int32_t loop_ = 0;
    bool loopSet_ = false;
    std::vector<std::uint8_t> stream_;
    std::vector<std::uint8_t> tag_, headTag_;
};

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace zelta::test
