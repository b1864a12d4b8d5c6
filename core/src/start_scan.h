// The scan: validate the command stream, find the start (the first key-on),
// and work out the output header's tag and loop offsets.
//
// The scan reads the stream front to back once. It takes the stream in
// windows, so that a file can be scanned while it is read: a window is any
// stretch of the image that begins at or before the scan's position, and a
// command cut by a window's end is taken up again with the next window.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "chip_rules.h"
#include "plain_run.h"
#include "s98_image.h"

namespace zelta {

struct ScanResult {
    std::int64_t startOffset = 0;   // first key-on; 0 = none (nothing is left out)
    std::int32_t tagOffset = 0;     // adjusted for the output
    std::int32_t loopOffset = 0;    // adjusted for the output
    std::int64_t streamStop = 0;    // just past the end-of-data command, or streamEnd
};

// Counts the bytes the trimmed copy leaves out below a header offset, so
// that the offset can be lowered to point at the same content. Counting
// bytes (not whole commands) keeps an offset that points inside a left-out
// timer write at the first kept byte after it. An offset of 0 means "none"
// and never moves.
//
// Left-out stretches come in stream order, so the count is settled by the
// first one that ends past the offset: all before it lie wholly below, all
// after it wholly above. Until then the scan's running total is the count,
// and the scan only calls Cross for a stretch that ends past Mark().
class DroppedBefore {
public:
    explicit DroppedBefore(std::int32_t offset) : offset_(offset) {}
    // Where a left-out stretch must end beyond for Cross to matter.
    std::int64_t Mark() const { return settled_ ? kNever : offset_; }
    // A left-out stretch [first, first + length), `before` bytes left out
    // in front of it.
    void Cross(std::int64_t first, std::int64_t length, std::int64_t before) {
        if (settled_ || first + length <= offset_) return;
        count_ = before + std::max<std::int64_t>(0, offset_ - first);
        settled_ = true;
    }
    // `total`: all the bytes left out so far.
    std::int32_t Adjusted(std::int64_t total) const {
        if (offset_ == 0) return 0;
        return static_cast<std::int32_t>(offset_ - (settled_ ? count_ : total));
    }

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    std::int32_t offset_;
    std::int64_t count_ = 0;
    bool settled_ = false;
};

// Bytes [base, end) of the image, held at `data`.
struct Window {
    const std::uint8_t* data = nullptr;
    std::int64_t base = 0;
    std::int64_t end = 0;
    std::uint8_t at(std::int64_t offset) const { return data[offset - base]; }
    const std::uint8_t* ptr(std::int64_t offset) const { return data + (offset - base); }
};

class Scanner {
public:
    // `devices` is read from the image; the scan keeps its own copy. With
    // `keepLeadIn` the scan also gathers the lead-in's kept writes, the
    // lead-in as the output holds it, so that it need not be walked again.
    // With `byJumps` (where the processor allows) the lead-in is walked a
    // block at a time; tests turn it off to check one way against the other.
    // A `givenStart` above 0 is the start, whatever sounds: the offset of a
    // register write of the stream; one below 0 says there is none.
    Scanner(const S98Header& header, const DeviceTable& devices, bool allChips,
            bool keepLeadIn = false, bool byJumps = true, std::int64_t givenStart = 0);

    // Scans what the window holds from position() on. The window must begin
    // at or before position() and end at or before the stream's end; the
    // stream's end counts as reached when the window ends there. On return
    // the scan has failed, has finished, or stands at most
    // kRegisterWriteSize - 1 bytes before the window's end.
    void Feed(const Window& window);

    std::int64_t position() const { return at_; }
    bool failed() const { return !message_.empty(); }
    const std::string& message() const { return message_; }
    // The whole stream is validated (the end-of-data command or the stream's
    // end was reached without a fault).
    bool finished() const { return finished_; }
    // The start is known, and with it the output header's offsets: from
    // here on nothing more is left out.
    bool settled() const { return phase_ == Phase::kSettled; }
    // Final once finished(); before that, valid once settled() except for
    // streamStop.
    ScanResult result() const;
    // With keepLeadIn, once settled: the kept writes of [dumpOffset, start),
    // in stream order, each three bytes as they stand in the image.
    const std::vector<std::uint8_t>& keptLeadIn() const { return keptLeadIn_; }
    void ReleaseKeptLeadIn() { std::vector<std::uint8_t>().swap(keptLeadIn_); }

private:
    // Where the scan stands with respect to the start.
    enum class Phase {
        kLeadIn,   // nothing has sounded yet: waits and timer writes are left out
        kPending,  // another chip sounded first; an OPN-family key-on must follow
        kSettled,  // the start is known; the rest is only validated
    };

    std::int64_t SkipPlain(const Window& w, std::int64_t at, std::int64_t end) const;
    void LeadIn(const Window& w, std::int64_t end);
    std::int64_t LeadInBlocks(const Window& w, std::int64_t at, std::int64_t end);
    bool ContinueNSync(const Window& w, std::int64_t end, bool atStreamEnd);
    // Inline: the scan calls it for every command it leaves out.
    void Drop(std::int64_t first, std::int64_t length) {
        if (first + length > nextMark_) [[unlikely]] {
            tag_.Cross(first, length, dropped_);
            loop_.Cross(first, length, dropped_);
            nextMark_ = std::min(tag_.Mark(), loop_.Mark());
        }
        dropped_ += length;
    }
    void SeeWrite(std::int64_t at, const RegisterWrite& w, const std::uint8_t* bytes);
    void Fail(std::string message) { message_ = std::move(message); }

    const S98Header header_;
    const DeviceTable devices_;
    const bool allChips_;
    const bool keepLeadIn_;
    const bool byJumps_;
    const std::int64_t givenStart_;
    int writeLimit_ = 0;  // command bytes below this are writes to valid devices
    Phase phase_ = Phase::kLeadIn;
    std::int64_t at_;
    std::int64_t nsyncFirst_ = -1;  // the open n-sync's first byte, while its count runs
    bool finished_ = false;
    std::string message_;
    std::int64_t start_ = 0;
    std::int64_t otherKeyOn_ = 0;
    KeyOnWatch watch_;
    LeadInFilter filter_;
    DroppedBefore tag_;
    DroppedBefore loop_;
    std::int64_t dropped_ = 0;  // bytes left out so far
    std::int64_t nextMark_;     // the lower of the two offsets' marks
    std::vector<std::uint8_t> keptLeadIn_;
    // The filter's rule as a table for the block walk, and for which count of
    // its mode changes it was filled (0: never).
    std::uint8_t leftOutModes_[LeadInFilter::kLeftOutTableSize] = {};
    std::uint64_t leftOutModesSeen_ = 0;
};

}  // namespace zelta
