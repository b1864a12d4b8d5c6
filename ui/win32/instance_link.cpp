#include "instance_link.h"

#include "zelta_main.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

// In the session's own namespace, so each session has its own window.
constexpr wchar_t kLockName[] = L"Local\\org.example.zelta.window";
// What tells zelta's WM_COPYDATA apart: 'ZELT'.
constexpr ULONG_PTR kFilesTag = 0x5A454C54;
constexpr DWORD kTimeout = 3000;  // ms

} // namespace

InstanceLink::InstanceLink() : lock(CreateMutexW(nullptr, FALSE, kLockName))
{
    if (lock) {
        const DWORD waited = WaitForSingleObject(lock, kTimeout);
        held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
}

InstanceLink::~InstanceLink()
{
    Release();
    if (lock)
        CloseHandle(lock);
}

void InstanceLink::Release()
{
    if (held) {
        ReleaseMutex(lock);
        held = false;
    }
}

bool InstanceLink::HandOver(const std::vector<std::filesystem::path> &files)
{
    const HWND open = FindWindowW(TZELTA_MAIN::kClassName, nullptr);
    if (!open)
        return false;
    // The paths in UTF-16, each ended by a NUL; the message counts the bytes.
    std::wstring paths;
    for (const auto &file : files)
        paths += file.native() + L'\0';
    COPYDATASTRUCT data{kFilesTag, DWORD(paths.size() * sizeof(wchar_t)), paths.data()};
    // This start was begun by the user; it lets the window take the front.
    DWORD process = 0;
    GetWindowThreadProcessId(open, &process);
    AllowSetForegroundWindow(process);
    DWORD_PTR taken = FALSE;
    return SendMessageTimeoutW(open, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                               SMTO_ABORTIFHUNG, kTimeout, &taken)
           && taken == TRUE;
}

bool InstanceLink::FilesIn(const COPYDATASTRUCT &data, std::vector<std::filesystem::path> &files)
{
    if (data.dwData != kFilesTag || data.cbData % sizeof(wchar_t) != 0)
        return false;
    const auto *text = static_cast<const wchar_t *>(data.lpData);
    const std::wstring_view paths(text, data.cbData / sizeof(wchar_t));
    for (std::size_t begin = 0; begin < paths.size();) {
        const std::size_t end = std::min(paths.find(L'\0', begin), paths.size());
        files.emplace_back(paths.substr(begin, end - begin));
        begin = end + 1;
    }
    return true;
}
