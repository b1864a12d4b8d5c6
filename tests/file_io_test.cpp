// The file routine: how it reads and replaces the output. What it refuses,
// and its failures, are tested through the command line (fault_test).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "file_conversion.h"
#include "generator.h"
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

// ---------------------------------------------------------------------------
// The kernel's copy of a large file

// Trusts any stamp, however recent.
constexpr std::int64_t kAnyStamp = -(std::int64_t{1} << 60);

// What ends a long song's lead-in: the FM key-on; a PSG key-on before the
// lead-in that the FM key-on then confirms as the start; or nothing.
enum class Sounds { kFm, kPsgFirst, kNothing };

// A song long enough for kernel copies: a lead-in of waits and timer
// writes, a body of writes and waits, then, when asked, bytes after the
// end-of-data command and a tag after them.
Bytes LongSong(int leadIn, int body, bool tag, Sounds sounds = Sounds::kFm) {
    S98Builder b;
    b.Devices({4, 1});
    StreamGenerator r(static_cast<std::uint64_t>(leadIn * 7 + body));
    if (sounds == Sounds::kPsgFirst) b.Write(1, 0x08, 0x0F);
    for (int i = 0; i < leadIn; ++i) {
        if (r.Chance(50)) b.Sync(1 + static_cast<int>(r.Below(9)));
        else b.Write(0, 0x27, 0x15);
    }
    if (sounds != Sounds::kNothing) b.Write(0, 0x28, 0xF0);
    b.LoopHere();
    for (int i = 0; i < body; ++i) {
        if (r.Chance(20)) b.NSync({0x85, 0x01});
        else b.Write(0, 0x40, static_cast<std::uint8_t>(r.Below(256)));
    }
    b.End().Raw({1, 2, 3});
    if (tag) b.Tag("[S98]title=long\n");
    return b.Build();
}

#ifndef _WIN32  // the kernel copies large files on POSIX systems; Windows reads them
class CopiedFile : public FileIo {
protected:
    // Converts song.s98 with the kernel's copy forced (any size, any stamp).
    // `change` runs once the stamp is taken, before the file is read.
    std::string ConvertCopied(Options options = {}, std::function<void()> change = {}) {
        copied_ = false;
        lines_.lines.clear();
        FileRules rules{.minCopiedSize = 0, .racyMarginNs = kAnyStamp,
                        .kernelCopies = kernelCopies_};
        rules.beforeRead = [&] {
            copied_ = true;
            if (change) change();
        };
        return ConvertFile(dir_ / "song.s98", options, lines_, rules);
    }
    // "" when the file's conversion matches the in-memory one of `image`.
    std::string Mismatch(const Bytes& image, Options options) {
        fs::remove(dir_ / "song_new.s98");
        const std::string message = ConvertCopied(options);
        const MemoryConversion want = ConvertInMemory(image, options, dir_ / "song.s98");
        if (message != want.message) return "message \"" + message + "\", in memory \"" + want.message + "\"";
        if (lines_.lines != want.lines) return "log lines differ";
        if (fs::exists(dir_ / "song_new.s98") != want.written) return "written differs";
        if (want.written && ReadFile(dir_ / "song_new.s98") != want.output) return "output differs";
        return "";
    }

    bool copied_ = false;
    bool kernelCopies_ = true;
};

// With the kernel's copy and, as where the system has none, without it.
TEST_F(CopiedFile, GivesTheInMemoryResultForGeneratedAndLongSongs) {
    const Options optionSets[] = {{}, {.showStartOnly = true}, {.allChips = true}};
    for (const bool kernelCopies : {true, false}) {
        kernelCopies_ = kernelCopies;
        const std::string way = kernelCopies ? "kernel copy" : "written from the bytes read";
        StreamGenerator gen(0x3A99);
        for (int i = 0; i < 300; ++i) {
            const Bytes image = gen.Image();
            WriteFile(dir_ / "song.s98", image);
            for (const Options options : optionSets) {
                ASSERT_EQ(Mismatch(image, options), "") << "image " << i << ", " << way;
                EXPECT_EQ(copied_, !image.empty());
            }
        }
        for (const bool tag : {false, true}) {
            const Bytes image = LongSong(30000, 200000, tag);
            WriteFile(dir_ / "song.s98", image);
            for (const Options options : optionSets) {
                ASSERT_EQ(Mismatch(image, options), "")
                    << (tag ? "with a tag, " : "without a tag, ") << way;
                EXPECT_TRUE(copied_);
            }
        }
        // Lead-ins of several read windows, which the scan lets go of as it
        // goes: the kernel's copy must still begin at the right byte when
        // the start lies far back or nothing sounds.
        for (const Sounds sounds : {Sounds::kFm, Sounds::kPsgFirst, Sounds::kNothing}) {
            const Bytes image = LongSong(300000, 1000, true, sounds);
            WriteFile(dir_ / "song.s98", image);
            for (const Options options : optionSets) {
                ASSERT_EQ(Mismatch(image, options), "")
                    << "sounds " << static_cast<int>(sounds) << ", " << way;
            }
        }
    }
}

TEST_F(CopiedFile, TheDetailLogAndAFreshlyChangedFileAreWrittenFromTheBytesRead) {
    const Bytes image = LongSong(1000, 1000, true);
    WriteFile(dir_ / "song.s98", image);
    EXPECT_EQ(Mismatch(image, {.detailLog = true}), "");
    EXPECT_FALSE(copied_);
    // Just written: its change time is within the margin of now.
    bool copied = false;
    FileRules rules{.minCopiedSize = 0};
    rules.beforeRead = [&] { copied = true; };
    EXPECT_EQ(ConvertFile(dir_ / "song.s98", {}, lines_, rules), "");
    EXPECT_FALSE(copied);
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), ConvertInMemory(image).output);
}

TEST(StampTrusted, OnlyWhenTheLastChangeIsAtLeastTheMarginOld) {
    struct Case {
        std::int64_t changed, taken, margin;
        bool trusted;
    };
    const Case cases[] = {
        {1000, 5000, 4000, true},   {1001, 5000, 4000, false}, {5000, 5000, 0, true},
        {5001, 5000, 0, false},     {9000, 5000, 4000, false}, {0, 2'000'000'000, 2'000'000'000, true},
    };
    for (const Case& c : cases) {
        const os::FileStamp stamp{.size = 1, .modifiedNs = 0, .changedNs = c.changed, .takenNs = c.taken};
        EXPECT_EQ(StampTrusted(stamp, c.margin), c.trusted)
            << c.changed << " " << c.taken << " " << c.margin;
    }
}

// Each way a file can change once its stamp is taken: rewritten in place
// (the same size, a byte of the body, after the clock has moved on), grown,
// shrunk, emptied. With a short body, and with one longer than the kernel's
// first piece of the copy and several read windows.
class CopiedFileChange : public CopiedFile, public ::testing::WithParamInterface<int> {};

TEST_P(CopiedFileChange, IsAReadErrorAndLeavesTheEarlierOutput) {
    const Bytes image = LongSong(30000, GetParam(), true);
    const fs::path song = dir_ / "song.s98";
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"rewritten", [&] {
             std::this_thread::sleep_for(std::chrono::milliseconds(50));
             const int fd = ::open(song.c_str(), O_WRONLY);
             const std::uint8_t value = 0x41;
             ASSERT_EQ(::pwrite(fd, &value, 1, static_cast<off_t>(image.size() / 2)), 1);
             ::close(fd);
         }},
        {"grown", [&] { fs::resize_file(song, image.size() + 1); }},
        {"shrunk", [&] { fs::resize_file(song, image.size() / 3); }},
        {"emptied", [&] { fs::resize_file(song, 0); }},
    };
    for (const auto& [name, change] : changes) {
        WriteFile(song, image);
        WriteFile(dir_ / "song_new.s98", Bytes{7, 7, 7});
        EXPECT_EQ(ConvertCopied({}, change), "input file read error.") << name;
        EXPECT_TRUE(copied_) << name;
        EXPECT_TRUE(lines_.lines.empty()) << name;
        EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), (Bytes{7, 7, 7})) << name;
        EXPECT_TRUE(OtherNames({"song.s98", "song_new.s98"}).empty()) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(ShortAndLongBodies, CopiedFileChange,
                         ::testing::Values(200000, 2000000));
#endif

}  // namespace
}  // namespace zelta::test
