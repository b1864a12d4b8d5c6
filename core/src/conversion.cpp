#include "conversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "messages.h"
#include "output.h"

namespace zelta {
namespace {

// The image's start, growing as it is read.
class Prefix {
public:
    S98Image image() const {
        return S98Image{{bytes_.get(), static_cast<std::size_t>(size_)}};
    }
    std::int64_t size() const { return size_; }
    bool full() const { return size_ == capacity_; }

    // Room for `capacity` bytes in all; false when memory runs out. A large
    // block grows in place or is moved by remapping its pages, so growing
    // neither copies the bytes nor holds them twice.
    bool Reserve(std::int64_t capacity) {
        if (capacity <= capacity_) return true;
        void* bigger = std::realloc(bytes_.get(), static_cast<std::size_t>(capacity));
        if (bigger == nullptr) return false;
        (void)bytes_.release();
        bytes_.reset(static_cast<std::uint8_t*>(bigger));
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
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> bytes_;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
};

}  // namespace

std::string ReadCheckedHeader(const S98Image& image, std::int64_t fileSize, S98Header& header) {
    if (fileSize < kHeaderSize) return std::string(msg::kHeader);
    header = ReadHeader(image, fileSize);
    if (header.version == kRefusedVersion || header.version > kNewestVersion) {
        return std::string(msg::kVersion);
    }
    if (header.dumpOffset < kHeaderSize || header.dumpOffset > header.fileSize) {
        return msg::DataOffsetError(header.dumpOffset);
    }
    if (header.tagOffset != 0 &&
        (header.tagOffset < kHeaderSize || header.tagOffset > header.fileSize)) {
        return msg::TagOffsetError(header.tagOffset);
    }
    return std::string();
}

Conversion::Conversion(const S98Header& header, const DeviceTable& devices,
                       const std::filesystem::path& inputPath, Options options, LogSink& sink,
                       OutputTarget& output, Verbatim verbatim)
    : header_(header), devices_(devices), options_(options), sink_(sink), output_(output),
      outputPath_(OutputPathFor(inputPath)),
      writeEarly_(!options.detailLog && !options.showStartOnly), verbatim_(verbatim),
      scanner_(header, devices, options.allChips, !options.detailLog), gatherer_(output, header.fileSize) {}

bool Conversion::ReadyToWrite(const S98Image& prefix) const {
    if (writeEarly_) return scanner_.settled() || scanner_.finished();
    return scanner_.finished() && prefix.size() == header_.fileSize;
}

bool Conversion::TakePrefix(const S98Image& prefix) {
    scanner_.Feed(Window{prefix.ptr(0), 0, prefix.size()});
    if (scanner_.failed()) return true;
    // -n writes nothing: once the start is known only the scan goes on.
    if (options_.showStartOnly) return scanner_.settled() || scanner_.finished();
    if (!ReadyToWrite(prefix)) return false;
    if (!writeEarly_) LogSuccess();
    WriteFront(prefix);
    return true;
}

void Conversion::TakeWindow(const Window& window) {
    scanner_.Feed(window);
    if (scanner_.failed() || !opened_) return;
    KeepVerbatim(window);
    gatherer_.Flush();  // the window's bytes are about to be replaced
}

bool Conversion::Wants(std::int64_t offset) const {
    if (scanner_.failed()) return false;
    if (!scanner_.finished()) return true;
    return opened_ && offset < KeepLimit();
}

// The start line, then the output line: the scan is over and has passed.
void Conversion::LogSuccess() {
    logged_ = true;
    sink_.Append(msg::StartLine(scanner_.result().startOffset));
    if (!options_.showStartOnly) sink_.Append(msg::OutputLine(FileNamePart(outputPath_)));
}

// The head, the lead-in filtered, and what the prefix holds after it.
void Conversion::WriteFront(const S98Image& prefix) {
    if (!output_.Open(outputPath_)) {
        openFailed_ = true;
        return;
    }
    opened_ = true;
    const ScanResult scan = scanner_.result();
    CopyHead(prefix, header_, scan, gatherer_);
    written_ = header_.dumpOffset;
    if (scan.startOffset != 0) {
        if (options_.detailLog) {
            CopyLeadIn(prefix, header_, devices_, scan.startOffset, true, sink_, gatherer_);
        } else {
            const std::vector<std::uint8_t>& kept = scanner_.keptLeadIn();
            gatherer_.Keep(kept.data(), static_cast<std::int64_t>(kept.size()));
        }
        written_ = scan.startOffset;
    }
    KeepVerbatim(Window{prefix.ptr(0), 0, prefix.size()});
    gatherer_.Flush();  // the prefix may move or go once this returns
    scanner_.ReleaseKeptLeadIn();
}

// Everything from the start on is copied as it stands. A tag that follows
// the data is copied with whatever lies between the end-of-data command and
// it; otherwise the copy ends with that command.
std::int64_t Conversion::KeepLimit() const {
    if (header_.tagOffset > header_.dumpOffset) return header_.fileSize;
    // Until the end-of-data command is found, all that has been scanned (and
    // the piece of a command a window's end cuts) belongs to the stream.
    if (!scanner_.finished()) return std::numeric_limits<std::int64_t>::max();
    return scanner_.result().streamStop;
}

void Conversion::KeepVerbatim(const Window& window) {
    if (verbatim_ == Verbatim::kByTheCaller) return;
    const std::int64_t from = std::max(written_, window.base);
    const std::int64_t to = std::min(window.end, KeepLimit());
    if (to <= from) return;
    gatherer_.Keep(window.ptr(from), to - from);
    written_ = to;
}

std::string Conversion::Finish() {
    if (scanner_.failed()) return Fail(scanner_.message());
    if (!scanner_.finished()) return Fail(msg::kInputRead);
    if (!logged_) LogSuccess();
    if (options_.showStartOnly) return std::string();
    if (openFailed_) return std::string(msg::kOutputOpen);
    if (!gatherer_.Flush()) return Fail(msg::kOutputWrite);
    if (!output_.Commit()) return std::string(msg::kOutputWrite);
    return std::string();
}

std::string Conversion::Fail(std::string_view message) {
    if (opened_) output_.Abort();
    opened_ = false;
    return std::string(message);
}

std::int64_t TakeFront(Conversion& conversion, const S98Image& image, ReadSizes sizes) {
    std::int64_t end = std::min(image.size(), sizes.firstPrefix);
    // Window by window: the scan goes on from where it stood, and the front
    // is written (and a copy of the rest may begin) soon after the start.
    while (!conversion.TakePrefix(S98Image{image.bytes.first(static_cast<std::size_t>(end))})) {
        end = std::min(image.size(), end + sizes.window);
    }
    return end;
}

std::string ConvertImage(const S98Image& image, const S98Header& header,
                         const std::filesystem::path& inputPath, Options options, LogSink& sink,
                         OutputTarget& output, ReadSizes sizes) {
    Conversion conversion(header, ReadDeviceTable(image, header), inputPath, options, sink,
                          output);
    std::int64_t offset = TakeFront(conversion, image, sizes);
    while (offset < image.size() && conversion.Wants(offset)) {
        offset = std::min(image.size(), offset + sizes.window);
        conversion.TakeWindow(Window{image.ptr(0), 0, offset});
    }
    return conversion.Finish();
}

std::string ConvertStream(ByteReader& input, std::int64_t size,
                          const std::filesystem::path& inputPath, Options options, LogSink& sink,
                          OutputTarget& output, ReadSizes sizes) {
    if (size < 0 || size > kMaxImageSize) return std::string(msg::kInputTooLarge);
    Prefix prefix;
    // The header, then the device table it names.
    auto readTo = [&](std::int64_t bytes) {
        if (!prefix.Reserve(bytes)) return std::string(msg::kMemory);
        while (prefix.size() < bytes) {
            if (!prefix.ReadMore(input, size)) return std::string(msg::kInputRead);
        }
        return std::string();
    };
    if (std::string error = readTo(std::min(size, std::max(kHeaderSize, sizes.firstPrefix)));
        !error.empty()) {
        return error;
    }
    S98Header header;
    if (std::string error = ReadCheckedHeader(prefix.image(), size, header); !error.empty()) {
        return error;
    }
    if (std::string error = readTo(std::min(size, DeviceTableEnd(header))); !error.empty()) {
        return error;
    }
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
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kMaxCut + sizes.window]);
    if (!buffer) return conversion.Fail(msg::kMemory);
    // Moves the cut piece, the bytes from the scan's position to `offset`, to
    // the buffer's front. False if the scan stands further back than it may.
    auto carry = [&](const std::uint8_t* end) {
        const std::int64_t cut = conversion.Scanning() ? offset - conversion.ScanPosition() : 0;
        if (cut < 0 || cut > kMaxCut) return std::int64_t{-1};
        std::memmove(buffer.get(), end - cut, static_cast<std::size_t>(cut));
        return cut;
    };
    std::int64_t cut = carry(prefix.image().ptr(offset));
    prefix.Release();
    while (cut >= 0 && offset < size && conversion.Wants(offset)) {
        const std::int64_t n = input.Read(buffer.get() + cut, std::min(sizes.window, size - offset));
        if (n <= 0) return conversion.Fail(msg::kInputRead);
        const Window window{buffer.get(), offset - cut, offset + n};
        conversion.TakeWindow(window);
        offset = window.end;
        cut = carry(window.ptr(offset));
    }
    if (cut < 0) return conversion.Fail(msg::kInputRead);
    return conversion.Finish();
}

}  // namespace zelta
