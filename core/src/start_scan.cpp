#include "start_scan.h"

#include <array>
#include <bit>

#include "messages.h"
#include "plain_run.h"

namespace zelta {

Scanner::Scanner(const S98Header& header, const DeviceTable& devices, bool allChips,
                 bool keepLeadIn, bool byJumps, std::int64_t givenStart)
    : header_(header), devices_(devices), allChips_(allChips), keepLeadIn_(keepLeadIn),
      byJumps_(byJumps && givenStart <= 0 && JumpWalkAvailable() &&
               std::min(devices.validCount << kDeviceIndexShift, int{kEndOfData}) <=
                   LeadInFilter::kLeftOutTableSize),
      givenStart_(givenStart), at_(header.dumpOffset),
      tag_(header.tagOffset), loop_(header.loopOffset),
      nextMark_(std::min(tag_.Mark(), loop_.Mark())) {
    if (givenStart < 0) phase_ = Phase::kSettled;  // nothing is left out
    writeLimit_ = std::min(devices_.validCount << kDeviceIndexShift, int{kEndOfData});
}

[[gnu::always_inline]] inline void Scanner::SeeWrite(std::int64_t at, const RegisterWrite& w,
                                                     const std::uint8_t* bytes) {
    if (givenStart_ > 0) {
        // The start is known: the watch is not asked.
        if (at == givenStart_) {
            start_ = at;
            phase_ = Phase::kSettled;
        } else if (filter_.Classify(w) != Fate::kKeep) {
            Drop(at, kRegisterWriteSize);
        } else if (keepLeadIn_) {
            keptLeadIn_.insert(keptLeadIn_.end(), bytes, bytes + kRegisterWriteSize);
        }
        return;
    }
    if (phase_ == Phase::kLeadIn && filter_.Classify(w) != Fate::kKeep) {
        // Only timer writes repeating the mode in effect are left out; none
        // of them sounds.
        Drop(at, kRegisterWriteSize);
        return;
    }
    const Sound sound = watch_.Observe(w);
    if (sound == Sound::kOpnFamily) {
        start_ = phase_ == Phase::kPending ? otherKeyOn_ : at;
        phase_ = Phase::kSettled;
    } else if (sound == Sound::kOtherChip && phase_ == Phase::kLeadIn) {
        otherKeyOn_ = at;
        if (allChips_) {
            start_ = at;
            phase_ = Phase::kSettled;
        } else {
            phase_ = Phase::kPending;
        }
    }
    // A write that starts the song (or may) is the first byte after the
    // lead-in, not part of it.
    if (keepLeadIn_ && phase_ == Phase::kLeadIn) {
        keptLeadIn_.insert(keptLeadIn_.end(), bytes, bytes + kRegisterWriteSize);
    }
}

// After the start the rest of the stream is only validated. Writes to valid
// devices and waits, nearly all of it, are stepped over in blocks; anything
// else (the end-of-data command, a fault, a command the window's end may
// cut) is left to the general loop.
std::int64_t Scanner::SkipPlain(const Window& w, std::int64_t at, std::int64_t end) const {
    return SkipPlainCommands(w.data, at - w.base, end - w.base, writeLimit_) + w.base;
}

// Reads the count bytes of the open n-sync. False while the count goes on
// past the window (or, at the stream's end, when it never ends).
[[gnu::always_inline]] inline bool Scanner::ContinueNSync(const Window& w, std::int64_t end,
                                                      bool atStreamEnd) {
    std::uint8_t count = 0;
    do {
        if (at_ >= end) {
            if (atStreamEnd) Fail(msg::UnexpectedEof(at_));
            return false;
        }
        count = w.at(at_);
        ++at_;
    } while ((count & kCountContinues) != 0);
    // The command and its count bytes, left out as one range.
    if (phase_ == Phase::kLeadIn) Drop(nsyncFirst_, at_ - nsyncFirst_);
    nsyncFirst_ = -1;
    return true;
}

// The lead-in a 64-byte block at a time, each block's commands listed at
// once (ListBlockCommands): only the writes its filter may keep are looked
// at one by one, and its waits, n-syncs and left-out timer writes are left
// out as one count. A block is only taken when a write still fits after it
// and no header offset lies within reach, so no left-out stretch can cross
// one. Returns where it stopped: the start was found, the walk stopped at a
// command the blocks do not list, or no more blocks can be taken.
//
// The blocks follow each other at fixed steps and are listed a batch at a
// time, without a branch on what each holds, so that the processor lists
// the next while it lists this one; then the batch's writes that may be kept
// are seen, in order. A write that changes a mode makes the later blocks'
// lists stale: the batch then ends with its block.
std::int64_t Scanner::LeadInBlocks(const Window& w, std::int64_t at, std::int64_t end) {
    constexpr std::int64_t kBlock = 64;
    constexpr std::int64_t kBatch = 16;
    std::array<BlockCommands, kBatch> batch;
    std::array<unsigned, kBatch> exits{};
    std::int64_t base = at;
    unsigned entry = 0;
    for (;;) {
        // Each block's next one must be readable too.
        const std::int64_t blocks =
            std::min(kBatch, (std::min(end, nextMark_) - base) / kBlock - 1);
        if (blocks <= 0) return base + entry;
        if (leftOutModesSeen_ != filter_.modeChanges() + 1) {
            filter_.FillLeftOutModes(devices_.types, leftOutModes_);
            leftOutModesSeen_ = filter_.modeChanges() + 1;
        }
        const std::int64_t from = base + entry;
        std::int64_t listed = 0;
        std::uint64_t withKept = 0;
        for (unsigned e = entry; listed < blocks;) {
            const auto i = static_cast<std::size_t>(listed);
            exits[i] = ListBlockCommands(w.ptr(base + listed * kBlock), e, writeLimit_,
                                         leftOutModes_, batch[i]);
            withKept |= std::uint64_t{batch[i].kept != 0} << listed;
            ++listed;
            if (exits[i] < kBlock) [[unlikely]] break;
            e = exits[i] - kBlock;
        }
        std::int64_t writes = 0;
        const std::uint64_t changes = filter_.modeChanges();
        for (std::uint64_t b = withKept; b != 0; b &= b - 1) {
            const int i = std::countr_zero(b);
            const BlockCommands& block = batch[static_cast<std::size_t>(i)];
            // All before the first write that may be kept is left out; from
            // there on each write goes through the filter and the watch.
            const int firstKept = std::countr_zero(block.kept);
            for (std::uint64_t m = block.writes >> firstKept << firstKept; m != 0; m &= m - 1) {
                const std::int64_t q = base + i * kBlock + block.at[std::countr_zero(m)];
                const std::uint8_t c = w.at(q);
                const int device = c >> kDeviceIndexShift;
                const RegisterWrite write{device, c & kPortBit, w.at(q + 1), w.at(q + 2),
                                          devices_.types[static_cast<std::size_t>(device)]};
                SeeWrite(q, write, w.ptr(q));
                ++writes;
                if (phase_ != Phase::kLeadIn) [[unlikely]] {
                    const std::int64_t past = q + kRegisterWriteSize;
                    dropped_ += past - from - writes * kRegisterWriteSize;
                    return past;
                }
            }
            if (filter_.modeChanges() != changes) [[unlikely]] {
                listed = i + 1;
                break;
            }
        }
        const unsigned to = exits[static_cast<std::size_t>(listed - 1)];
        const std::int64_t past = base + (listed - 1) * kBlock + to;
        dropped_ += past - from - writes * kRegisterWriteSize;  // waits, n-syncs, timer writes
        if (to < kBlock) [[unlikely]] return past;
        base += listed * kBlock;
        entry = to - kBlock;
    }
}

// The lead-in's common commands in a loop of their own, the position held in
// a register: runs of waits and n-syncs (left out) and writes to valid
// devices (through the filter and the watch), as long as a write still fits
// in the window. Anything else, and the start, is left to the general loop.
void Scanner::LeadIn(const Window& w, std::int64_t end) {
    std::int64_t at = at_;
    const std::int64_t last = end - kRegisterWriteSize;  // a write here still fits
    while (at <= last && phase_ == Phase::kLeadIn) {
        if (byJumps_) {
            at = LeadInBlocks(w, at, end);
            if (at > last || phase_ != Phase::kLeadIn) break;
        }
        const std::uint8_t c = w.at(at);
        if (c < writeLimit_) {
            const int device = c >> kDeviceIndexShift;
            const RegisterWrite write{device, c & kPortBit, w.at(at + 1), w.at(at + 2),
                                      devices_.types[static_cast<std::size_t>(device)]};
            SeeWrite(at, write, w.ptr(at));
            at += kRegisterWriteSize;
        } else if (c == kOneSync) {
            const std::int64_t n = RunLength(w.ptr(at), end - at, kOneSync);
            Drop(at, n);
            at += n;
        } else if (c == kNSync) {
            const std::int64_t past = PastNSync(w.data, at - w.base, end - w.base) + w.base;
            if (past == at) break;  // the count runs on past the window
            Drop(at, past - at);
            at = past;
        } else {
            break;
        }
    }
    at_ = at;
}

void Scanner::Feed(const Window& w) {
    if (finished_ || failed()) return;
    const std::int64_t end = std::min(w.end, header_.streamEnd);
    const bool atStreamEnd = end == header_.streamEnd;
    if (nsyncFirst_ >= 0 && !ContinueNSync(w, end, atStreamEnd)) return;
    while (at_ < end) {
        if (phase_ == Phase::kSettled) {
            at_ = SkipPlain(w, at_, end);
            if (at_ >= end) break;
        } else if (phase_ == Phase::kLeadIn) {
            LeadIn(w, end);
            if (at_ >= end) break;
        }
        const std::uint8_t c = w.at(at_);
        if (c == kOneSync) {
            const std::int64_t n = RunLength(w.ptr(at_), end - at_, kOneSync);
            if (phase_ == Phase::kLeadIn) Drop(at_, n);
            at_ += n;
        } else if (c == kEndOfData) {
            ++at_;
            finished_ = true;
            return;
        } else if (c == kNSync) {
            nsyncFirst_ = at_;
            ++at_;
            if (!ContinueNSync(w, end, atStreamEnd)) return;
        } else {
            if (at_ + kRegisterWriteSize > end) {
                // Cut by the window: taken up again with the next one.
                if (atStreamEnd) Fail(msg::UnexpectedEof(at_));
                return;
            }
            const int device = c >> kDeviceIndexShift;
            if (device >= devices_.validCount) {
                Fail(msg::CorruptedData(at_, w.ptr(at_)));
                return;
            }
            if (phase_ != Phase::kSettled) {
                const RegisterWrite write{device, c & kPortBit, w.at(at_ + 1), w.at(at_ + 2),
                                          devices_.types[static_cast<std::size_t>(device)]};
                SeeWrite(at_, write, w.ptr(at_));
            }
            at_ += kRegisterWriteSize;
        }
    }
    if (atStreamEnd) finished_ = true;
}

ScanResult Scanner::result() const {
    ScanResult r;
    r.streamStop = at_;
    r.startOffset = phase_ == Phase::kSettled ? start_ : 0;
    if (r.startOffset == 0) {
        // Nothing sounds: nothing is left out.
        r.tagOffset = header_.tagOffset;
        r.loopOffset = header_.loopOffset;
    } else {
        r.tagOffset = tag_.Adjusted(dropped_);
        r.loopOffset = loop_.Adjusted(dropped_);
    }
    return r;
}

}  // namespace zelta
