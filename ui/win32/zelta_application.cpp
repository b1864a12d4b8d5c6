#include "zelta_application.h"

#include "resource.h"

#include <zelta/convert.h>

#include <commctrl.h>
#include <shellapi.h>

#include <exception>
#include <system_error>

ZeltaApplication::ZeltaApplication(HINSTANCE)
{
    zelta::IgnoreFileSizeSignal();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

int ZeltaApplication::Exec(BatchWindow &window)
{
    while (ProcessEvents(window))
        WaitMessage();
    return exitCode;
}

bool ZeltaApplication::ProcessEvents(BatchWindow &window)
{
    for (;;) {
        // Looking at the queue this way lets the system deliver what it
        // holds for this thread, the end of a drag among it, so the program
        // a drag came from is released at once however many files follow.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
        if (!DispatchPending(window))
            return false;
        if (!window.HasPendingFiles())
            return true;
        try {
            window.ConvertNextFile();
        } catch (...) {
            ShowException(window.handle());
        }
    }
}

bool ZeltaApplication::DispatchPending(BatchWindow &window)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            exitCode = int(message.wParam);
            return false;
        }
        const HWND dialog = window.handle();
        if (!dialog || !IsDialogMessageW(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

std::wstring ZeltaApplication::Title()
{
    return Text(IDS_TITLE);
}

std::wstring ZeltaApplication::Text(UINT id)
{
    const wchar_t *text = nullptr;
    // With no buffer, LoadStringW points at the resource itself.
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, std::size_t(length)) : std::wstring();
}

void ZeltaApplication::ShowException(HWND owner)
{
    std::wstring text;  // an exception that carries no text shows an empty message
    try {
        throw;
    } catch (const std::exception &e) {
        text = WideFromUtf8(e.what());
    } catch (...) {
    }
    MessageBoxW(owner, text.c_str(), Title().c_str(), MB_OK | MB_ICONERROR);
}

std::wstring WideFromUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

std::vector<std::filesystem::path> ZeltaApplication::FilesGiven()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        throw std::system_error(int(GetLastError()), std::system_category(), "CommandLineToArgvW");
    std::vector<std::filesystem::path> files;
    try {
        for (int i = 1; i < count; ++i) {
            std::filesystem::path file(arguments[i]);
            std::error_code error;
            std::filesystem::path absolute = file.empty() ? file : std::filesystem::absolute(file, error);
            files.push_back(error ? std::move(file) : std::move(absolute));
        }
    } catch (...) {
        LocalFree(arguments);
        throw;
    }
    LocalFree(arguments);
    return files;
}
