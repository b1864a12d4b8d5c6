#include "batch.h"

#include <system_error>

#include "file_walk.h"

namespace zelta::cli {
namespace {

namespace fs = std::filesystem;

std::string Count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Under -r an operand is walked when it is a folder, or a link to one: a
// link named on the command line is followed, as the user chose it.
bool IsFolderToWalk(const Request& request, const fs::path& operand) {
    if (!request.recursive) return false;
    std::error_code ec;
    return fs::is_directory(operand, ec);
}

}  // namespace

BatchTotals RunBatch(const Request& request, LogSink& out, LogSink& errors) {
    BatchTotals totals;
    const auto convert = [&](const fs::path& file) {
        ++totals.files;
        if (ConvertOneFile(file, request.options, out)) ++totals.succeeded;
    };
    for (const fs::path& operand : request.files) {
        if (!IsFolderToWalk(request, operand)) {
            convert(operand);
            continue;
        }
        const FolderContents found = FindS98Files(operand);
        for (const FolderError& e : found.errors) {
            ++totals.unreadableFolders;
            errors.Append("zelta: cannot read folder '" + PathText(e.folder) + "': " + e.reason);
        }
        for (const fs::path& file : found.files) convert(file);
    }
    return totals;
}

std::string SummaryLine(const BatchTotals& totals) {
    if (totals.files <= 1 && totals.unreadableFolders == 0) return std::string();
    std::string line = Count(totals.files, "file", "files") + ": " +
                       std::to_string(totals.succeeded) + " ok, " +
                       std::to_string(totals.Failed()) + " failed";
    if (totals.unreadableFolders > 0) {
        line += "; " + Count(totals.unreadableFolders, "folder", "folders") +
                " could not be read";
    }
    return line;
}

int ExitStatusFor(const BatchTotals& totals) {
    return totals.Failed() == 0 && totals.unreadableFolders == 0 ? kExitOk : kExitFailed;
}

}  // namespace zelta::cli
