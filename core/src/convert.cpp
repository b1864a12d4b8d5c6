#include "zelta/convert.h"

#include <algorithm>

#include "messages.h"
#include "os_file.h"
#include "s98_image.h"
#include "start_scan.h"
#include "trimmed_copy.h"

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

// The checks made on an image before its stream is read, in their order.
std::string CheckHeader(const S98Image& image, const S98Header& header) {
    if (header.version == kRefusedVersion || header.version > kNewestVersion) {
        return std::string(msg::kVersion);
    }
    if (header.dumpOffset < kHeaderSize || header.dumpOffset > image.size()) {
        return msg::DataOffsetError(header.dumpOffset);
    }
    if (header.tagOffset != 0 &&
        (header.tagOffset < kHeaderSize || header.tagOffset > image.size())) {
        return msg::TagOffsetError(header.tagOffset);
    }
    return std::string();
}

// Writes the output through a replacement file: the earlier output stays
// whole until the new one is complete.
class FileOutput final : public OutputTarget {
public:
    bool Open(const std::filesystem::path& outputPath) override { return file_.Create(outputPath); }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        return file_.Write(pieces);
    }
    bool Commit() override { return file_.Commit(); }
    void Abort() override { file_.Discard(); }

private:
    os::ReplacementFile file_;
};

}  // namespace

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

std::string ConvertS98Image(std::span<const std::uint8_t> bytes,
                            const std::filesystem::path& inputPath, Options options,
                            LogSink& sink, OutputTarget& output) {
    const S98Image image{bytes};
    if (image.size() < kHeaderSize) return std::string(msg::kHeader);
    const S98Header header = ReadHeader(image);
    if (std::string error = CheckHeader(image, header); !error.empty()) return error;

    const ScanOutcome scan = StartScan(image, header, options.allChips, sink);
    if (!scan.message.empty()) return scan.message;
    if (options.showStartOnly) return std::string();

    return TrimmedCopy(image, header, scan.result, OutputPathFor(inputPath), options.detailLog,
                       sink, output);
}

std::string ConvertS98File(const std::filesystem::path& path, Options options, LogSink& sink) {
    os::FileBytes file;
    switch (os::ReadWholeFile(path, kMaxImageSize + 1, file)) {
    case os::ReadStatus::kOk:
        break;
    case os::ReadStatus::kOpenFailed:
        return std::string(msg::kInputOpen);
    case os::ReadStatus::kTooLarge:
        return std::string(msg::kInputTooLarge);
    case os::ReadStatus::kNoMemory:
        return std::string(msg::kMemory);
    case os::ReadStatus::kShortRead:
        return std::string(msg::kInputRead);
    }
    FileOutput output;
    return ConvertS98Image({file.data.get(), static_cast<std::size_t>(file.size)}, path, options,
                           sink, output);
}

bool ConvertOneFile(const std::filesystem::path& path, Options options, LogSink& sink) {
    sink.Append(FileNamePart(path));
    const std::string message = ConvertS98File(path, options, sink);
    if (message.empty()) {
        sink.Append(std::string(msg::kResultOk));
        return true;
    }
    sink.Append(std::string(msg::kResultPrefix) + message);
    return false;
}

MemoryConversion ConvertInMemory(std::span<const std::uint8_t> image, Options options,
                                 const std::filesystem::path& inputPath) {
    MemoryConversion result;
    LineCollector lines;
    MemoryOutput output;
    result.message = ConvertS98Image(image, inputPath, options, lines, output);
    result.lines = std::move(lines.lines);
    result.written = output.committed;
    result.output = std::move(output.bytes);
    return result;
}

void IgnoreFileSizeSignal() { os::IgnoreFileSizeSignal(); }

}  // namespace zelta
