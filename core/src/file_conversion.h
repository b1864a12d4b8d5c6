// Converting a file. A large file whose stamp can be trusted is mapped: the
// scan reads the mapping, and the output's long verbatim stretches are
// copied file to file by the kernel, as `cat` copies. Those bytes are not
// the very bytes the scan validated, so the file's stamp (size, modification
// and change times) is compared before and after, and any difference is
// "input file read error." with no output, found before the output takes
// its name. Every other file is read front to back (ConvertS98Stream),
// which writes only bytes it validated.
//
//   the file                                     how it is converted
//   -------------------------------------------  ------------------------------
//   smaller than FileRules::minMappedSize         read front to back
//   detail log asked for (-v)                     read front to back
//   stamp unknown, or changed less than           read front to back (a change
//   FileRules::racyMarginNs before it was opened  within the times' granularity
//                                                 would not show in the stamp)
//   cannot be mapped                              read front to back
//   otherwise                                     mapped; stamp compared
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "os_file.h"
#include "zelta/convert.h"

namespace zelta {

struct FileRules {
    // Below this a single read costs less than a mapping.
    std::int64_t minMappedSize = std::int64_t{1} << 20;
    // How long before the conversion began a file must have last changed
    // for its stamp to be trusted: longer than the coarsest time stamps
    // (2 s on FAT), as git treats "racily clean" files.
    std::int64_t racyMarginNs = std::int64_t{2'000'000'000};
    // Whether the kernel may copy the verbatim part (tests turn it off to
    // take the way of systems that cannot: written from the mapping).
    bool kernelCopies = true;
    // Called once the file is mapped, before any of it is read (tests change
    // the file there).
    std::function<void()> afterMap;
};

// Whether a file with `stamp` (taken when it was opened) changed long
// enough before then that any later change shows in its stamp.
bool StampTrusted(const os::FileStamp& stamp, std::int64_t racyMarginNs);

// ConvertS98File with the rules given.
std::string ConvertFile(const std::filesystem::path& path, Options options, LogSink& sink,
                        const FileRules& rules);

}  // namespace zelta
