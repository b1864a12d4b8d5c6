#include "command_line.h"

#include <string_view>

#include "zelta/version.h"

namespace zelta::cli {
namespace {

constexpr std::string_view kEndOfOptions = "--";

Request UsageError(std::string error) {
    Request r;
    r.action = Action::kUsageError;
    r.error = std::move(error);
    return r;
}

}  // namespace

Request ParseArguments(const std::vector<std::string>& args) {
    Request request;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            request.files.emplace_back(arg);
        } else if (arg == kEndOfOptions) {
            optionsEnded = true;
        } else if (arg == "--help") {
            request.action = Action::kHelp;
            return request;
        } else if (arg == "--version") {
            request.action = Action::kVersion;
            return request;
        } else if (arg[1] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else {
            // One or more short options: -n, -v, -nv.
            for (const char c : std::string_view(arg).substr(1)) {
                if (c == 'n') {
                    request.options.showStartOnly = true;
                } else if (c == 'v') {
                    request.options.detailLog = true;
                } else {
                    return UsageError(std::string("unknown option '-") + c + "'");
                }
            }
        }
    }
    if (request.files.empty()) return UsageError("no FILE given");
    return request;
}

std::string UsageText() {
    return "Usage: zelta [-n] [-v] [--] FILE...\n"
           "Cuts the silent lead-in off S98 files: finds the first key-on, leaves out\n"
           "the waits and timer writes before it, and writes FILE's trimmed copy\n"
           "beside it as <name>_new.s98.\n"
           "\n"
           "  -n         show the start point only; write nothing\n"
           "  -v         show detail log: list every byte that is left out\n"
           "  --help     show this help and exit\n"
           "  --version  show the version and exit\n"
           "\n"
           "Exit status: 0 when every file succeeded, 1 when any failed,\n"
           "2 on a usage error.\n";
}

std::string VersionText() { return std::string("zelta ") + kVersion + "\n"; }

}  // namespace zelta::cli
