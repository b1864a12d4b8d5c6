#include "trimmed_copy.h"

#include <algorithm>
#include <array>

#include "chip_rules.h"
#include "messages.h"

namespace zelta {

Gatherer::Gatherer(OutputTarget& output, std::int64_t imageSize)
    : output_(output),
      stagingSize_(static_cast<std::size_t>(std::clamp<std::int64_t>(
          imageSize, kSmallPiece, static_cast<std::int64_t>(kStagingSize)))) {
    // Fixed up front: the staged pieces point into it.
    staging_.reserve(stagingSize_);
}

void Gatherer::Keep(const std::uint8_t* p, std::int64_t n) {
    if (n <= 0 || failed_) return;
    const auto size = static_cast<std::size_t>(n);
    if (!pieces_.empty() && !lastStaged_ && pieces_.back().data() + pieces_.back().size() == p) {
        pieces_.back() = {pieces_.back().data(), pieces_.back().size() + size};
        return;
    }
    if (size < kSmallPiece) {
        if (staging_.size() + size > stagingSize_) Flush();
        if (!lastStaged_) StartStagedPiece();
        staging_.insert(staging_.end(), p, p + size);
        pieces_.back() = {staging_.data() + stagedFrom_, staging_.size() - stagedFrom_};
        return;
    }
    lastStaged_ = false;
    pieces_.emplace_back(p, size);
    if (pieces_.size() >= kMaxPieces) Flush();
}

bool Gatherer::Flush() {
    if (!pieces_.empty() && !failed_) failed_ = !output_.Write(pieces_);
    pieces_.clear();
    staging_.clear();
    lastStaged_ = false;
    return !failed_;
}

void Gatherer::StartStagedPiece() {
    if (pieces_.size() + 1 >= kMaxPieces) Flush();
    stagedFrom_ = staging_.size();
    pieces_.emplace_back(staging_.data() + stagedFrom_, 0);
    lastStaged_ = true;
}

void CopyHead(const S98Image& image, const S98Header& header, const ScanResult& scan,
              Gatherer& out) {
    // Four bytes each: small pieces are copied into the staging buffer, so
    // these may go out of scope before the flush.
    std::array<std::uint8_t, 4> tag{};
    std::array<std::uint8_t, 4> loop{};
    StoreLe32(tag.data(), scan.tagOffset);
    StoreLe32(loop.data(), scan.loopOffset);
    out.Keep(image.ptr(0), kTagOffsetAt);
    out.Keep(tag.data(), tag.size());
    out.Keep(image.ptr(kDumpOffsetAt), kLoopOffsetAt - kDumpOffsetAt);
    out.Keep(loop.data(), loop.size());
    out.Keep(image.ptr(kDeviceCountAt), header.dumpOffset - kDeviceCountAt);
}

void CopyLeadIn(const S98Image& image, const S98Header& header, const DeviceTable& devices,
                std::int64_t start, bool detailLog, LogSink& sink, Gatherer& out) {
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
            // The end-of-data command never lies in the lead-in.
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

}  // namespace zelta
