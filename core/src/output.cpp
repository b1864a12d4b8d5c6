#include "output.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace zelta {
namespace {

// The characters that end a folder name in a path.
#ifdef _WIN32
constexpr std::string_view kSeparators = "\\/:";
#else
constexpr std::string_view kSeparators = "/";
#endif

std::string PathText(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path TextPath(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Offset of the file-name part within a path's text.
std::size_t FileNameStart(std::string_view text) {
    const std::size_t last = text.find_last_of(kSeparators);
    return last == std::string_view::npos ? 0 : last + 1;
}

}  // namespace

std::string FileNamePart(const std::filesystem::path& path) {
    const std::string text = PathText(path);
    return text.substr(FileNameStart(text));
}

std::filesystem::path OutputPathFor(const std::filesystem::path& inputPath) {
    std::string text = PathText(inputPath);
    // Cut at the last dot of the file-name part, never at its first
    // character: ".s98" is a name, not an extension.
    const std::size_t nameStart = FileNameStart(text);
    const std::size_t dot = text.find_last_of('.');
    if (dot != std::string::npos && dot > nameStart) text.resize(dot);
    text.append(kOutputSuffix);
    return TextPath(text);
}

bool MemoryOutput::Open(const std::filesystem::path& outputPath) {
    path = outputPath;
    bytes.clear();
    committed = false;
    return true;
}

bool MemoryOutput::Write(std::span<const std::span<const std::uint8_t>> pieces) {
    // Room for the whole batch at once, in memory advised for huge pages when
    // it is large: growing piece by piece would copy the bytes again at every
    // doubling and fault every 4 KiB page of fresh memory in.
    std::size_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    if (total > bytes.capacity() - bytes.size()) {
        bytes.reserve(std::max(bytes.size() + total, 2 * bytes.capacity()));
        os::AdviseHugePages(bytes.data() + bytes.size(), bytes.capacity() - bytes.size());
    }
    for (const auto& piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
}

bool MemoryOutput::Commit() {
    committed = true;
    return true;
}

void MemoryOutput::Abort() { bytes.clear(); }

}  // namespace zelta
