// Converting a file. The file is read front to back (ConvertS98Stream). For
// a large file whose stamp can be trusted, the output's long verbatim
// stretch is copied file to file by the kernel, as `cp` copies, while the
// scan reads on. Those bytes are not the very bytes the scan validated, so
// the file's stamp (size, modification and change times) is compared before
// and after, and any difference is "input file read error." with no output,
// found before the output takes its name. Every other file is written only
// from bytes the scan validated.
//
//   the file                                     how its verbatim part is written
//   -------------------------------------------  ------------------------------
//   smaller than FileRules::minCopiedSize         from the bytes read
//   detail log asked for (-v)                     from the bytes read
//   stamp unknown, or changed less than           from the bytes read (a change
//   FileRules::racyMarginNs before it was opened  within the times' granularity
//                                                 would not show in the stamp)
//   the kernel cannot copy it                     from the bytes read
//   otherwise                                     copied by the kernel; stamp
//                                                 compared
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "os_file.h"
#include "zelta/convert.h"

namespace zelta {

struct FileRules {
    // Below this a copy on a thread of its own costs more than it saves.
    std::int64_t minCopiedSize = std::int64_t{1} << 20;
    // How long before the conversion began a file must have last changed
    // for its stamp to be trusted: longer than the coarsest time stamps
    // (2 s on FAT), as git treats "racily clean" files.
    std::int64_t racyMarginNs = std::int64_t{2'000'000'000};
    // Whether the kernel may copy the verbatim part (tests turn it off to
    // take the way of systems that cannot: written from the bytes read).
    bool kernelCopies = true;
    // Called once the stamp is trusted, before any of the file is read
    // (tests change the file there).
    std::function<void()> beforeRead;
};

// Whether a file with `stamp` (taken when it was opened) changed long
// enough before then that any later change shows in its stamp.
bool StampTrusted(const os::FileStamp& stamp, std::int64_t racyMarginNs);

// ConvertS98File with the rules given.
std::string ConvertFile(const std::filesystem::path& path, Options options, LogSink& sink,
                        const FileRules& rules);

}  // namespace zelta
