// The command line on POSIX systems: arguments and output are bytes.
#include <system_error>

#include "platform.h"

namespace zelta::cli {

void PrepareStandardStreams() {}

void WriteText(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

bool IsLinkToElsewhere(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    return entry.is_symlink(ec);
}

}  // namespace zelta::cli
