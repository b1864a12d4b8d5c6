// A ByteReader over bytes in memory that hands them out a few at a time, the
// way a file may arrive, and can end early or fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "conversion.h"
#include "zelta/convert.h"

namespace zelta::test {

class ChunkedReader final : public ByteReader {
public:
    // Hands out at most `step` bytes a call; with `failAt` >= 0, reads that
    // reach that offset fail (-1), or end (0) when `endInstead`.
    ChunkedReader(std::span<const std::uint8_t> bytes, std::int64_t step,
                  std::int64_t failAt = -1, bool endInstead = false)
        : bytes_(bytes), step_(step), failAt_(failAt), endInstead_(endInstead) {}

    std::int64_t Read(std::uint8_t* into, std::int64_t max) override {
        const auto size = static_cast<std::int64_t>(bytes_.size());
        if (failAt_ >= 0 && at_ >= failAt_) return endInstead_ ? 0 : -1;
        std::int64_t n = std::min({max, step_, size - at_});
        if (failAt_ >= 0) n = std::min(n, failAt_ - at_);
        if (n <= 0) return 0;
        std::memcpy(into, bytes_.data() + at_, static_cast<std::size_t>(n));
        at_ += n;
        ++calls_;
        return n;
    }
    int calls() const { return calls_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::int64_t step_;
    std::int64_t failAt_;
    bool endInstead_;
    std::int64_t at_ = 0;
    int calls_ = 0;
};

// The stream conversion over a ChunkedReader, shaped like ConvertInMemory's
// result; `sizes` may make the first read and the windows tiny.
inline MemoryConversion ConvertInSteps(std::span<const std::uint8_t> image, std::int64_t step,
                                       Options options = {}, ReadSizes sizes = {}) {
    ChunkedReader reader(image, step);
    LineCollector lines;
    MemoryOutput output;
    MemoryConversion r;
    r.message = ConvertStream(reader, static_cast<std::int64_t>(image.size()), "song.s98",
                              options, lines, output, sizes);
    r.lines = std::move(lines.lines);
    r.written = output.committed;
    r.output = std::move(output.bytes);
    return r;
}

}  // namespace zelta::test
