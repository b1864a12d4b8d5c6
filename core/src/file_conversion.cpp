#include "file_conversion.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "conversion.h"
#include "finishing.h"
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

// Writes the output of a large input: the front (the head and the lead-in)
// through Write, then the verbatim part copied file to file by the kernel,
// on a thread of its own while the scan reads on. The copy runs to the
// file's end; once the scan knows where the kept part ends, the output is
// cut there. Commit only marks the output complete: the caller names it
// once the input is known unchanged.
class CopyingFileOutput final : public OutputTarget, public VerbatimCopy {
public:
    CopyingFileOutput(const os::InputFile& input, bool kernelCopies)
        : input_(input), kernelCopies_(kernelCopies) {}
    ~CopyingFileOutput() override { Stop(); }

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

    // A first piece here, to learn whether the kernel copies at all; the rest
    // on a thread of its own.
    bool Start(std::int64_t from) override {
        using Status = os::ReplacementFile::CopyStatus;
        from_ = from;
        declined_ = true;
        if (!kernelCopies_) return false;
        const std::int64_t first = std::min(kFirstPiece, input_.size() - from);
        copied_ = first > 0 ? file_.CopyFrom(input_, from, first) : Status::kCopied;
        if (copied_ == Status::kUnsupported) return false;
        declined_ = false;
        if (copied_ != Status::kCopied) return true;  // a failure, told by Finish
        try {
            copier_ = std::thread([this, first] { copied_ = CopyRest(from_ + first); });
        } catch (const std::system_error&) {
            copied_ = CopyRest(from_ + first);  // no second thread to be had: copied here
        }
        return true;
    }
    // Waits for the copy and cuts it at `limit`.
    bool Finish(std::int64_t limit) override {
        if (copier_.joinable()) copier_.join();
        return copied_ == os::ReplacementFile::CopyStatus::kCopied &&
               file_.CutTo(written_ + (limit - from_));
    }

    // Whether the kernel could not copy: the file is to be converted the
    // plain way.
    bool declined() const { return declined_; }
    bool complete() const { return complete_; }
    bool opened() const { return opened_; }
    bool Name() { return file_.Commit(); }

private:
    // Small enough to learn soon whether the kernel copies; the rest is
    // copied a chunk at a time, so that a failed scan stops it soon.
    static constexpr std::int64_t kFirstPiece = std::int64_t{64} << 10;
    static constexpr std::int64_t kCopyChunk = std::int64_t{8} << 20;

    // Ends the copy early (the scan failed) and waits for it.
    void Stop() {
        stop_ = true;
        if (copier_.joinable()) copier_.join();
    }
    os::ReplacementFile::CopyStatus CopyRest(std::int64_t from) {
        using Status = os::ReplacementFile::CopyStatus;
        for (std::int64_t at = from; at < input_.size(); at += kCopyChunk) {
            if (stop_) return Status::kFailed;
            const Status status =
                file_.CopyFrom(input_, at, std::min(kCopyChunk, input_.size() - at));
            // Declined after a first piece went through: a failure.
            if (status != Status::kCopied) return Status::kFailed;
        }
        return Status::kCopied;
    }

    const os::InputFile& input_;
    const bool kernelCopies_;
    os::ReplacementFile file_;
    std::int64_t written_ = 0;  // bytes written through Write
    std::int64_t from_ = 0;
    std::thread copier_;
    std::atomic<bool> stop_ = false;
    os::ReplacementFile::CopyStatus copied_ = os::ReplacementFile::CopyStatus::kFailed;
    bool declined_ = false;
    bool opened_ = false;
    bool complete_ = false;
};

// The conversion of a large file with the kernel's copy, or nullopt when the
// file is to be converted the plain way. The lines wait until the input is
// known unchanged.
std::optional<std::string> ConvertCopied(os::InputFile& file, const std::filesystem::path& path,
                                         Options options, LogSink& sink, const FileRules& rules) {
    if (options.detailLog || file.size() < rules.minCopiedSize) return std::nullopt;
    const std::optional<os::FileStamp> before = file.OpenStamp();
    if (!before || !StampTrusted(*before, rules.racyMarginNs)) return std::nullopt;
    if (rules.beforeRead) rules.beforeRead();

    FileReader reader(file);
    CopyingFileOutput output(file, rules.kernelCopies);
    LineCollector lines;
    const std::string message =
        ConvertStream(reader, file.size(), path, options, lines, output, ReadSizes{}, &output);
    if (output.declined()) {
        output.Abort();
        if (!file.Rewind()) return std::string(msg::kInputRead);
        return std::nullopt;
    }
    const std::optional<os::FileStamp> after = file.StampNow();
    if (!after || !after->SameFile(*before)) {
        output.Abort();
        return std::string(msg::kInputRead);
    }
    if (!message.empty()) {
        output.Abort();
        return message;
    }
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
    // The finishing stage needs the whole output at hand: no copy by the
    // kernel.
    if (NeedsFinishing(options)) {
        FileReader reader(file);
        FileOutput output;
        return ConvertS98Stream(reader, file.size(), path, options, sink, output);
    }
    if (std::optional<std::string> copied = ConvertCopied(file, path, options, sink, rules)) {
        return *std::move(copied);
    }
    FileReader reader(file);
    FileOutput output;
    return ConvertS98Stream(reader, file.size(), path, options, sink, output);
}

}  // namespace zelta
