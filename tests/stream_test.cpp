// The conversion read front to back: whatever sizes the input arrives in,
// it gives what the conversion of the whole image in memory gives, and an
// input that ends early or fails never leaves an output.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "chunked_reader.h"
#include "generator.h"
#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Options kOptionSets[] = {
    {false, false, false}, {false, true, false}, {true, false, false}, {false, false, true}};

std::string Describe(Options o) {
    return std::string(o.showStartOnly ? "-n " : "") + (o.detailLog ? "-v " : "") +
           (o.allChips ? "--all-chips" : "");
}

// "" when reading `image` in steps of `step` bytes gives the in-memory result.
std::string Mismatch(const Bytes& image, std::int64_t step, Options options,
                     ReadSizes sizes = {}) {
    const MemoryConversion whole = ConvertInMemory(image, options);
    const MemoryConversion steps = ConvertInSteps(image, step, options, sizes);
    const std::string where = " (step " + std::to_string(step) + ", windows of " +
                              std::to_string(sizes.window) + ", " + Describe(options) + ")";
    if (steps.message != whole.message) {
        return "message \"" + steps.message + "\", in memory \"" + whole.message + "\"" + where;
    }
    if (steps.lines != whole.lines) return "log lines differ" + where;
    if (steps.written != whole.written) return "written flag differs" + where;
    if (steps.output != whole.output) return "output differs" + where;
    return "";
}

// A song whose lead-in and body are both longer than the first read and
// than a window, with n-syncs, waits and writes cut at every kind of place.
Bytes LongSong(std::size_t leadInWaits, std::size_t bodyCommands, bool tag) {
    S98Builder b;
    b.Devices({4, 1});
    StreamGenerator r(leadInWaits * 31 + bodyCommands);
    for (std::size_t i = 0; i < leadInWaits; ++i) {
        switch (r.Below(4)) {
        case 0: b.Sync(1 + static_cast<int>(r.Below(40))); break;
        case 1: b.NSync({0x85, 0x81, 0x02}); break;
        case 2: b.Write(0, 0x27, 0x15); break;
        default: b.Write(0, 0x40, static_cast<std::uint8_t>(r.Below(256))); break;
        }
    }
    b.Write(0, 0x28, 0xF0).LoopHere();
    for (std::size_t i = 0; i < bodyCommands; ++i) {
        switch (r.Below(10)) {
        case 0: b.Sync(1 + static_cast<int>(r.Below(5))); break;
        case 1: b.NSync({0xFF, 0x80, 0x81, 0x7F}); break;
        case 2: b.Write(1, 0x08, 0x0F); break;
        default:
            b.Write(0, static_cast<std::uint8_t>(0x30 + r.Below(0x80)),
                    static_cast<std::uint8_t>(r.Below(256)), static_cast<int>(r.Below(2)));
        }
    }
    b.End();
    if (tag) b.Tag("[S98]title=long\n");
    return b.Build();
}

TEST(Stream, GeneratedFilesGiveTheInMemoryResultWhateverSizeTheReadsHave) {
    StreamGenerator gen(0x57E4A);
    for (int i = 0; i < 600; ++i) {
        const Bytes image = gen.Image();
        for (const std::int64_t step : {1, 2, 3, 5, 64, 1 << 20}) {
            for (const Options options : kOptionSets) {
                ASSERT_EQ(Mismatch(image, step, options), "") << "image " << i;
            }
        }
        // The smallest first read and windows of a few bytes: every command
        // is cut at every place, in the lead-in's prefix and after it.
        for (const std::int64_t window : {1, 2, 3, 4, 7}) {
            for (const Options options : kOptionSets) {
                ASSERT_EQ(Mismatch(image, 1 << 20, options, ReadSizes{1, window}), "")
                    << "image " << i;
            }
        }
    }
}

TEST(Stream, LongLeadInsAndBodiesGiveTheInMemoryResult) {
    // Lead-ins past the first read, bodies past several windows; with and
    // without a tag after the data.
    for (const bool tag : {true, false}) {
        for (const auto& [leadIn, body] : {std::pair<std::size_t, std::size_t>{10, 300000},
                                           {40000, 1000}, {60000, 250000}}) {
            const Bytes image = LongSong(leadIn, body, tag);
            for (const std::int64_t step : {7, 4093, 1 << 20}) {
                for (const Options options : kOptionSets) {
                    ASSERT_EQ(Mismatch(image, step, options), "")
                        << "lead-in " << leadIn << ", body " << body << (tag ? ", tag" : "");
                }
            }
        }
    }
}

TEST(Stream, BytesAfterTheEndCommandAreNotReadWithoutATagAfterThem) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).End();
    Bytes image = b.Build();
    image.resize(image.size() + (std::size_t{4} << 20), 0xEE);
    ChunkedReader reader(image, 1 << 16);
    LineCollector lines;
    MemoryOutput output;
    EXPECT_EQ(ConvertS98Stream(reader, static_cast<std::int64_t>(image.size()), "song.s98", {},
                               lines, output),
              "");
    EXPECT_EQ(output.bytes, ConvertInMemory(image).output);
    EXPECT_LT(reader.calls(), 4);
}

TEST(Stream, AnInputThatEndsEarlyOrFailsIsAReadErrorAndLeavesNoOutput) {
    const Bytes image = LongSong(20000, 200000, true);
    const auto size = static_cast<std::int64_t>(image.size());
    // Inside the header, inside the lead-in, inside the body, in the tag.
    for (const std::int64_t at : {std::int64_t{10}, std::int64_t{30000}, size / 2, size - 3}) {
        for (const bool endInstead : {false, true}) {
            for (const Options options : kOptionSets) {
                // -n needs only the stream, and may be done before the tag.
                if (options.showStartOnly && at == size - 3) continue;
                ChunkedReader reader(image, 5000, at, endInstead);
                LineCollector lines;
                MemoryOutput output;
                EXPECT_EQ(ConvertS98Stream(reader, size, "song.s98", options, lines, output),
                          "input file read error.")
                    << "at " << at << ", " << Describe(options);
                EXPECT_FALSE(output.committed);
                EXPECT_TRUE(output.bytes.empty());
                EXPECT_TRUE(lines.lines.empty());
            }
        }
    }
}

TEST(Stream, AFaultFarIntoTheBodyAbandonsTheOutputAlreadyBegun) {
    // Two devices: command byte 0x10 addresses device 8, which is not there.
    S98Builder b;
    b.Devices({4, 1}).Sync(100).Write(0, 0x28, 0xF0);
    for (int i = 0; i < 200000; ++i) b.Write(0, 0x40, 0x7F).Sync();
    const std::int64_t fault = b.Here();
    b.Raw({0x10, 0x01, 0x02}).Write(0, 0x40, 0x00).End();
    const Bytes image = b.Build();
    char want[64];
    std::snprintf(want, sizeof want, "found corrupted data.  ofs=%08x: 10 01 02",
                  static_cast<unsigned>(fault));
    for (const std::int64_t step : {3, 1 << 20}) {
        const MemoryConversion r = ConvertInSteps(image, step);
        EXPECT_EQ(r.message, want);
        EXPECT_FALSE(r.written);
        EXPECT_TRUE(r.output.empty());
        EXPECT_TRUE(r.lines.empty());
    }
}

// Fails every write once `limit` bytes have been written.
class FailingOutput final : public OutputTarget {
public:
    explicit FailingOutput(std::size_t limit) : limit_(limit) {}
    bool Open(const std::filesystem::path&) override { return true; }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        for (const auto& piece : pieces) written_ += piece.size();
        ++writes;
        return written_ <= limit_;
    }
    bool Commit() override {
        committed = true;
        return true;
    }
    void Abort() override { aborted = true; }
    int writes = 0;
    bool committed = false;
    bool aborted = false;

private:
    std::size_t limit_;
    std::size_t written_ = 0;
};

TEST(Stream, AFailedWriteAnywhereIsTheWriteErrorAndTheOutputIsAbandoned) {
    // Failing in the head, in the lead-in, in a window, in the last window.
    const Bytes image = LongSong(20000, 1200000, true);
    const std::size_t outputSize = ConvertInMemory(image).output.size();
    for (const std::size_t limit : {std::size_t{0}, std::size_t{100000}, outputSize / 2,
                                    outputSize - 1}) {
        ChunkedReader reader(image, 1 << 20);
        LineCollector lines;
        FailingOutput output(limit);
        EXPECT_EQ(ConvertS98Stream(reader, static_cast<std::int64_t>(image.size()), "song.s98",
                                   {}, lines, output),
                  "output file write error.")
            << "failing after " << limit << " bytes";
        EXPECT_FALSE(output.committed);
        EXPECT_TRUE(output.aborted);
        EXPECT_EQ(lines.lines, ConvertInMemory(image).lines);
    }
}

TEST(Stream, ASizeBeyondTheFormatsLimitIsRefusedBeforeAnyRead) {
    const Bytes image(64, 0);
    ChunkedReader reader(image, 64);
    LineCollector lines;
    MemoryOutput output;
    EXPECT_EQ(ConvertS98Stream(reader, std::int64_t{1} << 31, "song.s98", {}, lines, output),
              "input file too large.");
    EXPECT_EQ(reader.calls(), 0);
}

}  // namespace
}  // namespace zelta::test
