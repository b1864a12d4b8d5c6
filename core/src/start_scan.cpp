#include "start_scan.h"

#include <algorithm>
#include <cstring>

#include "chip_rules.h"
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

namespace {

// Where the scan stands with respect to the start.
enum class Phase {
    kLeadIn,   // nothing has sounded yet: waits and timer writes are left out
    kPending,  // another chip sounded first; an OPN-family key-on must follow
    kSettled,  // the start is known; the rest is only validated
};

class Scanner {
public:
    Scanner(const S98Image& image, const S98Header& header, bool allChips)
        : image_(image), header_(header), devices_(ReadDeviceTable(image, header)),
          allChips_(allChips), tag_(header.tagOffset), loop_(header.loopOffset) {
        // Command bytes below this are writes to valid devices.
        writeLimit_ = std::min(devices_.validCount << kDeviceIndexShift, int{kEndOfData});
    }

    ScanOutcome Run();

private:
    std::int64_t SkipPlain(std::int64_t at, std::int64_t end) const;
    void Drop(std::int64_t first, std::int64_t length) {
        tag_.Bytes(first, length);
        loop_.Bytes(first, length);
    }
    void SeeWrite(std::int64_t at, const RegisterWrite& w);

    const S98Image& image_;
    const S98Header& header_;
    const DeviceTable devices_;
    const bool allChips_;
    Phase phase_ = Phase::kLeadIn;
    std::int64_t start_ = 0;
    std::int64_t otherKeyOn_ = 0;
    KeyOnWatch watch_;
    LeadInFilter filter_;
    int writeLimit_ = 0;
    DroppedBefore tag_;
    DroppedBefore loop_;
};

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
// a command the stream's end may cut) is left to the general loop.
std::int64_t Scanner::SkipPlain(std::int64_t at, std::int64_t end) const {
    const std::uint8_t* p = image_.ptr(0);
    const std::int64_t last = end - kRegisterWriteSize;  // a write here still fits
    while (at <= last) {
        const std::uint8_t c = p[at];
        if (c < writeLimit_) {
            at += kRegisterWriteSize;
        } else if (c == kOneSync) {
            at += RunLength(p + at, end - at, kOneSync);
        } else {
            break;
        }
    }
    return at;
}

ScanOutcome Scanner::Run() {
    const std::int64_t end = header_.streamEnd;
    std::int64_t at = header_.dumpOffset;
    bool running = true;
    while (at < end && running) {
        if (phase_ == Phase::kSettled) {
            at = SkipPlain(at, end);
            if (at >= end) break;
        }
        const std::uint8_t c = image_.at(at);
        if (c == kOneSync) {
            const std::int64_t n = RunLength(image_.ptr(at), end - at, kOneSync);
            if (phase_ == Phase::kLeadIn) Drop(at, n);
            at += n;
        } else if (c == kEndOfData) {
            running = false;
            ++at;
        } else if (c == kNSync) {
            const std::int64_t first = at;
            ++at;
            std::uint8_t count = 0;
            do {
                if (at >= end) return {msg::UnexpectedEof(at), {}};
                count = image_.at(at);
                ++at;
            } while ((count & kCountContinues) != 0);
            // The command and its count bytes, left out as one range.
            if (phase_ == Phase::kLeadIn) Drop(first, at - first);
        } else {
            if (at + kRegisterWriteSize > end) return {msg::UnexpectedEof(at), {}};
            const int device = c >> kDeviceIndexShift;
            if (device >= devices_.validCount) {
                return {msg::CorruptedData(at, image_.ptr(at)), {}};
            }
            if (phase_ != Phase::kSettled) {
                const RegisterWrite w{device, c & kPortBit, image_.at(at + 1), image_.at(at + 2),
                                      devices_.types[static_cast<std::size_t>(device)]};
                SeeWrite(at, w);
            }
            at += kRegisterWriteSize;
        }
    }

    ScanResult r;
    r.streamStop = at;
    r.startOffset = start_;
    if (start_ == 0) {
        // Nothing sounds: nothing is left out.
        r.tagOffset = header_.tagOffset;
        r.loopOffset = header_.loopOffset;
    } else {
        r.tagOffset = tag_.Adjusted();
        r.loopOffset = loop_.Adjusted();
    }
    return {std::string(), r};
}

}  // namespace

ScanOutcome StartScan(const S98Image& image, const S98Header& header, bool allChips,
                      LogSink& sink) {
    ScanOutcome outcome = Scanner(image, header, allChips).Run();
    if (outcome.message.empty()) sink.Append(msg::StartLine(outcome.result.startOffset));
    return outcome;
}

}  // namespace zelta
