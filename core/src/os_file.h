// The operating-system calls of the core, behind plain functions: reading a
// regular file without ever blocking on a special file, and replacing a file
// safely (a temporary file renamed over it).
//
// The fast way through a large file (copying it in the kernel, telling by
// its stamp that it did not change) is optional: where a system has no such
// call, the stamps say "cannot", CopyFrom says kUnsupported, and the output
// is written from the bytes read instead.
//
// What a system without them must provide (the "cannot" answers):
//
//   call                         answer
//   ---------------------------  ------------------------------------------
//   InputFile::OpenStamp         std::nullopt (the output is then written
//                                from the bytes read)
//   InputFile::StampNow          std::nullopt
//   ReplacementFile::CopyFrom    CopyStatus::kUnsupported
//   ReplacementFile::CutTo       false (never called once CopyFrom declines)
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace zelta::os {

// What tells a file's contents at one moment without reading them, as GNU
// tar tells "file changed as we read it": its size and its modification and
// change times in nanoseconds. `takenNs` is the clock (same scale) just
// before the stamp was taken; it is not part of the comparison.
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    std::int64_t takenNs = 0;
    bool SameFile(const FileStamp& other) const {
        return size == other.size && modifiedNs == other.modifiedNs &&
               changedNs == other.changedNs;
    }
};

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
    // Reads on from the file's start again.
    bool Rewind();

    // The stamp taken when the file was opened; nullopt when the system
    // cannot tell.
    std::optional<FileStamp> OpenStamp() const { return openStamp_; }
    // The stamp now; nullopt when the system cannot tell.
    std::optional<FileStamp> StampNow() const;

private:
    friend class ReplacementFile;
#ifdef _WIN32
    void* handle_ = nullptr;  // a HANDLE; nullptr when closed
#else
    int fd_ = -1;
#endif
    std::int64_t size_ = 0;
    std::optional<FileStamp> openStamp_;
};

// Asks for huge pages for the whole 2 MiB stretches of [p, p + size) that
// have not been touched yet; a hint that may be ignored.
void AdviseHugePages(void* p, std::size_t size);

// Maps the whole pages of [p, p + size), not touched yet, at once, instead
// of a fault a page as they are first written; a hint that may be ignored.
void PrefaultPages(void* p, std::size_t size);

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
    enum class CopyStatus { kCopied, kUnsupported, kFailed };
    // Appends `length` bytes of `input` from `offset` on, copied by the
    // kernel without passing through this process. kUnsupported (nothing
    // written) where the system cannot; kFailed when the input ends early or
    // a read or write fails.
    CopyStatus CopyFrom(const InputFile& input, std::int64_t offset, std::int64_t length);
    // Cuts the file (never lengthens it) to `length` bytes; later writes go
    // on from there.
    bool CutTo(std::int64_t length);
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
