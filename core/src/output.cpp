#include "output.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace zelta {
namespace {

using NativeText = std::filesystem::path::string_type;
using NativeView = std::basic_string_view<NativeText::value_type>;

// The characters that end a folder name in a path.
#ifdef _WIN32
constexpr NativeView kSeparators = L"\\/:";
#else
constexpr NativeView kSeparators = "/";
#endif

// Offset of the file-name part within a path's text.
std::size_t FileNameStart(NativeView text) {
    const std::size_t last = text.find_last_of(kSeparators);
    return last == NativeView::npos ? 0 : last + 1;
}

#ifdef _WIN32
// UTF-16 as UTF-8. A unit that is no character (a surrogate without its
// partner, which Windows allows in names) becomes U+FFFD: a name must
// never stop a line from being shown.
std::string Utf8Of(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
#else
// A POSIX path is bytes already; they are shown as they are.
std::string Utf8Of(std::string_view text) { return std::string(text); }
#endif

}  // namespace

std::string PathText(const std::filesystem::path& path) { return Utf8Of(path.native()); }

std::string FileNamePart(const std::filesystem::path& path) {
    const NativeView text = path.native();
    return Utf8Of(text.substr(FileNameStart(text)));
}

std::filesystem::path OutputPathFor(const std::filesystem::path& inputPath) {
    // Worked on the path's own units, so that the output's name keeps every
    // unit of the input's, whatever they are.
    NativeText text = inputPath.native();
    // Cut at the last dot of the file-name part, never at its first
    // character: ".s98" is a name, not an extension.
    const std::size_t nameStart = FileNameStart(text);
    const std::size_t dot = text.find_last_of('.');
    if (dot != NativeText::npos && dot > nameStart) text.resize(dot);
    text.append(kOutputSuffix.begin(), kOutputSuffix.end());
    return std::filesystem::path(std::move(text));
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
        // Advised before the bytes so far are copied in, so that those pages
        // come in huge too.
        std::vector<std::uint8_t> bigger;
        bigger.reserve(std::max(bytes.size() + total, 2 * bytes.capacity()));
        os::AdviseHugePages(bigger.data(), bigger.capacity());
        bigger.insert(bigger.end(), bytes.begin(), bytes.end());
        bytes.swap(bigger);
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
