// The command line beyond single files: --all-chips, -r over folders, and
// the closing count.
#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "batch.h"
#include "command_line.h"
#include "file_walk.h"
#include "run_zelta.h"
#include "s98_builder.h"
#include "temp_folder.h"

namespace zelta::cli {
namespace {

namespace fs = std::filesystem;
using zelta::test::ReadFile;
using zelta::test::RunResult;
using zelta::test::S98Builder;
using zelta::test::TempFolder;
using zelta::test::WriteFile;

// ---------------------------------------------------------------------------
// Helpers

RunResult RunZelta(const TempFolder& folder, const std::vector<std::string>& args,
                   const std::vector<std::string>& launcher = {}) {
    return zelta::test::RunZelta(folder.path(), args, 60, launcher);
}

// The file-name lines of a run's output: each file's first line.
std::vector<std::string> ConvertedNames(const std::string& out) {
    std::vector<std::string> names;
    std::istringstream in(out);
    bool nextIsName = true;
    for (std::string line; std::getline(in, line);) {
        if (nextIsName) names.push_back(line);
        nextIsName = line.rfind("-> ", 0) == 0;
    }
    return names;
}

// A song of an OPN2 (YM2612) that keys on after two waits.
std::vector<std::uint8_t> Song() {
    S98Builder b;
    b.Devices({3}).Sync(2).Write(0, 0x28, 0xF0).Sync().End();
    return b.Build();
}

// Too short to hold a header.
const std::vector<std::uint8_t> kBroken = {'S', '9', '8', '3'};

void Touch(const fs::path& path, const std::vector<std::uint8_t>& bytes = Song()) {
    fs::create_directories(path.parent_path());
    WriteFile(path, bytes);
}

// ---------------------------------------------------------------------------
// The arguments

TEST(ParsingTheNewOptions, AllChipsSetsTheCoreOptionAndNothingElse) {
    const Request r = ParseArguments({"--all-chips", "a.s98"});
    EXPECT_EQ(r.action, Action::kConvert);
    EXPECT_TRUE(r.options.allChips);
    EXPECT_FALSE(r.options.showStartOnly);
    EXPECT_FALSE(r.options.detailLog);
    EXPECT_FALSE(r.recursive);
    EXPECT_FALSE(ParseArguments({"a.s98"}).options.allChips);
}

TEST(ParsingTheNewOptions, RecursiveIsAFlagSpelledShortLongOrGroupedAnywhere) {
    EXPECT_TRUE(ParseArguments({"-r", "dir"}).recursive);
    EXPECT_TRUE(ParseArguments({"--recursive", "dir"}).recursive);
    EXPECT_TRUE(ParseArguments({"dir", "-r"}).recursive);
    const Request grouped = ParseArguments({"-nrv", "dir", "b.s98"});
    EXPECT_TRUE(grouped.recursive);
    EXPECT_TRUE(grouped.options.showStartOnly);
    EXPECT_TRUE(grouped.options.detailLog);
    EXPECT_EQ(grouped.files, (std::vector<fs::path>{"dir", "b.s98"}));
    EXPECT_FALSE(ParseArguments({"dir"}).recursive);
}

TEST(ParsingTheNewOptions, LoopAndBySoundAreFlagsSpelledShortLongOrGroupedWithTheOthers) {
    struct Row {
        std::vector<std::string> args;
        bool n, v, l, s, r;
    };
    const Row rows[] = {
        {{"-l", "a"}, 0, 0, 1, 0, 0},          {{"--loop", "a"}, 0, 0, 1, 0, 0},
        {{"-nl", "a"}, 1, 0, 1, 0, 0},         {{"a", "-lr"}, 0, 0, 1, 0, 1},
        {{"-nlr", "a"}, 1, 0, 1, 0, 1},        {{"-nv", "a"}, 1, 1, 0, 0, 0},
        {{"-s", "a"}, 0, 0, 0, 1, 0},          {{"--by-sound", "a"}, 0, 0, 0, 1, 0},
        {{"-sl", "a"}, 0, 0, 1, 1, 0},         {{"-sr", "a"}, 0, 0, 0, 1, 1},
        {{"-nsv", "a"}, 1, 1, 0, 1, 0},        {{"--", "-l", "-s"}, 0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        const Request r = ParseArguments(row.args);
        EXPECT_EQ(r.action, Action::kConvert) << row.args[0];
        EXPECT_EQ(std::vector<bool>({r.options.showStartOnly, r.options.detailLog, r.options.findLoop,
                                     r.options.bySound, r.recursive}),
                  std::vector<bool>({row.n, row.v, row.l, row.s, row.r}))
            << row.args[0];
    }
    EXPECT_EQ(ParseArguments({"--loops", "a"}).error, "unknown option '--loops'");
    EXPECT_EQ(ParseArguments({"-S", "a"}).error, "unknown option '-S'");
}

TEST(ParsingTheNewOptions, AfterDoubleDashTheyAreFileNames) {
    const Request r = ParseArguments({"--", "-r", "--all-chips"});
    EXPECT_FALSE(r.recursive);
    EXPECT_FALSE(r.options.allChips);
    EXPECT_EQ(r.files, (std::vector<fs::path>{"-r", "--all-chips"}));
}

TEST(ParsingTheNewOptions, StillNeedAFileAndRejectLookalikes) {
    EXPECT_EQ(ParseArguments({"-r"}).error, "no FILE given");
    EXPECT_EQ(ParseArguments({"--all-chips"}).error, "no FILE given");
    EXPECT_EQ(ParseArguments({"--all-chip", "a"}).error, "unknown option '--all-chip'");
    EXPECT_EQ(ParseArguments({"-rx", "a"}).error, "unknown option '-x'");
    EXPECT_EQ(ParseArguments({"-R", "a"}).error, "unknown option '-R'");
}

// ---------------------------------------------------------------------------
// --all-chips: every chip family outside the OPN family

struct ChipCase {
    const char* name;
    std::int32_t type;
    // A write that makes no sound (copied in both modes), then the key-on.
    std::uint8_t quietReg, quietValue;
    std::uint8_t keyReg, keyValue;
    int keyPort;
};

void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.name; }

class AllChipsOnAChipWithoutOpn : public testing::TestWithParam<ChipCase> {
protected:
    // Two waits, the quiet write, a wait, the key-on, a wait, the end.
    std::vector<std::uint8_t> Image(bool leadIn) const {
        const ChipCase& c = GetParam();
        S98Builder b;
        b.Devices({c.type});
        if (leadIn) b.Sync(2);
        b.Write(0, c.quietReg, c.quietValue);
        if (leadIn) b.Sync();
        b.Write(0, c.keyReg, c.keyValue, c.keyPort).Sync().End();
        return b.Build();
    }
    static std::string Lines(const char* start) {
        return std::string("song.s98\nstart offset(1st key-on)=") + start +
               "\noutput file:song_new.s98\n-> ok\n";
    }
    TempFolder folder;
};

TEST_P(AllChipsOnAChipWithoutOpn, StartsAtThatChipsFirstKeyOn) {
    WriteFile(folder / "song.s98", Image(true));
    const RunResult run = RunZelta(folder, {"--all-chips", "song.s98"});
    EXPECT_EQ(run.status, 0);
    // Data at 0x30 (one device entry): 2 waits and a 3-byte write first.
    EXPECT_EQ(run.out, Lines("00000036"));
    EXPECT_EQ(run.err, "");
    // The waits are gone; the quiet write is kept.
    EXPECT_EQ(ReadFile(folder / "song_new.s98"), Image(false));
}

TEST_P(AllChipsOnAChipWithoutOpn, IsLeftUnchangedByDefault) {
    WriteFile(folder / "song.s98", Image(true));
    const RunResult run = RunZelta(folder, {"song.s98"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines("00000000"));
    EXPECT_EQ(ReadFile(folder / "song_new.s98"), Image(true));
}

INSTANTIATE_TEST_SUITE_P(
    EachFamily, AllChipsOnAChipWithoutOpn,
    testing::Values(ChipCase{"OPM", 5, 0x20, 0xC7, 0x08, 0x78, 0},
                    ChipCase{"OPLL", 6, 0x10, 0xAB, 0x20, 0x10, 0},
                    ChipCase{"OPL", 7, 0xA0, 0x41, 0xB0, 0x20, 0},
                    ChipCase{"OPL2", 8, 0xA0, 0x41, 0xB0, 0x20, 0},
                    ChipCase{"OPL3", 9, 0xA0, 0x41, 0xB0, 0x20, 0},
                    ChipCase{"OPL3SecondPort", 9, 0xA0, 0x41, 0xB0, 0x20, 1},
                    ChipCase{"PSG", 1, 0x07, 0x38, 0x08, 0x0F, 0},
                    ChipCase{"AY38910", 15, 0x07, 0x38, 0x09, 0x01, 0},
                    ChipCase{"DCSG", 16, 0x00, 0x85, 0x00, 0x90, 0}),
    [](const testing::TestParamInfo<ChipCase>& info) { return std::string(info.param.name); });

TEST(AllChips, KeepsOpnTimerWritesOutAndOtherChipsWritesIn) {
    TempFolder folder;
    // OPNA (type 4) and OPM: an OPNA timer write repeating the normal mode
    // is left out before the OPM key-on; the OPM's own timer write is kept.
    S98Builder in;
    in.Devices({4, 5}).Sync().Write(0, 0x27, 0x15).Write(1, 0x14, 0x15).Sync();
    in.Write(1, 0x08, 0x08).Sync().End();
    WriteFile(folder / "song.s98", in.Build());
    const RunResult run = RunZelta(folder, {"--all-chips", "-v", "song.s98"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "song.s98\nstart offset(1st key-on)=00000048\n"
              "output file:song_new.s98\n"
              "00000040 : ff       [1sync]\n"
              "00000041 : 00 27 15 [Timer]\n"
              "00000047 : ff       [1sync]\n"
              "-> ok\n");
    S98Builder out;
    out.Devices({4, 5}).Write(1, 0x14, 0x15).Write(1, 0x08, 0x08).Sync().End();
    EXPECT_EQ(ReadFile(folder / "song_new.s98"), out.Build());
}

// ---------------------------------------------------------------------------
// Which names a folder search takes

TEST(TheNamesAFolderSearchTakes, EndInS98InAnyCaseButNotInNewS98) {
    for (const char* yes : {"a.s98", "A.S98", "a.S98", "tune.s98", ".s98", "new.s98",
                            "a-new.s98", "a_new.s98.s98"}) {
        EXPECT_TRUE(IsS98InputName(yes)) << yes;
    }
    for (const char* no : {"a_new.s98", "A_NEW.S98", "a_New.s98", "_new.s98", "a.s98.bak",
                           "a.s9", "as98", "s98", "a.txt", ""}) {
        EXPECT_FALSE(IsS98InputName(no)) << no;
    }
}

// ---------------------------------------------------------------------------
// -r over folders

TEST(RecursiveConversion, TakesTheFilesInSortedPathOrderWithSubfoldersInPlace) {
    TempFolder folder;
    // Made in an order unlike the sorted one. (Windows does not tell "K"
    // from "k", so the capital folder is "L".)
    for (const char* name : {"music/m.s98", "music/k/z.s98", "music/ka.s98", "music/k.s98",
                             "music/L/y.S98", "music/k/b/x.s98", "music/\U0001F3B5.s98",
                             "music/\uFF71.s98", "music/\u30AB.s98"}) {
        Touch(folder.path() / PathFromUtf8(name));
    }
    const RunResult run = RunZelta(folder, {"-n", "-r", "music"});
    EXPECT_EQ(run.status, 0);
    // Element by element, in the bytes of UTF-8: "L" < "k" < "k.s98" <
    // "ka.s98", and U+30AB < U+FF71 < U+1F3B5 (in UTF-16 units U+1F3B5 would
    // come first).
    EXPECT_EQ(ConvertedNames(run.out),
              (std::vector<std::string>{"y.S98", "x.s98", "z.s98", "k.s98", "ka.s98", "m.s98",
                                        "\u30AB.s98", "\uFF71.s98", "\U0001F3B5.s98"}));
    EXPECT_EQ(run.err, "9 files: 9 ok, 0 failed\n");
}

TEST(RecursiveConversion, SkipsEarlierOutputsAndOtherNames) {
    TempFolder folder;
    Touch(folder / "music/song.s98");
    Touch(folder / "music/old_NEW.S98");
    Touch(folder / "music/song.s98.bak");
    Touch(folder / "music/notes.txt");
    const RunResult first = RunZelta(folder, {"-r", "music"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(ConvertedNames(first.out), (std::vector<std::string>{"song.s98"}));
    EXPECT_EQ(first.err, "");
    EXPECT_TRUE(fs::exists(folder / "music/song_new.s98"));
    EXPECT_FALSE(fs::exists(folder / "music/old_NEW_new.s98"));
    // Run again: the copy the first run wrote is not taken as an input.
    const RunResult second = RunZelta(folder, {"-r", "music"});
    EXPECT_EQ(ConvertedNames(second.out), (std::vector<std::string>{"song.s98"}));
    EXPECT_FALSE(fs::exists(folder / "music/song_new_new.s98"));
}

#ifndef _WIN32  // a Windows program under wine cannot make links
TEST(RecursiveConversion, DoesNotFollowSymbolicLinksToFolders) {
    TempFolder folder;
    Touch(folder / "music/inner.s98");
    Touch(folder / "elsewhere/far.s98");
    fs::create_directory_symlink("../elsewhere", folder / "music/link");
    fs::create_directory_symlink("../elsewhere", folder / "music/looks_like.s98");
    const RunResult run = RunZelta(folder, {"-r", "music"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ConvertedNames(run.out), (std::vector<std::string>{"inner.s98"}));
    EXPECT_FALSE(fs::exists(folder / "elsewhere/far_new.s98"));
}

TEST(RecursiveConversion, TakesALinkToAFileAsThatFileAndIgnoresADanglingOne) {
    TempFolder folder;
    Touch(folder / "elsewhere/real.s98");
    fs::create_directories(folder / "music");
    fs::create_symlink("../elsewhere/real.s98", folder / "music/alias.s98");
    fs::create_symlink("../elsewhere/gone.s98", folder / "music/dangling.s98");
    const RunResult run = RunZelta(folder, {"-r", "music"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ConvertedNames(run.out), (std::vector<std::string>{"alias.s98"}));
    EXPECT_TRUE(fs::exists(folder / "music/alias_new.s98"));
}

TEST(RecursiveConversion, WalksAFolderNamedThroughALink) {
    TempFolder folder;
    Touch(folder / "music/inner.s98");
    fs::create_directory_symlink("music", folder / "shortcut");
    const RunResult run = RunZelta(folder, {"-r", "shortcut"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ConvertedNames(run.out), (std::vector<std::string>{"inner.s98"}));
}
#endif

TEST(RecursiveConversion, GoesOnPastAFailingFileAndExitsWithOne) {
    TempFolder folder;
    Touch(folder / "music/a.s98");
    Touch(folder / "music/b.s98", kBroken);
    Touch(folder / "music/c.s98");
    const RunResult run = RunZelta(folder, {"-r", "music"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "a.s98\nstart offset(1st key-on)=00000032\noutput file:a_new.s98\n-> ok\n"
              "b.s98\n-> S98 header error.\n"
              "c.s98\nstart offset(1st key-on)=00000032\noutput file:c_new.s98\n-> ok\n");
    EXPECT_EQ(run.err, "3 files: 2 ok, 1 failed\n");
    S98Builder trimmed;
    trimmed.Devices({3}).Write(0, 0x28, 0xF0).Sync().End();
    EXPECT_EQ(ReadFile(folder / "music/a_new.s98"), trimmed.Build());
    EXPECT_EQ(ReadFile(folder / "music/c_new.s98"), trimmed.Build());
    EXPECT_FALSE(fs::exists(folder / "music/b_new.s98"));
}

TEST(RecursiveConversion, ConvertsNamedFilesInTheirPlaceAmongFolders) {
    TempFolder folder;
    Touch(folder / "one/x.s98");
    Touch(folder / "two/y.s98");
    Touch(folder / "loose.bin");  // named, so taken whatever its name
    const RunResult run = RunZelta(folder, {"-n", "two", "loose.bin", "-r", "one", "missing.s98"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ConvertedNames(run.out),
              (std::vector<std::string>{"y.s98", "loose.bin", "x.s98", "missing.s98"}));
    EXPECT_NE(run.out.find("missing.s98\n-> input file open error.\n"), std::string::npos);
    EXPECT_EQ(run.err, "4 files: 3 ok, 1 failed\n");
}

TEST(RecursiveConversion, OfAnEmptyFolderPrintsNothingAndSucceeds) {
    TempFolder folder;
    fs::create_directories(folder / "empty/sub");
    const RunResult run = RunZelta(folder, {"-r", "empty"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

#ifndef _WIN32  // POSIX permissions
// Permissions do not stop root, so as root (CI) the command line runs as
// the unprivileged user `nobody`, from a copy of the program in a folder
// that user can reach, over a folder tree it can read but for one folder.
TEST(RecursiveConversion, ReportsAFolderItCannotReadAndGoesOn) {
    TempFolder folder;
    Touch(folder / "music/a.s98");
    Touch(folder / "music/locked/hidden.s98");
    Touch(folder / "music/z.s98");
    std::vector<std::string> runAs;
    TempFolder programFolder;
    fs::path program = ZELTA_CLI_PATH;
    const auto reachable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    if (::geteuid() == 0) {
        program = programFolder / "zelta";
        runAs = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", program.string()};
        fs::copy_file(ZELTA_CLI_PATH, program);
        fs::permissions(programFolder.path(), reachable);
        fs::permissions(folder.path(), reachable);
    }
    fs::permissions(folder / "music/locked", fs::perms::none);
    const RunResult run = RunZelta(folder, {"-n", "-r", "music"}, runAs);
    fs::permissions(folder / "music/locked", reachable);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ConvertedNames(run.out), (std::vector<std::string>{"a.s98", "z.s98"}));
    EXPECT_EQ(run.err,
              "zelta: cannot read folder 'music/locked': Permission denied\n"
              "2 files: 2 ok, 0 failed; 1 folder could not be read\n");
}
#endif

TEST(WithoutRecursive, AFolderIsAFileThatCannotBeOpened) {
    TempFolder folder;
    Touch(folder / "music/a.s98");
    const RunResult run = RunZelta(folder, {"music"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "music\n-> input file open error.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(fs::exists(folder / "music/a_new.s98"));
}

TEST(TheClosingCount, ComesOnlyWhenMoreThanOneFileWasConverted) {
    TempFolder folder;
    Touch(folder / "a.s98");
    Touch(folder / "b.s98", kBroken);
    EXPECT_EQ(RunZelta(folder, {"-n", "a.s98"}).err, "");
    EXPECT_EQ(RunZelta(folder, {"-n", "b.s98"}).err, "");
    const RunResult two = RunZelta(folder, {"-n", "a.s98", "b.s98"});
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.err, "2 files: 1 ok, 1 failed\n");
}

// ---------------------------------------------------------------------------
// The pieces under the command

TEST(FindingS98Files, RecordsAFolderThatCannotBeListedInsteadOfThrowing) {
    TempFolder folder;
    Touch(folder / "plain.s98");
    const FolderContents missing = FindS98Files(folder / "missing");
    EXPECT_TRUE(missing.files.empty());
    ASSERT_EQ(missing.errors.size(), 1u);
    EXPECT_EQ(missing.errors[0].folder, folder / "missing");
    EXPECT_EQ(missing.errors[0].reason, "No such file or directory");
    const FolderContents notFolder = FindS98Files(folder / "plain.s98");
    ASSERT_EQ(notFolder.errors.size(), 1u);
    EXPECT_EQ(notFolder.errors[0].reason, "Not a directory");
}

TEST(TheSummaryLine, CountsFilesAndUnreadableFoldersInPlainWords) {
    EXPECT_EQ(SummaryLine({0, 0, 0}), "");
    EXPECT_EQ(SummaryLine({1, 0, 0}), "");
    EXPECT_EQ(SummaryLine({2, 2, 0}), "2 files: 2 ok, 0 failed");
    EXPECT_EQ(SummaryLine({3, 2, 0}), "3 files: 2 ok, 1 failed");
    EXPECT_EQ(SummaryLine({1, 1, 1}), "1 file: 1 ok, 0 failed; 1 folder could not be read");
    EXPECT_EQ(SummaryLine({0, 0, 2}), "0 files: 0 ok, 0 failed; 2 folders could not be read");
    EXPECT_EQ(ExitStatusFor({2, 2, 0}), kExitOk);
    EXPECT_EQ(ExitStatusFor({2, 1, 0}), kExitFailed);
    EXPECT_EQ(ExitStatusFor({2, 2, 1}), kExitFailed);
}

}  // namespace
}  // namespace zelta::cli
