// Finding the S98 files of a folder, for `zelta -r`.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zelta::cli {

// True for a file name ending in ".s98" in any case, unless it ends in
// "_new.s98" in any case (a trimmed copy this tool wrote).
bool IsS98InputName(std::string_view fileName);

// A folder that could not be read, and why.
struct FolderError {
    std::filesystem::path folder;
    std::string reason;  // the system's text, e.g. "Permission denied"
};

struct FolderContents {
    std::vector<std::filesystem::path> files;  // sorted by path
    std::vector<FolderError> errors;           // in the order met
};

// Every regular file under `folder` and its subfolders whose name passes
// IsS98InputName, sorted by path (element by element, so a folder's files
// stay together). Symbolic links to folders are not followed; a symbolic
// link to a regular file counts as that file. A folder that cannot be read
// is recorded in `errors` and the walk goes on with the rest. Never throws
// for anything the file system does.
FolderContents FindS98Files(const std::filesystem::path& folder);

}  // namespace zelta::cli
