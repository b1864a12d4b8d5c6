#include "zelta/convert.h"

#include <algorithm>

#include "conversion.h"
#include "messages.h"
#include "os_file.h"
#include "s98_image.h"

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

// Reads the input file front to back.
class FileReader final : public ByteReader {
public:
    explicit FileReader(os::InputFile& file) : file_(file) {}
    std::int64_t Read(std::uint8_t* into, std::int64_t max) override { return file_.Read(into, max); }

private:
    os::InputFile& file_;
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
    S98Header header;
    if (std::string error = ReadCheckedHeader(image, image.size(), header); !error.empty()) {
        return error;
    }
    Conversion conversion(header, ReadDeviceTable(image, header), inputPath, options, sink,
                          output);
    conversion.TakePrefix(image);  // the whole image: nothing more is needed
    return conversion.Finish();
}

std::string ConvertS98Stream(ByteReader& input, std::int64_t size,
                             const std::filesystem::path& inputPath, Options options,
                             LogSink& sink, OutputTarget& output) {
    return ConvertStream(input, size, inputPath, options, sink, output, ReadSizes{});
}

std::string ConvertS98File(const std::filesystem::path& path, Options options, LogSink& sink) {
    os::InputFile file;
    switch (file.Open(path, kMaxImageSize + 1)) {
    case os::OpenStatus::kOk:
        break;
    case os::OpenStatus::kOpenFailed:
        return std::string(msg::kInputOpen);
    case os::OpenStatus::kTooLarge:
        return std::string(msg::kInputTooLarge);
    }
    FileReader reader(file);
    FileOutput output;
    return ConvertS98Stream(reader, file.size(), path, options, sink, output);
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
