// The output: the header with its tag and loop offsets replaced, the
// lead-in with its waits and timer writes left out, then the rest of the
// image as it stands.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "s98_image.h"
#include "start_scan.h"
#include "zelta/convert.h"

namespace zelta {

// Collects the kept byte ranges and hands them to the output in large
// batches. Ranges that follow each other in the image are merged; small
// pieces are copied together so that no write is tiny. The bytes of a large
// piece are only read at Flush, so they must stay in place until then.
class Gatherer {
public:
    // The staging buffer never needs more than the image holds, so a small
    // file does not pay for a large buffer.
    Gatherer(OutputTarget& output, std::int64_t imageSize);

    void Keep(const std::uint8_t* p, std::int64_t n);
    // Writes what is held. False once any write has failed.
    bool Flush();

private:
    static constexpr std::size_t kSmallPiece = 512;
    static constexpr std::size_t kStagingSize = std::size_t{1} << 20;
    static constexpr std::size_t kMaxPieces = 1024;

    void StartStagedPiece();

    OutputTarget& output_;
    const std::size_t stagingSize_;
    std::vector<std::span<const std::uint8_t>> pieces_;
    std::vector<std::uint8_t> staging_;
    std::size_t stagedFrom_ = 0;
    bool lastStaged_ = false;
    bool failed_ = false;
};

// Everything before the stream, [0, dumpOffset), with the two offsets
// replaced by the scan's. `image` holds those bytes.
void CopyHead(const S98Image& image, const S98Header& header, const ScanResult& scan,
              Gatherer& out);

// Walks the lead-in [dumpOffset, start) again, with the rules the scan used,
// keeping what goes to the output and (with detailLog) logging one line per
// left-out byte or timer write. `image` holds the lead-in, which the scan
// has validated.
void CopyLeadIn(const S98Image& image, const S98Header& header, const DeviceTable& devices,
                std::int64_t start, bool detailLog, LogSink& sink, Gatherer& out);

}  // namespace zelta
