#include "finishing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "conversion.h"
#include "loop_search.h"
#include "messages.h"
#include "s98_image.h"
#include "sound_cut.h"

namespace zelta {
namespace {

// An output held in memory. Its room is made at once (an output is never
// longer than its input); running out of memory is a failed write, never a
// throw (the page is built without exceptions).
class HeldOutput final : public OutputTarget {
public:
    HeldOutput() = default;
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;
    ~HeldOutput() override { std::free(bytes_); }

    // Room for `size` bytes at least, readied at once. False without memory.
    bool MakeRoom(std::int64_t size) {
        if (!Reserve(static_cast<std::size_t>(std::max<std::int64_t>(size, kHeaderSize)))) {
            return false;
        }
        ReadyRoom(bytes_, capacity_);
        return true;
    }
    bool Open(const std::filesystem::path& outputPath) override {
        path_ = outputPath;
        size_ = 0;
        return true;
    }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        for (const auto& piece : pieces) {
            if (size_ + piece.size() > capacity_ &&
                !Reserve(std::max(2 * capacity_, size_ + piece.size()))) {
                return false;
            }
            if (!piece.empty()) std::memcpy(bytes_ + size_, piece.data(), piece.size());
            size_ += piece.size();
        }
        return true;
    }
    bool Commit() override { return true; }
    void Abort() override { size_ = 0; }

    std::uint8_t* data() { return bytes_; }
    std::span<const std::uint8_t> bytes() const { return {bytes_, size_}; }
    const std::filesystem::path& path() const { return path_; }

private:
    bool Reserve(std::size_t capacity) {
        if (capacity <= capacity_) return true;
        void* bigger = std::realloc(bytes_, capacity);
        if (bigger == nullptr) return false;
        bytes_ = static_cast<std::uint8_t*>(bigger);
        capacity_ = capacity;
        return true;
    }

    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::filesystem::path path_;
};

// Step 1: `whole`, the image with nothing left out, converted again from
// its first sound into `again`. Leaves `again` unopened when nothing is
// heard, or when its device entries reach into the stream (which of them
// are read depends on the image's size, which `whole` need not share with
// the input). Returns the empty text or the message.
std::string StartAtSound(HeldOutput& whole, bool tableInStream, Options inner, HeldOutput& again,
                         LineCollector& againLines) {
    const S98Image image{whole.bytes()};
    const S98Header header = ReadHeader(image, image.size());
    if (tableInStream || DeviceTableReachesStream(header)) return std::string();
    const GivenStart given{FindSoundStart(image, header, ReadDeviceTable(image, header)).sound};
    if (given.offset == 0) return std::string();
    if (!again.MakeRoom(image.size())) return std::string(msg::kMemory);
    return ConvertImage(image, header, whole.path(), inner, againLines, again, ReadSizes{},
                        given);
}

// The pieces of a copy of `image` whose stream is kept up to `keep`, then
// `wait` (a shortened wait, or none) and the end command, then the tag when
// it follows the data; its new tag offset, the end + 1, is the caller's to
// store.
std::vector<std::span<const std::uint8_t>> EndedCopy(const S98Image& image, const S98Header& h,
                                                     std::int64_t keep,
                                                     std::span<const std::uint8_t> wait) {
    static constexpr std::uint8_t kEnd[] = {kEndOfData};
    std::vector<std::span<const std::uint8_t>> pieces{image.bytes.first(static_cast<std::size_t>(keep))};
    if (!wait.empty()) pieces.push_back(wait);
    pieces.push_back(kEnd);
    if (h.tagOffset > h.dumpOffset) pieces.push_back(image.bytes.subspan(static_cast<std::size_t>(h.tagOffset)));
    return pieces;
}

// Step 2 on the output `held`: the loop's line, and the pieces to write.
struct LoopStep {
    std::string loopLine;
    bool looped = false;
    std::vector<std::span<const std::uint8_t>> pieces;
};

// Nullopt when there was no room for the loop search.
std::optional<LoopStep> FindAndCutLoop(HeldOutput& held, bool tableInStream, const Options& options,
                                       bool allChips) {
    LoopStep step;
    const S98Image image{held.bytes()};
    const S98Header h = ReadHeader(image, image.size());
    std::optional<FoundLoop> loop;
    if (options.findLoop) {
        const LoopSearch search = h.loopOffset != 0 || tableInStream || DeviceTableReachesStream(h)
                                      ? LoopSearch{}
                                      : FindLoop(image, allChips);
        if (search.outOfMemory) return std::nullopt;
        loop = search.loop;
        step.loopLine = loop               ? msg::LoopFoundLine(loop->loopOffset, loop->seconds)
                        : h.loopOffset != 0 ? msg::LoopKeptLine(h.loopOffset)
                                            : std::string(msg::kLoopNoneLine);
    }
    if (!loop) {
        step.pieces.push_back(image.bytes);
        return step;
    }
    // The header's offsets are rewritten in the held output itself, which is
    // needed no more.
    step.looped = true;
    step.pieces = EndedCopy(image, h, loop->cutOffset, {});
    StoreLe32(held.data() + kLoopOffsetAt, static_cast<std::int32_t>(loop->loopOffset));
    if (h.tagOffset > h.dumpOffset) StoreLe32(held.data() + kTagOffsetAt, static_cast<std::int32_t>(loop->cutOffset + 1));
    return step;
}

// Step 3: the output `held`, when it has no loop offset, cut after its last
// sound into `cut` (`held` is left as it is); `end` tells where, nullopt
// when nothing is cut. False when there was no room for the cut copy.
bool CutAtLastSound(const HeldOutput& held, bool tableInStream, HeldOutput& cut,
                    std::optional<EndCut>& end) {
    const S98Image image{held.bytes()};
    const S98Header h = ReadHeader(image, image.size());
    if (h.loopOffset != 0 || tableInStream || DeviceTableReachesStream(h)) return true;
    end = FindSilentEnd(image, h, ReadDeviceTable(image, h));
    if (!end) return true;
    // The cut copy may be a byte longer: a stream that ran to the file's end
    // without an end command gets one.
    if (!cut.MakeRoom(image.size() + 1) || !cut.Open(held.path())) return false;
    if (!cut.Write(EndedCopy(image, h, end->cutAt, end->wait))) return false;
    if (h.tagOffset > h.dumpOffset) StoreLe32(cut.data() + kTagOffsetAt, static_cast<std::int32_t>(end->endOffset + 1));
    return true;
}

}  // namespace

std::string ConvertFinished(const OrdinaryConversion& ordinary, std::int64_t sizeHint,
                            Options options, LogSink& sink, OutputTarget& output) {
    // -n: the start line and the stage's; the detail log is not shown. -s
    // starts at a sound of any chip.
    Options inner = options;
    inner.showStartOnly = false;
    inner.findLoop = false;
    inner.bySound = false;
    inner.allChips = options.allChips || options.bySound;
    if (options.showStartOnly) inner.detailLog = false;
    LineCollector lines;
    HeldOutput firstPass;
    if (!firstPass.MakeRoom(sizeHint)) return std::string(msg::kMemory);
    // With -s the first pass leaves nothing out, so it lists nothing.
    Options firstOptions = inner;
    if (options.bySound) firstOptions.detailLog = false;
    const GivenStart firstStart{options.bySound ? GivenStart::kNoStart : GivenStart::kFound};
    if (std::string message = ordinary(firstOptions, firstStart, lines, firstPass);
        !message.empty()) {
        for (const std::string& line : lines.lines) sink.Append(line);
        return message;
    }
    // The ordinary lines: the start line, the output line, the detail log.
    if (lines.lines.size() < 2) return std::string(msg::kOutputWrite);  // never: both always come

    // Whether the input's device entries reach into its stream: the first
    // pass may be shorter than the file and read fewer of them.
    const bool tableInStream =
        DeviceTableReachesStream(ReadHeader(S98Image{firstPass.bytes()}, sizeHint));
    HeldOutput again;
    LineCollector againLines;
    if (options.bySound) {
        if (std::string message = StartAtSound(firstPass, tableInStream, inner, again, againLines);
            !message.empty()) {
            return message;
        }
    }
    const bool moved = !againLines.lines.empty();
    HeldOutput& started = moved ? again : firstPass;
    const std::optional<LoopStep> loopStep = FindAndCutLoop(started, tableInStream, options, inner.allChips);
    if (!loopStep) return std::string(msg::kMemory);
    HeldOutput cut;
    std::optional<EndCut> end;
    if (options.bySound && !loopStep->looped) {
        if (!CutAtLastSound(started, tableInStream, cut, end)) return std::string(msg::kMemory);
        // With -l, a cut that leaves what reads as a repeat is not made: a
        // second run would loop a song the first found to end.
        if (end && options.findLoop) {
            const LoopSearch search = FindLoop(S98Image{cut.bytes()}, inner.allChips);
            if (search.outOfMemory) return std::string(msg::kMemory);
            if (search.loop) end.reset();
        }
    }
    const std::vector<std::span<const std::uint8_t>> pieces =
        end ? std::vector<std::span<const std::uint8_t>>{cut.bytes()} : loopStep->pieces;

    sink.Append(moved ? againLines.lines[0] : lines.lines[0]);
    if (options.findLoop) sink.Append(loopStep->loopLine);
    if (options.bySound) {
        sink.Append(end ? msg::EndCutLine(end->endOffset, end->secondsLeftOut)
                        : std::string(msg::kEndNoneLine));
    }
    if (options.showStartOnly) return std::string();
    sink.Append(lines.lines[1]);
    if (!output.Open(firstPass.path())) return std::string(msg::kOutputOpen);
    for (std::size_t i = 2; i < lines.lines.size(); ++i) sink.Append(lines.lines[i]);
    for (std::size_t i = 2; i < againLines.lines.size(); ++i) sink.Append(againLines.lines[i]);
    if (!output.Write(pieces)) {
        output.Abort();
        return std::string(msg::kOutputWrite);
    }
    if (!output.Commit()) return std::string(msg::kOutputWrite);
    return std::string();
}

}  // namespace zelta
