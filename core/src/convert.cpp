#include "zelta/convert.h"

#include <algorithm>
#include <memory>
#include <new>

#include "messages.h"
#include "os_file.h"
#include "s98_image.h"
#include "start_scan.h"
#include "conversion.h"

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

class FileReader final : public ByteReader {
public:
    explicit FileReader(os::InputFile& file) : file_(file) {}
    std::int64_t Read(std::uint8_t* into, std::int64_t max) override { return file_.Read(into, max); }

private:
    os::InputFile& file_;
};

// The first read: enough for the whole head and lead-in of nearly every
// file. Each window after the prefix: large enough that a read and a write
// cost little per byte, small enough to stay in the processor's cache
// between the read, the scan and the write.
constexpr std::int64_t kFirstPrefix = std::int64_t{64} << 10;
constexpr std::int64_t kWindowSize = std::int64_t{256} << 10;

// The image's start, growing as it is read.
class Prefix {
public:
    S98Image image() const {
        return S98Image{{bytes_.get(), static_cast<std::size_t>(size_)}};
    }
    std::int64_t size() const { return size_; }
    bool full() const { return size_ == capacity_; }

    // Room for `capacity` bytes in all; false when memory runs out.
    bool Reserve(std::int64_t capacity) {
        if (capacity <= capacity_) return true;
        std::unique_ptr<std::uint8_t[]> bigger(
            new (std::nothrow) std::uint8_t[static_cast<std::size_t>(capacity)]);
        if (!bigger) return false;
        std::copy_n(bytes_.get(), size_, bigger.get());
        bytes_ = std::move(bigger);
        capacity_ = capacity;
        return true;
    }
    // One read into the room left, never past `size`. False when the input
    // fails or ends.
    bool ReadMore(ByteReader& input, std::int64_t size) {
        const std::int64_t want = std::min(capacity_, size) - size_;
        if (want <= 0) return false;
        const std::int64_t n = input.Read(bytes_.get() + size_, want);
        if (n <= 0) return false;
        size_ += n;
        return true;
    }
    void Release() {
        bytes_.reset();
        size_ = capacity_ = 0;
    }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
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
    const S98Header header = ReadHeader(image, image.size());
    if (std::string error = CheckHeader(header); !error.empty()) return error;
    Conversion conversion(header, ReadDeviceTable(image, header), inputPath, options, sink,
                          output);
    conversion.TakePrefix(image);  // the whole image: nothing more is needed
    return conversion.Finish();
}

std::string ConvertS98Stream(ByteReader& input, std::int64_t size,
                             const std::filesystem::path& inputPath, Options options,
                             LogSink& sink, OutputTarget& output) {
    if (size < 0 || size > kMaxImageSize) return std::string(msg::kInputTooLarge);
    Prefix prefix;
    // The header and the whole device table come first.
    const std::int64_t head = std::min(size, std::max(kDeviceTableEnd, kFirstPrefix));
    if (!prefix.Reserve(head)) return std::string(msg::kMemory);
    while (prefix.size() < head) {
        if (!prefix.ReadMore(input, size)) return std::string(msg::kInputRead);
    }
    if (size < kHeaderSize) return std::string(msg::kHeader);
    const S98Header header = ReadHeader(prefix.image(), size);
    if (std::string error = CheckHeader(header); !error.empty()) return error;
    Conversion conversion(header, ReadDeviceTable(prefix.image(), header), inputPath, options,
                          sink, output);

    while (!conversion.TakePrefix(prefix.image())) {
        if (prefix.size() == size) return conversion.Finish();  // never: the scan is over
        if (prefix.full()) {
            const std::int64_t room = conversion.NeedsWholePrefix()
                                          ? size
                                          : std::min(size, 2 * prefix.size());
            if (!prefix.Reserve(room)) return conversion.Fail(msg::kMemory);
        }
        if (!prefix.ReadMore(input, size)) return conversion.Fail(msg::kInputRead);
    }

    // The rest, window by window. A window begins with the piece of a
    // command the one before cut (at most a register write less a byte).
    std::int64_t offset = prefix.size();
    if (offset == size || !conversion.Wants(offset)) return conversion.Finish();
    constexpr std::int64_t kMaxCut = kRegisterWriteSize - 1;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kMaxCut + kWindowSize]);
    if (!buffer) return conversion.Fail(msg::kMemory);
    std::int64_t cut = conversion.Scanning() ? offset - conversion.ScanPosition() : 0;
    if (cut < 0 || cut > kMaxCut) return conversion.Fail(msg::kInputRead);
    std::copy_n(prefix.image().ptr(offset - cut), cut, buffer.get());
    prefix.Release();
    while (offset < size && conversion.Wants(offset)) {
        const std::int64_t n = input.Read(buffer.get() + cut, std::min(kWindowSize, size - offset));
        if (n <= 0) return conversion.Fail(msg::kInputRead);
        const Window window{buffer.get(), offset - cut, offset + n};
        conversion.TakeWindow(window);
        offset = window.end;
        cut = conversion.Scanning() ? offset - conversion.ScanPosition() : 0;
        if (cut < 0 || cut > kMaxCut) return conversion.Fail(msg::kInputRead);
        std::copy_n(window.ptr(offset - cut), cut, buffer.get());
    }
    return conversion.Finish();
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
