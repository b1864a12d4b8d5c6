// What the command line needs of the platform, in one small file per
// platform: platform_posix.cpp or platform_win32.cpp.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zelta::cli {

#ifdef _WIN32
// wmain's arguments without the program's name, as UTF-8.
std::vector<std::string> ArgumentsAsUtf8(int argc, wchar_t** argv);
#endif

// Makes standard output and error take bytes as they are (no line-feed
// translation). Called once at start.
void PrepareStandardStreams();

// Writes UTF-8 text to standard output or error (`stream`): the bytes as
// they are to a pipe or a file, the text itself to a Windows console.
void WriteText(std::FILE* stream, std::string_view text);

// Whether `entry`, met while walking a folder, is a link or another
// redirection to elsewhere (a Windows junction) that the walk must not enter.
bool IsLinkToElsewhere(const std::filesystem::directory_entry& entry);

}  // namespace zelta::cli
