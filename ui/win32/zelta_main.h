// The main window: the four options above the log list. Files dropped on it
// are converted one after another, each logged as it goes.
//
// The window is the dialog ZELTA_MAIN of the program's resources, in a
// window class of its own, TZELTA_MAIN, whose window procedure is the one
// below. A drop only takes the paths; the message loop converts them
// (ZeltaApplication::ProcessEvents), one file at a time through
// ConvertNextFile. Files given at start and handed over by later starts
// (WM_COPYDATA, see InstanceLink) are taken as drops.
#pragma once

#include "zelta_application.h"

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class TZELTA_MAIN final : public BatchWindow
{
public:
    // The window's class, by which later starts find it.
    static constexpr wchar_t kClassName[] = L"TZELTA_MAIN";

    // Creates the window from its form, hidden, with the instruction line
    // in its list.
    explicit TZELTA_MAIN(HINSTANCE instance);
    ~TZELTA_MAIN();
    TZELTA_MAIN(const TZELTA_MAIN &) = delete;
    TZELTA_MAIN &operator=(const TZELTA_MAIN &) = delete;

    HWND handle() const override { return hwnd; }

    // Converts one file with the options the check boxes show now, logging
    // its name, the conversion's lines and the result line.
    void ConvertOneFile(const std::filesystem::path &path);

    // Takes `paths` as one drop arriving now.
    void OpenFiles(std::vector<std::filesystem::path> paths);

    bool HasPendingFiles() const override { return !batches.empty(); }
    // Converts the next waiting file: the next one of the latest drop that
    // is not finished yet. Throws what the conversion throws; the rest of
    // that drop is then dropped.
    void ConvertNextFile() override;

private:
    class LogSink;

    // One drop: its paths in the shell's order, and how many are done.
    struct Batch
    {
        std::vector<std::filesystem::path> paths;
        std::size_t next = 0;
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    void WMInitDialog();
    void WMDropFiles(HDROP drop);
    LRESULT WMCopyData(const COPYDATASTRUCT &data);
    void WMSize();
    void WMDpiChanged(UINT dpi, const RECT &suggested);
    void WMClose();

    // While files are converted the list draws nothing, and its scroll
    // bars stand still: each added line would redraw a scroll bar at once,
    // which costs far more than converting a small file. Its drawing is
    // let go between files at most every kRedrawInterval ms, and when the
    // last waiting file is done, so that the window still looks alive.
    void HoldDrawing();
    void ReleaseDrawing();
    void LayOutOptions();
    int Scaled(int pixels) const;
    // Appends one line at the end of the list and widens the list's
    // horizontal scroll range to it when it is the longest so far.
    void Append(std::wstring_view line);

    HWND hwnd = nullptr;
    HWND list = nullptr;
    HWND panel = nullptr;
    HWND showStartOnly = nullptr;  // C_n
    HWND detailLog = nullptr;      // C_v
    HWND findLoop = nullptr;       // C_l
    HWND cutSilence = nullptr;     // C_s
    UINT dpi = USER_DEFAULT_SCREEN_DPI;
    int listExtent = 0;  // the horizontal scroll range of the list, in pixels
    bool drawingHeld = false;
    ULONGLONG releasedAt = 0;  // when the list last drew (GetTickCount64)
    static constexpr ULONGLONG kRedrawInterval = 40;  // ms
    // The drops not finished yet, in the order they came; a drop made
    // during another one is converted first.
    std::vector<Batch> batches;
};
