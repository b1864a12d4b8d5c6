#include "loop_conversion.h"

#include <new>
#include <optional>
#include <span>
#include <vector>

#include "loop_search.h"
#include "messages.h"
#include "os_file.h"
#include "s98_image.h"

namespace zelta {
namespace {

// The loop line, and the output as it is to be written: the ordinary output,
// or its pieces cut at the loop (the header's two offsets rewritten in the
// ordinary output, which is not needed otherwise).
struct Outcome {
    std::string line;
    std::vector<std::span<const std::uint8_t>> pieces;
};

Outcome Decide(std::vector<std::uint8_t>& ordinary, bool allChips) {
    Outcome o;
    const S98Image image{ordinary};
    const S98Header h = ReadHeader(image, image.size());
    const std::optional<FoundLoop> loop =
        h.loopOffset != 0 ? std::nullopt : FindLoop(image, allChips);
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
    MemoryOutput written;
    std::optional<Outcome> outcome;
    try {
        // Room for the whole output at once, as the records get theirs.
        written.bytes.reserve(static_cast<std::size_t>(sizeHint));
        if (written.bytes.capacity() >= kHugeRoom) {
            os::AdviseHugePages(written.bytes.data(), written.bytes.capacity());
        } else {
            os::PrefaultPages(written.bytes.data(), written.bytes.capacity());
        }
        if (std::string message = ordinary(inner, lines, written); !message.empty()) {
            for (const std::string& line : lines.lines) sink.Append(line);
            return message;
        }
        outcome = Decide(written.bytes, options.allChips);
    } catch (const std::bad_alloc&) {
        return std::string(msg::kMemory);
    }
    // The ordinary lines: the start line, the output line, the detail log.
    if (lines.lines.size() < 2) return std::string(msg::kOutputWrite);  // never: both always come
    sink.Append(lines.lines[0]);
    sink.Append(outcome->line);
    if (options.showStartOnly) return std::string();
    sink.Append(lines.lines[1]);
    if (!output.Open(written.path)) return std::string(msg::kOutputOpen);
    for (std::size_t i = 2; i < lines.lines.size(); ++i) sink.Append(lines.lines[i]);
    if (!output.Write(outcome->pieces)) {
        output.Abort();
        return std::string(msg::kOutputWrite);
    }
    if (!output.Commit()) return std::string(msg::kOutputWrite);
    return std::string();
}

}  // namespace zelta
