#include "zelta_main.h"

#include "instance_link.h"
#include "resource.h"

#include <zelta/convert.h>

#include <shellapi.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// The form's geometry at 96 pixels per inch, as the stored form gives it.
constexpr SIZE kClientSize{469, 346};
constexpr int kPanelHeight = 49;
constexpr RECT kShowStartOnly{8, 8, 8 + 289, 8 + 17};
constexpr RECT kDetailLog{8, 24, 8 + 281, 24 + 17};
constexpr RECT kFindLoop{304, 8, 304 + 157, 8 + 17};
constexpr RECT kCutSilence{304, 24, 304 + 157, 24 + 17};
// Room the list box leaves around an item's text.
constexpr int kItemMargin = 6;

constexpr wchar_t kFormName[] = L"ZELTA_MAIN";
constexpr wchar_t kIconName[] = L"MAINICON";

// The window's pixels per inch. GetDpiForWindow exists from Windows 10
// 1607 on; before it every window has the system's.
UINT DpiOf(HWND window)
{
    using GetDpiForWindowFn = UINT(WINAPI *)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window))
            return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? UINT(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// The dialog manager sends WM_INITDIALOG, and gives the dialog the form's
// font, only when the dialog has a dialog procedure. The window procedure of
// TZELTA_MAIN handles every message itself, so this one handles none.
INT_PTR CALLBACK NoDialogProcedure(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

bool IsChecked(HWND checkBox)
{
    return SendMessageW(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

} // namespace

// Appends each line of a conversion's log to the end of the list.
class TZELTA_MAIN::LogSink final : public zelta::LogSink
{
public:
    explicit LogSink(TZELTA_MAIN &window) : window(window) {}

    void Append(const std::string &line) override { window.Append(WideFromUtf8(line)); }

private:
    TZELTA_MAIN &window;
};

TZELTA_MAIN::TZELTA_MAIN(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (!GetClassInfoExW(instance, kClassName, &windowClass)) {
        windowClass.cbSize = sizeof windowClass;
        windowClass.style = CS_DBLCLKS;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.cbWndExtra = DLGWINDOWEXTRA;  // the dialog's own data
        windowClass.hInstance = instance;
        windowClass.hIcon = static_cast<HICON>(
            LoadImageW(instance, kIconName, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
        windowClass.hIconSm = static_cast<HICON>(
            LoadImageW(instance, kIconName, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                       GetSystemMetrics(SM_CYSMICON), LR_SHARED));
        windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = kClassName;
        if (!RegisterClassExW(&windowClass))
            throw std::system_error(int(GetLastError()), std::system_category(),
                                    "RegisterClassExW");
    }
    // WM_INITDIALOG hands `this` to the window procedure.
    if (!CreateDialogParamW(instance, kFormName, nullptr, NoDialogProcedure,
                            reinterpret_cast<LPARAM>(this)))
        throw std::system_error(int(GetLastError()), std::system_category(), "CreateDialogParamW");
}

TZELTA_MAIN::~TZELTA_MAIN()
{
    if (hwnd)
        DestroyWindow(hwnd);
}

void TZELTA_MAIN::ConvertOneFile(const std::filesystem::path &path)
{
    const zelta::Options options{.showStartOnly = IsChecked(showStartOnly),
                                 .detailLog = IsChecked(detailLog),
                                 .findLoop = IsChecked(findLoop),
                                 .bySound = IsChecked(cutSilence)};
    HoldDrawing();
    try {
        LogSink sink(*this);
        zelta::ConvertOneFile(path, options, sink);
    } catch (...) {
        ReleaseDrawing();
        throw;
    }
    if (batches.empty() || GetTickCount64() - releasedAt >= kRedrawInterval)
        ReleaseDrawing();
}

void TZELTA_MAIN::ConvertNextFile()
{
    if (batches.empty())
        return;
    Batch &batch = batches.back();
    const std::filesystem::path path = batch.paths[batch.next++];
    const bool last = batch.next == batch.paths.size();
    const std::size_t depth = batches.size();
    if (last)
        batches.pop_back();
    try {
        ConvertOneFile(path);
    } catch (...) {
        // Nothing runs between files here, so the drop is still on top.
        if (!last && batches.size() == depth)
            batches.pop_back();
        throw;
    }
}

LRESULT CALLBACK TZELTA_MAIN::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto *self = reinterpret_cast<TZELTA_MAIN *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        self->hwnd = window;
    }
    auto *self = reinterpret_cast<TZELTA_MAIN *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return DefDlgProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->hwnd = nullptr;
        self->batches.clear();
        return DefDlgProcW(window, message, wParam, lParam);
    }
    // No exception may leave a window procedure: it is shown here and the
    // message counts as handled.
    try {
        return self->Dispatch(message, wParam, lParam);
    } catch (...) {
        ZeltaApplication::ShowException(window);
        return 0;
    }
}

LRESULT TZELTA_MAIN::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        WMInitDialog();
        return FALSE;  // the focus stays where the dialog put it
    case WM_DROPFILES:
        WMDropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_COPYDATA:
        return WMCopyData(*reinterpret_cast<const COPYDATASTRUCT *>(lParam));
    case WM_SIZE:
        WMSize();
        return 0;
    case WM_DPICHANGED:
        // The dialog manager scales the controls' fonts; the layout is ours.
        DefDlgProcW(hwnd, message, wParam, lParam);
        WMDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_CLOSE:
        WMClose();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefDlgProcW(hwnd, message, wParam, lParam);
    }
}

void TZELTA_MAIN::WMInitDialog()
{
    list = GetDlgItem(hwnd, IDC_LIST);
    panel = GetDlgItem(hwnd, IDC_PANEL);
    showStartOnly = GetDlgItem(hwnd, IDC_C_N);
    detailLog = GetDlgItem(hwnd, IDC_C_V);
    findLoop = GetDlgItem(hwnd, IDC_C_L);
    cutSilence = GetDlgItem(hwnd, IDC_C_S);
    if (!list || !panel || !showStartOnly || !detailLog || !findLoop || !cutSilence)
        throw std::runtime_error("the form ZELTA_MAIN lacks a control");
    // A dialog template holds no nesting: the options move into the panel
    // here, in their tab order C_n, C_v, C_l, C_s.
    SetParent(showStartOnly, panel);
    SetParent(detailLog, panel);
    SetParent(findLoop, panel);
    SetParent(cutSilence, panel);
    SetWindowPos(detailLog, showStartOnly, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowPos(findLoop, detailLog, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowPos(cutSilence, findLoop, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    SetWindowTextW(hwnd, ZeltaApplication::Title().c_str());

    // The client area at its size, centred on the screen's work area.
    dpi = DpiOf(hwnd);
    RECT frame{0, 0, Scaled(kClientSize.cx), Scaled(kClientSize.cy)};
    AdjustWindowRectEx(&frame, DWORD(GetWindowLongPtrW(hwnd, GWL_STYLE)), FALSE,
                       DWORD(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT &work = monitor.rcWork;
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(hwnd, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    LayOutOptions();
    WMSize();

    Append(ZeltaApplication::Text(IDS_INSTRUCTION));
    DragAcceptFiles(hwnd, TRUE);
}

void TZELTA_MAIN::WMDropFiles(HDROP drop)
{
    // Only the paths are taken here: the program the drag came from is
    // released when this returns, and the files are converted afterwards,
    // from the message loop.
    std::vector<std::filesystem::path> paths;
    try {
        const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        paths.reserve(count);
        for (UINT index = 0; index < count; ++index) {
            const UINT length = DragQueryFileW(drop, index, nullptr, 0);
            std::wstring path(length, L'\0');
            DragQueryFileW(drop, index, path.data(), length + 1);
            paths.emplace_back(std::move(path));
        }
    } catch (...) {
        DragFinish(drop);
        throw;
    }
    DragFinish(drop);
    OpenFiles(std::move(paths));
}

void TZELTA_MAIN::OpenFiles(std::vector<std::filesystem::path> paths)
{
    if (!paths.empty())
        batches.push_back(Batch{std::move(paths)});
}

LRESULT TZELTA_MAIN::WMCopyData(const COPYDATASTRUCT &data)
{
    // A later start's files. Only the paths are taken here too, so that
    // the start ends at once.
    std::vector<std::filesystem::path> paths;
    if (!InstanceLink::FilesIn(data, paths))
        return FALSE;
    if (IsIconic(hwnd))
        ShowWindow(hwnd, SW_RESTORE);
    SetForegroundWindow(hwnd);
    OpenFiles(std::move(paths));
    return TRUE;
}

void TZELTA_MAIN::WMSize()
{
    RECT client;
    GetClientRect(hwnd, &client);
    const int panelHeight = Scaled(kPanelHeight);
    MoveWindow(panel, 0, 0, client.right, panelHeight, TRUE);
    MoveWindow(list, 0, panelHeight, client.right, std::max(0L, client.bottom - panelHeight), TRUE);
}

void TZELTA_MAIN::WMDpiChanged(UINT newDpi, const RECT &suggested)
{
    listExtent = MulDiv(listExtent, int(newDpi), int(dpi));
    dpi = newDpi;
    SetWindowPos(hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    LayOutOptions();
    WMSize();
    SendMessageW(list, LB_SETHORIZONTALEXTENT, WPARAM(listExtent), 0);
}

void TZELTA_MAIN::WMClose()
{
    // Between files, so the file before is complete; the rest are skipped.
    batches.clear();
    DestroyWindow(hwnd);
}

void TZELTA_MAIN::LayOutOptions()
{
    for (const auto &[box, place] : {std::pair{showStartOnly, kShowStartOnly},
                                     std::pair{detailLog, kDetailLog},
                                     std::pair{findLoop, kFindLoop},
                                     std::pair{cutSilence, kCutSilence}}) {
        MoveWindow(box, Scaled(place.left), Scaled(place.top), Scaled(place.right - place.left),
                   Scaled(place.bottom - place.top), TRUE);
    }
}

void TZELTA_MAIN::HoldDrawing()
{
    if (!drawingHeld) {
        drawingHeld = true;
        SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    }
}

void TZELTA_MAIN::ReleaseDrawing()
{
    if (drawingHeld) {
        drawingHeld = false;
        releasedAt = GetTickCount64();
        SendMessageW(list, WM_SETREDRAW, TRUE, 0);
        // What changed meanwhile, the user's scrolling included, is drawn
        // with the next paint.
        InvalidateRect(list, nullptr, TRUE);
    }
}

int TZELTA_MAIN::Scaled(int pixels) const
{
    return MulDiv(pixels, int(dpi), USER_DEFAULT_SCREEN_DPI);
}

void TZELTA_MAIN::Append(std::wstring_view line)
{
    // The start and output lines end with a line feed of their own, which
    // is not drawn.
    while (!line.empty() && line.back() == L'\n')
        line.remove_suffix(1);
    const std::wstring text(line);
    const LRESULT added = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (added == LB_ERR || added == LB_ERRSPACE)
        throw std::bad_alloc();

    const HDC dc = GetDC(list);
    const HGDIOBJ before = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    SelectObject(dc, before);
    ReleaseDC(list, dc);
    const int width = size.cx + Scaled(kItemMargin);
    if (width > listExtent) {
        listExtent = width;
        SendMessageW(list, LB_SETHORIZONTALEXTENT, WPARAM(listExtent), 0);
    }
}
