// One conversion, fed the image front to back.
//
// The image's first bytes, the prefix, come first, again each time more of
// them have arrived, until the start is known: the prefix then holds the
// head and the lead-in, which are written at once. The rest follows in
// windows, each scanned and then written. Nothing is logged before the whole
// stream is validated, and the output only takes its name on success, so a
// faulty file leaves nothing but its message.
//
// With the detail log the lead-in's lines may only follow the start line,
// which needs the whole stream validated: then the prefix must grow to the
// whole image, and it is written when the scan is over.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "s98_image.h"
#include "start_scan.h"
#include "trimmed_copy.h"
#include "zelta/convert.h"

namespace zelta {

// Reads the header of a file of `fileSize` bytes, of which `image` holds the
// first min(fileSize, kHeaderSize) at least, and makes the checks that come
// before the stream is read, in their order. Returns the empty text (and
// `header` filled in) or the message.
std::string ReadCheckedHeader(const S98Image& image, std::int64_t fileSize, S98Header& header);

// Where the verbatim part goes when the caller copies it
// (Conversion::Verbatim::kByTheCaller): the kernel copies it from the input
// file, beside the scan.
class VerbatimCopy {
public:
    virtual ~VerbatimCopy() = default;
    // The front is written: the input's bytes from `from` on follow it.
    // False when they cannot be copied: the conversion then gives up with
    // "output file write error.", and the caller converts the file the
    // plain way.
    virtual bool Start(std::int64_t from) = 0;
    // The scan is over and passed: the verbatim part ends at `limit`. False
    // when the copy failed.
    virtual bool Finish(std::int64_t limit) = 0;
};

// The start, when it is not the first key-on's: the write at `offset`, or
// none (kNoStart: nothing is left out). The finishing stage with -s takes
// the image whole first, then converts it again from its first sound.
struct GivenStart {
    static constexpr std::int64_t kFound = 0;
    static constexpr std::int64_t kNoStart = -1;
    std::int64_t offset = kFound;
};

class Conversion {
public:
    // How the part copied as it stands (from the start, or from the stream's
    // beginning when nothing sounds, up to KeepLimit()) reaches the output.
    enum class Verbatim {
        kWritten,     // through the output, window by window
        kByTheCaller, // not at all: the caller copies it once the front is written
    };
    Conversion(const S98Header& header, const DeviceTable& devices,
               const std::filesystem::path& inputPath, Options options, LogSink& sink,
               OutputTarget& output, Verbatim verbatim = Verbatim::kWritten,
               const GivenStart& given = {});

    // The image's bytes up to window.end, more of them than at the call
    // before; `head` holds its first header.dumpOffset bytes. True once the
    // front is written (or the scan is over): the prefix is needed no more.
    bool TakeFront(const S98Image& head, const Window& window);
    // Whether the whole image must arrive as the prefix, window.base 0.
    bool NeedsWholePrefix() const { return !writeEarly_ && !options_.showStartOnly; }
    // The bytes after the prefix, window by window, each beginning at or
    // before ScanPosition() and ending where the next one's new bytes begin.
    void TakeWindow(const Window& window);
    // Whether the bytes from `offset` on are still needed.
    bool Wants(std::int64_t offset) const;
    // Where the next window must begin at the latest.
    std::int64_t ScanPosition() const { return scanner_.position(); }
    bool Scanning() const { return !scanner_.finished() && !scanner_.failed(); }
    bool Scanned() const { return scanner_.finished(); }
    bool failed() const { return scanner_.failed(); }
    // Whether the front has been written and the output is open.
    bool Writing() const { return opened_; }
    // Once Writing(): where the verbatim part begins.
    std::int64_t VerbatimFrom() const { return written_; }
    // Just past the verbatim part; final once the scan is finished.
    std::int64_t KeepLimit() const;

    // Logs the outcome's lines, then commits or abandons the output.
    // Returns the empty text or the message.
    std::string Finish();
    // Gives up with `message` (the input could not be read to its end).
    std::string Fail(std::string_view message);

private:
    bool ReadyToWrite(const Window& window) const;
    void LogSuccess();
    void WriteFront(const S98Image& head, const Window& window);
    void KeepVerbatim(const Window& window);

    const S98Header header_;
    const DeviceTable devices_;
    const Options options_;
    LogSink& sink_;
    OutputTarget& output_;
    const std::filesystem::path outputPath_;
    // Whether the front is written as soon as the start is known, before the
    // scan is over.
    const bool writeEarly_;
    const Verbatim verbatim_;
    Scanner scanner_;
    Gatherer gatherer_;
    bool logged_ = false;
    bool opened_ = false;
    bool openFailed_ = false;
    std::int64_t written_ = 0;  // the image's bytes up to here are written
};

// How the stream conversion reads: the first read (enough for the whole
// head and lead-in of nearly every file), then each window after the prefix
// (large enough that a read and a write cost little per byte, small enough
// to stay in the processor's cache between the read, the scan and the
// write). Tests make both tiny to cut the image everywhere.
struct ReadSizes {
    std::int64_t firstPrefix = std::int64_t{64} << 10;
    std::int64_t window = std::int64_t{256} << 10;
};

// Feeds an image held whole as growing prefixes (sizes.firstPrefix, then
// sizes.window more each time) until the front is written or the scan is
// over. Returns the prefix's end.
std::int64_t TakeFront(Conversion& conversion, const S98Image& image, ReadSizes sizes);

// Converts an image held whole: the front, then the rest in windows of
// sizes.window, each scanned and written while it is in the processor's
// cache.
// cache.
std::string ConvertImage(const S98Image& image, const S98Header& header,
                         const std::filesystem::path& inputPath, Options options, LogSink& sink,
                         OutputTarget& output, ReadSizes sizes, const GivenStart& given = {});

// ConvertS98Stream with the read sizes given. With `copy`, the verbatim part
// goes through it once the front is written, the input is read only to be
// scanned, and the bytes the scan is done with are let go.
std::string ConvertStream(ByteReader& input, std::int64_t size,
                          const std::filesystem::path& inputPath, Options options, LogSink& sink,
                          OutputTarget& output, ReadSizes sizes, VerbatimCopy* copy = nullptr,
                          const GivenStart& given = {});

}  // namespace zelta
