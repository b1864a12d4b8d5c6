// The second pass: write the output with the lead-in's waits and timer
// writes left out, and the header's tag and loop offsets adjusted.
#pragma once

#include <filesystem>
#include <string>

#include "s98_image.h"
#include "start_scan.h"
#include "zelta/convert.h"

namespace zelta {

// Logs the output line, then (with detailLog) one line per left-out byte or
// timer write, in stream order. Returns the empty text, "output file open
// error." or "output file write error.".
std::string TrimmedCopy(const S98Image& image, const S98Header& header, const ScanResult& scan,
                        const std::filesystem::path& outputPath, bool detailLog, LogSink& sink,
                        OutputTarget& output);

}  // namespace zelta
