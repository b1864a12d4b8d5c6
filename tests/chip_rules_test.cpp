// Which writes are key-ons, chip by chip, each rule beside its nearest miss;
// and which lead-in timer writes are kept.
#include <gtest/gtest.h>

#include <cstdio>

#include "chip_rules.h"
#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

struct WriteCase {
    std::int32_t type;
    int port;
    std::uint8_t reg;
    std::uint8_t value;
    bool keyOn;
};

std::ostream& operator<<(std::ostream& os, const WriteCase& c) {
    char b[64];
    std::snprintf(b, sizeof b, "type %d port %d reg %02x value %02x", c.type, c.port, c.reg, c.value);
    return os << b;
}

std::int64_t StartOf(const std::vector<std::uint8_t>& image, Options options = {}) {
    const auto r = ConvertInMemory(image, options);
    EXPECT_EQ(r.message, "");
    if (r.lines.empty()) return -1;
    unsigned start = 0;
    std::sscanf(r.lines[0].c_str(), "start offset(1st key-on)=%x", &start);
    return start;
}

// A wait, then the write on device 0 of the case's type.
std::int64_t StartOfAlone(const WriteCase& c) {
    S98Builder b;
    b.Devices({c.type}).Sync().Write(0, c.reg, c.value, c.port).Sync().End();
    return StartOf(b.Build());
}

class OpnFamilyKeyOn : public ::testing::TestWithParam<WriteCase> {};

TEST_P(OpnFamilyKeyOn, StartsTheFileExactlyWhenTheRuleHolds) {
    const WriteCase c = GetParam();
    EXPECT_EQ(StartOfAlone(c), c.keyOn ? 0x31 : 0) << c;
}

WriteCase Opn(int port, std::uint8_t reg, std::uint8_t value, bool keyOn) {
    return {4, port, reg, value, keyOn};
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpnFamilyKeyOn,
    ::testing::Values(
        // FM key-on: slot bits 7-4, port 0 only.
        Opn(0, 0x28, 0xF0, true), Opn(0, 0x28, 0x10, true), Opn(0, 0x28, 0x0F, false),
        Opn(1, 0x28, 0xF0, false),
        // SSG levels.
        Opn(0, 0x08, 0x01, true), Opn(0, 0x0A, 0x10, true), Opn(0, 0x09, 0x00, false),
        Opn(0, 0x0B, 0x0F, false), Opn(1, 0x08, 0x0F, false),
        // Rhythm: bit 7 is a dump, never a key-on.
        Opn(0, 0x10, 0x01, true), Opn(0, 0x10, 0x3F, true), Opn(0, 0x10, 0x80, false),
        Opn(0, 0x10, 0x81, false), Opn(0, 0x10, 0xBF, false), Opn(0, 0x10, 0x40, false),
        Opn(1, 0x10, 0x01, false),
        // ADPCM on port 1: start set; record, speaker off and reset clear.
        Opn(1, 0x00, 0xA0, true), Opn(1, 0x00, 0xB0, true), Opn(1, 0x00, 0x80, true),
        Opn(1, 0x00, 0xA1, false), Opn(1, 0x00, 0xE0, false), Opn(1, 0x00, 0x20, false),
        Opn(1, 0x00, 0x88, false), Opn(0, 0x00, 0xA0, false),
        // CSM selected through the channel-3 mode bits.
        Opn(0, 0x27, 0x80, true), Opn(0, 0x27, 0xBF, true), Opn(0, 0x27, 0x40, false),
        Opn(0, 0x27, 0xC0, false),
        // The same table for OPN and OPN2; other types never match it.
        WriteCase{2, 0, 0x28, 0xF0, true}, WriteCase{3, 0, 0x10, 0x01, true},
        WriteCase{2, 1, 0x00, 0x80, true}, WriteCase{0, 0, 0x28, 0xF0, false},
        WriteCase{10, 0, 0x28, 0xF0, false}));

// Another chip's write on device 0, then an FM key-on on device 1: the start
// is the chip's write when it sounds, else the FM key-on.
class OtherChipKeyOn : public ::testing::TestWithParam<WriteCase> {};

TEST_P(OtherChipKeyOn, StartsTheFileWhenAnFmNoteFollows) {
    const WriteCase c = GetParam();
    S98Builder b;
    b.Devices({c.type, 4}).Sync().Write(0, c.reg, c.value, c.port).Sync(2);
    const auto fm = b.Here();
    b.Write(1, 0x28, 0xF0).End();
    EXPECT_EQ(StartOf(b.Build()), c.keyOn ? 0x41 : fm) << c;
}

INSTANTIATE_TEST_SUITE_P(
    Table, OtherChipKeyOn,
    ::testing::Values(
        // OPM: slot bits 6-3 of 0x08, CSM bit 7 of 0x14; one port.
        WriteCase{5, 0, 0x08, 0x08, true}, WriteCase{5, 0, 0x08, 0x40, true},
        WriteCase{5, 1, 0x08, 0x78, true}, WriteCase{5, 0, 0x08, 0x87, false},
        WriteCase{5, 0, 0x14, 0x80, true}, WriteCase{5, 0, 0x14, 0x7F, false},
        WriteCase{5, 0, 0x28, 0xF0, false},
        // OPLL: key bit 4 of 0x20-0x28; rhythm mode with an instrument.
        WriteCase{6, 0, 0x20, 0x10, true}, WriteCase{6, 1, 0x28, 0x1F, true},
        WriteCase{6, 0, 0x29, 0x10, false}, WriteCase{6, 0, 0x20, 0x2F, false},
        WriteCase{6, 0, 0x0E, 0x21, true}, WriteCase{6, 0, 0x0E, 0x20, false},
        WriteCase{6, 0, 0x0E, 0x1F, false},
        // OPL, OPL2, OPL3: key-on bit 5 of 0xB0-0xB8; rhythm in 0xBD.
        WriteCase{7, 0, 0xB0, 0x20, true}, WriteCase{8, 0, 0xB8, 0x3F, true},
        WriteCase{8, 1, 0xB4, 0x20, true}, WriteCase{7, 0, 0xB9, 0x20, false},
        WriteCase{8, 0, 0xB0, 0x1F, false}, WriteCase{9, 1, 0xB8, 0x20, true},
        WriteCase{9, 1, 0xBD, 0x30, true}, WriteCase{7, 0, 0xBD, 0x20, false},
        WriteCase{9, 0, 0xBD, 0x1F, false},
        // PSG and AY: any non-zero level.
        WriteCase{1, 0, 0x08, 0x01, true}, WriteCase{15, 1, 0x0A, 0x10, true},
        WriteCase{1, 0, 0x08, 0x00, false}, WriteCase{15, 0, 0x07, 0x00, false},
        WriteCase{1, 0, 0x0B, 0xFF, false},
        // DCSG latch bytes: a volume below 0xF sounds; the stereo register never.
        WriteCase{16, 0, 0x00, 0x90, true}, WriteCase{16, 0, 0x00, 0xFE, true},
        WriteCase{16, 0, 0x00, 0x9F, false}, WriteCase{16, 0, 0x00, 0x80, false},
        WriteCase{16, 0, 0x01, 0x90, false}, WriteCase{16, 0, 0x00, 0x00, false},
        // Types without rules never sound.
        WriteCase{0, 0, 0x08, 0xFF, false}, WriteCase{12, 0, 0x28, 0xF0, false}));

TEST(DcsgKeyOn, ADataByteSoundsOnlyAfterAVolumeLatch) {
    S98Builder b;
    b.Devices({16, 4}).Write(0, 0, 0x8F).Write(0, 0, 0x05).Write(0, 0, 0x9F).Sync();
    const auto data = b.Here();
    b.Write(0, 0, 0x05).Write(1, 0x28, 0xF0).End();
    EXPECT_EQ(StartOf(b.Build()), data);

    S98Builder quiet;
    quiet.Devices({16, 4}).Write(0, 0, 0x9F).Write(0, 0, 0x0F).Write(0, 1, 0x00).Write(0, 0, 0x3F);
    const auto fm = quiet.Here();
    quiet.Write(1, 0x28, 0xF0).End();
    EXPECT_EQ(StartOf(quiet.Build()), fm);
}

TEST(DacKeyOn, ALevelAwayFromSilenceSoundsOnlyWhileTheDacIsEnabled) {
    S98Builder b;
    b.Devices({3}).Write(0, 0x2A, 0x40).Write(0, 0x2B, 0x00).Write(0, 0x2A, 0x80);
    b.Write(0, 0x2B, 0x80).Sync();
    const auto level = b.Here();
    b.Write(0, 0x2A, 0x81).End();
    EXPECT_EQ(StartOf(b.Build()), level);
}

TEST(DacKeyOn, EnablingTheDacAtALevelAwayFromSilenceSounds) {
    S98Builder b;
    b.Devices({3}).Write(0, 0x2A, 0x7F).Sync();
    const auto enable = b.Here();
    b.Write(0, 0x2B, 0x80).End();
    EXPECT_EQ(StartOf(b.Build()), enable);

    S98Builder silent;  // no level written yet counts as silence
    silent.Devices({3}).Write(0, 0x2B, 0x80).Write(0, 0x2A, 0x80).Write(0, 0x2B, 0x7F).End();
    EXPECT_EQ(StartOf(silent.Build()), 0);
}

TEST(DacKeyOn, OnlyOpn2Port0HasADac) {
    S98Builder opna;
    opna.Devices({4}).Write(0, 0x2B, 0x80).Write(0, 0x2A, 0x00).End();
    EXPECT_EQ(StartOf(opna.Build()), 0);
    S98Builder port1;
    port1.Devices({3}).Write(0, 0x2B, 0x80, 1).Write(0, 0x2A, 0x00, 1).End();
    EXPECT_EQ(StartOf(port1.Build()), 0);
}

TEST(DacKeyOn, EachDeviceHasItsOwnDac) {
    S98Builder b;
    b.Devices({3, 3}).Write(0, 0x2B, 0x80).Write(1, 0x2A, 0x00).Write(1, 0x2A, 0x80);
    const auto enable = b.Here();
    b.Write(1, 0x2B, 0x80).Write(0, 0x2A, 0x10).End();
    EXPECT_EQ(StartOf(b.Build()), enable + 3);
}

TEST(ChannelThreeMode, TimerWritesRepeatingTheModeAreLeftOutButModeChangesAreKept) {
    S98Builder b;
    b.Write(0, 0x27, 0x15).Write(0, 0x27, 0x45).Sync().Write(0, 0x27, 0x55).Write(0, 0x27, 0x05);
    b.Write(0, 0x27, 0x3F, 1).Write(0, 0x28, 0xF0).End();
    const auto r = ConvertInMemory(b.Build(), {.detailLog = true});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{
                           "start offset(1st key-on)=00000030\n",
                           "output file:song_new.s98\n",
                           "00000020 : 00 27 15 [Timer]",
                           "00000026 : ff       [1sync]",
                           "00000027 : 00 27 55 [Timer]",
                       }));
    // Kept: the change to mode 01 and the change back to 00.
    const std::vector<std::uint8_t> stream(r.output.begin() + 0x20, r.output.end());
    EXPECT_EQ(stream, (std::vector<std::uint8_t>{0x00, 0x27, 0x45, 0x00, 0x27, 0x05, 0x00, 0x28,
                                                 0xF0, 0xFD}));
}

TEST(ChannelThreeMode, EachDeviceTracksItsOwnMode) {
    S98Builder b;
    b.Devices({2, 2}).Write(0, 0x27, 0x40).Write(1, 0x27, 0x40).Write(1, 0x27, 0x40);
    b.Write(0, 0x28, 0x10).End();
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.output.size(), b.Build().size() - 3);
}

TEST(ChannelThreeMode, SelectingCsmIsTheStartAndIsKept) {
    S98Builder b;
    b.Sync().Write(0, 0x27, 0x40).Sync().Write(0, 0x27, 0x8F).Sync().Write(0, 0x28, 0xF0).End();
    const auto r = ConvertInMemory(b.Build());
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.lines[0], "start offset(1st key-on)=00000025\n");
    EXPECT_EQ(r.output.size(), b.Build().size() - 2);
}

// The loop search shows the key-on watch only the registers it names as
// watched: every other write must be silent and leave no state, whichever
// state the watch is in (a DAC enabled away from silence, a DCSG volume
// latched).
TEST(KeyOnWatched, NamesEveryRegisterWhoseWriteMaySound) {
    constexpr std::int32_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17};
    for (const std::int32_t type : kTypes) {
        for (int port = 0; port < 2; ++port) {
            KeyOnWatch primed;
            primed.Observe(RegisterWrite{0, 0, 0x2A, 0x10, type});
            primed.Observe(RegisterWrite{0, 0, 0x2B, 0x80, type});
            primed.Observe(RegisterWrite{0, 0, 0x00, 0x90, type});
            for (int reg = 0; reg < 256; ++reg) {
                const auto r = static_cast<std::uint8_t>(reg);
                if (KeyOnWatched(type, port, r)) continue;
                for (int value = 0; value < 256; ++value) {
                    const RegisterWrite w{0, port, r, static_cast<std::uint8_t>(value), type};
                    KeyOnWatch fresh;
                    ASSERT_EQ(fresh.Observe(w), Sound::kNone) << WriteCase{type, port, r, w.value, false};
                    ASSERT_EQ(primed.Observe(w), Sound::kNone) << WriteCase{type, port, r, w.value, false};
                }
            }
        }
    }
}

}  // namespace
}  // namespace zelta::test
