// Properties of the conversion over thousands of generated files: the core
// agrees with an independent reference model on every message, log line and
// output byte, and every successful conversion keeps the structural
// invariants (see invariants.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "generator.h"
#include "invariants.h"
#include "loop_check.h"
#include "loop_songs.h"
#include "reference_model.h"
#include "run_zelta.h"
#include "s98_builder.h"
#include "temp_folder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

constexpr std::uint64_t kSeed = 0x5A17A98;
constexpr int kImages = 6000;

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size() && i < 512; ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        s += b;
        s += (i % 16 == 15) ? '\n' : ' ';
    }
    if (bytes.size() > 512) s += "...";
    return s;
}

model::ModelOptions ToModel(Options o) { return {o.showStartOnly, o.detailLog, o.allChips}; }

// Compares one conversion of the core with the model; "" when they agree.
std::string Disagreement(const std::vector<std::uint8_t>& image, Options options, const std::string& path = "song.s98") {
    const auto core = ConvertInMemory(image, options, path);
    const auto want = model::Convert(image, ToModel(options), path);
    if (core.message != want.message) return "message \"" + core.message + "\", model \"" + want.message + "\"";
    if (core.lines != want.lines) {
        std::string s = "lines differ:\n core:";
        for (const auto& l : core.lines) s += "\n  " + l;
        s += "\n model:";
        for (const auto& l : want.lines) s += "\n  " + l;
        return s;
    }
    if (core.written != want.written) return "written flag differs";
    if (core.output != want.output) {
        std::size_t k = 0;
        while (k < core.output.size() && k < want.output.size() && core.output[k] == want.output[k]) ++k;
        return "output differs from byte " + std::to_string(k) + " (sizes " + std::to_string(core.output.size()) +
               " and " + std::to_string(want.output.size()) + ")";
    }
    return "";
}

const Options kOptionSets[] = {
    {false, false, false},
    {false, true, false},
    {true, true, false},
    {false, true, true},
};

TEST(Properties, TheCoreAgreesWithTheReferenceModelOnEveryGeneratedFile) {
    StreamGenerator gen(kSeed);
    int failures = 0;
    for (int i = 0; i < kImages && failures < 5; ++i) {
        const auto image = gen.Image();
        for (const auto& options : kOptionSets) {
            const auto why = Disagreement(image, options);
            if (!why.empty()) {
                ADD_FAILURE() << "image " << i << " (n=" << options.showStartOnly << " v=" << options.detailLog
                              << " all=" << options.allChips << "): " << why << "\n" << HexDump(image);
                ++failures;
                break;
            }
        }
    }
}

TEST(Properties, TheCoreAgreesWithTheReferenceModelOnMutatedFiles) {
    // Flipping, inserting and deleting bytes of good files reaches the
    // corners a generator built around well-formed files does not.
    StreamGenerator gen(kSeed + 1);
    int failures = 0;
    for (int i = 0; i < kImages && failures < 5; ++i) {
        auto image = gen.Image();
        const int edits = 1 + static_cast<int>(gen.Below(4));
        for (int e = 0; e < edits && !image.empty(); ++e) {
            const auto at = gen.Below(static_cast<std::uint32_t>(image.size()));
            switch (gen.Below(3)) {
            case 0: image[at] = static_cast<std::uint8_t>(gen.Below(256)); break;
            case 1: image.insert(image.begin() + at, static_cast<std::uint8_t>(gen.Below(256))); break;
            default: image.erase(image.begin() + at); break;
            }
        }
        const Options options{false, true, gen.Chance(20)};
        const auto why = Disagreement(image, options);
        if (!why.empty()) {
            ADD_FAILURE() << "mutated image " << i << ": " << why << "\n" << HexDump(image);
            ++failures;
        }
    }
}

TEST(Properties, EverySuccessfulConversionKeepsTheStructuralInvariants) {
    StreamGenerator gen(kSeed + 2);
    int failures = 0;
    for (int i = 0; i < kImages && failures < 5; ++i) {
        const auto image = gen.Image();
        for (bool allChips : {false, true}) {
            const Options options{false, true, allChips};
            const auto why = CheckConversion(image, ConvertInMemory(image, options), options);
            if (!why.empty()) {
                ADD_FAILURE() << "image " << i << " all=" << allChips << ": " << why << "\n" << HexDump(image);
                ++failures;
            }
        }
        // -s beside the options (CheckBySound).
        const Options withSound{.showStartOnly = i % 7 == 0, .detailLog = i % 2 == 0, .allChips = i % 3 == 0, .findLoop = i % 5 == 0};
        if (const auto why = CheckBySound(image, withSound); !why.empty()) {
            ADD_FAILURE() << "image " << i << " with -s (n=" << withSound.showStartOnly << " v=" << withSound.detailLog
                          << " l=" << withSound.findLoop << "): " << why << "\n" << HexDump(image);
            ++failures;
        }
    }
}

// The loop search (loop_check.h) on every generated file, with each option
// set: the same message, the lines plus one, and a found loop replays as the
// ordinary output. On logged songs (loop_songs.h) the loop found is the one
// the generator put in, or starts earlier with its length, and songs that do
// not repeat get none; a third of the songs have one to four bytes changed,
// which come close to repeating without quite doing so.
TEST(Properties, TheLoopSearchChangesOnlyItsLineAndFindsTheSongsLoopsWhichReplay) {
    StreamGenerator gen(kSeed + 5);
    std::map<std::string, int> seen;
    int failures = 0;
    for (int i = 0; i < kImages && failures < 5; ++i) {
        const auto image = gen.Image();
        for (const auto& options : kOptionSets) {
            if (const auto why = CheckLoop(image, options); !why.empty()) {
                ADD_FAILURE() << "image " << i << ": " << why << "\n" << HexDump(image);
                ++failures;
                break;
            }
        }
    }
    for (int i = 0; i < 900 && failures < 10; ++i) {
        auto song = LoopSongGenerator(kSeed + i).Song(static_cast<SongKind>(i % kSongKinds));
        const bool changed = i / kSongKinds % 3 == 0;
        S98Stream s;
        ASSERT_EQ(ParseS98(song.image, s), "");
        for (int e = 0, edits = changed ? 1 + static_cast<int>(gen.Below(4)) : 0; e < edits; ++e) {
            // A write's value, or an n-sync's count by 1 or 2 ticks.
            const auto& op = s.ops[gen.Below(static_cast<std::uint32_t>(s.ops.size()))];
            const auto at = static_cast<std::size_t>(op.at);
            if (op.write) song.image[at + 2] ^= static_cast<std::uint8_t>(1 << gen.Below(8));
            else if (song.image[at] == 0xFE) song.image[at + 1] ^= static_cast<std::uint8_t>(1 + gen.Below(2));
        }
        FoundLoop found;
        auto why = CheckLoop(song.image, {.detailLog = i % 2 == 1, .allChips = gen.Chance(20)}, &found);
        if (why.empty()) why = CheckBySound(song.image, {.detailLog = i % 2 == 1, .findLoop = i % 4 < 2});
        if (why.empty() && !changed && found.found &&
            (song.loopStart < 0 || found.length != song.loopLength || found.start > song.loopStart)) {
            why = "a loop at compared write " + std::to_string(found.start) + " of " + std::to_string(found.length) +
                  ", the song's at " + std::to_string(song.loopStart) + " of " + std::to_string(song.loopLength);
        }
        if (!why.empty()) ADD_FAILURE() << "song " << kSeed + i << ": " << why, ++failures;
        seen[std::string(changed ? "changed" : "unchanged") + (song.loopStart < 0 ? " song without a loop" : " song with a loop") +
             (found.found ? ", found" : ", none")]++;
    }
    // Nearly every loop is found (a loop the rule picks may fail to replay).
    EXPECT_LE(seen["unchanged song with a loop, none"], seen["unchanged song with a loop, found"] / 50);
    EXPECT_EQ(seen["unchanged song without a loop, found"], 0);
    EXPECT_GE(seen["changed song with a loop, found"], 5);
    if (std::getenv("ZELTA_SHOW_COUNTS"))
        for (const auto& [outcome, n] : seen) std::printf("%6d  %s\n", n, outcome.c_str());
}

// Lead-ins of megabytes, where kept writes alternate with dropped waits in
// runs short and long: the output is gathered in many pieces and several
// batches, which small generated files never fill.
TEST(Properties, LeadInsOfMegabytesConvertAsTheModelSays) {
    StreamGenerator gen(kSeed + 4);
    for (int round = 0; round < 3; ++round) {
        S98Builder b;
        b.Devices({4, 3, 16});
        std::int64_t kept = 0;
        while (kept < (std::int64_t{3} << 20) / (round + 1)) {
            const int run = gen.Chance(90) ? 1 + static_cast<int>(gen.Below(8)) : 150 + static_cast<int>(gen.Below(400));
            for (int k = 0; k < run; ++k) b.Write(static_cast<int>(gen.Below(2)), 0x30, static_cast<std::uint8_t>(k));
            kept += 3 * run;
            if (gen.Chance(10)) b.LoopHere();
            if (gen.Chance(50)) b.Sync(1 + static_cast<int>(gen.Below(3)));
            else b.Write(0, 0x27, 0x15);
        }
        b.Write(0, 0x28, 0xF0).Sync(1000).End().Tag("[S98]title=long");
        const auto image = b.Build();
        const Options options{false, true, false};
        EXPECT_EQ(Disagreement(image, options), "") << "round " << round;
        EXPECT_EQ(CheckConversion(image, ConvertInMemory(image, options), options), "") << "round " << round;
    }
}

TEST(Properties, OutputNamesFollowTheSameRuleInBothReadings) {
    for (const std::string path : {"song.s98", "/music/old.files/song", "/music/a.b.s98", "/music/.s98", "noext",
                                   "dir/.hidden.s98", "a./b", "x.y.z/"}) {
        EXPECT_EQ(FileNamePart(OutputPathFor(path)), model::OutputNameFor(path)) << path;
        S98Builder b;
        b.Sync().Write(0, 0x28, 0xF0).End();
        EXPECT_EQ(Disagreement(b.Build(), {}, path), "") << path;
    }
}

// The file routine only adds loading and writing: the command line, run
// once over a folder of generated files, prints the model's lines for each
// and writes the model's bytes.
TEST(Properties, TheCommandLineWritesWhatTheModelExpectsForGeneratedFiles) {
    namespace fs = std::filesystem;
    const TempFolder folder("zelta-property");
    const fs::path& dir = folder.path();
    StreamGenerator gen(kSeed + 3);
    std::vector<std::string> args{"-v"};
    std::string expected;
    std::vector<model::ModelResult> results;
    int failed = 0;
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i) {
        const auto image = gen.Image();
        const std::string name = "g" + std::to_string(i) + ".s98";
        WriteFile(dir / name, image);
        args.push_back((dir / name).string());
        auto r = model::Convert(image, {false, true, false}, name);
        expected += name + "\n";
        for (const auto& line : r.lines) expected += line.ends_with('\n') ? line : line + "\n";
        expected += r.message.empty() ? "-> ok\n" : "-> " + r.message + "\n";
        failed += !r.message.empty();
        results.push_back(std::move(r));
    }
    const RunResult run = RunZelta(dir, args);
    EXPECT_EQ(run.status, failed > 0 ? 1 : 0);
    EXPECT_EQ(run.out, expected);
    for (int i = 0; i < kFiles; ++i) {
        const auto written = dir / ("g" + std::to_string(i) + "_new.s98");
        if (results[i].written) EXPECT_EQ(ReadFile(written), results[i].output) << written;
        else EXPECT_FALSE(fs::exists(written)) << written;
    }
}

// The generator is only worth its thousands of files if they reach every
// rule. Counted on the model's results, so a rule the generator stops
// reaching fails here rather than passing silently above.
TEST(Properties, GeneratedFilesReachEveryRuleAndEveryMessage) {
    StreamGenerator gen(kSeed);
    std::map<std::string, int> seen;
    for (int i = 0; i < kImages; ++i) {
        const auto image = gen.Image();
        const auto r = model::Convert(image, {false, true, false});
        const auto all = model::Convert(image, {false, true, true});
        const auto space = r.message.find("  ");
        const auto dot = r.message.find(". ");
        seen["message: " + (r.message.empty() ? "none" : r.message.substr(0, space != std::string::npos ? space : dot != std::string::npos ? dot + 1 : r.message.size()))]++;
        if (!r.message.empty()) continue;
        if (r.startOffset == 0) seen["no start"]++;
        if (!r.leftOut.empty()) seen["bytes left out"]++;
        if (all.startOffset != r.startOffset) seen["another chip starts only with all chips"]++;
        for (const auto& u : r.leftOut) {
            if (!u.logged) seen["unlogged port-1 timer write"]++;
            if (u.size == 3 && u.logged) seen["logged timer write"]++;
        }
        if (r.startOffset != 0) {
            const auto s = static_cast<std::size_t>(r.startOffset);
            const int reg = image[s + 1];
            const std::int32_t count = S98Builder::Get(image, 0x1C);
            const std::int32_t type = count == 0 ? 4 : S98Builder::Get(image, 0x20 + 16 * (image[s] >> 1));
            seen["start on type " + std::to_string(type < 0 || type > 16 ? 99 : type)]++;
            if (type >= 2 && type <= 4 && reg == 0x27) seen["start on a CSM mode write"]++;
            if (type == 3 && (reg == 0x2A || reg == 0x2B)) seen["start on the DAC"]++;
            // A 0x27 write in front of the start that the model copies.
            for (std::size_t k = static_cast<std::size_t>(S98Builder::Get(image, 0x14)); k + 2 < s;) {
                const auto c = image[k];
                if (c == 0xFF) { ++k; continue; }
                if (c == 0xFE) { ++k; while (image[k] & 0x80) ++k; ++k; continue; }
                bool dropped = false;
                for (const auto& u : r.leftOut) dropped = dropped || u.offset == static_cast<std::int64_t>(k);
                if (image[k + 1] == 0x27 && !(c & 1) && !dropped) seen["mode-changing 0x27 copied before the start"]++;
                k += 3;
            }
        }
        const std::int64_t loop = S98Builder::Get(image, 0x18);
        for (const auto& u : r.leftOut) {
            if (loop == u.offset) seen["loop on a left-out byte"]++;
            if (u.size == 3 && loop > u.offset && loop < u.offset + 3) seen["loop inside a left-out timer write"]++;
        }
        const std::int64_t tag = S98Builder::Get(image, 0x10), dump = S98Builder::Get(image, 0x14);
        if (tag != 0 && tag < dump) seen["tag before the data"]++;
        if (tag > dump) seen["tag after the data"]++;
        if (tag != 0 && tag == dump) seen["tag at the data offset"]++;
    }
    for (const char* rule : {"message: none", "message: S98 header error.", "message: S98 version error.",
                             "message: data offset error.", "message: tag offset error.",
                             "message: found unexpected EOF.", "message: found corrupted data.", "no start",
                             "bytes left out", "another chip starts only with all chips", "unlogged port-1 timer write",
                             "logged timer write", "start on a CSM mode write", "start on the DAC",
                             "mode-changing 0x27 copied before the start", "loop on a left-out byte",
                             "loop inside a left-out timer write", "tag before the data", "tag after the data",
                             "tag at the data offset", "start on type 1", "start on type 2", "start on type 3",
                             "start on type 4", "start on type 5", "start on type 6", "start on type 7",
                             "start on type 8", "start on type 9", "start on type 15", "start on type 16"}) {
        EXPECT_GE(seen[rule], 5) << rule;
        if (std::getenv("ZELTA_SHOW_COUNTS")) std::printf("%6d  %s\n", seen[rule], rule);
    }
}

}  // namespace
}  // namespace zelta::test
