#include "start_scan.h"

#include <cstring>

#include "messages.h"

namespace zelta {

std::int64_t RunLength(const std::uint8_t* p, std::int64_t max, std::uint8_t byte) {
    std::int64_t n = 0;
    // Eight bytes at a time while the run lasts.
    const std::uint64_t pattern = 0x0101010101010101ULL * byte;
    while (n + 8 <= max) {
        std::uint64_t word;
        std::memcpy(&word, p + n, sizeof word);
        if (word != pattern) break;
        n += 8;
    }
    while (n < max && p[n] == byte) ++n;
    return n;
}

Scanner::Scanner(const S98Header& header, const DeviceTable& devices, bool allChips)
    : header_(header), devices_(devices), allChips_(allChips), at_(header.dumpOffset),
      tag_(header.tagOffset), loop_(header.loopOffset) {
    writeLimit_ = std::min(devices_.validCount << kDeviceIndexShift, int{kEndOfData});
}

void Scanner::SeeWrite(std::int64_t at, const RegisterWrite& w) {
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
}

// After the start the rest of the stream is only validated. Writes to valid
// devices and one-tick waits, nearly all of it, are stepped over here with one
// comparison each; anything else (an n-sync, the end-of-data command, a fault,
// a command the window's end may cut) is left to the general loop.
std::int64_t Scanner::SkipPlain(const Window& w, std::int64_t at) const {
    const std::uint8_t* p = w.data;
    std::int64_t i = at - w.base;
    const std::int64_t end = std::min(w.end, header_.streamEnd) - w.base;
    const std::int64_t last = end - kRegisterWriteSize;  // a write here still fits
    while (i <= last) {
        const std::uint8_t c = p[i];
        if (c < writeLimit_) {
            i += kRegisterWriteSize;
        } else if (c == kOneSync) {
            i += RunLength(p + i, end - i, kOneSync);
        } else {
            break;
        }
    }
    return i + w.base;
}

// Reads the count bytes of the open n-sync. False while the count goes on
// past the window (or, at the stream's end, when it never ends).
bool Scanner::ContinueNSync(const Window& w, std::int64_t end, bool atStreamEnd) {
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

void Scanner::Feed(const Window& w) {
    if (finished_ || failed()) return;
    const std::int64_t end = std::min(w.end, header_.streamEnd);
    const bool atStreamEnd = end == header_.streamEnd;
    if (nsyncFirst_ >= 0 && !ContinueNSync(w, end, atStreamEnd)) return;
    while (at_ < end) {
        if (phase_ == Phase::kSettled) {
            at_ = SkipPlain(w, at_);
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
                SeeWrite(at_, write);
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
        r.tagOffset = tag_.Adjusted();
        r.loopOffset = loop_.Adjusted();
    }
    return r;
}

}  // namespace zelta
