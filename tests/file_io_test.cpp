// The file routine: how it reads and replaces the output. What it refuses,
// and its failures, are tested through the command line (fault_test).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "s98_builder.h"
#include "temp_folder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        S98Builder b;
        b.Sync(64).Write(0, 0x28, 0xF0).Sync(4096).End().Tag("tag");
        song_ = b.Build();
    }

    std::string Convert(const fs::path& path, Options options = {}) {
        lines_.lines.clear();
        return ConvertS98File(path, options, lines_);
    }
    // Names in the folder other than the ones given.
    std::vector<std::string> OtherNames(std::initializer_list<std::string> known) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const auto name = e.path().filename().string();
            if (std::find(known.begin(), known.end(), name) == known.end()) names.push_back(name);
        }
        return names;
    }

    TempFolder folder_{"zelta-file-io"};
    const fs::path dir_ = folder_.path();
    Bytes song_;
    LineCollector lines_;
};

TEST_F(FileIo, ASuccessfulConversionWritesTheTrimmedCopyBesideTheInput) {
    WriteFile(dir_ / "song.s98", song_);
    EXPECT_EQ(Convert(dir_ / "song.s98"), "");
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), ConvertInMemory(song_).output);
    EXPECT_EQ(ReadFile(dir_ / "song.s98"), song_);
    EXPECT_TRUE(OtherNames({"song.s98", "song_new.s98"}).empty());
}

TEST_F(FileIo, AShortFileIsAHeaderErrorAfterItIsRead) {
    WriteFile(dir_ / "empty.s98", {});
    EXPECT_EQ(Convert(dir_ / "empty.s98"), "S98 header error.");
    WriteFile(dir_ / "short.s98", Bytes(song_.begin(), song_.begin() + 31));
    EXPECT_EQ(Convert(dir_ / "short.s98"), "S98 header error.");
}

#ifndef _WIN32  // POSIX permissions and links; os_win32_test has Windows' own
TEST_F(FileIo, AnEarlierOutputIsReplacedWithOrdinaryPermissions) {
    WriteFile(dir_ / "song.s98", song_);
    WriteFile(dir_ / "song_new.s98", Bytes(100000, 0xAA));
    ::chmod((dir_ / "song_new.s98").c_str(), 0600);
    const mode_t mask = ::umask(022);
    const std::string message = Convert(dir_ / "song.s98");
    ::umask(mask);
    EXPECT_EQ(message, "");
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), ConvertInMemory(song_).output);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "song_new.s98").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FileIo, ASymbolicLinkWithTheOutputsNameIsReplacedNotFollowed) {
    WriteFile(dir_ / "song.s98", song_);
    WriteFile(dir_ / "precious", Bytes{1, 2, 3});
    fs::create_symlink(dir_ / "precious", dir_ / "song_new.s98");
    EXPECT_EQ(Convert(dir_ / "song.s98"), "");
    EXPECT_FALSE(fs::is_symlink(dir_ / "song_new.s98"));
    EXPECT_EQ(ReadFile(dir_ / "precious"), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), ConvertInMemory(song_).output);
}
#endif

TEST_F(FileIo, ShowStartOnlyWritesNothing) {
    WriteFile(dir_ / "song.s98", song_);
    EXPECT_EQ(Convert(dir_ / "song.s98", {.showStartOnly = true}), "");
    EXPECT_TRUE(OtherNames({"song.s98"}).empty());
}

}  // namespace
}  // namespace zelta::test
