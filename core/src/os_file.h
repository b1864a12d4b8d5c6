// The operating-system calls of the core, behind plain functions: reading a
// regular file without ever blocking on a special file, and replacing a file
// safely (a temporary file renamed over it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace zelta::os {

enum class OpenStatus {
    kOk,
    kOpenFailed,  // missing, unreadable, or not a regular file
    kTooLarge,    // `limit` bytes or more
};

// A regular file opened for reading front to back.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Opens `path` when it is a regular file smaller than `limit` bytes.
    OpenStatus Open(const std::filesystem::path& path, std::int64_t limit);
    // Its size when it was opened.
    std::int64_t size() const { return size_; }
    // Reads up to `max` bytes; returns how many, 0 at the file's end, or -1.
    std::int64_t Read(std::uint8_t* into, std::int64_t max);

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // a HANDLE; nullptr when closed
#else
    int fd_ = -1;
#endif
    std::int64_t size_ = 0;
};

// Asks for huge pages for the whole 2 MiB stretches of [p, p + size) that
// have not been touched yet; a hint that may be ignored.
void AdviseHugePages(void* p, std::size_t size);

// A new file being written beside `target`, which it replaces on commit.
// Until then `target` is untouched; an abandoned file leaves nothing behind
// (or, where the system cannot create unnamed files, a hidden temporary that
// the next write of the same target replaces).
class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() { Discard(); }

    // False when the file cannot be created (no such folder, no permission,
    // a name the system refuses, or `target` is a folder).
    bool Create(const std::filesystem::path& target);
    bool Write(std::span<const std::span<const std::uint8_t>> pieces);
    // Closes the file and renames it over the target.
    bool Commit();
    void Discard();

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // a HANDLE; nullptr when closed
#else
    bool Link();

    int fd_ = -1;
    bool unnamed_ = false;
#endif
    std::filesystem::path target_;
    std::filesystem::path temporary_;  // empty while the file has no name
};

// A write past the file-size limit must fail with an error, not end the
// process with a signal. Front ends call this once at start. (Windows has
// no such signal: there it does nothing.)
void IgnoreFileSizeSignal();

}  // namespace zelta::os
