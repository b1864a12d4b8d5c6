// Running a conversion request: the operands in order, folders searched
// under -r, and the counts for the closing summary.
#pragma once

#include <string>

#include "command_line.h"
#include "zelta/convert.h"

namespace zelta::cli {

struct BatchTotals {
    int files = 0;               // files converted (named, or found in a folder)
    int succeeded = 0;
    int unreadableFolders = 0;   // folders (or subfolders) that could not be read
    int Failed() const { return files - succeeded; }
};

// Converts every file the request names or, under -r, finds. Each file's
// lines (its name, the log, the result) go to `out`; a folder that cannot
// be read is reported to `errors` as one line.
BatchTotals RunBatch(const Request& request, LogSink& out, LogSink& errors);

// "3 files: 2 ok, 1 failed", with "; 1 folder could not be read" added
// when one could not; empty when no more than one file was converted and
// every folder was read, as a single file's result line says it all.
std::string SummaryLine(const BatchTotals& totals);

// The exit status for the totals: kExitOk or kExitFailed.
int ExitStatusFor(const BatchTotals& totals);

}  // namespace zelta::cli
