// POSIX implementation of the core's operating-system calls.
#include "os_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <functional>
#include <new>
#include <string_view>
#include <vector>

namespace zelta::os {
namespace {

constexpr std::string_view kTemporarySuffix = ".zelta-tmp";
constexpr std::size_t kNameMax = 255;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as for any new file

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The hidden name the new file takes just before it is renamed over the
// target: ".<target name>.zelta-tmp", or a hashed name when that is too long.
std::filesystem::path TemporaryNameFor(const std::filesystem::path& target) {
    const std::string name = target.filename().native();
    std::string temporary;
    if (name.size() + 1 + kTemporarySuffix.size() <= kNameMax) {
        temporary = "." + name + std::string(kTemporarySuffix);
    } else {
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(name));
        temporary = ".zelta-" + std::string(hash) + std::string(kTemporarySuffix);
    }
    return target.parent_path() / temporary;
}

std::filesystem::path FolderOf(const std::filesystem::path& target) {
    const auto parent = target.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

// Whether the folder accepts the target's name. An unnamed file gets its
// name only at the end, so a name the system refuses must be caught first.
bool NameFits(const std::filesystem::path& target) {
    errno = 0;
    const long max = ::pathconf(FolderOf(target).c_str(), _PC_NAME_MAX);
    const auto limit = max > 0 ? static_cast<std::size_t>(max) : kNameMax;
    return target.filename().native().size() <= limit;
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

int OpenNamedTemporary(const std::filesystem::path& temporary) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(temporary.c_str(), flags, kNewFileMode);
    if (fd < 0 && errno == EEXIST) {
        // A leftover of an interrupted run.
        ::unlink(temporary.c_str());
        fd = ::open(temporary.c_str(), flags, kNewFileMode);
    }
    return fd;
}

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t Nanos(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

std::int64_t ClockNowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanos(now);
}

FileStamp StampOf(const struct stat& st, std::int64_t takenNs) {
    return FileStamp{st.st_size, Nanos(st.st_mtim), Nanos(st.st_ctim), takenNs};
}

}  // namespace

std::optional<FileStamp> InputFile::StampNow() const {
    const std::int64_t taken = ClockNowNs();
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    return StampOf(st, taken);
}

void AdviseHugePages(void* p, std::size_t size) {
#ifdef MADV_HUGEPAGE
    const auto from = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const auto to = (reinterpret_cast<std::uintptr_t>(p) + size) & ~std::uintptr_t{kHugePage - 1};
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

void PrefaultPages(void* p, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(page - 1);
    // Older kernels refuse the advice: the pages are then faulted one by one.
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)size;
#endif
}

InputFile::~InputFile() { CloseFd(fd_); }

OpenStatus InputFile::Open(const std::filesystem::path& path, std::int64_t limit) {
    CloseFd(fd_);
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    openStamp_.reset();
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return OpenStatus::kOpenFailed;
    const std::int64_t taken = ClockNowNs();
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseFd(fd_);
        return OpenStatus::kOpenFailed;
    }
    size_ = st.st_size;
    openStamp_ = StampOf(st, taken);
    if (size_ >= limit) {
        CloseFd(fd_);
        return OpenStatus::kTooLarge;
    }
    return OpenStatus::kOk;
}

std::int64_t InputFile::Read(std::uint8_t* into, std::int64_t max) {
    if (fd_ < 0) return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, into, static_cast<std::size_t>(max));
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : n;
    }
}

bool InputFile::Rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

bool ReplacementFile::Create(const std::filesystem::path& target) {
    Discard();
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
    if (!NameFits(target)) return false;
    target_ = target;
#ifdef O_TMPFILE
    fd_ = ::open(FolderOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    if (fd_ >= 0) {
        unnamed_ = true;
        return true;
    }
#endif
    // No unnamed files here: write under the hidden name from the start.
    temporary_ = TemporaryNameFor(target);
    fd_ = OpenNamedTemporary(temporary_);
    if (fd_ < 0) {
        temporary_.clear();
        return false;
    }
    unnamed_ = false;
    return true;
}

bool ReplacementFile::Write(std::span<const std::span<const std::uint8_t>> pieces) {
    if (fd_ < 0) return false;
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (const auto& piece : pieces) {
        if (!piece.empty()) {
            iov.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
        }
    }
    std::size_t first = 0;
    while (first < iov.size()) {
        const std::size_t count = std::min<std::size_t>(iov.size() - first, IOV_MAX);
        const ssize_t n = ::writev(fd_, iov.data() + first, static_cast<int>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        // Step over what was written, which may end inside a piece.
        auto left = static_cast<std::size_t>(n);
        while (first < iov.size() && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (left > 0) {
            iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return true;
}

ReplacementFile::CopyStatus ReplacementFile::CopyFrom(const InputFile& input, std::int64_t offset,
                                                      std::int64_t length) {
    if (fd_ < 0 || input.fd_ < 0) return CopyStatus::kFailed;
#if defined(__linux__) && !defined(__EMSCRIPTEN__)
    off_t from = offset;
    bool first = true;
    while (length > 0) {
        const ssize_t n = ::copy_file_range(input.fd_, &from, fd_, nullptr,
                                            static_cast<std::size_t>(length), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && first &&
            (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
            return CopyStatus::kUnsupported;
        }
        if (n <= 0) return CopyStatus::kFailed;  // an error, or the input ended early
        first = false;
        length -= n;
    }
    return CopyStatus::kCopied;
#else
    (void)offset;
    (void)length;
    return CopyStatus::kUnsupported;
#endif
}

bool ReplacementFile::CutTo(std::int64_t length) {
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_size < length) return false;
    return ::ftruncate(fd_, length) == 0 && ::lseek(fd_, length, SEEK_SET) == length;
}

bool ReplacementFile::Link() {
    temporary_ = TemporaryNameFor(target_);
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
#ifdef AT_EMPTY_PATH
        if (errno != EEXIST &&
            ::linkat(fd_, "", AT_FDCWD, temporary_.c_str(), AT_EMPTY_PATH) == 0) {
            return true;
        }
#endif
        if (errno != EEXIST) break;
        ::unlink(temporary_.c_str());  // a leftover of an interrupted run
    }
    temporary_.clear();
    return false;
}

bool ReplacementFile::Commit() {
    if (fd_ < 0) return false;
    // The new file is complete only when its close succeeds; only then may
    // it take the target's name.
    if (unnamed_ && !Link()) {
        Discard();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Discard();
        return false;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void ReplacementFile::Discard() {
    CloseFd(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    unnamed_ = false;
}

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace zelta::os
