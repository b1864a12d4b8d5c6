#include "file_conversion.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>
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

// Writes the output of a mapped input: the front (the head and the lead-in)
// through Write, then the verbatim part copied file to file by the kernel,
// on a thread of its own while the scan goes on over the mapping. The copy
// runs to the file's end; once the scan knows where the kept part ends, the
// output is cut there. Commit only marks the output complete: the caller
// names it once the input is known unchanged.
class MappedFileOutput final : public OutputTarget {
public:
    MappedFileOutput(const os::InputFile& input, bool kernelCopies)
        : input_(input), kernelCopies_(kernelCopies) {}
    ~MappedFileOutput() override { Stop(); }

    bool Open(const std::filesystem::path& outputPath) override {
        opened_ = file_.Create(outputPath);
        return opened_;
    }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        for (const auto& piece : pieces) written_ += static_cast<std::int64_t>(piece.size());
        return file_.Write(pieces);
    }
    bool Commit() override {
        complete_ = true;
        return true;
    }
    void Abort() override {
        Stop();
        file_.Discard();
        opened_ = complete_ = false;
    }

    // Starts copying the input from `from` to its end after what is written.
    void StartCopy(std::int64_t from) {
        from_ = from;
        if (!kernelCopies_) {
            copied_ = os::ReplacementFile::CopyStatus::kUnsupported;
            return;
        }
        try {
            copier_ = std::thread([this] { copied_ = CopyRest(); });
        } catch (const std::system_error&) {
            copied_ = CopyRest();  // no second thread to be had: copied here
        }
    }
    // Ends the copy early (the scan failed) and waits for it.
    void Stop() {
        stop_ = true;
        if (copier_.joinable()) copier_.join();
    }
    // Waits for the copy and leaves the input's [from, limit) after the
    // front: the copy cut there, or, where the kernel cannot copy, those
    // bytes written from `mapping`. False when the copy or the write failed.
    bool FinishCopy(std::int64_t limit, std::span<const std::uint8_t> mapping) {
        if (copier_.joinable()) copier_.join();
        using Status = os::ReplacementFile::CopyStatus;
        switch (copied_) {
        case Status::kCopied:
            return file_.CutTo(written_ + (limit - from_));
        case Status::kUnsupported:
            return WritePiece(mapping.subspan(static_cast<std::size_t>(from_),
                                              static_cast<std::size_t>(limit - from_)));
        case Status::kFailed:
            break;
        }
        return false;
    }

    bool complete() const { return complete_; }
    bool opened() const { return opened_; }
    bool Name() { return file_.Commit(); }

private:
    // Copied a chunk at a time, so that a failed scan stops it soon.
    static constexpr std::int64_t kCopyChunk = std::int64_t{8} << 20;

    os::ReplacementFile::CopyStatus CopyRest() {
        using Status = os::ReplacementFile::CopyStatus;
        for (std::int64_t at = from_; at < input_.size(); at += kCopyChunk) {
            if (stop_) return Status::kFailed;
            const Status status =
                file_.CopyFrom(input_, at, std::min(kCopyChunk, input_.size() - at));
            // Declined after a first chunk went through: a failure.
            if (status == Status::kUnsupported && at != from_) return Status::kFailed;
            if (status != Status::kCopied) return status;
        }
        return Status::kCopied;
    }
    bool WritePiece(std::span<const std::uint8_t> piece) {
        const std::span<const std::uint8_t> pieces[] = {piece};
        return Write(pieces);
    }

    const os::InputFile& input_;
    const bool kernelCopies_;
    os::ReplacementFile file_;
    std::int64_t written_ = 0;  // bytes written through Write
    std::int64_t from_ = 0;
    std::thread copier_;
    std::atomic<bool> stop_ = false;
    os::ReplacementFile::CopyStatus copied_ = os::ReplacementFile::CopyStatus::kFailed;
    bool opened_ = false;
    bool complete_ = false;
};

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
    MappedFileOutput output(file, rules.kernelCopies);
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
        Conversion conversion(header, devices, path, options, lines, output,
                              Conversion::Verbatim::kByTheCaller);
        read = os::ReadGuarded([&] { TakeFront(conversion, image, ReadSizes{}); });
        if (read && conversion.Writing()) output.StartCopy(conversion.VerbatimFrom());
        read = read && os::ReadGuarded([&] {
            conversion.TakeWindow(Window{image.ptr(0), 0, image.size()});
        });
        if (!read || conversion.failed()) {
            output.Stop();
        } else if (conversion.Writing() &&
                   !output.FinishCopy(conversion.KeepLimit(), image.bytes)) {
            message = conversion.Fail(msg::kOutputWrite);
        }
        if (read && message.empty()) message = conversion.Finish();
    }
    const std::optional<os::FileStamp> after = file.StampNow();
    if (!read || !after || !after->SameFile(*before)) {
        output.Abort();
        return std::string(msg::kInputRead);
    }
    if (!message.empty()) return message;  // the output is abandoned
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
