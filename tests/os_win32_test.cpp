// What Windows does its own way: long paths, devices and pipes as input,
// outputs that cannot be replaced, a replacement refused for a moment, and
// leftovers of an interrupted run.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "os_file.h"
#include "run_zelta.h"
#include "s98_builder.h"
#include "temp_folder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A file held open by another program that shares reading only, as a
// player does: it can be neither written nor deleted nor renamed over.
class Holder {
public:
    explicit Holder(const fs::path& path)
        : h_(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Holder() { Release(); }
    bool held() const { return h_ != INVALID_HANDLE_VALUE; }
    void Release() {
        if (held()) ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_;
};

class Windows : public ::testing::Test {
protected:
    void SetUp() override {
        S98Builder b;
        b.Sync(3).Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0).Sync().End().Tag("[S98]title=win");
        song_ = b.Build();
        fresh_ = ConvertInMemory(song_).output;
        WriteFile(dir_ / "song.s98", song_);
    }
    void TearDown() override {
        // A read-only file would stay behind.
        for (const auto& e : fs::directory_iterator(dir_)) {
            ::SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }

    std::string Convert(const fs::path& input) {
        LineCollector lines;
        return ConvertS98File(input, {}, lines);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempFolder folder_{"zelta-windows"};
    const fs::path dir_ = folder_.path();
    Bytes song_, fresh_;
    const Bytes earlier_ = Bytes(777, 0xEE);
    const std::vector<std::string> kBoth = {"song.s98", "song_new.s98"};
};

TEST_F(Windows, PathsLongerThan260CharactersAreReadAndWritten) {
    fs::path deep = dir_;
    for (char c : {'a', 'b', 'c'}) deep /= std::string(100, c);
    // Made in the extended form, which any length takes.
    ASSERT_TRUE(fs::create_directories(L"\\\\?\\" + deep.native()));
    const fs::path input = deep / "song.s98";
    ASSERT_GT(input.native().size(), 300u);
    WriteFile(L"\\\\?\\" + input.native(), song_);
    EXPECT_EQ(Convert(input), "");
    EXPECT_EQ(ReadFile(L"\\\\?\\" + (deep / "song_new.s98").native()), fresh_);
    // So does the command line, given a relative path.
    const RunResult run = RunZelta(dir_, {"-n", (fs::path(std::string(100, 'a')) / std::string(100, 'b') /
                                                 std::string(100, 'c') / "song.s98").string()});
    EXPECT_EQ(run.out, "song.s98\n" + ConvertInMemory(song_).lines[0] + "-> ok\n");
    // Taken away name by name: remove_all does not walk the extended form.
    for (fs::path p : {deep / "song.s98", deep / "song_new.s98", deep, deep.parent_path(),
                       deep.parent_path().parent_path()}) {
        EXPECT_TRUE(fs::remove(L"\\\\?\\" + p.native())) << p;
    }
}

TEST_F(Windows, DevicesPipesAndFoldersAreRefusedWithoutBlocking) {
    const HANDLE pipe = ::CreateNamedPipeW(L"\\\\.\\pipe\\zelta-test-input", PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    fs::create_directory(dir_ / "folder.s98");
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = RunZelta(dir_, {"NUL", "CON", "nul.s98", "\\\\.\\pipe\\zelta-test-input",
                                          "folder.s98", "C:"},
                                   30);
    ::CloseHandle(pipe);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.out,
              "NUL\n-> input file open error.\n"
              "CON\n-> input file open error.\n"
              "nul.s98\n-> input file open error.\n"
              "zelta-test-input\n-> input file open error.\n"
              "folder.s98\n-> input file open error.\n"
              "\n-> input file open error.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Names(), (std::vector<std::string>{"folder.s98", "song.s98"}));
}

TEST_F(Windows, AReadOnlyOutputIsTheOpenErrorAndStaysUntouched) {
    WriteFile(dir_ / "song_new.s98", earlier_);
    ASSERT_TRUE(::SetFileAttributesW((dir_ / "song_new.s98").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Convert(dir_ / "song.s98"), "output file open error.");
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), earlier_);
    EXPECT_EQ(Names(), kBoth);
}

TEST_F(Windows, AnOutputHeldOpenWithoutDeleteSharingIsTheOpenErrorAndStaysUntouched) {
    WriteFile(dir_ / "song_new.s98", earlier_);
    Holder player(dir_ / "song_new.s98");
    ASSERT_TRUE(player.held());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Convert(dir_ / "song.s98"), "output file open error.");
    const auto waited = std::chrono::steady_clock::now() - start;
    player.Release();
    // Given up after the retries, about 1.3 s.
    EXPECT_GT(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), earlier_);
    EXPECT_EQ(Names(), kBoth);
}

TEST_F(Windows, AnOutputHeldOpenForAMomentIsReplacedOnceItIsFree) {
    WriteFile(dir_ / "song_new.s98", earlier_);
    Holder scanner(dir_ / "song_new.s98");
    ASSERT_TRUE(scanner.held());
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        scanner.Release();
    });
    EXPECT_EQ(Convert(dir_ / "song.s98"), "");
    release.join();
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), fresh_);
    EXPECT_EQ(Names(), kBoth);
}

TEST_F(Windows, AReplacementThatFailsLeavesTheEarlierOutputAndNoTemporary) {
    WriteFile(dir_ / "song_new.s98", earlier_);
    os::ReplacementFile file;
    ASSERT_TRUE(file.Create(dir_ / "song_new.s98"));
    const std::span<const std::uint8_t> piece(fresh_);
    ASSERT_TRUE(file.Write({&piece, 1}));
    // A player opens the earlier output before the new one is renamed over it.
    Holder player(dir_ / "song_new.s98");
    ASSERT_TRUE(player.held());
    EXPECT_FALSE(file.Commit());
    player.Release();
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), earlier_);
    EXPECT_EQ(Names(), kBoth);
}

TEST_F(Windows, AnOutputNameLongerThanANameMayBeIsTheOpenError) {
    // The input's name fits (254 units); with "_new.s98" the output's does not.
    const std::string stem(250, 'a');
    WriteFile(dir_ / (stem + ".s98"), song_);
    EXPECT_EQ(Convert(dir_ / (stem + ".s98")), "output file open error.");
    EXPECT_EQ(Names(), (std::vector<std::string>{stem + ".s98", "song.s98"}));
}

TEST_F(Windows, ALeftoverTemporaryIsReplacedByTheNextRun) {
    WriteFile(dir_ / ".song_new.s98.zelta-tmp", Bytes(100000, 0x55));
    WriteFile(dir_ / "song_new.s98", earlier_);
    EXPECT_EQ(Convert(dir_ / "song.s98"), "");
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), fresh_);
    EXPECT_EQ(Names(), kBoth);
}

}  // namespace
}  // namespace zelta::test
