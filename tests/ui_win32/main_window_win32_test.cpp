// The Win32 main window seen from inside its process: its start state, drops
// posted to it as the shell posts them, their log lines read back from the
// list, the options, drops and closing in the middle of a batch, a later
// start of zelta-gui.exe handing its files over, and the display of an
// exception.
#include "resource.h"
#include "zelta_application.h"
#include "zelta_main.h"

#include "temp_folder.h"

#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Rectangles compared and printed as the assertions need them.
bool operator==(const RECT &a, const RECT &b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

void PrintTo(const RECT &r, std::ostream *out)
{
    *out << '(' << r.left << ", " << r.top << ")-(" << r.right << ", " << r.bottom << ')';
}

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::wstring>;

const std::wstring kTitle = L"zelta_GUI 20110114";
const std::wstring kInstruction =
    L"*.s98をドロップするとファイル名の後ろに \"_new.s98\"を追加したファイル名で出力します";

// A small valid S98 file: `waits` one-step waits from 0x20 on, then a key-on
// (register 0x28 of the OPNA) and the end of the data.
std::string S98(int waits = 2)
{
    std::string image(0x20, '\0');
    image.replace(0, 4, "S983");
    image[0x14] = 0x20;
    image.append(std::size_t(waits), '\xff');
    image.append("\x00\x28\xf0\xfd", 4);
    return image;
}

// The lines of a good conversion of <stem>.s98 (two waits), without options,
// as the list shows them: the line feed that ends two of them is not drawn.
Lines Block(const std::wstring &stem)
{
    return {stem + L".s98", L"start offset(1st key-on)=00000022",
            L"output file:" + stem + L"_new.s98", L"-> ok"};
}

// The same with the detail log: the two waits that are left out.
Lines DetailBlock(const std::wstring &stem)
{
    return {stem + L".s98", L"start offset(1st key-on)=00000022",
            L"output file:" + stem + L"_new.s98", L"00000020 : ff       [1sync]",
            L"00000021 : ff       [1sync]", L"-> ok"};
}

// A block with the loop search's line for a song that has no loop.
Lines WithLoopLine(Lines lines)
{
    lines.insert(lines.begin() + 2, L"loop offset(repeat found)=none");
    return lines;
}

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A drop as the shell hands it over: a DROPFILES header and the paths as
// UTF-16, each ended by a NUL, the list by another, in movable memory.
HDROP MakeDrop(const std::vector<fs::path> &paths)
{
    std::wstring names;
    for (const fs::path &path : paths)
        names += path.native() + L'\0';
    names += L'\0';
    const std::size_t size = sizeof(DROPFILES) + names.size() * sizeof(wchar_t);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!memory)
        throw std::bad_alloc();
    auto *header = static_cast<DROPFILES *>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::copy(names.begin(), names.end(), reinterpret_cast<wchar_t *>(header + 1));
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

std::wstring TextOf(HWND window)
{
    std::wstring text(std::size_t(GetWindowTextLengthW(window)), L'\0');
    GetWindowTextW(window, text.data(), int(text.size()) + 1);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256];  // class names are at most 256 characters
    return std::wstring(name, std::size_t(GetClassNameW(window, name, 256)));
}

// Runs zelta-gui.exe with `arguments` in `folder` and waits for its end,
// letting the messages it sends to this thread's windows through meanwhile.
// Returns its exit code, or -1 when it did not end by itself.
long SecondStart(const fs::path &folder, const std::wstring &arguments)
{
    std::wstring self(256, L'\0');
    while (GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())) == self.size())
        self.resize(self.size() * 2);
    const fs::path gui = fs::path(self.c_str()).parent_path() / ZELTA_GUI_FROM_TEST;
    std::wstring commandLine = L'"' + gui.native() + L"\" " + arguments;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(gui.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &started))
        return -1;
    while (MsgWaitForMultipleObjects(1, &started.hProcess, FALSE, 10000, QS_SENDMESSAGE)
           == WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    DWORD status = STILL_ACTIVE;
    GetExitCodeProcess(started.hProcess, &status);
    if (status == STILL_ACTIVE)
        TerminateProcess(started.hProcess, 1);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return status == STILL_ACTIVE ? -1 : long(status);
}

RECT RectIn(HWND window, HWND parent)
{
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

// Watches the lines appended to the list box: each action runs right after
// its line is added, in the middle of that file's conversion.
class ListWatch
{
public:
    explicit ListWatch(HWND list) : list(list)
    {
        SetWindowSubclass(list, Proc, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    ~ListWatch() { RemoveWindowSubclass(list, Proc, 1); }

    void When(const std::wstring &line, std::function<void()> action)
    {
        actions.push_back({line, std::move(action)});
    }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                 UINT_PTR, DWORD_PTR self)
    {
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        if (message == LB_ADDSTRING) {
            auto &watch = *reinterpret_cast<ListWatch *>(self);
            const std::wstring line = reinterpret_cast<const wchar_t *>(lParam);
            for (auto &[when, action] : watch.actions) {
                if (action && line == when)
                    std::exchange(action, nullptr)();
            }
        }
        return result;
    }

    HWND list;
    std::vector<std::pair<std::wstring, std::function<void()>>> actions;
};

class MainWindowWin32Test : public testing::Test
{
protected:
    void SetUp() override
    {
        window = std::make_unique<TZELTA_MAIN>(GetModuleHandleW(nullptr));
        hwnd = window->handle();
        ASSERT_TRUE(hwnd);
        list = GetDlgItem(hwnd, IDC_LIST);
        panel = GetDlgItem(hwnd, IDC_PANEL);
        showStartOnly = GetDlgItem(panel, IDC_C_N);
        detailLog = GetDlgItem(panel, IDC_C_V);
        findLoop = GetDlgItem(panel, IDC_C_L);
        cutSilence = GetDlgItem(panel, IDC_C_S);
        ASSERT_TRUE(list && panel && showStartOnly && detailLog && findLoop && cutSilence);
    }

    void TearDown() override
    {
        window.reset();
        // The window's end posts WM_QUIT; the next test starts afresh.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    fs::path File(const std::wstring &name, const std::string &bytes = S98())
    {
        const fs::path path = folder.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    bool OutputExists(const std::wstring &stem) const
    {
        return fs::exists(folder.path() / (stem + L"_new.s98"));
    }

    void Drop(const std::vector<fs::path> &paths)
    {
        ASSERT_TRUE(PostMessageW(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(paths)), 0));
    }

    // Lets the window run until nothing is left to do; false once it ended.
    bool Run() { return app.ProcessEvents(*window); }

    Lines ListLines() const
    {
        Lines lines;
        const auto count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT row = 0; row < count; ++row) {
            std::wstring text(std::size_t(SendMessageW(list, LB_GETTEXTLEN, row, 0)), L'\0');
            SendMessageW(list, LB_GETTEXT, row, reinterpret_cast<LPARAM>(text.data()));
            lines.push_back(text);
        }
        return lines;
    }

    int TextWidth(const std::wstring &text) const
    {
        const HDC dc = GetDC(list);
        const HGDIOBJ before = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
        SelectObject(dc, before);
        ReleaseDC(list, dc);
        return size.cx;
    }

    zelta::test::TempFolder folder{"zelta-window"};
    ZeltaApplication app{GetModuleHandleW(nullptr)};
    std::unique_ptr<TZELTA_MAIN> window;
    HWND hwnd = nullptr;
    HWND list = nullptr;
    HWND panel = nullptr;
    HWND showStartOnly = nullptr;
    HWND detailLog = nullptr;
    HWND findLoop = nullptr;
    HWND cutSilence = nullptr;
};

TEST_F(MainWindowWin32Test, StartsWithItsTitleTheUncheckedOptionsAndTheInstructionLine)
{
    EXPECT_EQ(ClassOf(hwnd), L"TZELTA_MAIN");
    EXPECT_EQ(TextOf(hwnd), kTitle);
    EXPECT_EQ(SendMessageW(showStartOnly, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(detailLog, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(findLoop, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(TextOf(cutSilence), L"-s : cut silent ends");
    EXPECT_EQ(RectIn(cutSilence, panel), (RECT{304, 24, 304 + 157, 24 + 17}));
    EXPECT_EQ(GetNextDlgTabItem(hwnd, findLoop, FALSE), cutSilence);
    EXPECT_EQ(ListLines(), Lines{kInstruction});
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_TRUE(GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

TEST_F(MainWindowWin32Test, StandsInTheMiddleOfTheScreenAndGivesTheListTheRoomOfAResize)
{
    RECT frame;
    GetWindowRect(hwnd, &frame);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(std::abs((frame.left + frame.right) - (work.left + work.right)), 2);
    EXPECT_LE(std::abs((frame.top + frame.bottom) - (work.top + work.bottom)), 2);

    // Resized, the panel keeps its height and the list takes the rest.
    const RECT panelBefore = RectIn(panel, hwnd);
    SetWindowPos(hwnd, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(RectIn(panel, hwnd), (RECT{0, 0, client.right, panelBefore.bottom}));
    EXPECT_EQ(RectIn(list, hwnd), (RECT{0, panelBefore.bottom, client.right, client.bottom}));
}

TEST_F(MainWindowWin32Test, TheDropReturnsBeforeAnyFileIsConverted)
{
    Drop({File(L"a.s98")});
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, hwnd, WM_DROPFILES, WM_DROPFILES, PM_REMOVE));
    DispatchMessageW(&message);
    EXPECT_EQ(ListLines(), Lines{kInstruction});
    EXPECT_FALSE(OutputExists(L"a"));

    ASSERT_TRUE(Run());
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"a"));
    EXPECT_TRUE(OutputExists(L"a"));
}

TEST_F(MainWindowWin32Test, ConvertsThreeFilesAndAFolderInTheOrderOfTheDrop)
{
    ASSERT_TRUE(fs::create_directory(folder.path() / L"songs"));
    Drop({File(L"c.s98"), File(L"曲 1.s98"), folder.path() / L"songs", File(L"b.s98")});
    ASSERT_TRUE(Run());
    EXPECT_EQ(ListLines(), (Lines{kInstruction} + Block(L"c") + Block(L"曲 1")
                            + Lines{L"songs", L"-> input file open error."} + Block(L"b")));
    EXPECT_TRUE(OutputExists(L"c") && OutputExists(L"曲 1") && OutputExists(L"b"));
}

TEST_F(MainWindowWin32Test, BringsTheListUpToDateWhenTheBatchIsDone)
{
    // While files are converted the list's drawing and scroll bar are held;
    // once the batch is done the scroll bar spans every line.
    std::vector<fs::path> paths;
    for (int i = 0; i < 30; ++i)
        paths.push_back(File(L"s" + std::to_wstring(i) + L".s98"));
    Drop(paths);
    ASSERT_TRUE(Run());
    ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 1 + 30 * 4);
    SCROLLINFO bar{sizeof bar, SIF_RANGE | SIF_PAGE};
    ASSERT_TRUE(GetScrollInfo(list, SB_VERT, &bar));
    EXPECT_EQ(bar.nMax, 30 * 4);
    EXPECT_GT(bar.nPage, 0u);
}

TEST_F(MainWindowWin32Test, TakesPathsLongerThanTheOldLimit)
{
    fs::path deep = folder.path();
    for (int i = 0; i < 6; ++i)
        deep /= std::wstring(50, wchar_t(L'a' + i));
    ASSERT_TRUE(fs::create_directories(deep));
    const fs::path path = deep / L"long.s98";
    std::ofstream(path, std::ios::binary) << S98();
    ASSERT_GT(path.native().size(), 300u);
    Drop({path});
    ASSERT_TRUE(Run());
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"long"));
    EXPECT_TRUE(fs::exists(deep / L"long_new.s98"));
}

TEST_F(MainWindowWin32Test, WithBothOptionsShowsTheStartLineOnlyAndWritesNothing)
{
    SendMessageW(showStartOnly, BM_CLICK, 0, 0);
    SendMessageW(detailLog, BM_CLICK, 0, 0);
    Drop({File(L"a.s98")});
    ASSERT_TRUE(Run());
    EXPECT_EQ(ListLines(), (Lines{kInstruction, L"a.s98", L"start offset(1st key-on)=00000022", L"-> ok"}));
    EXPECT_FALSE(OutputExists(L"a"));
}

TEST_F(MainWindowWin32Test, ReadsTheOptionsWhenEachFileBegins)
{
    ListWatch watch(list);
    // Clicked by the user while a.s98 is being converted: the later files
    // get the detail log and the loop search, a.s98 does not.
    watch.When(L"a.s98", [&] {
        PostMessageW(detailLog, BM_CLICK, 0, 0);
        PostMessageW(findLoop, BM_CLICK, 0, 0);
    });
    // Changed in the middle of b.s98's own log: b.s98 keeps its options.
    watch.When(L"b.s98", [&] {
        SendMessageW(detailLog, BM_SETCHECK, BST_UNCHECKED, 0);
        SendMessageW(findLoop, BM_SETCHECK, BST_UNCHECKED, 0);
        SendMessageW(cutSilence, BM_SETCHECK, BST_CHECKED, 0);
    });
    Drop({File(L"a.s98"), File(L"b.s98"), File(L"c.s98")});
    ASSERT_TRUE(Run());
    // c.s98 with -s: its key-on sounds nothing (the voice has no attack
    // rate), so nothing is left out or cut.
    const Lines c{L"c.s98", L"start offset(1st key-on)=00000000", L"end offset(silence cut)=none",
                  L"output file:c_new.s98", L"-> ok"};
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"a") + WithLoopLine(DetailBlock(L"b")) + c);
}

TEST_F(MainWindowWin32Test, ConvertsASecondDropBeforeTheRestOfTheFirst)
{
    ListWatch watch(list);
    const std::vector<fs::path> second{File(L"c.s98"), File(L"d.s98")};
    watch.When(L"a.s98", [&] { Drop(second); });
    Drop({File(L"a.s98"), File(L"b.s98")});
    ASSERT_TRUE(Run());
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"a") + Block(L"c") + Block(L"d") + Block(L"b"));
}

TEST_F(MainWindowWin32Test, ASecondStartHandsItsFilesToTheOpenWindowInTheMiddleOfItsBatchAndEnds)
{
    ListWatch watch(list);
    File(L"c.s98");
    File(L"-d.s98");
    // a.s98's conversion waits for the second start to end: a start that
    // waited for the batch's end would never end.
    long status = -2;
    watch.When(L"a.s98", [&] { status = SecondStart(folder.path(), L"c.s98 -d.s98"); });
    Drop({File(L"a.s98"), File(L"b.s98")});
    ASSERT_TRUE(Run());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"a") + Block(L"c") + Block(L"-d") + Block(L"b"));
}

TEST_F(MainWindowWin32Test, ClosedDuringABatchFinishesTheFileAndSkipsTheRest)
{
    ListWatch watch(list);
    watch.When(L"a.s98", [&] { PostMessageW(hwnd, WM_CLOSE, 0, 0); });
    Drop({File(L"a.s98"), File(L"b.s98"), File(L"c.s98")});
    std::vector<fs::path> left;
    watch.When(L"-> ok", [&] {
        for (const auto &entry : fs::directory_iterator(folder.path()))
            left.push_back(entry.path().filename());
    });
    EXPECT_EQ(app.Exec(*window), 0);
    EXPECT_EQ(window->handle(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(OutputExists(L"a"));
    EXPECT_FALSE(OutputExists(L"b") || OutputExists(L"c"));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<fs::path>{L"a.s98", L"a_new.s98", L"b.s98", L"c.s98"}));
}

TEST_F(MainWindowWin32Test, ClosedDuringASecondDropSkipsTheRestOfBoth)
{
    ListWatch watch(list);
    const std::vector<fs::path> second{File(L"c.s98"), File(L"d.s98")};
    watch.When(L"a.s98", [&] { Drop(second); });
    Lines atClose;
    watch.When(L"c.s98", [&] { PostMessageW(hwnd, WM_CLOSE, 0, 0); });
    watch.When(L"output file:c_new.s98", [&] { atClose = ListLines(); });
    Drop({File(L"a.s98"), File(L"b.s98")});
    EXPECT_EQ(app.Exec(*window), 0);
    EXPECT_EQ(atClose, (Lines{kInstruction} + Block(L"a")
                        + Lines{L"c.s98", L"start offset(1st key-on)=00000022", L"output file:c_new.s98"}));
    EXPECT_TRUE(OutputExists(L"a") && OutputExists(L"c"));
    EXPECT_FALSE(OutputExists(L"b") || OutputExists(L"d"));
}

TEST_F(MainWindowWin32Test, WidensTheScrollRangeToTheLongestLine)
{
    const auto extent = [&] { return int(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0)); };
    const int atStart = extent();
    EXPECT_GE(atStart, TextWidth(kInstruction));

    const std::wstring longName = std::wstring(120, L'x') + L"曲";
    Drop({File(longName + L".s98")});
    ASSERT_TRUE(Run());
    const int afterLong = extent();
    EXPECT_GT(afterLong, atStart);
    EXPECT_GE(afterLong, TextWidth(L"output file:" + longName + L"_new.s98"));

    Drop({File(L"a.s98")});
    ASSERT_TRUE(Run());
    EXPECT_EQ(extent(), afterLong);
    // Never scrolled, nothing selected.
    EXPECT_EQ(SendMessageW(list, LB_GETTOPINDEX, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
}

// Answers the message box that ShowException opens, keeping its caption and
// text.
struct BoxAnswer
{
    static inline std::vector<std::pair<std::wstring, std::wstring>> seen;

    static void CALLBACK Answer(HWND, UINT, UINT_PTR, DWORD)
    {
        EnumThreadWindows(GetCurrentThreadId(), [](HWND box, LPARAM) -> BOOL {
            if (ClassOf(box) != L"#32770" || !IsWindowVisible(box))
                return TRUE;
            std::wstring text;
            EnumChildWindows(box, [](HWND child, LPARAM into) -> BOOL {
                if (ClassOf(child) == L"Static")
                    *reinterpret_cast<std::wstring *>(into) += TextOf(child);
                return TRUE;
            }, reinterpret_cast<LPARAM>(&text));
            seen.emplace_back(TextOf(box), text);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return FALSE;
        }, 0);
    }
};

TEST_F(MainWindowWin32Test, ShowsAnExceptionInAMessageBoxWithItsText)
{
    BoxAnswer::seen.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, BoxAnswer::Answer);
    try {
        throw std::runtime_error("disk on fire");
    } catch (...) {
        ZeltaApplication::ShowException(hwnd);
    }
    try {
        throw 42;
    } catch (...) {
        ZeltaApplication::ShowException(hwnd);
    }
    KillTimer(nullptr, timer);
    EXPECT_EQ(BoxAnswer::seen, (std::vector<std::pair<std::wstring, std::wstring>>{
                                   {kTitle, L"disk on fire"}, {kTitle, L""}}));
}

TEST_F(MainWindowWin32Test, ANameWithALoneSurrogateIsShownWithAReplacementAndTheDropGoesOn)
{
    // A lone surrogate: a name Windows allows, which has no UTF-8 form.
    const fs::path lone = folder.path() / std::wstring{L'x', wchar_t(0xD800), L'.', L's', L'9', L'8'};
    BoxAnswer::seen.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, BoxAnswer::Answer);
    Drop({File(L"a.s98"), lone, File(L"b.s98")});
    ASSERT_TRUE(Run());
    KillTimer(nullptr, timer);
    EXPECT_TRUE(BoxAnswer::seen.empty());
    const Lines odd = {L"x\uFFFD.s98", L"-> input file open error."};
    EXPECT_EQ(ListLines(), Lines{kInstruction} + Block(L"a") + odd + Block(L"b"));
}

} // namespace
