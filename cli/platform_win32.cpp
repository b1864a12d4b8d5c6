// The command line on Windows: UTF-16 arguments (wmain), UTF-8 output with
// line feeds to pipes and files, exactly as on other systems, and UTF-16 to
// a console, so that every name shows whatever the console's code page.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform.h"
#include "zelta/convert.h"

namespace zelta::cli {
namespace {

// The console behind `stream`, or nullptr when it goes to a pipe or a file.
HANDLE ConsoleOf(std::FILE* stream) {
    const HANDLE h = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && h != nullptr && ::GetConsoleMode(h, &mode) ? h : nullptr;
}

}  // namespace

std::vector<std::string> ArgumentsAsUtf8(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    // An unpaired surrogate becomes U+FFFD, as in every line the core writes.
    for (int i = 1; i < argc; ++i) args.push_back(PathText(std::filesystem::path(argv[i])));
    return args;
}

void PrepareStandardStreams() {
    // Line feeds stay line feeds in pipes and files.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void WriteText(std::FILE* stream, std::string_view text) {
    static const HANDLE consoles[2] = {ConsoleOf(stdout), ConsoleOf(stderr)};
    const HANDLE console = consoles[stream == stderr ? 1 : 0];
    if (console == nullptr) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    if (text.empty()) return;
    std::fflush(stream);  // whatever went through the stream before
    const int size = static_cast<int>(text.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
    DWORD written = 0;
    ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

bool IsLinkToElsewhere(const std::filesystem::directory_entry& entry) {
    // A symbolic link or a junction (a mount point). Other reparse points,
    // such as OneDrive's placeholders, are ordinary files and folders. (Wine
    // shows a Unix symbolic link as a reparse point without a tag.)
    WIN32_FIND_DATAW found{};
    const HANDLE h = ::FindFirstFileW(entry.path().c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
            found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT || found.dwReserved0 == 0);
}

}  // namespace zelta::cli
