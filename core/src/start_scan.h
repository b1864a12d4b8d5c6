// The first pass: validate the command stream, find the start (the first
// key-on), and work out the output header's tag and loop offsets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "s98_image.h"
#include "zelta/convert.h"

namespace zelta {

struct ScanResult {
    std::int64_t startOffset = 0;   // first key-on; 0 = none (nothing is left out)
    std::int32_t tagOffset = 0;     // adjusted for the output
    std::int32_t loopOffset = 0;    // adjusted for the output
    std::int64_t streamStop = 0;    // just past the end-of-data command, or streamEnd
};

struct ScanOutcome {
    std::string message;  // empty = success
    ScanResult result;
};

// Counts the bytes the trimmed copy leaves out below a header offset, so
// that the offset can be lowered to point at the same content. Counting
// bytes (not whole commands) keeps an offset that points inside a left-out
// timer write at the first kept byte after it. An offset of 0 means "none"
// and never moves.
class DroppedBefore {
public:
    explicit DroppedBefore(std::int32_t offset) : offset_(offset) {}
    // Left-out bytes [first, first + length). Inline: the scan calls it for
    // every command it leaves out.
    void Bytes(std::int64_t first, std::int64_t length) {
        if (offset_ == 0) return;
        const std::int64_t below = std::min<std::int64_t>(first + length, offset_) - first;
        if (below > 0) count_ += below;
    }
    std::int32_t Adjusted() const { return static_cast<std::int32_t>(offset_ - count_); }

private:
    std::int32_t offset_;
    std::int64_t count_ = 0;
};

// On success logs the start line.
ScanOutcome StartScan(const S98Image& image, const S98Header& header, bool allChips,
                      LogSink& sink);

// Length of the run of `byte` at p, at most `max`.
std::int64_t RunLength(const std::uint8_t* p, std::int64_t max, std::uint8_t byte);

}  // namespace zelta
