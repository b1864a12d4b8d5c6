// The command line of `zelta`: what the arguments ask for.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "zelta/convert.h"

namespace zelta::cli {

enum ExitStatus {
    kExitOk = 0,      // every file succeeded
    kExitFailed = 1,  // a file failed
    kExitUsage = 2,   // the arguments were wrong
};

enum class Action { kConvert, kHelp, kVersion, kUsageError };

struct Request {
    Action action = Action::kConvert;
    Options options;
    // -r: an operand that is a folder is searched for S98 files instead of
    // being converted (which fails, as a folder is not a file).
    bool recursive = false;
    std::vector<std::filesystem::path> files;  // the operands, in order
    std::string error;  // for kUsageError: what was wrong
};

// `args` are UTF-8 (on Windows, converted from the UTF-16 command line).
Request ParseArguments(const std::vector<std::string>& args);

// A path from UTF-8 text: on Windows paths are UTF-16; elsewhere the bytes
// as they are. (The other way is the core's PathText.)
std::filesystem::path PathFromUtf8(const std::string& text);

std::string UsageText();
// The two lines for a usage error: what was wrong, then where to read more.
std::string UsageErrorText(const std::string& error);
std::string VersionText();

}  // namespace zelta::cli
