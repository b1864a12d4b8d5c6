#include "file_conversion.h"

#include <optional>
#include <vector>

#include "conversion.h"
#include "messages.h"
#include "output.h"
#include "s98_image.h"

namespace zelta {
namespace {

// Reads the input file front to back.
class FileReader final : public ByteReader {
public:
    explicit FileReader(os::InputFile& file) : file_(file) {}
    std::int64_t Read(std::uint8_t* into, std::int64_t max) override { return file_.Read(into, max); }

private:
    os::InputFile& file_;
};

// Writes the output of a mapped input. A piece of at least
// kKernelCopyMin bytes that lies in the mapping is copied from the input
// file by the kernel; the rest is written. Commit only marks the output
// complete: the caller names it once the input is known unchanged.
class MappedFileOutput final : public OutputTarget {
public:
    MappedFileOutput(const os::InputFile& input, std::span<const std::uint8_t> mapping)
        : input_(input), mapping_(mapping) {}

    bool Open(const std::filesystem::path& outputPath) override {
        opened_ = file_.Create(outputPath);
        return opened_;
    }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override;
    bool Commit() override {
        complete_ = true;
        return true;
    }
    void Abort() override {
        file_.Discard();
        opened_ = complete_ = false;
    }

    bool complete() const { return complete_; }
    bool opened() const { return opened_; }
    bool Name() { return file_.Commit(); }

private:
    static constexpr std::size_t kKernelCopyMin = std::size_t{64} << 10;

    bool InMapping(std::span<const std::uint8_t> piece) const {
        return piece.size() >= kKernelCopyMin && piece.data() >= mapping_.data() &&
               piece.data() + piece.size() <= mapping_.data() + mapping_.size();
    }

    const os::InputFile& input_;
    const std::span<const std::uint8_t> mapping_;
    os::ReplacementFile file_;
    bool kernelCopies_ = true;  // until the system says it cannot
    bool opened_ = false;
    bool complete_ = false;
};

bool MappedFileOutput::Write(std::span<const std::span<const std::uint8_t>> pieces) {
    std::size_t written = 0;  // pieces before this one are in the file
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!kernelCopies_ || !InMapping(pieces[i])) continue;
        if (!file_.Write(pieces.subspan(written, i - written))) return false;
        const auto offset = static_cast<std::int64_t>(pieces[i].data() - mapping_.data());
        switch (file_.CopyFrom(input_, offset, static_cast<std::int64_t>(pieces[i].size()))) {
        case os::ReplacementFile::CopyStatus::kCopied:
            written = i + 1;
            break;
        case os::ReplacementFile::CopyStatus::kUnsupported:
            kernelCopies_ = false;  // this piece and the rest from memory
            written = i;
            break;
        case os::ReplacementFile::CopyStatus::kFailed:
            return false;
        }
    }
    return file_.Write(pieces.subspan(written));
}

// The conversion of a mapped file, or nullopt when the file is to be read.
// The lines wait until the input is known unchanged.
std::optional<std::string> ConvertMapped(const os::InputFile& file,
                                         const std::filesystem::path& path, Options options,
                                         LogSink& sink, const FileRules& rules) {
    if (options.detailLog || file.size() < rules.minMappedSize) return std::nullopt;
    const std::optional<os::FileStamp> before = file.OpenStamp();
    if (!before || !StampTrusted(*before, rules.racyMarginNs)) return std::nullopt;
    std::optional<os::MappedFile> mapping = file.Map();
    if (!mapping) return std::nullopt;
    if (rules.afterMap) rules.afterMap();

    const S98Image image{mapping->bytes()};
    MappedFileOutput output(file, image.bytes);
    LineCollector lines;
    std::string message;
    // Each guarded read works only on objects made outside it.
    S98Header header;
    DeviceTable devices;
    bool read = os::ReadGuarded([&] {
        message = ReadCheckedHeader(image, image.size(), header);
        if (message.empty()) devices = ReadDeviceTable(image, header);
    });
    if (read && message.empty()) {
        Conversion conversion(header, devices, path, options, lines, output);
        read = os::ReadGuarded([&] { conversion.TakePrefix(image); });
        if (read) message = conversion.Finish();
    }
    const std::optional<os::FileStamp> after = file.StampNow();
    if (!read || !after || !after->SameFile(*before)) {
        output.Abort();
        return std::string(msg::kInputRead);
    }
    if (!message.empty()) return message;  // Finish has abandoned the output
    for (const std::string& line : lines.lines) sink.Append(line);
    if (output.opened() && (!output.complete() || !output.Name())) {
        output.Abort();
        return std::string(msg::kOutputWrite);
    }
    return std::string();
}

}  // namespace

bool StampTrusted(const os::FileStamp& stamp, std::int64_t racyMarginNs) {
    return stamp.changedNs <= stamp.takenNs - racyMarginNs;
}

std::string ConvertFile(const std::filesystem::path& path, Options options, LogSink& sink,
                        const FileRules& rules) {
    os::InputFile file;
    switch (file.Open(path, kMaxImageSize + 1)) {
    case os::OpenStatus::kOk:
        break;
    case os::OpenStatus::kOpenFailed:
        return std::string(msg::kInputOpen);
    case os::OpenStatus::kTooLarge:
        return std::string(msg::kInputTooLarge);
    }
    if (std::optional<std::string> mapped = ConvertMapped(file, path, options, sink, rules)) {
        return *std::move(mapped);
    }
    FileReader reader(file);
    FileOutput output;
    return ConvertS98Stream(reader, file.size(), path, options, sink, output);
}

}  // namespace zelta
