// The start scan: stream validation, the start offset, and the offsets the
// output header takes.
#include <gtest/gtest.h>

#include <cstdio>

#include "conversion.h"
#include "generator.h"
#include "s98_builder.h"
#include "start_scan.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

std::string Hex8(std::int64_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(v));
    return b;
}

std::string StartLine(std::int64_t offset) { return "start offset(1st key-on)=" + Hex8(offset) + "\n"; }

MemoryConversion Convert(const S98Builder& b, Options options = {}) {
    return ConvertInMemory(b.Build(), options);
}

std::int32_t OutTag(const MemoryConversion& r) { return S98Builder::Get(r.output, 0x10); }
std::int32_t OutLoop(const MemoryConversion& r) { return S98Builder::Get(r.output, 0x18); }

TEST(StartScan, AStreamOfJustTheEndCommandHasNoStart) {
    S98Builder b;
    b.End();
    const auto r = Convert(b);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(0));
    EXPECT_EQ(r.output, b.Build());
}

TEST(StartScan, WaitsBeforeTheFirstKeyOnMoveLoopAndTag) {
    S98Builder b;
    b.Sync(2).LoopHere();
    const auto keyOn = b.Here();
    b.Write(0, 0x28, 0xF0).End().Tag("tag");
    const auto image = b.Build();
    const auto r = Convert(b);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(keyOn));
    EXPECT_EQ(OutLoop(r), b.StreamStart());
    EXPECT_EQ(OutTag(r), S98Builder::Get(image, 0x10) - 2);
    EXPECT_EQ(r.output.size(), image.size() - 2);
}

TEST(StartScan, LongLeadInLoopsToTheFirstKeyOnsPlaceInTheOutput) {
    // 256 one-tick waits from 0x100, key-on at 0x200 which is also the loop.
    S98Builder b;
    b.Devices({4});
    std::vector<std::uint8_t> image = b.Build();
    image.resize(0x100, 0);
    S98Builder::Put(image, 0x14, 0x100);
    S98Builder::Put(image, 0x18, 0x200);
    image.insert(image.end(), 256, 0xFF);
    image.insert(image.end(), {0x00, 0x28, 0xF0, 0xFD});
    const auto r = ConvertInMemory(image);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(0x200));
    EXPECT_EQ(S98Builder::Get(r.output, 0x18), 0x100);
    EXPECT_EQ(r.output.size(), image.size() - 256);
}

TEST(StartScan, ADroppedByteAtTheLoopPointDoesNotCountSoTheLoopFindsTheNextKeptByte) {
    S98Builder b;
    b.Write(0, 0x30, 0x01).LoopHere().Sync().NSync({0x81, 0x02});
    b.Write(0, 0x31, 0x02).Write(0, 0x28, 0xF0).End();
    const auto r = Convert(b);
    ASSERT_EQ(r.message, "");
    // The loop pointed at the first dropped byte; it now points at 0x31's write.
    EXPECT_EQ(OutLoop(r), b.StreamStart() + 3);
    EXPECT_EQ(r.output[static_cast<std::size_t>(OutLoop(r)) + 1], 0x31);
}

TEST(StartScan, ALoopInsideADroppedTimerWriteMovesPastTheWholeWrite) {
    S98Builder b;
    b.Write(0, 0x27, 0x15).Write(0, 0x30, 0x01).Write(0, 0x28, 0xF0).End();
    b.Loop(static_cast<std::int32_t>(b.StreamStart() + 1));
    const auto r = Convert(b);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(OutLoop(r), b.StreamStart());
}

TEST(StartScan, OffsetsStayWhenNothingSoundsOrNothingIsDropped) {
    S98Builder silent;
    silent.Sync(4).Write(0, 0x27, 0x15).Loop(0x22).End().Tag("t");
    const auto r = Convert(silent);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(0));
    EXPECT_EQ(r.output, silent.Build());

    S98Builder loud;
    loud.Write(0, 0x28, 0xF0).Sync().LoopHere().Write(0, 0x27, 0x15).NSync({0xFF, 0x7F}).End().Tag("t");
    const auto r2 = Convert(loud);
    EXPECT_EQ(r2.lines[0], StartLine(loud.StreamStart()));
    EXPECT_EQ(r2.output, loud.Build());
}

TEST(StartScan, AZeroLoopStaysZeroAndATagBeforeTheDataStays) {
    S98Builder b;
    b.Sync(3).Write(0, 0x28, 0xF0).End();
    auto image = b.Build();
    // Move the stream to 0x40 and put a tag at 0x20..0x3F.
    image.insert(image.begin() + 0x20, 0x20, 'T');
    S98Builder::Put(image, 0x10, 0x20);
    S98Builder::Put(image, 0x14, 0x40);
    const auto r = ConvertInMemory(image);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(S98Builder::Get(r.output, 0x10), 0x20);
    EXPECT_EQ(S98Builder::Get(r.output, 0x18), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(r.output.begin() + 0x20, r.output.begin() + 0x40),
              std::vector<std::uint8_t>(0x20, 'T'));
}

TEST(StartScan, NegativeAndFarLoopOffsetsAreAdjustedWithoutValidation) {
    S98Builder b;
    b.Sync(2).Write(0, 0x28, 0xF0).End();
    b.Loop(-5);
    EXPECT_EQ(OutLoop(Convert(b)), -5);
    b.Loop(0x7FFFFFFF);
    EXPECT_EQ(OutLoop(Convert(b)), 0x7FFFFFFD);
}

TEST(StartScan, TruncatedCommandsReportTheEofOffset) {
    S98Builder write;
    write.Raw({0x00, 0x28});
    EXPECT_EQ(Convert(write).message, "found unexpected EOF.  ofs=" + Hex8(write.StreamStart()));

    S98Builder nsync;
    nsync.Sync().NSync({0x80, 0x81});
    EXPECT_EQ(Convert(nsync).message, "found unexpected EOF.  ofs=" + Hex8(nsync.Here()));

    S98Builder bare;
    bare.Raw({0xFE});
    EXPECT_EQ(Convert(bare).message, "found unexpected EOF.  ofs=" + Hex8(bare.Here()));
}

TEST(StartScan, AWriteRunningIntoATagThatFollowsTheDataIsTruncated) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).Raw({0x00, 0x28}).Tag("x");
    const auto r = Convert(b);
    EXPECT_EQ(r.message, "found unexpected EOF.  ofs=" + Hex8(b.StreamStart() + 3));
    EXPECT_TRUE(r.lines.empty());
    EXPECT_FALSE(r.written);
}

TEST(StartScan, InvalidDeviceIndexesAreCorruptedData) {
    S98Builder two;
    two.Devices({4, 4}).Write(1, 0x28, 0xF0, 1).Write(2, 0x28, 0xF0).End();
    EXPECT_EQ(Convert(two).message,
              "found corrupted data.  ofs=" + Hex8(two.StreamStart() + 3) + ": 04 28 f0");

    S98Builder implicit;
    implicit.Raw({0x02, 0x11, 0x22}).End();
    EXPECT_EQ(Convert(implicit).message, "found corrupted data.  ofs=00000020: 02 11 22");

    S98Builder high;
    high.Raw({0xFC, 0x01, 0x02});
    EXPECT_EQ(Convert(high).message, "found corrupted data.  ofs=00000020: fc 01 02");
}

TEST(StartScan, ANegativeDeviceCountMakesEveryIndexInvalid) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).End();
    auto image = b.Build();
    S98Builder::Put(image, 0x1C, -1);
    EXPECT_EQ(ConvertInMemory(image).message, "found corrupted data.  ofs=00000020: 00 28 f0");
}

TEST(StartScan, ADeviceEntryBeyondTheImageIsCorruptedDataNotARead) {
    // Device count 100 in a tiny file: entry 0 overlaps the stream and lies
    // inside the image, entry 1's type word would lie beyond it.
    S98Builder b;
    b.Raw({0x00, 0x00, 0x00}).Raw({0x02, 0x28, 0xF0});
    auto image = b.Build();
    S98Builder::Put(image, 0x1C, 100);
    EXPECT_EQ(ConvertInMemory(image).message, "found corrupted data.  ofs=00000023: 02 28 f0");
}

TEST(StartScan, TheEndTestComesBeforeTheDeviceTest) {
    S98Builder b;
    b.Raw({0x08, 0x28});
    EXPECT_EQ(Convert(b).message, "found unexpected EOF.  ofs=00000020");
}

TEST(StartScan, NothingAfterTheEndCommandIsRead) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).End().Raw({0x08, 0x28});
    EXPECT_EQ(Convert(b).message, "");
}

TEST(StartScan, ATagAtTheDataOffsetIsReadAsCommands) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).End();
    auto image = b.Build();
    S98Builder::Put(image, 0x10, 0x20);
    const auto r = ConvertInMemory(image);
    EXPECT_EQ(r.lines[0], StartLine(0x20));
    EXPECT_EQ(r.output, image);
}

TEST(StartScan, TheStartLineIsLoggedWithShowStartOnlyAndNothingIsWritten) {
    S98Builder b;
    b.Sync().Write(0, 0x28, 0xF0).End();
    const auto r = Convert(b, {.showStartOnly = true, .detailLog = true});
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{StartLine(0x21)});
    EXPECT_FALSE(r.written);
}

TEST(StartScan, AnotherChipSoundingFirstStartsTheFileWhenFmFollows) {
    // A PSG note before the first FM note: only what lies before the PSG's
    // key-on is left out.
    S98Builder b;
    b.Devices({3, 1}).Sync(2);
    const auto psgOn = b.Here();
    b.Write(1, 0x08, 0x0F).Sync(5).Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0).End();
    const auto r = Convert(b);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(psgOn));
    EXPECT_EQ(r.output.size(), b.Build().size() - 2);
}

TEST(StartScan, AnotherChipAloneHasNoStartUnlessAllChipsIsAsked) {
    S98Builder b;
    b.Devices({5}).Sync(2).Write(0, 0x08, 0x78).End();
    EXPECT_EQ(Convert(b).lines[0], StartLine(0));
    EXPECT_EQ(Convert(b).output, b.Build());
    const auto all = Convert(b, {.allChips = true});
    EXPECT_EQ(all.lines[0], StartLine(b.StreamStart() + 2));
    EXPECT_EQ(all.output.size(), b.Build().size() - 2);
}

TEST(StartScan, AllChipsStillLeavesOutOnlyWaitsAndOpnTimerWrites) {
    S98Builder b;
    b.Devices({5, 4}).Sync().Write(0, 0x14, 0x15).Write(1, 0x27, 0x15).Write(0, 0x08, 0x08).End();
    const auto r = Convert(b, {.allChips = true});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], StartLine(b.StreamStart() + 7));
    EXPECT_EQ(r.output.size(), b.Build().size() - 4);
}

TEST(StartScan, AnOpnKeyOnBeforeAnyOtherChipIsTheStart) {
    S98Builder b;
    b.Devices({1, 2}).Sync().Write(1, 0x28, 0x10).Write(0, 0x08, 0x0F).End();
    EXPECT_EQ(Convert(b).lines[0], StartLine(b.StreamStart() + 1));
}

// The lead-in taken a block at a time (where the processor allows: each
// block's commands listed at once, only the writes the filter may keep seen)
// finds what the one-command-at-a-time loop finds: the same start, offsets,
// kept writes, end or fault, with the image cut into windows anywhere and
// files whose lead-ins hold mode changes, loop points and faults.
TEST(StartScan, TheBlockLeadInFindsWhatTheOneByOneLeadInFinds) {
    if (!JumpWalkAvailable()) GTEST_FAIL() << "this processor has no 64-byte byte permutes";
    StreamGenerator gen(0x1EAD);
    for (int i = 0; i < 6000; ++i) {
        auto image = gen.Image();
        if (gen.Chance(30) && !image.empty()) image[gen.Below(static_cast<std::uint32_t>(image.size()))] ^= 0x40;
        S98Header header;
        if (!ReadCheckedHeader(S98Image{image}, static_cast<std::int64_t>(image.size()), header).empty()) continue;
        const DeviceTable devices = ReadDeviceTable(S98Image{image}, header);
        const bool allChips = gen.Chance(20);
        Scanner blocks(header, devices, allChips, true, true);
        Scanner oneByOne(header, devices, allChips, true, false);
        for (std::int64_t end = 0; end < static_cast<std::int64_t>(image.size());) {
            end = std::min<std::int64_t>(static_cast<std::int64_t>(image.size()), end + 1 + gen.Below(gen.Chance(50) ? 600 : 40));
            blocks.Feed(Window{image.data(), 0, end});
            oneByOne.Feed(Window{image.data(), 0, end});
            ASSERT_EQ(blocks.settled(), oneByOne.settled()) << "image " << i << ", window end " << end;
        }
        ASSERT_EQ(blocks.message(), oneByOne.message()) << "image " << i;
        ASSERT_EQ(blocks.finished(), oneByOne.finished()) << "image " << i;
        const ScanResult a = blocks.result();
        const ScanResult b = oneByOne.result();
        ASSERT_EQ(a.startOffset, b.startOffset) << "image " << i;
        ASSERT_EQ(a.tagOffset, b.tagOffset) << "image " << i;
        ASSERT_EQ(a.loopOffset, b.loopOffset) << "image " << i;
        ASSERT_EQ(a.streamStop, b.streamStop) << "image " << i;
        ASSERT_EQ(blocks.keptLeadIn(), oneByOne.keptLeadIn()) << "image " << i;
    }
}

}  // namespace
}  // namespace zelta::test
