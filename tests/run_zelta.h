// Runs the built command line (ZELTA_CLI_PATH) in a folder, with its
// standard output and error captured, on POSIX systems and on Windows.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "s98_builder.h"

namespace zelta::test {

struct RunResult {
    int status = -1;  // the exit status; -1 when it did not exit by itself
    std::string out;
    std::string err;
};

#ifdef _WIN32
// One argument as the program's command-line parser reads it back: quoted,
// with the backslashes before a quote doubled.
inline std::wstring QuotedArgument(const std::wstring& arg) {
    std::wstring q = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q.push_back(c);
    }
    q.append(2 * backslashes, L'\\');
    return q + L"\"";
}

inline HANDLE InheritableFile(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

// Runs zelta with `args` (UTF-8) in `folder`, ended after `seconds`. On
// POSIX systems a non-empty `launcher` is run instead of the built zelta: a
// command (found on PATH) with its own arguments, the last of them the
// program to run with `args`, e.g. setpriv ... /copy/of/zelta.
inline RunResult RunZelta(const std::filesystem::path& folder, const std::vector<std::string>& args,
                          int seconds = 60, const std::vector<std::string>& launcher = {}) {
    namespace fs = std::filesystem;
    const fs::path stem = folder.parent_path() / folder.filename();
    const fs::path outFile = fs::path(stem) += ".out";
    const fs::path errFile = fs::path(stem) += ".err";
    RunResult run;
#ifdef _WIN32
    (void)launcher;
    const fs::path program = ZELTA_CLI_PATH;
    std::wstring command = QuotedArgument(program.native());
    for (const auto& a : args) {
        command += L" " + QuotedArgument(fs::path(std::u8string(a.begin(), a.end())).native());
    }
    const HANDLE out = InheritableFile(outFile), err = InheritableFile(errFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         folder.c_str(), &startup, &process)) {
        if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(seconds) * 1000) ==
            WAIT_OBJECT_0) {
            DWORD code = 0;
            ::GetExitCodeProcess(process.hProcess, &code);
            run.status = static_cast<int>(code);
        } else {
            ::TerminateProcess(process.hProcess, 255);
            ::WaitForSingleObject(process.hProcess, INFINITE);
        }
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
#else
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::chdir(folder.c_str()) != 0) ::_exit(127);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::alarm(static_cast<unsigned>(seconds));
        std::vector<char*> argv;
        if (launcher.empty()) argv.push_back(const_cast<char*>(ZELTA_CLI_PATH));
        for (const auto& a : launcher) argv.push_back(const_cast<char*>(a.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int raw = 0;
    if (pid > 0 && ::waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
#endif
    const auto outBytes = ReadFile(outFile), errBytes = ReadFile(errFile);
    run.out.assign(outBytes.begin(), outBytes.end());
    run.err.assign(errBytes.begin(), errBytes.end());
    fs::remove(outFile);
    fs::remove(errFile);
    return run;
}

}  // namespace zelta::test
