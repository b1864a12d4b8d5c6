// Faults forced on the command line from outside: inputs it must refuse
// without blocking or reading, outputs it cannot create or cannot finish.
// Every case checks the exact lines and exit status, that an earlier
// <name>_new.s98 is still there byte for byte, and that no temporary file
// is left in the folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "s98_builder.h"
#include "temp_folder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Run {
    int status = -1;  // exit status, or -1 when it did not exit normally
    bool hung = false;
    std::string out, err;
};

struct Limits {
    std::optional<rlim_t> fileSize;
    std::optional<rlim_t> addressSpace;
};

// Runs the built command line with a hard time limit, so that a fault
// which would make it block fails the test instead of hanging CI.
Run RunZelta(const std::vector<std::string>& args, Limits limits = {}, int seconds = 30) {
    int outPipe[2], errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::close(outPipe[0]); ::close(outPipe[1]); ::close(errPipe[0]); ::close(errPipe[1]);
        ::signal(SIGXFSZ, SIG_DFL);  // the command line must take care of it itself
        if (limits.fileSize) {
            const rlimit rl{*limits.fileSize, *limits.fileSize};
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (limits.addressSpace) {
            const rlimit rl{*limits.addressSpace, *limits.addressSpace};
            ::setrlimit(RLIMIT_AS, &rl);
        }
        std::vector<char*> argv{const_cast<char*>(ZELTA_CLI_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ZELTA_CLI_PATH, argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    Run run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) { run.hung = true; ::kill(pid, SIGKILL); break; }
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const auto n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) { ::close(fds[i].fd); fds[i].fd = -1; --open; continue; }
            (i == 0 ? run.out : run.err).append(buf, static_cast<std::size_t>(n));
        }
    }
    for (auto& f : fds) if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        S98Builder b;
        b.Sync(3).Write(0, 0x27, 0x15).Write(0, 0x28, 0xF0);
        for (int i = 0; i < 4000; ++i) b.Write(0, 0x40, static_cast<std::uint8_t>(i)).Sync();
        b.End().Tag("[S98]title=fault");
        song_ = b.Build();
        earlier_ = Bytes(777, 0xEE);
    }
    void TearDown() override {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }

    // song.s98 and an earlier song_new.s98 in `folder`.
    void Place(const fs::path& folder) {
        WriteFile(folder / "song.s98", song_);
        WriteFile(folder / "song_new.s98", earlier_);
    }
    void ExpectEarlierOutputIntact(const fs::path& folder) {
        EXPECT_EQ(ReadFile(folder / "song_new.s98"), earlier_);
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"song.s98", "song_new.s98"}));
    }
    std::string SongLinesUpToTheOutput() const {
        const auto r = ConvertInMemory(song_);
        return "song.s98\n" + r.lines[0] + r.lines[1];
    }

    // A tmpfs of `size` on the test folder, in a mount namespace of this
    // process alone, so that nothing outlives the test.
    bool MountTmpfs(const std::string& options, std::string& why) {
        if (::unshare(CLONE_NEWNS) != 0) { why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno); return false; }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("making / private: ") + std::strerror(errno);
            return false;
        }
        if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why = std::string("mount -t tmpfs: ") + std::strerror(errno);
            return false;
        }
        mounted_ = true;
        return true;
    }

    TempFolder folder_{"zelta-faults"};
    const fs::path dir_ = folder_.path();
    Bytes song_, earlier_;
    bool mounted_ = false;
};

TEST_F(Faults, InputsThatAreNoRegularFileAreRefusedWithoutBlocking) {
    fs::create_directory(dir_ / "folder.s98");
    ASSERT_EQ(::mkfifo((dir_ / "pipe.s98").c_str(), 0644), 0);
    const auto run = RunZelta({(dir_ / "missing.s98").string(), (dir_ / "folder.s98").string(),
                               (dir_ / "pipe.s98").string(), "/dev/zero"});
    ASSERT_FALSE(run.hung) << "the command line blocked on one of them";
    EXPECT_EQ(run.out,
              "missing.s98\n-> input file open error.\n"
              "folder.s98\n-> input file open error.\n"
              "pipe.s98\n-> input file open error.\n"
              "zero\n-> input file open error.\n");
    EXPECT_EQ(run.err, "4 files: 0 ok, 4 failed\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "pipe_new.s98"));
    EXPECT_FALSE(fs::exists(dir_ / "folder_new.s98"));
}

TEST_F(Faults, AFifoWithAWriterWaitingIsStillNotRead) {
    // A writer on the other end would let a blocking open through; the
    // input must still be refused as no regular file.
    const auto pipe = dir_ / "pipe.s98";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    const int writer = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, song_.data(), 64), 64);
    const auto run = RunZelta({pipe.string()});
    ::close(writer);
    ASSERT_FALSE(run.hung);
    EXPECT_EQ(run.out, "pipe.s98\n-> input file open error.\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(Faults, AFileOfTwoGibibytesIsTooLargeAndLeavesTheEarlierOutputAlone) {
    Place(dir_);
    // Sparse: no block of it is ever allocated, so reading it would show.
    fs::resize_file(dir_ / "song.s98", std::uintmax_t{1} << 31);
    rusage before{}, after{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const auto run = RunZelta({(dir_ / "song.s98").string()});
    ::getrusage(RUSAGE_CHILDREN, &after);
    ASSERT_FALSE(run.hung);
    EXPECT_EQ(run.out, "song.s98\n-> input file too large.\n");
    EXPECT_EQ(run.status, 1);
    // Peak memory of the child stays far below the file's size.
    EXPECT_LT(after.ru_maxrss, 256 * 1024) << "kilobytes";
    ExpectEarlierOutputIntact(dir_);
}

// The sanitizers' shadow memory needs more address space than any limit
// would leave; the plain build runs this.
#if !defined(__SANITIZE_ADDRESS__)
TEST_F(Faults, ALoopSearchWithoutRoomForItsRecordsIsTheMemoryErrorAndLeavesTheEarlierOutput) {
    // 8 MiB of writes: 20 MiB of address space hold the program, the file's
    // conversion and its output, not the search's 8 bytes a write as well.
    S98Builder b;
    b.Write(0, 0x28, 0xF0);
    for (int i = 0; i < (8 << 20) / 3; ++i) b.Write(0, 0x40, static_cast<std::uint8_t>(i));
    song_ = b.End().Build();
    Place(dir_);
    const Limits limits{std::nullopt, rlim_t{20} << 20};
    const auto plain = RunZelta({"-n", (dir_ / "song.s98").string()}, limits);
    EXPECT_EQ(plain.status, 0) << plain.out;
    const auto run = RunZelta({"-l", (dir_ / "song.s98").string()}, limits);
    ASSERT_FALSE(run.hung);
    EXPECT_EQ(run.out, "song.s98\n-> memory allocation error.\n");
    EXPECT_EQ(run.status, 1);
    ExpectEarlierOutputIntact(dir_);
}
#endif

TEST_F(Faults, AFileThatYieldsLessThanItsSizeIsAReadError) {
    // sysfs reports a size of a page for its attributes but reads back
    // only their text: the size and the read disagree, as when a file
    // shrinks between the two.
    std::optional<fs::path> attr;
    for (const char* p : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
                          "/sys/kernel/kexec_loaded", "/sys/power/state"}) {
        struct stat st{};
        if (::stat(p, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 64) continue;
        if (static_cast<off_t>(ReadFile(p).size()) < st.st_size) { attr = p; break; }
    }
    if (!attr) GTEST_SKIP() << "no sysfs attribute whose size exceeds its contents is readable here";
    const auto run = RunZelta({attr->string()});
    EXPECT_EQ(run.out, attr->filename().string() + "\n-> input file read error.\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(Faults, AnOutputNameTooLongForTheSystemCannotBeOpened) {
    // The input's name fits (254 bytes); with "_new.s98" the output's does not.
    const std::string stem(250, 'a');
    WriteFile(dir_ / (stem + ".s98"), song_);
    const auto run = RunZelta({(dir_ / (stem + ".s98")).string()});
    const auto r = ConvertInMemory(song_);
    EXPECT_EQ(run.out, stem + ".s98\n" + r.lines[0] + "output file:" + stem + "_new.s98\n-> output file open error.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(Faults, AFolderInThePlaceOfTheOutputIsNeitherReplacedNorEntered) {
    WriteFile(dir_ / "song.s98", song_);
    fs::create_directory(dir_ / "song_new.s98");
    WriteFile(dir_ / "song_new.s98" / "inside", earlier_);
    const auto run = RunZelta({(dir_ / "song.s98").string()});
    EXPECT_EQ(run.out, SongLinesUpToTheOutput() + "-> output file open error.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(fs::is_directory(dir_ / "song_new.s98"));
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98" / "inside"), earlier_);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "song_new.s98"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(Faults, AFolderThatCannotBeWrittenGivesTheOpenErrorAndKeepsTheEarlierOutput) {
    // Permission bits do not stop root; a read-only mount stops everyone.
    std::string why;
    if (!MountTmpfs("size=1m", why)) GTEST_SKIP() << "cannot mount a file system here (" << why << ")";
    Place(dir_);
    ASSERT_EQ(::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    const auto run = RunZelta({(dir_ / "song.s98").string()});
    EXPECT_EQ(run.out, SongLinesUpToTheOutput() + "-> output file open error.\n");
    EXPECT_EQ(run.status, 1);
    ExpectEarlierOutputIntact(dir_);
}

TEST_F(Faults, AFileSizeLimitGivesTheWriteErrorAndKeepsTheEarlierOutput) {
    Place(dir_);
    ASSERT_GT(song_.size(), 8192u);
    const auto run = RunZelta({(dir_ / "song.s98").string()}, {.fileSize = 4096});
    EXPECT_EQ(run.out, SongLinesUpToTheOutput() + "-> output file write error.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
    ExpectEarlierOutputIntact(dir_);
}

TEST_F(Faults, AFileSizeLimitStopsOnlyTheFilesThatExceedIt) {
    // Among several files, the one that does not fit fails and the run goes on.
    S98Builder small;
    small.Sync().Write(0, 0x28, 0xF0).End();
    WriteFile(dir_ / "a.s98", small.Build());
    Place(dir_);
    WriteFile(dir_ / "c.s98", small.Build());
    const auto run = RunZelta({(dir_ / "a.s98").string(), (dir_ / "song.s98").string(), (dir_ / "c.s98").string()},
                              {.fileSize = 4096});
    const auto s = ConvertInMemory(small.Build(), {}, "a.s98");
    const auto c = ConvertInMemory(small.Build(), {}, "c.s98");
    EXPECT_EQ(run.out, "a.s98\n" + s.lines[0] + s.lines[1] + "-> ok\n" + SongLinesUpToTheOutput() +
                           "-> output file write error.\n" + "c.s98\n" + c.lines[0] + c.lines[1] + "-> ok\n");
    EXPECT_EQ(run.err, "3 files: 2 ok, 1 failed\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadFile(dir_ / "a_new.s98"), s.output);
    EXPECT_EQ(ReadFile(dir_ / "c_new.s98"), c.output);
    EXPECT_EQ(ReadFile(dir_ / "song_new.s98"), earlier_);
}

TEST_F(Faults, AFullFileSystemGivesTheWriteErrorAndKeepsTheEarlierOutput) {
    std::string why;
    if (!MountTmpfs("size=64k", why)) GTEST_SKIP() << "cannot mount a small file system here (" << why << ")";
    // The input takes most of the 64 KiB; its copy cannot fit beside it.
    S98Builder b;
    b.Sync(8).Write(0, 0x28, 0xF0);
    for (int i = 0; i < 13000; ++i) b.Write(0, 0x40, static_cast<std::uint8_t>(i));
    b.End();
    song_ = b.Build();
    ASSERT_GT(song_.size(), 36u * 1024);
    Place(dir_);
    const auto run = RunZelta({(dir_ / "song.s98").string()});
    EXPECT_EQ(run.out, SongLinesUpToTheOutput() + "-> output file write error.\n");
    EXPECT_EQ(run.status, 1);
    ExpectEarlierOutputIntact(dir_);
}

}  // namespace
}  // namespace zelta::test
