#include "loop_conversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "loop_search.h"
#include "messages.h"
#include "s98_image.h"

namespace zelta {
namespace {

// The ordinary output, held in memory. Its room is made at once (the output
// is never longer than the input); running out of memory is a failed write,
// never a throw (the page is built without exceptions).
class HeldOutput final : public OutputTarget {
public:
    HeldOutput() = default;
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;
    ~HeldOutput() override { std::free(bytes_); }

    bool Reserve(std::size_t capacity) {
        if (capacity <= capacity_) return true;
        void* bigger = std::realloc(bytes_, capacity);
        if (bigger == nullptr) return false;
        bytes_ = static_cast<std::uint8_t*>(bigger);
        capacity_ = capacity;
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
    std::size_t capacity() const { return capacity_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::filesystem::path path_;
};

// The loop line, and the output as it is to be written: the ordinary output,
// or its pieces cut at the loop (the header's two offsets rewritten in the
// ordinary output, which is not needed otherwise).
struct Outcome {
    std::string line;
    std::vector<std::span<const std::uint8_t>> pieces;
};

// Nullopt when there was no room for the search.
std::optional<Outcome> Decide(HeldOutput& ordinary, bool allChips) {
    Outcome o;
    const S98Image image{ordinary.bytes()};
    const S98Header h = ReadHeader(image, image.size());
    // No loop where the device types are stream bytes the cut would move.
    const bool searched = h.loopOffset == 0 && !DeviceTableReachesStream(h);
    const LoopSearch search = searched ? FindLoop(image, allChips) : LoopSearch{};
    if (search.outOfMemory) return std::nullopt;
    const std::optional<FoundLoop>& loop = search.loop;
    if (!loop) {
        o.line = h.loopOffset != 0 ? msg::LoopKeptLine(h.loopOffset) : std::string(msg::kLoopNoneLine);
        o.pieces.push_back(image.bytes);
        return o;
    }
    o.line = msg::LoopFoundLine(loop->loopOffset, loop->seconds);
    const bool tagFollows = h.tagOffset > h.dumpOffset;
    StoreLe32(ordinary.data() + kLoopOffsetAt, static_cast<std::int32_t>(loop->loopOffset));
    if (tagFollows) {
        StoreLe32(ordinary.data() + kTagOffsetAt, static_cast<std::int32_t>(loop->cutOffset + 1));
    }
    static constexpr std::uint8_t kEnd[] = {kEndOfData};
    o.pieces.push_back(image.bytes.first(static_cast<std::size_t>(loop->cutOffset)));
    o.pieces.push_back(kEnd);
    if (tagFollows) o.pieces.push_back(image.bytes.subspan(static_cast<std::size_t>(h.tagOffset)));
    return o;
}

}  // namespace

std::string ConvertWithLoop(const OrdinaryConversion& ordinary, std::int64_t sizeHint,
                            Options options, LogSink& sink, OutputTarget& output) {
    // -n: the start line and the loop's; the detail log is not shown.
    Options inner = options;
    inner.showStartOnly = false;
    inner.findLoop = false;
    if (options.showStartOnly) inner.detailLog = false;
    LineCollector lines;
    HeldOutput written;
    // Room for the whole output at once, as the records get theirs.
    if (!written.Reserve(static_cast<std::size_t>(std::max<std::int64_t>(sizeHint, kHeaderSize)))) {
        return std::string(msg::kMemory);
    }
    ReadyRoom(written.data(), written.capacity());
    if (std::string message = ordinary(inner, lines, written); !message.empty()) {
        for (const std::string& line : lines.lines) sink.Append(line);
        return message;
    }
    const std::optional<Outcome> outcome = Decide(written, options.allChips);
    if (!outcome) return std::string(msg::kMemory);
    // The ordinary lines: the start line, the output line, the detail log.
    if (lines.lines.size() < 2) return std::string(msg::kOutputWrite);  // never: both always come
    sink.Append(lines.lines[0]);
    sink.Append(outcome->line);
    if (options.showStartOnly) return std::string();
    sink.Append(lines.lines[1]);
    if (!output.Open(written.path())) return std::string(msg::kOutputOpen);
    for (std::size_t i = 2; i < lines.lines.size(); ++i) sink.Append(lines.lines[i]);
    if (!output.Write(outcome->pieces)) {
        output.Abort();
        return std::string(msg::kOutputWrite);
    }
    if (!output.Commit()) return std::string(msg::kOutputWrite);
    return std::string();
}

}  // namespace zelta
