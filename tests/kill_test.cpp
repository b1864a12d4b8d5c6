// The command line killed with SIGKILL at random moments while it converts
// a large file: whatever the moment, <name>_new.s98 is either the earlier
// file or the complete new one, never a part of it, and a temporary file
// left by the kill is gone after the next run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "file_conversion.h"
#include "s98_builder.h"
#include "temp_folder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kKills = 100;
const char* const kLeftover = ".song_new.s98.zelta-tmp";

pid_t Start(const fs::path& input) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(ZELTA_CLI_PATH, ZELTA_CLI_PATH, input.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

int Finish(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// A 64 MiB song: a lead-in of a million waits and a timer write, then
// register writes up to the end, then a tag.
Bytes LargeSong() {
    S98Builder b;
    b.Sync(1 << 20).Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0);
    Bytes image = b.Build();
    const std::size_t body = (std::size_t{63} << 20) / 3;
    std::size_t at = image.size();
    image.resize(at + body * 3);
    for (std::size_t i = 0; i < body; ++i, at += 3) {
        image[at] = 0x00;
        image[at + 1] = 0x40;
        image[at + 2] = static_cast<std::uint8_t>(i);
    }
    image.push_back(0xFD);
    S98Builder::Put(image, 0x10, static_cast<std::int32_t>(image.size()));
    const std::string tag = "[S98]title=kill";
    image.insert(image.end(), tag.begin(), tag.end());
    return image;
}

// Compares in large reads; the file may be as large as the song.
bool SameAsFile(const fs::path& path, const Bytes& bytes) {
    std::error_code ec;
    if (fs::file_size(path, ec) != bytes.size() || ec) return false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<std::uint8_t> chunk(std::size_t{1} << 20);
    std::size_t at = 0;
    bool same = true;
    while (same && at < bytes.size()) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
        if (n == 0) { same = false; break; }
        same = at + n <= bytes.size() && std::memcmp(chunk.data(), bytes.data() + at, n) == 0;
        at += n;
    }
    std::fclose(f);
    return same && at == bytes.size();
}

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Kills the command line at random moments of its runs over a 64 MiB song.
// `copied`: the song is left to age past the racy margin first, so that
// the kernel copies its kept part on a second thread in every run;
// otherwise every run writes it from the bytes read.
void KillRuns(bool copied) {
    const TempFolder folder("zelta-kill");
    const fs::path& dir = folder.path();
    const fs::path input = dir / "song.s98", output = dir / "song_new.s98";
    const Bytes song = LargeSong();
    WriteFile(input, song);
    if (copied) {
        const std::int64_t margin = FileRules{}.racyMarginNs;
        std::this_thread::sleep_for(std::chrono::nanoseconds(margin + margin / 20));
    }
    const Bytes fresh = ConvertInMemory(song).output;
    const Bytes earlier(777, 0xEE);

    // Whole runs, to know how long one takes here (the middle of three,
    // with the input in the page cache).
    std::vector<long> times;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        ASSERT_EQ(Finish(Start(input)), 0);
        times.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count()));
        ASSERT_TRUE(SameAsFile(output, fresh));
    }
    std::sort(times.begin(), times.end());
    const long whole = times[1];

    std::mt19937 rng(20260);
    std::uniform_int_distribution<long> moment(0, whole * 6 / 5);  // a sixth of the kills come too late
    int keptEarlier = 0, replaced = 0, leftovers = 0;
    for (int i = 0; i < kKills; ++i) {
        if (!SameAsFile(output, earlier)) WriteFile(output, earlier);
        const pid_t pid = Start(input);
        std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
        ::kill(pid, SIGKILL);
        Finish(pid);

        const bool isEarlier = SameAsFile(output, earlier);
        const bool isNew = !isEarlier && SameAsFile(output, fresh);
        ASSERT_TRUE(isEarlier || isNew) << "kill " << i << ": the output is neither the earlier file nor the new one ("
                                        << fs::file_size(output) << " bytes)";
        (isEarlier ? keptEarlier : replaced)++;
        auto names = Names(dir);
        if (names.size() == 3) {
            ASSERT_EQ(names, (std::vector<std::string>{kLeftover, "song.s98", "song_new.s98"})) << "kill " << i;
            ++leftovers;
            // The next run clears it away and completes.
            ASSERT_EQ(Finish(Start(input)), 0);
            EXPECT_TRUE(SameAsFile(output, fresh));
            names = Names(dir);
        }
        ASSERT_EQ(names, (std::vector<std::string>{"song.s98", "song_new.s98"})) << "kill " << i;
    }
    std::printf("%s: one run %ld us; of %d kills the earlier file stayed %d times, the new one was complete %d times, "
                "%d left a temporary file\n", copied ? "copied" : "read", static_cast<long>(whole), kKills,
                keptEarlier, replaced, leftovers);
    EXPECT_GT(keptEarlier, 0);
    EXPECT_GT(replaced, 0);
}

TEST(Kill, TheOutputIsAlwaysTheEarlierFileOrTheCompleteNewOne) { KillRuns(false); }

TEST(Kill, TheOutputIsAlwaysTheEarlierFileOrTheCompleteNewOneWhenTheKernelCopies) { KillRuns(true); }

TEST(Kill, ALeftoverTemporaryFileIsRemovedByTheNextRun) {
    // What a kill between linking the temporary file and renaming it leaves.
    const TempFolder folder("zelta-leftover");
    const fs::path& dir = folder.path();
    S98Builder b;
    b.Sync(4).Write(0, 0x28, 0xF0).End();
    WriteFile(dir / "song.s98", b.Build());
    WriteFile(dir / kLeftover, Bytes(100, 0x55));
    EXPECT_EQ(Finish(Start(dir / "song.s98")), 0);
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"song.s98", "song_new.s98"}));
    EXPECT_EQ(ReadFile(dir / "song_new.s98"), ConvertInMemory(b.Build()).output);
}

}  // namespace
}  // namespace zelta::test
