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
            request.files.push_back(PathFromUtf8(arg));
        } else if (arg == kEndOfOptions) {
            optionsEnded = true;
        } else if (arg == "--help") {
            request.action = Action::kHelp;
            return request;
        } else if (arg == "--version") {
            request.action = Action::kVersion;
            return request;
        } else if (arg == "--all-chips") {
            request.options.allChips = true;
        } else if (arg == "--recursive") {
            request.recursive = true;
        } else if (arg == "--loop") {
            request.options.findLoop = true;
        } else if (arg == "--by-sound") {
            request.options.bySound = true;
        } else if (arg[1] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else {
            // One or more short options: -n, -v, -l, -s, -r, -nvlsr.
            for (const char c : std::string_view(arg).substr(1)) {
                if (c == 'n') {
                    request.options.showStartOnly = true;
                } else if (c == 'v') {
                    request.options.detailLog = true;
                } else if (c == 'l') {
                    request.options.findLoop = true;
                } else if (c == 's') {
                    request.options.bySound = true;
                } else if (c == 'r') {
                    request.recursive = true;
                } else {
                    return UsageError(std::string("unknown option '-") + c + "'");
                }
            }
        }
    }
    if (request.files.empty()) return UsageError("no FILE given");
    return request;
}

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string UsageText() {
    return "Usage: zelta [-n] [-v] [-l] [-s] [--all-chips] [-r] [--] FILE...\n"
           "Cuts the silent lead-in off S98 files: finds the first key-on, leaves out\n"
           "the waits and timer writes before it, and writes FILE's trimmed copy\n"
           "beside it as <name>_new.s98.\n"
           "\n"
           "  -n           show the start point only; write nothing\n"
           "  -v           show detail log: list every byte that is left out\n"
           "  -l, --loop   find where the song starts to repeat, set the loop offset\n"
           "               there and cut the repeats (see below)\n"
           "  -s, --by-sound\n"
           "               cut silence by sound: start at the first write after\n"
           "               which something is heard, and cut a song without a loop\n"
           "               after its last sound (see below)\n"
           "  --all-chips  start at the first key-on of any chip, not only of the\n"
           "               OPN family (trims OPM, OPLL, OPL and PSG files too)\n"
           "  -r, --recursive\n"
           "               a FILE that is a folder is searched, with its subfolders,\n"
           "               for files named *.s98 (any case) but not *_new.s98; they\n"
           "               are converted in sorted path order; symbolic links to\n"
           "               folders inside it are not followed\n"
           "  --help       show this help and exit\n"
           "  --version    show the version and exit\n"
           "\n"
           "FILEs are converted in the order given; with -r, the files found in a\n"
           "folder are converted where the folder is named. When more than one file\n"
           "is converted, a last line on standard error counts them, for example\n"
           "\"3 files: 2 ok, 1 failed\".\n"
           "\n"
           "With -l the writes from the start on are compared, the waits only timed;\n"
           "timer values and controls and I/O ports are left out. The loop is the\n"
           "earliest stretch from which the song repeats to its end, at least once\n"
           "whole, that holds a key-on, lasts 1 s or more and keeps its timing within\n"
           "2 ticks or 3 ms, with a first pass as long as the later ones (within a\n"
           "tick); it must also play back as the log. The output ends after\n"
           "the first pass, with its loop offset set. A file with a loop offset keeps\n"
           "it; when no loop is found, the output is the one without -l.\n"
           "\n"
           "With -s a model of each chip tells when anything can be heard: FM voices\n"
           "by their envelopes, total levels and carriers (OPN, OPN2, OPNA, OPM, OPLL,\n"
           "OPL, OPL2, OPL3), SSG and PSG channels by their levels and envelopes, the\n"
           "DCSG by its attenuations, OPNA rhythm and ADPCM, the OPN2 DAC. Where it\n"
           "cannot tell, a sound is heard; other chips make no sound. The start is\n"
           "the first write, from the first key-on of any chip on, after which a\n"
           "sound is heard; before it, waits and timer writes are left out (nothing\n"
           "is, when nothing is heard). When the output has no loop, the stream\n"
           "ends at the last moment anything is heard, rounded up to a tick; a\n"
           "line tells where and how much was cut. With -l, nothing is cut when\n"
           "what would be left reads as a loop.\n"
           "\n"
           "Exit status: 0 when every file succeeded, 1 when any failed (or a folder\n"
           "could not be read), 2 on a usage error.\n";
}

std::string UsageErrorText(const std::string& error) {
    return "zelta: " + error + "\nTry 'zelta --help' for more information.\n";
}

std::string VersionText() { return std::string("zelta ") + kVersion + "\n"; }

}  // namespace zelta::cli
