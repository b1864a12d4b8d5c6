// The operating-system calls of the core, behind plain functions: reading a
// whole regular file without ever blocking on a special file, and replacing
// a file safely (a temporary file renamed over it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace zelta::os {

enum class ReadStatus {
    kOk,
    kOpenFailed,  // missing, unreadable, or not a regular file
    kTooLarge,    // maxSize bytes or more
    kNoMemory,
    kShortRead,   // fewer bytes than the size arrived
};

// Frees an image's memory: from the heap, or a mapping of its own.
struct ImageRelease {
    void* mapping = nullptr;     // null: the bytes came from new[]
    std::size_t mappedBytes = 0;
    void operator()(std::uint8_t* bytes) const;
};

struct FileBytes {
    std::unique_ptr<std::uint8_t[], ImageRelease> data;
    std::int64_t size = 0;
};

// Reads the whole file at `path` when it is a regular file smaller than
// `limit` bytes.
ReadStatus ReadWholeFile(const std::filesystem::path& path, std::int64_t limit, FileBytes& out);

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
    bool Link();

    int fd_ = -1;
    bool unnamed_ = false;
    std::filesystem::path target_;
    std::filesystem::path temporary_;  // empty while the file has no name
};

// A write past the file-size limit must fail with an error, not end the
// process with a signal. Front ends call this once at start.
void IgnoreFileSizeSignal();

}  // namespace zelta::os
