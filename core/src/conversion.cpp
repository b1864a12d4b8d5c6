#include "conversion.h"

#include <algorithm>
#include <limits>

#include "messages.h"

namespace zelta {

std::string CheckHeader(const S98Header& header) {
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
                       OutputTarget& output)
    : header_(header), devices_(devices), options_(options), sink_(sink), output_(output),
      outputPath_(OutputPathFor(inputPath)),
      writeEarly_(!options.detailLog && !options.showStartOnly),
      scanner_(header, devices, options.allChips), gatherer_(output, header.fileSize) {}

bool Conversion::ReadyToWrite(const S98Image& prefix) const {
    if (writeEarly_) return scanner_.settled() || scanner_.finished();
    return scanner_.finished() && prefix.size() == header_.fileSize;
}

bool Conversion::TakePrefix(const S98Image& prefix) {
    scanner_.Feed(Window{prefix.ptr(0), 0, prefix.size()});
    if (scanner_.failed()) return true;
    if (options_.showStartOnly) return scanner_.finished();
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
        CopyLeadIn(prefix, header_, devices_, scan.startOffset, options_.detailLog, sink_,
                   gatherer_);
        written_ = scan.startOffset;
    }
    KeepVerbatim(Window{prefix.ptr(0), 0, prefix.size()});
    gatherer_.Flush();  // the prefix may move or go once this returns
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

}  // namespace zelta
