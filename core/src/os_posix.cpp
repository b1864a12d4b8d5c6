// POSIX implementation of the core's operating-system calls.
#include "os_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
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

// A large image goes into a mapping of its own, aligned to and advised for
// huge pages: loading it then takes one page fault per 2 MiB instead of one
// per 4 KiB page, which on virtual machines is most of the time spent
// loading a large file. Smaller images come from the heap, where memory
// freed by the file before is used again.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::unique_ptr<std::uint8_t[], ImageRelease> AllocateImage(std::int64_t size) {
    const auto bytes = static_cast<std::size_t>(size > 0 ? size : 1);
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugePage) {
        const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
        void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            const auto first = (reinterpret_cast<std::uintptr_t>(mapping) + kHugePage - 1) &
                               ~std::uintptr_t{kHugePage - 1};
            auto* aligned = reinterpret_cast<std::uint8_t*>(first);
            ::madvise(aligned, bytes, MADV_HUGEPAGE);  // a hint; without it 4 KiB pages serve
            return {aligned, ImageRelease{mapping, length}};
        }
    }
#endif
    return {new (std::nothrow) std::uint8_t[bytes], ImageRelease{}};
}

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

}  // namespace

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

void ImageRelease::operator()(std::uint8_t* bytes) const {
    if (mapping != nullptr) {
        ::munmap(mapping, mappedBytes);
    } else {
        delete[] bytes;
    }
}

ReadStatus ReadWholeFile(const std::filesystem::path& path, std::int64_t limit, FileBytes& out) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return ReadStatus::kOpenFailed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseFd(fd);
        return ReadStatus::kOpenFailed;
    }
    const std::int64_t size = st.st_size;
    if (size >= limit) {
        CloseFd(fd);
        return ReadStatus::kTooLarge;
    }
    auto data = AllocateImage(size);
    if (!data) {
        CloseFd(fd);
        return ReadStatus::kNoMemory;
    }
    std::int64_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data.get() + done, static_cast<std::size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    CloseFd(fd);
    if (done < size) return ReadStatus::kShortRead;
    out.data = std::move(data);
    out.size = size;
    return ReadStatus::kOk;
}

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
