// zelta: the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "command_line.h"
#include "zelta/convert.h"

namespace {

// Prints each log line on a line of its own.
class StdoutSink final : public zelta::LogSink {
public:
    void Append(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        if (line.empty() || line.back() != '\n') std::fputc('\n', stdout);
    }
};

// Prints notes on standard error, after what standard output holds so far,
// so that both read in order on a terminal.
class StderrSink final : public zelta::LogSink {
public:
    void Append(const std::string& line) override {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", line.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace zelta::cli;
    const Request request = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    switch (request.action) {
    case Action::kHelp:
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    case Action::kVersion:
        std::fputs(VersionText().c_str(), stdout);
        return kExitOk;
    case Action::kUsageError:
        std::fputs(UsageErrorText(request.error).c_str(), stderr);
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
