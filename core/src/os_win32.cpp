// Windows implementation of the core's operating-system calls. Every Windows
// call of the core is in this file.
//
// Paths are UTF-16 (std::filesystem::path holds them so on Windows) and are
// handed to the system in the extended-length form ("\\?\C:\...",
// "\\?\UNC\server\share\..."), so that paths of any length work whatever the
// system's long-path setting.
#include "os_file.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <string>
#include <string_view>

namespace zelta::os {
namespace {

constexpr std::wstring_view kTemporarySuffix = L".zelta-tmp";
constexpr std::size_t kNameMax = 255;  // UTF-16 units in one name (NTFS, FAT32, exFAT)
// One ReadFile or WriteFile call moves less than 4 GiB.
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

void CloseHandleOf(void*& h) {
    if (h != nullptr) ::CloseHandle(AsHandle(h));
    h = nullptr;
}

// The full path in the extended-length form. GetFullPathNameW first makes
// the path whole and normal (the current folder, "..", "/", trailing dots
// and spaces), which the extended form would otherwise take literally. A
// device (NUL, CON, COM1, "\\.\pipe\...") keeps the form that names it.
std::wstring SystemPath(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.empty() || text.starts_with(L"\\\\?\\")) return text;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(text.c_str(), static_cast<DWORD>(full.size()),
                                           full.data(), nullptr);
        if (n == 0) return text;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);  // n counts the terminator here
    }
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    if (full.starts_with(L"\\\\") && !full.starts_with(L"\\\\.\\") &&
        !full.starts_with(L"\\\\?\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return full;
}

// Another program (a virus scanner, an indexer, a player) holding the file
// for a moment refuses it with one of these.
bool InUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

// Runs `attempt` until it succeeds, fails for another reason, or has been
// refused as in use through the delays, which grow as Git for Windows'
// mingw_rename and mingw_unlink grow theirs (0, 1, 10, 20, 40 ms) and go on
// doubling: about 1.3 s in all.
bool WithRetries(const std::function<bool()>& attempt) {
    static constexpr DWORD kDelays[] = {0, 1, 10, 20, 40, 80, 160, 320, 640};
    for (const DWORD delay : kDelays) {
        if (attempt()) return true;
        if (!InUse(::GetLastError())) return false;
        ::Sleep(delay);
    }
    return attempt();
}

// The name the new file takes beside the target while it is written:
// ".<target name>.zelta-tmp", or a hashed name when that is too long.
std::wstring TemporaryNameFor(const std::wstring& target) {
    const std::size_t slash = target.find_last_of(L'\\');
    const std::wstring folder = target.substr(0, slash + 1);
    const std::wstring name = target.substr(slash + 1);
    if (name.size() + 1 + kTemporarySuffix.size() <= kNameMax) {
        return folder + L"." + name + std::wstring(kTemporarySuffix);
    }
    wchar_t hash[17];
    std::swprintf(hash, 17, L"%016llx",
                  static_cast<unsigned long long>(std::hash<std::wstring>{}(name)));
    return folder + L".zelta-" + hash + std::wstring(kTemporarySuffix);
}

// Whether an existing target may be replaced: it is no folder, it is not
// read-only, and no program holds it open without letting others delete it
// (a rename over it would be refused). A moment's hold is waited out.
bool Replaceable(const std::wstring& target) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // nothing there yet
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
    return WithRetries([&] {
        // The name itself, not what a link at it points to: the rename
        // replaces the link.
        const HANDLE h = ::CreateFileW(target.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
        ::CloseHandle(h);
        return true;
    });
}

}  // namespace

void AdviseHugePages(void* p, std::size_t size) {
    // Large pages need a privilege an ordinary user does not hold.
    (void)p;
    (void)size;
}

void PrefaultPages(void* p, std::size_t size) {
    // Pages are faulted as they are first written.
    (void)p;
    (void)size;
}

InputFile::~InputFile() { CloseHandleOf(handle_); }

OpenStatus InputFile::Open(const std::filesystem::path& path, std::int64_t limit) {
    CloseHandleOf(handle_);
    // Opening never waits: a folder cannot be opened this way at all, and a
    // device or a pipe opens at once; both are refused before any read.
    const HANDLE h = ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return OpenStatus::kOpenFailed;
    handle_ = h;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !::GetFileSizeEx(h, &size)) {
        CloseHandleOf(handle_);
        return OpenStatus::kOpenFailed;
    }
    size_ = size.QuadPart;
    if (size_ >= limit) {
        CloseHandleOf(handle_);
        return OpenStatus::kTooLarge;
    }
    return OpenStatus::kOk;
}

std::int64_t InputFile::Read(std::uint8_t* into, std::int64_t max) {
    if (handle_ == nullptr) return -1;
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(max, kMaxTransfer));
    if (!::ReadFile(AsHandle(handle_), into, want, &got, nullptr)) return -1;
    return got;
}

bool InputFile::Rewind() {
    LARGE_INTEGER zero{};
    return handle_ != nullptr && ::SetFilePointerEx(AsHandle(handle_), zero, nullptr, FILE_BEGIN);
}

bool ReplacementFile::Create(const std::filesystem::path& target) {
    Discard();
    const std::wstring system = SystemPath(target);
    if (target.filename().native().size() > kNameMax) return false;
    if (!Replaceable(system)) return false;
    target_ = system;
    temporary_ = TemporaryNameFor(system);
    // CREATE_ALWAYS replaces a leftover of an interrupted run. No sharing:
    // nobody reads the file half written.
    const HANDLE h = ::CreateFileW(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        temporary_.clear();
        return false;
    }
    handle_ = h;
    return true;
}

bool ReplacementFile::Write(std::span<const std::span<const std::uint8_t>> pieces) {
    if (handle_ == nullptr) return false;
    for (const auto& piece : pieces) {
        const std::uint8_t* p = piece.data();
        auto left = static_cast<std::int64_t>(piece.size());
        while (left > 0) {
            const auto want = static_cast<DWORD>(std::min(left, kMaxTransfer));
            DWORD wrote = 0;
            if (!::WriteFile(AsHandle(handle_), p, want, &wrote, nullptr) || wrote == 0) {
                return false;
            }
            p += wrote;
            left -= wrote;
        }
    }
    return true;
}

bool ReplacementFile::Commit() {
    if (handle_ == nullptr) return false;
    // The new file is complete only when its close succeeds; only then may
    // it take the target's name.
    const HANDLE h = AsHandle(handle_);
    handle_ = nullptr;
    if (!::CloseHandle(h)) {
        Discard();
        return false;
    }
    const std::wstring& from = temporary_.native();
    const std::wstring& to = target_.native();
    if (!WithRetries([&] { return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; })) {
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void ReplacementFile::Discard() {
    CloseHandleOf(handle_);
    if (!temporary_.empty()) {
        const std::wstring& name = temporary_.native();
        WithRetries([&] { return ::DeleteFileW(name.c_str()) != 0; });
    }
    temporary_.clear();
}

// The fast way through a large file (the kernel's copy, the stamp that tells
// the file did not change) is not taken here: every output is written from
// the bytes read.
std::optional<FileStamp> InputFile::StampNow() const { return std::nullopt; }

ReplacementFile::CopyStatus ReplacementFile::CopyFrom(const InputFile&, std::int64_t,
                                                      std::int64_t) {
    return CopyStatus::kUnsupported;
}

bool ReplacementFile::CutTo(std::int64_t) { return false; }

void IgnoreFileSizeSignal() {
    // Windows has no signal for a write past a size limit: the write fails.
}

}  // namespace zelta::os
