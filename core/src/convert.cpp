#include "zelta/convert.h"

#include "conversion.h"
#include "file_conversion.h"
#include "finishing.h"
#include "messages.h"
#include "os_file.h"
#include "s98_image.h"

namespace zelta {

std::string ConvertS98Image(std::span<const std::uint8_t> bytes,
                            const std::filesystem::path& inputPath, Options options,
                            LogSink& sink, OutputTarget& output) {
    const S98Image image{bytes};
    S98Header header;
    if (std::string error = ReadCheckedHeader(image, image.size(), header); !error.empty()) {
        return error;
    }
    if (NeedsFinishing(options)) {
        return ConvertFinished(
            [&](Options ordinary, const GivenStart& given, LogSink& lines, OutputTarget& to) {
                return ConvertImage(image, header, inputPath, ordinary, lines, to, ReadSizes{},
                                    given);
            },
            image.size(), options, sink, output);
    }
    return ConvertImage(image, header, inputPath, options, sink, output, ReadSizes{});
}

std::string ConvertS98Stream(ByteReader& input, std::int64_t size,
                             const std::filesystem::path& inputPath, Options options,
                             LogSink& sink, OutputTarget& output) {
    if (NeedsFinishing(options)) {
        return ConvertFinished(
            [&](Options ordinary, const GivenStart& given, LogSink& lines, OutputTarget& to) {
                return ConvertStream(input, size, inputPath, ordinary, lines, to, ReadSizes{},
                                     nullptr, given);
            },
            size, options, sink, output);
    }
    return ConvertStream(input, size, inputPath, options, sink, output, ReadSizes{});
}

std::string ConvertS98File(const std::filesystem::path& path, Options options, LogSink& sink) {
    return ConvertFile(path, options, sink, FileRules{});
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

namespace {
constexpr std::size_t kRoomAtOnce = std::size_t{4} << 20;
}  // namespace

MemoryConversion ConvertInMemory(std::span<const std::uint8_t> image, Options options,
                                 const std::filesystem::path& inputPath) {
    MemoryConversion result;
    LineCollector lines;
    MemoryOutput output;
    // A large output gets its room at once, in huge pages: never longer than
    // the image, and grown piece by piece it would be copied at each step.
    if (image.size() >= kRoomAtOnce) {
        output.bytes.reserve(image.size());
        os::AdviseHugePages(output.bytes.data(), output.bytes.capacity());
    }
    result.message = ConvertS98Image(image, inputPath, options, lines, output);
    result.lines = std::move(lines.lines);
    result.written = output.committed;
    result.output = std::move(output.bytes);
    return result;
}

void IgnoreFileSizeSignal() { os::IgnoreFileSizeSignal(); }

}  // namespace zelta
