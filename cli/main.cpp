// zelta: the command line.
#include <cstdio>
#include <string>
#include <vector>

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
        std::fprintf(stderr, "zelta: %s\n%s", request.error.c_str(), UsageText().c_str());
        return kExitUsage;
    case Action::kConvert:
        break;
    }

    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    zelta::IgnoreFileSizeSignal();
    StdoutSink sink;
    int status = kExitOk;
    for (const auto& file : request.files) {
        if (!zelta::ConvertOneFile(file, request.options, sink)) status = kExitFailed;
    }
    if (std::fflush(stdout) != 0) status = kExitFailed;
    return status;
}
