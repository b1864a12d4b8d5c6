#include "trimmed_copy.h"

#include <algorithm>
#include <array>
#include <vector>

#include "chip_rules.h"
#include "messages.h"

namespace zelta {
namespace {

// Collects the kept byte ranges and hands them to the output in large
// batches. Ranges that follow each other in the image are merged; small
// pieces are copied together so that no write is tiny.
class Gatherer {
public:
    // The staging buffer never needs more than the image holds, so a small
    // file does not pay for a large buffer. Its capacity is fixed up front:
    // the pieces point into it.
    Gatherer(OutputTarget& output, std::int64_t imageSize)
        : output_(output),
          stagingSize_(static_cast<std::size_t>(std::clamp<std::int64_t>(
              imageSize, kSmallPiece, static_cast<std::int64_t>(kStagingSize)))) {
        staging_.reserve(stagingSize_);
    }

    void Keep(const std::uint8_t* p, std::int64_t n) {
        if (n <= 0 || failed_) return;
        const auto size = static_cast<std::size_t>(n);
        if (!pieces_.empty() && !lastStaged_ && pieces_.back().data() + pieces_.back().size() == p) {
            pieces_.back() = {pieces_.back().data(), pieces_.back().size() + size};
            return;
        }
        if (size < kSmallPiece) {
            if (staging_.size() + size > stagingSize_) Flush();
            if (!lastStaged_) {
                StartStagedPiece();
            }
            staging_.insert(staging_.end(), p, p + size);
            pieces_.back() = {staging_.data() + stagedFrom_, staging_.size() - stagedFrom_};
            return;
        }
        lastStaged_ = false;
        pieces_.emplace_back(p, size);
        if (pieces_.size() >= kMaxPieces) Flush();
    }

    bool Finish() {
        Flush();
        return !failed_;
    }

private:
    static constexpr std::size_t kSmallPiece = 512;
    static constexpr std::size_t kStagingSize = std::size_t{1} << 20;
    static constexpr std::size_t kMaxPieces = 1024;

    void StartStagedPiece() {
        if (pieces_.size() + 1 >= kMaxPieces) Flush();
        stagedFrom_ = staging_.size();
        pieces_.emplace_back(staging_.data() + stagedFrom_, 0);
        lastStaged_ = true;
    }

    void Flush() {
        if (!pieces_.empty() && !failed_) failed_ = !output_.Write(pieces_);
        pieces_.clear();
        staging_.clear();
        lastStaged_ = false;
    }

    OutputTarget& output_;
    const std::size_t stagingSize_;
    std::vector<std::span<const std::uint8_t>> pieces_;
    std::vector<std::uint8_t> staging_;
    std::size_t stagedFrom_ = 0;
    bool lastStaged_ = false;
    bool failed_ = false;
};

// Walks the lead-in [dumpOffset, startOffset) again, with the same rules
// the scan used, keeping what goes to the output and listing what does not.
void CopyLeadIn(const S98Image& image, const S98Header& header, std::int64_t start,
                bool detailLog, LogSink& sink, Gatherer& out) {
    const DeviceTable devices = ReadDeviceTable(image, header);
    LeadInFilter filter;
    std::int64_t at = header.dumpOffset;
    while (at < start) {
        const std::uint8_t c = image.at(at);
        if (c == kOneSync) {
            if (!detailLog) {
                at += RunLength(image.ptr(at), start - at, kOneSync);
                continue;
            }
            sink.Append(msg::OneSyncLine(at, c));
            ++at;
        } else if (c == kNSync) {
            if (detailLog) sink.Append(msg::NSyncLine(at, c));
            ++at;
            std::uint8_t count = 0;
            do {
                count = image.at(at);
                if (detailLog) sink.Append(msg::CountByteLine(at, count));
                ++at;
            } while ((count & kCountContinues) != 0);
        } else {
            // The scan has validated every command of the lead-in, and the
            // end-of-data command never lies in it.
            const int device = c >> kDeviceIndexShift;
            const RegisterWrite w{device, c & kPortBit, image.at(at + 1), image.at(at + 2),
                                  devices.types[static_cast<std::size_t>(device)]};
            const Fate fate = filter.Classify(w);
            if (fate == Fate::kKeep) {
                out.Keep(image.ptr(at), kRegisterWriteSize);
            } else if (fate == Fate::kDropLogged && detailLog) {
                sink.Append(msg::TimerLine(at, image.ptr(at)));
            }
            at += kRegisterWriteSize;
        }
    }
}

}  // namespace

std::string TrimmedCopy(const S98Image& image, const S98Header& header, const ScanResult& scan,
                        const std::filesystem::path& outputPath, bool detailLog, LogSink& sink,
                        OutputTarget& output) {
    sink.Append(msg::OutputLine(FileNamePart(outputPath)));
    if (!output.Open(outputPath)) return std::string(msg::kOutputOpen);

    Gatherer out(output, image.size());

    // Head: everything before the stream, with the two offsets replaced.
    std::array<std::uint8_t, 4> tag{};
    std::array<std::uint8_t, 4> loop{};
    StoreLe32(tag.data(), scan.tagOffset);
    StoreLe32(loop.data(), scan.loopOffset);
    out.Keep(image.ptr(0), kTagOffsetAt);
    out.Keep(tag.data(), 4);
    out.Keep(image.ptr(kDumpOffsetAt), kLoopOffsetAt - kDumpOffsetAt);
    out.Keep(loop.data(), 4);
    out.Keep(image.ptr(kDeviceCountAt), header.dumpOffset - kDeviceCountAt);

    // Stream: the lead-in filtered, then everything from the start on. A tag
    // that follows the data is copied with whatever lies between the
    // end-of-data command and it; otherwise the copy ends with that command.
    std::int64_t keepFrom = header.dumpOffset;
    if (scan.startOffset != 0) {
        CopyLeadIn(image, header, scan.startOffset, detailLog, sink, out);
        keepFrom = scan.startOffset;
    }
    const std::int64_t keepTo = header.tagOffset > header.dumpOffset ? image.size() : scan.streamStop;
    out.Keep(image.ptr(keepFrom), keepTo - keepFrom);

    if (!out.Finish()) {
        output.Abort();
        return std::string(msg::kOutputWrite);
    }
    if (!output.Commit()) return std::string(msg::kOutputWrite);
    return std::string();
}

}  // namespace zelta
