// The application: start-up, the message loop that converts the dropped
// files between messages, and the display of an exception that escapes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

class TZELTA_MAIN;

class ZeltaApplication
{
public:
    explicit ZeltaApplication(HINSTANCE instance);

    // Runs the message loop until the window is closed; returns the exit
    // status (0).
    int Exec(TZELTA_MAIN &window);

    // Converts the dropped files one by one, letting every pending message
    // run before each (the window repaints, the options may change, the
    // window may close, and a new drop is converted before the rest of the
    // one in progress), and returns when no message and no file is left:
    // true, or false once the loop has been told to quit.
    bool ProcessEvents(TZELTA_MAIN &window);

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
    bool DispatchPending(TZELTA_MAIN &window);

    int exitCode = 0;
};
