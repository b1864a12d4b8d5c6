// The application: start-up, the message loop that converts the dropped
// files between messages, and the display of an exception that escapes.
//
// The application knows the window only as a BatchWindow; the window
// (zelta_main.h) takes its texts and its error display from here.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// What the message loop needs of the window it runs: its handle (for the
// dialog keys, and as the owner of an error's message box) and the dropped
// files waiting in it.
class BatchWindow
{
public:
    // The window, until it is destroyed (closed); then null.
    virtual HWND handle() const = 0;
    // Whether dropped files are waiting to be converted.
    virtual bool HasPendingFiles() const = 0;
    // Converts the next waiting file; throws what the conversion throws.
    virtual void ConvertNextFile() = 0;

protected:
    ~BatchWindow() = default;
};

class ZeltaApplication
{
public:
    explicit ZeltaApplication(HINSTANCE instance);

    // Runs the message loop until the window is closed; returns the exit
    // status (0).
    int Exec(BatchWindow &window);

    // Converts the dropped files one by one, letting every pending message
    // run before each (the window repaints, the options may change, the
    // window may close, and a new drop is converted before the rest of the
    // one in progress), and returns when no message and no file is left:
    // true, or false once the loop has been told to quit.
    bool ProcessEvents(BatchWindow &window);

    // The application title "zelta_GUI 20110114", and the other texts of
    // the program's resources.
    static std::wstring Title();
    static std::wstring Text(UINT id);

    // The files named on the program's command line, every argument a path
    // ("-x" too), made absolute against the current folder as the paths of
    // a drop are.
    static std::vector<std::filesystem::path> FilesGiven();

    // Shows the exception being handled in a message box with its text;
    // call it from a catch block.
    static void ShowException(HWND owner);

private:
    bool DispatchPending(BatchWindow &window);

    int exitCode = 0;
};

// The text of a UTF-8 string as UTF-16.
std::wstring WideFromUtf8(std::string_view text);
