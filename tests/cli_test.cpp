// The command line: its lines, its exit status, its usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "command_line.h"
#include "run_zelta.h"
#include "s98_builder.h"
#include "temp_folder.h"

namespace zelta::test {
namespace {

namespace fs = std::filesystem;

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        S98Builder b;
        b.Sync().Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0).End();
        WriteFile(dir_ / "a.s98", b.Build());
    }

    RunResult Zelta(const std::vector<std::string>& args) { return RunZelta(dir_, args); }

    TempFolder folder_{"zelta-cli"};
    const fs::path dir_ = folder_.path();
};

TEST_F(Cli, PrintsTheWindowsLinesForEachFileInOrder) {
    fs::create_directory(dir_ / "folder");
    const RunResult r = Zelta({"a.s98", "folder", "a.s98"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "a.s98\n"
              "start offset(1st key-on)=00000024\n"
              "output file:a_new.s98\n"
              "-> ok\n"
              "folder\n"
              "-> input file open error.\n"
              "a.s98\n"
              "start offset(1st key-on)=00000024\n"
              "output file:a_new.s98\n"
              "-> ok\n");
}

TEST_F(Cli, DetailAndStartOnlyOptionsCombine) {
    const RunResult v = Zelta({"-v", dir_.string() + "/a.s98"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out,
              "a.s98\n"
              "start offset(1st key-on)=00000024\n"
              "output file:a_new.s98\n"
              "00000020 : ff       [1sync]\n"
              "00000021 : 00 27 15 [Timer]\n"
              "-> ok\n");
    fs::remove(dir_ / "a_new.s98");
    for (const auto& args : {std::vector<std::string>{"-nv", "a.s98"},
                             std::vector<std::string>{"-v", "-n", "a.s98"},
                             std::vector<std::string>{"a.s98", "-vn"}}) {
        const RunResult n = Zelta(args);
        EXPECT_EQ(n.status, 0);
        EXPECT_EQ(n.out, "a.s98\nstart offset(1st key-on)=00000024\n-> ok\n");
        EXPECT_FALSE(fs::exists(dir_ / "a_new.s98"));
    }
}

TEST_F(Cli, AJapaneseNameIsPrintedInUtf8AndItsCopyWrittenBesideIt) {
    const std::string name = "\u65E5\u672C\u8A9E\u306E\u66F2.s98";
    fs::copy_file(dir_ / "a.s98", dir_ / cli::PathFromUtf8(name));
    const RunResult r = Zelta({"-v", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, name + "\nstart offset(1st key-on)=00000024\n"
                     "output file:\u65E5\u672C\u8A9E\u306E\u66F2_new.s98\n"
                     "00000020 : ff       [1sync]\n00000021 : 00 27 15 [Timer]\n-> ok\n");
    EXPECT_TRUE(fs::exists(dir_ / cli::PathFromUtf8("\u65E5\u672C\u8A9E\u306E\u66F2_new.s98")));
}

TEST_F(Cli, DoubleDashEndsTheOptions) {
    fs::copy_file(dir_ / "a.s98", dir_ / "-n");
    const RunResult r = Zelta({"--", "-n"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-n\nstart offset(1st key-on)=00000024\noutput file:-n_new.s98\n-> ok\n");
    EXPECT_TRUE(fs::exists(dir_ / "-n_new.s98"));
}

TEST_F(Cli, UsageErrorsSayWhatIsWrongAndWhereToReadMoreOnStandardErrorAndExitWithTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no FILE given"},
        {{"-n"}, "no FILE given"},
        {{"-x", "a.s98"}, "unknown option '-x'"},
        {{"-nxv", "a.s98"}, "unknown option '-x'"},
        {{"a.s98", "--bogus"}, "unknown option '--bogus'"},
    };
    for (const auto& [args, what] : cases) {
        const RunResult r = Zelta(args);
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err, "zelta: " + what + "\nTry 'zelta --help' for more information.\n");
    }
    EXPECT_FALSE(fs::exists(dir_ / "a_new.s98"));
}

TEST_F(Cli, HelpAndVersionGoToStandardOutput) {
    const RunResult help = Zelta({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: zelta ", 0), 0u) << help.out;
    const RunResult version = Zelta({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zelta ", 0), 0u);
    EXPECT_EQ(version.out.back(), '\n');
}

TEST_F(Cli, FailuresAreReportedWithTheirMessageAndExitStatusOne) {
    WriteFile(dir_ / "bad.s98", std::vector<std::uint8_t>(40, 0));
    const RunResult r = Zelta({"bad.s98", "missing.s98"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "bad.s98\n-> data offset error. 00000000\n"
              "missing.s98\n-> input file open error.\n");
}

}  // namespace
}  // namespace zelta::test
