// The trimmed copy: the output's name, its bytes, and the detail lines; with
// the loop search, the copy cut after the loop's first pass.
#include <gtest/gtest.h>

#include "generator.h"
#include "invariants.h"
#include "loop_check.h"
#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(OutputPath, TheLastDotOfTheFileNameIsCut) {
    EXPECT_EQ(OutputPathFor("/music/song.s98"), "/music/song_new.s98");
    EXPECT_EQ(OutputPathFor("/music/a.b.s98"), "/music/a.b_new.s98");
    EXPECT_EQ(OutputPathFor("song.S98"), "song_new.s98");
}

TEST(OutputPath, ADotInAFolderNameIsNeverCut) {
    EXPECT_EQ(OutputPathFor("/music/song"), "/music/song_new.s98");
    EXPECT_EQ(OutputPathFor("/music/old.files/song"), "/music/old.files/song_new.s98");
    EXPECT_EQ(OutputPathFor("./song"), "./song_new.s98");
}

TEST(OutputPath, ALeadingDotBelongsToTheName) {
    EXPECT_EQ(OutputPathFor("/music/.s98"), "/music/.s98_new.s98");
    EXPECT_EQ(OutputPathFor(".hidden.s98"), ".hidden_new.s98");
    EXPECT_EQ(OutputPathFor("/music/..s98"), "/music/._new.s98");
}

TEST(OutputPath, LongPathsHaveNoFixedLimit) {
    const std::string folder = "/" + std::string(300, 'f') + "/" + std::string(300, 'g');
    EXPECT_EQ(OutputPathFor(folder + "/song.s98"), folder + "/song_new.s98");
}

#ifdef _WIN32
TEST(OutputPath, OnWindowsEverySeparatorEndsAFolderName) {
    EXPECT_EQ(OutputPathFor("C:\\music\\song.s98"), "C:\\music\\song_new.s98");
    EXPECT_EQ(OutputPathFor("C:\\old.files\\song"), "C:\\old.files\\song_new.s98");
    EXPECT_EQ(OutputPathFor("C:/old.files/song"), "C:/old.files/song_new.s98");
    EXPECT_EQ(OutputPathFor("C:old.s98"), "C:old_new.s98");
    EXPECT_EQ(OutputPathFor("C:.s98"), "C:.s98_new.s98");
}
#endif

TEST(FileNamePart, IsTheTextAfterTheLastSeparator) {
    EXPECT_EQ(FileNamePart("/music/old.files/song.s98"), "song.s98");
    EXPECT_EQ(FileNamePart("song.s98"), "song.s98");
    EXPECT_EQ(FileNamePart("/music/"), "");
#ifdef _WIN32
    // Backslash, slash and colon: C:/music/song.s98 is song.s98 too.
    EXPECT_EQ(FileNamePart("a\\b:c.s98"), "c.s98");
    EXPECT_EQ(FileNamePart("C:/music/song.s98"), "song.s98");
    EXPECT_EQ(FileNamePart("C:\\music/old\\song.s98"), "song.s98");
    EXPECT_EQ(FileNamePart("C:song.s98"), "song.s98");
    // A lone surrogate is shown as U+FFFD; the output's name keeps it.
    const std::filesystem::path lone(std::wstring(L"C:\\m\\a") + wchar_t(0xD800) + L"\U0001F3B5.s98");
    EXPECT_EQ(FileNamePart(lone), "a\xEF\xBF\xBD\xF0\x9F\x8E\xB5.s98");
    EXPECT_EQ(OutputPathFor(lone).native(),
              std::wstring(L"C:\\m\\a") + wchar_t(0xD800) + L"\U0001F3B5_new.s98");
#else
    EXPECT_EQ(FileNamePart("a\\b:c.s98"), "a\\b:c.s98");
#endif
}

TEST(TrimmedCopy, LogsTheOutputNameBeforeWriting) {
    S98Builder b;
    b.Write(0, 0x28, 0xF0).End();
    const auto r = ConvertInMemory(b.Build(), {}, "/music/old.files/tune");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"start offset(1st key-on)=00000020\n",
                                                 "output file:tune_new.s98\n"}));
}

TEST(TrimmedCopy, AFileWithNothingToLeaveOutIsCopiedByteForByte) {
    S98Builder b;
    b.Devices({4, 1}).Write(0, 0x28, 0xF0).Sync(3).Write(1, 0x08, 0x0F).NSync({0x90, 0x10});
    b.Write(0, 0x27, 0x2A).Write(0, 0x27, 0x2A, 1).LoopHere().Sync().End().Tag("[S98]\x01title");
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.output, b.Build());
}

TEST(TrimmedCopy, LeavesOutExactlyTheLeadInsWaitsAndTimerWrites) {
    S98Builder b;
    b.Devices({4, 6}).Sync(2).NSync({0x83, 0x80, 0x01}).Write(0, 0x27, 0x2A).Write(1, 0x30, 0x11);
    b.Write(0, 0x27, 0x3F, 1).Write(0, 0x30, 0x71).Write(0, 0x28, 0xF0).Sync().Write(0, 0x27, 0x15);
    b.End().Tag("tag");
    const Bytes in = b.Build();
    const auto r = ConvertInMemory(in);
    ASSERT_EQ(r.message, "");
    Bytes expected(in.begin(), in.begin() + 0x40);
    S98Builder::Put(expected, 0x10, S98Builder::Get(in, 0x10) - 12);
    const Bytes stream{0x02, 0x30, 0x11, 0x00, 0x30, 0x71, 0x00, 0x28, 0xF0, 0xFF,
                       0x00, 0x27, 0x15, 0xFD, 't',  'a',  'g'};
    expected.insert(expected.end(), stream.begin(), stream.end());
    EXPECT_EQ(r.output, expected);
}

TEST(TrimmedCopy, DetailLinesListEachLeftOutByteInStreamOrder) {
    S98Builder b;
    b.Raw({}).Sync().NSync({0x85, 0x01}).Write(0, 0x27, 0x15).Write(0, 0x27, 0x15, 1);
    b.Write(0, 0x30, 0x71).Write(0, 0x28, 0xF0).Sync().End();
    const auto r = ConvertInMemory(b.Build(), {.detailLog = true});
    EXPECT_EQ(r.lines, (std::vector<std::string>{
                           "start offset(1st key-on)=0000002d\n",
                           "output file:song_new.s98\n",
                           "00000020 : ff       [1sync]",
                           "00000021 : fe       [nSync]",
                           "00000022 : 85",
                           "00000023 : 01",
                           "00000024 : 00 27 15 [Timer]",
                       }));
}

TEST(TrimmedCopy, BytesAfterTheEndCommandAreDroppedWithoutATagAfterTheData) {
    S98Builder b;
    b.Sync().Write(0, 0x28, 0xF0).End().Raw({0x12, 0x34, 0x56});
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    const Bytes stream(r.output.begin() + 0x20, r.output.end());
    EXPECT_EQ(stream, (Bytes{0x00, 0x28, 0xF0, 0xFD}));
}

TEST(TrimmedCopy, BytesBetweenTheEndCommandAndATagAreKeptAndTheTagStillFound) {
    S98Builder b;
    b.Sync(2).Write(0, 0x28, 0xF0).End().Raw({0x12, 0x34}).Tag("TAG");
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    const auto tag = static_cast<std::size_t>(S98Builder::Get(r.output, 0x10));
    EXPECT_EQ(std::string(r.output.begin() + static_cast<std::ptrdiff_t>(tag), r.output.end()), "TAG");
    const Bytes stream(r.output.begin() + 0x20, r.output.begin() + static_cast<std::ptrdiff_t>(tag));
    EXPECT_EQ(stream, (Bytes{0x00, 0x28, 0xF0, 0xFD, 0x12, 0x34}));
}

TEST(TrimmedCopy, AFileWithoutKeyOnKeepsEverythingUpToTheEndCommand) {
    S98Builder b;
    b.Sync(3).Write(0, 0x27, 0x15).Write(0, 0x27, 0x15, 1).NSync({0x01}).End().Raw({0xAA});
    const Bytes in = b.Build();
    const auto r = ConvertInMemory(in, {.detailLog = true});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.output, Bytes(in.begin(), in.end() - 1));
    EXPECT_EQ(r.lines.size(), 2u);
}

TEST(TrimmedCopy, AStreamWithoutEndCommandRunsToTheTag) {
    S98Builder b;
    b.Sync().Write(0, 0x28, 0xF0).Sync().Tag("T");
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.output.size(), b.Build().size() - 1);
    EXPECT_EQ(r.output.back(), 'T');
}

TEST(TrimmedCopy, LongLeadInsAreWrittenWhole) {
    // Enough kept writes among the waits to need many pieces and a full
    // staging buffer.
    S98Builder b;
    for (int i = 0; i < 300000; ++i) b.Sync(i % 3).Write(0, 0x30, static_cast<std::uint8_t>(i));
    b.Write(0, 0x28, 0xF0).End();
    const Bytes in = b.Build();
    const auto r = ConvertInMemory(in);
    ASSERT_EQ(r.message, "");
    Bytes expected(in.begin(), in.begin() + 0x20);
    for (int i = 0; i < 300000; ++i) expected.insert(expected.end(), {0x00, 0x30, static_cast<std::uint8_t>(i)});
    expected.insert(expected.end(), {0x00, 0x28, 0xF0, 0xFD});
    EXPECT_EQ(r.output, expected);
}

TEST(TrimmedCopy, TheDetailLogNeverChangesTheBytesWritten) {
    // With the detail log the copy steps through the lead-in byte by byte;
    // without it, it skips runs of waits. Both must give the same bytes,
    // also where the write that ends the lead-in is kept but is the start
    // itself.
    std::vector<S98Builder> cases(3);
    // Kept setup writes (adjacent and not), mode changes, repeated timer
    // writes on both ports, n-syncs.
    cases[0].Sync(2).Write(0, 0x27, 0x15).Write(0, 0x30, 0x01).Write(0, 0x31, 0x02);
    cases[0].NSync({0x81, 0x02}).Write(0, 0x27, 0x40).Write(0, 0x27, 0x45).Write(0, 0x27, 0x30, 1);
    cases[0].Write(0, 0x40, 0x7F).Sync().Write(0, 0x27, 0x05).Write(0, 0x28, 0xF0).Sync().End();
    // Another chip sounds first: its key-on is the start.
    cases[1].Devices({4, 1}).Sync(3).Write(0, 0x27, 0x15).Write(1, 0x07, 0x38).Sync();
    cases[1].Write(1, 0x08, 0x0F).Sync(2).Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0).End();
    // A mode change to CSM is kept and is the start.
    cases[2].Sync(2).Write(0, 0x27, 0x15).Write(0, 0x30, 0x01).Write(0, 0x27, 0x80).Sync().End();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Bytes in = cases[i].Build();
        const auto plain = ConvertInMemory(in);
        const auto detail = ConvertInMemory(in, {.detailLog = true});
        ASSERT_EQ(plain.message, "") << "case " << i;
        ASSERT_EQ(detail.message, "") << "case " << i;
        EXPECT_LT(plain.output.size(), in.size()) << "case " << i;
        EXPECT_EQ(plain.output, detail.output) << "case " << i;
    }
}

// A key-on, a wait, then a two-write loop played once per wait, each pass
// ending in its wait; the line and the cut worked out by hand. With `frames`,
// a pass is that many waits, frame k writing 0xa0 = 0x22 + k (frame 0 the
// two writes), and the first wait is frame `first`'s.
Bytes Passes(std::vector<int> waits, bool millisecondTicks = false, std::int32_t loop = 0, std::size_t frames = 1, std::size_t first = 0) {
    S98Builder b;
    if (millisecondTicks) b.Tick(1, 1000);
    if (loop) b.Loop(loop);
    b.Write(0, 0x28, 0xF0).Wait(120, 1);
    for (std::size_t i = 0; i < waits.size(); ++i) {
        const auto k = static_cast<std::uint8_t>((first + i) % frames);
        (k ? b.Write(0, 0xA0, 0x22 + k) : b.Write(0, 0xA0, 0x22).Write(0, 0x28, 0xF1)).Wait(waits[i], 1);
    }
    return b.End().Build();
}

TEST(LoopCut, LogsTheLoopLineAndCutsWhereTheRuleSays) {
    const struct {
        const char* name;
        Bytes image;
        std::string loopLine;
        std::int64_t cut;  // where the looped output ends in 0xfd; 0: the ordinary output
    } cases[] = {
        {"a 1.2 s loop played three times", Passes({120, 120, 120}), "loop offset(repeat found)=00000025, 1.20 s\n", 0x2D},
        {"an input with a loop offset keeps it", Passes({120, 120, 120}, false, 0x28), "loop offset(kept)=00000028\n", 0},
        {"a 0.6 s phrase three times is no loop", Passes({60, 60, 60}), "loop offset(repeat found)=none\n", 0},
        {"five times, two phrases make a 1.2 s loop", Passes({60, 60, 60, 60, 60}), "loop offset(repeat found)=00000025, 1.20 s\n", 0x35},
        {"a pass 3 ticks longer moves the loop to the second pass", Passes({120, 123, 120}),
         "loop offset(repeat found)=0000002d, 1.23 s\n", 0x35},
        {"3 ms at 1 ms ticks are within the tolerance", Passes({1200, 1203, 1200, 1200}, true),
         "loop offset(repeat found)=00000025, 1.20 s\n", 0x2E},
        {"4 ms are not", Passes({1200, 1204, 1200}, true), "loop offset(repeat found)=0000002e, 1.20 s\n", 0x37},
        // The loop's pass is the later passes' length within a tick: a start
        // whose pass is longer or shorter is passed over for a later one.
        {"a first pass 2 ticks short of the later ones", Passes({120, 122, 122, 122, 122, 122, 122}), "loop offset(repeat found)=0000002d, 1.22 s\n", 0x35},
        {"a first pass 10 % slower, 10 ms ticks", Passes({110, 22, 100, 20, 100, 20}, false, 0, 2), "loop offset(repeat found)=00000032, 1.20 s\n", 0x3F},
        {"a first pass 10 % slower, 1 ms ticks", Passes({1287, 33, 1170, 30, 1170, 30, 1170, 30}, true, 0, 2), "loop offset(repeat found)=00000033, 1.20 s\n", 0x41},
        {"an intro ending as the loop, 3 ms early", Passes({400, 403, 400, 400, 400, 400, 400, 400}, true, 0, 3, 1), "loop offset(repeat found)=00000031, 1.20 s\n", 0x46},
        {"a start paced for two passes, not for one", Passes({122, 120, 121, 120, 120}), "loop offset(repeat found)=0000002d, 1.20 s\n", 0x35},
        // Passes 3 ms longer in between: the first start drifts out of the replay, the next at the pace is taken.
        {"a loop that does not replay gives way", Passes({1200, 1203, 1203, 1203, 1200, 1200}, true), "loop offset(repeat found)=00000049, 1.20 s\n", 0x52},
        {"device entries in the stream: no loop", kDeviceTableInTheStream, "loop offset(repeat found)=none\n", 0},
    };
    for (const auto& c : cases) {
        const auto ordinary = ConvertInMemory(c.image);
        const auto looped = ConvertInMemory(c.image, {.findLoop = true});
        ASSERT_EQ(ordinary.lines.size(), 2u) << c.name;
        EXPECT_EQ(looped.lines, (std::vector<std::string>{ordinary.lines[0], c.loopLine, ordinary.lines[1]})) << c.name;
        auto want = ordinary.output;
        if (c.cut) {
            want.resize(static_cast<std::size_t>(c.cut));
            want.push_back(0xFD);
            S98Builder::Put(want, 0x18, std::stoi(c.loopLine.substr(c.loopLine.find('=') + 1, 8), nullptr, 16));
        }
        EXPECT_EQ(looped.output, want) << c.name;
        EXPECT_EQ(CheckLoop(c.image, {.showStartOnly = true}), "") << c.name;
    }
}

// A jingle on the OPNA's channel 1: one voice (algorithm 7, every operator a
// carrier at TL `tl`, AR 31, RR 15 at block 2: silent 5 ms after its key-off,
// within a 10 ms tick), then `tail` waits of 10 ticks each ending in a key-off
// of channel 2, which sounds nothing. With `silentFirst` the driver first
// keys the channel on and off at TL 127. `expected` builds the file -s must
// write: the writes before the sound at one moment, the release's one tick.
struct Jingle {
    bool silentFirst = false, keyOff = true, loop = false, expected = false, heard = true, overlong = false;
    int tail = 100;
    std::int64_t start = 0;  // the sounding key-on's offset, once built
    Bytes Build() {
        S98Builder b;
        auto voice = [&](std::uint8_t tl) {
            for (std::uint8_t op : {0, 4, 8, 12}) {
                b.Write(0, 0x30 + op, 0x01).Write(0, 0x40 + op, tl).Write(0, 0x50 + op, 0x1F);
                b.Write(0, 0x60 + op, 0).Write(0, 0x70 + op, 0).Write(0, 0x80 + op, 0x0F);
            }
        };
        b.Write(0, 0xB0, 0x07).Write(0, 0xB4, 0xC0).Write(0, 0xA4, 0x14).Write(0, 0xA0, 0x10);
        if (silentFirst) {
            voice(0x7F);
            b.Write(0, 0x28, 0xF0);
            if (!expected) b.Wait(10, 1);
            b.Write(0, 0x28, 0x00);
            if (!expected) b.Wait(200, 1);
        }
        voice(heard ? 0 : 0x7F);
        if (!expected) b.Wait(30, 1);
        if (loop) b.LoopHere();
        start = b.Here();
        b.Write(0, 0x28, 0xF0);
        if (overlong) b.NSync({0xB0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00});  // 50 ticks in 11 bytes
        else b.Wait(50, 1);
        if (keyOff) b.Write(0, 0x28, 0x00);
        if (expected) b.Sync();
        for (int k = 0; k < tail && !expected; ++k) b.Wait(10, 1).Write(0, 0x28, 0x01);
        return b.End().Tag("[S98]title=jingle").Build();
    }
};

TEST(SilenceCut, StartsAtTheFirstSoundAndCutsALoopFreeSongAfterItsLast) {
    const struct {
        const char* name;
        Jingle song;
        Options options;
        const char* endLine;  // %08x: the expected file's end command
    } cases[] = {
        {"a jingle's silent end is cut a tick after the release", {}, {.bySound = true}, "end offset(silence cut)=%08x, 9.99 s\n"},
        {"a silent first key-on gives way to the first sound", {.silentFirst = true}, {.bySound = true}, "end offset(silence cut)=%08x, 9.99 s\n"},
        {"with -l and no loop found, the end is cut too", {}, {.findLoop = true, .bySound = true}, "end offset(silence cut)=%08x, 9.99 s\n"},
        {"with -n the lines only", {.silentFirst = true}, {.showStartOnly = true, .bySound = true}, "end offset(silence cut)=%08x, 9.99 s\n"},
        {"a wait in more count bytes than a count holds", {.overlong = true}, {.bySound = true}, "end offset(silence cut)=%08x, 9.99 s\n"},
        {"a song with a loop offset keeps its end", {.loop = true}, {.bySound = true}, nullptr},
        {"a voice held to the end is never cut", {.keyOff = false}, {.bySound = true}, nullptr},
        {"an end without a wait after the sound", {.tail = 0}, {.bySound = true}, nullptr},
        {"nothing heard: nothing left out", {.silentFirst = true, .heard = false}, {.bySound = true}, nullptr},
    };
    for (auto c : cases) {
        const Bytes in = c.song.Build();
        Jingle e = c.song;
        e.expected = true;
        const Bytes want = e.Build();
        const auto got = ConvertInMemory(in, c.options);
        ASSERT_EQ(got.message, "") << c.name;
        char start[64], end[64];
        std::snprintf(start, sizeof start, "start offset(1st key-on)=%08x\n",
                      static_cast<unsigned>(c.song.heard ? c.song.start : 0));
        std::snprintf(end, sizeof end, c.endLine ? c.endLine : "end offset(silence cut)=none\n",
                      static_cast<unsigned>(want.size() - 18));
        std::vector<std::string> lines{start};
        if (c.options.findLoop) lines.push_back("loop offset(repeat found)=none\n");
        lines.push_back(end);
        if (!c.options.showStartOnly) lines.push_back("output file:song_new.s98\n");
        EXPECT_EQ(got.lines, lines) << c.name;
        if (c.endLine && !c.options.showStartOnly) EXPECT_EQ(got.output, want) << c.name;
        if (!c.endLine) EXPECT_EQ(got.output, c.song.heard ? ConvertInMemory(in, {.allChips = true}).output : in) << c.name;
        EXPECT_EQ(CheckBySound(in, {.detailLog = true}), "") << c.name;
    }
    // Device entries in the stream: nothing is moved or cut.
    for (const Bytes& in : {kDeviceTableInTheStream, kDeviceTableInACutStream, kDeviceTableInAShorterCopy}) {
        EXPECT_EQ(CheckBySound(in, {.detailLog = true}), "");
        EXPECT_EQ(ConvertInMemory(in, {.bySound = true}).lines.at(0), "start offset(1st key-on)=00000000\n");
    }
    // A cut that leaves a repeat: made with -s, not with -sl.
    for (const bool loop : {false, true}) {
        const auto got = ConvertInMemory(kCutLeavesARepeat, {.findLoop = loop, .bySound = true});
        EXPECT_EQ(got.lines.at(loop ? 2 : 1), loop ? "end offset(silence cut)=none\n"
                                                  : "end offset(silence cut)=0000002a, 3085500.44 s\n");
        EXPECT_EQ(CheckBySound(kCutLeavesARepeat, {.findLoop = loop}), "") << loop;
    }
}

}  // namespace
}  // namespace zelta::test
