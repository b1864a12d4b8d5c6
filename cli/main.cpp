// zelta: the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "command_line.h"
#include "platform.h"
#include "zelta/convert.h"

namespace {

using zelta::cli::WriteText;

// Prints each log line on a line of its own.
class StdoutSink final : public zelta::LogSink {
public:
    void Append(const std::string& line) override {
        WriteText(stdout, line);
        if (line.empty() || line.back() != '\n') WriteText(stdout, "\n");
    }
};

// Prints notes on standard error, after what standard output holds so far,
// so that both read in order on a terminal.
class StderrSink final : public zelta::LogSink {
public:
    void Append(const std::string& line) override {
        std::fflush(stdout);
        WriteText(stderr, line + "\n");
    }
};

// The whole program after the entry point; `args` are UTF-8.
int RunCommandLine(const std::vector<std::string>& args) {
    using namespace zelta::cli;
    PrepareStandardStreams();
    const Request request = ParseArguments(args);
    switch (request.action) {
    case Action::kHelp:
        WriteText(stdout, UsageText());
        return kExitOk;
    case Action::kVersion:
        WriteText(stdout, VersionText());
        return kExitOk;
    case Action::kUsageError:
        WriteText(stderr, UsageErrorText(request.error));
        return kExitUsage;
    case Action::kConvert:
        break;
    }

    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    zelta::IgnoreFileSizeSignal();
    StdoutSink out;
    StderrSink errors;
    const BatchTotals totals = RunBatch(request, out, errors);
    int status = ExitStatusFor(totals);
    if (std::fflush(stdout) != 0) status = kExitFailed;
    if (const std::string summary = SummaryLine(totals); !summary.empty()) errors.Append(summary);
    return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return RunCommandLine(zelta::cli::ArgumentsAsUtf8(argc, argv)); }
#else
int main(int argc, char** argv) { return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
