#include "conversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "messages.h"
#include "output.h"

namespace zelta {
namespace {

// The image's bytes [base(), end()) as they are read: from the image's
// start while the head and the lead-in are read, and while the detail log
// needs them all; otherwise only from where the scan still needs them.
class Prefix {
public:
    S98Image image() const {
        return S98Image{{bytes_.get(), static_cast<std::size_t>(size_)}};
    }
    Window window() const { return Window{bytes_.get(), base_, base_ + size_}; }
    std::int64_t base() const { return base_; }
    std::int64_t end() const { return base_ + size_; }
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
    std::int64_t capacity() const { return capacity_; }
    // One read of at most `most` bytes into the room left, never past the
    // image's `size`. False when the input fails or ends.
    bool ReadMore(ByteReader& input, std::int64_t size, std::int64_t most) {
        const std::int64_t want = std::min({capacity_, size - base_, size_ + most}) - size_;
        if (want <= 0) return false;
        const std::int64_t n = input.Read(bytes_.get() + size_, want);
        if (n <= 0) return false;
        size_ += n;
        return true;
    }
    // Lets the bytes before `offset` go.
    void DropBefore(std::int64_t offset) {
        const std::int64_t n = offset - base_;
        std::memmove(bytes_.get(), bytes_.get() + n, static_cast<std::size_t>(size_ - n));
        size_ -= n;
        base_ = offset;
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
    std::int64_t base_ = 0;
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
                       OutputTarget& output, Verbatim verbatim, const GivenStart& given)
    : header_(header), devices_(devices), options_(options), sink_(sink), output_(output),
      outputPath_(OutputPathFor(inputPath)),
      writeEarly_(!options.detailLog && !options.showStartOnly), verbatim_(verbatim),
      scanner_(header, devices, options.allChips, !options.detailLog, true, given.offset),
      gatherer_(output, header.fileSize) {}

bool Conversion::ReadyToWrite(const Window& window) const {
    if (writeEarly_) return scanner_.settled() || scanner_.finished();
    return scanner_.finished() && window.base == 0 && window.end == header_.fileSize;
}

bool Conversion::TakeFront(const S98Image& head, const Window& window) {
    scanner_.Feed(window);
    if (scanner_.failed()) return true;
    // -n writes nothing: once the start is known only the scan goes on.
    if (options_.showStartOnly) return scanner_.settled() || scanner_.finished();
    if (!ReadyToWrite(window)) return false;
    if (!writeEarly_) LogSuccess();
    WriteFront(head, window);
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
    return opened_ && verbatim_ == Verbatim::kWritten && offset < KeepLimit();
}

// The start line, then the output line: the scan is over and has passed.
void Conversion::LogSuccess() {
    logged_ = true;
    sink_.Append(msg::StartLine(scanner_.result().startOffset));
    if (!options_.showStartOnly) sink_.Append(msg::OutputLine(FileNamePart(outputPath_)));
}

// The head, the lead-in filtered, and what the window holds after it.
void Conversion::WriteFront(const S98Image& head, const Window& window) {
    if (!output_.Open(outputPath_)) {
        openFailed_ = true;
        return;
    }
    opened_ = true;
    const ScanResult scan = scanner_.result();
    CopyHead(head, header_, scan, gatherer_);
    written_ = header_.dumpOffset;
    if (scan.startOffset != 0) {
        if (options_.detailLog) {
            // The whole image is at hand (the window begins at 0).
            const S98Image image{{window.data, static_cast<std::size_t>(window.end)}};
            CopyLeadIn(image, header_, devices_, scan.startOffset, true, sink_, gatherer_);
        } else {
            const std::vector<std::uint8_t>& kept = scanner_.keptLeadIn();
            gatherer_.Keep(kept.data(), static_cast<std::int64_t>(kept.size()));
        }
        written_ = scan.startOffset;
    }
    KeepVerbatim(window);
    gatherer_.Flush();  // the window may move or go once this returns
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
    // is written soon after the start.
    while (!conversion.TakeFront(image, Window{image.ptr(0), 0, end})) {
        end = std::min(image.size(), end + sizes.window);
    }
    return end;
}

std::string ConvertImage(const S98Image& image, const S98Header& header,
                         const std::filesystem::path& inputPath, Options options, LogSink& sink,
                         OutputTarget& output, ReadSizes sizes, const GivenStart& given) {
    Conversion conversion(header, ReadDeviceTable(image, header), inputPath, options, sink,
                          output, Conversion::Verbatim::kWritten, given);
    std::int64_t offset = TakeFront(conversion, image, sizes);
    while (offset < image.size() && conversion.Wants(offset)) {
        offset = std::min(image.size(), offset + sizes.window);
        conversion.TakeWindow(Window{image.ptr(0), 0, offset});
    }
    return conversion.Finish();
}

std::string ConvertStream(ByteReader& input, std::int64_t size,
                          const std::filesystem::path& inputPath, Options options, LogSink& sink,
                          OutputTarget& output, ReadSizes sizes, VerbatimCopy* copy,
                          const GivenStart& given) {
    if (size < 0 || size > kMaxImageSize) return std::string(msg::kInputTooLarge);
    Prefix prefix;
    // The header, then the device table it names.
    auto readTo = [&](std::int64_t bytes) {
        if (!prefix.Reserve(bytes)) return std::string(msg::kMemory);
        while (prefix.end() < bytes) {
            if (!prefix.ReadMore(input, size, bytes)) return std::string(msg::kInputRead);
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
    // The head, up to the stream, whole: the front begins with it.
    if (std::string error = readTo(std::min(
            size, std::max<std::int64_t>(DeviceTableEnd(header), header.dumpOffset)));
        !error.empty()) {
        return error;
    }
    Conversion conversion(header, ReadDeviceTable(prefix.image(), header), inputPath, options,
                          sink, output,
                          copy != nullptr ? Conversion::Verbatim::kByTheCaller
                                          : Conversion::Verbatim::kWritten,
                          given);

    // The lead-in, a window at a time, so that the front is written soon
    // after the start. Where the kernel copies the verbatim part (which is
    // the whole stream when nothing sounds), the front needs of the bytes
    // read only the head and the scan's kept writes: the bytes the scan has
    // passed are let go, the head kept aside, so that a long lead-in is not
    // held whole.
    std::vector<std::uint8_t> head;
    while (!conversion.TakeFront(head.empty() ? prefix.image() : S98Image{head}, prefix.window())) {
        if (prefix.end() == size) return conversion.Finish();  // never: the scan is over
        const std::int64_t scanned = conversion.ScanPosition();
        if (copy != nullptr && scanned - prefix.base() >= sizes.window) {
            if (head.empty()) head.assign(prefix.image().ptr(0), prefix.image().ptr(header.dumpOffset));
            prefix.DropBefore(scanned);
        }
        if (prefix.full()) {
            const std::int64_t room = conversion.NeedsWholePrefix()
                                          ? size - prefix.base()
                                          : std::min(size - prefix.base(), 2 * prefix.capacity());
            if (!prefix.Reserve(room)) return conversion.Fail(msg::kMemory);
        }
        if (!prefix.ReadMore(input, size, sizes.window)) return conversion.Fail(msg::kInputRead);
    }
    if (copy != nullptr && conversion.Writing() && !copy->Start(conversion.VerbatimFrom())) {
        return conversion.Fail(msg::kOutputWrite);
    }
    // The copy, when the caller makes it, is complete once the scan is.
    auto finish = [&] {
        if (copy != nullptr && conversion.Writing() && conversion.Scanned() &&
            !copy->Finish(conversion.KeepLimit())) {
            return conversion.Fail(msg::kOutputWrite);
        }
        return conversion.Finish();
    };

    // The rest, window by window. A window begins with the piece of a
    // command the one before cut (at most a register write less a byte).
    std::int64_t offset = prefix.end();
    if (offset == size || !conversion.Wants(offset)) return finish();
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
    std::int64_t cut = carry(prefix.window().ptr(offset));
    prefix.Release();
    std::vector<std::uint8_t>().swap(head);
    while (cut >= 0 && offset < size && conversion.Wants(offset)) {
        const std::int64_t n = input.Read(buffer.get() + cut, std::min(sizes.window, size - offset));
        if (n <= 0) return conversion.Fail(msg::kInputRead);
        const Window window{buffer.get(), offset - cut, offset + n};
        conversion.TakeWindow(window);
        offset = window.end;
        cut = carry(window.ptr(offset));
    }
    if (cut < 0) return conversion.Fail(msg::kInputRead);
    return finish();
}

}  // namespace zelta
