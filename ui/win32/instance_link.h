// One window per user session. The first start's window, of the class
// TZELTA_MAIN, takes the files of every later start in the same session: a
// later start finds it by its class, sends it its paths with WM_COPYDATA and
// ends. A lock held from the search until the window exists keeps two starts
// at the same moment from both opening one.
#pragma once

#include <windows.h>

#include <filesystem>
#include <vector>

class InstanceLink
{
public:
    // Waits for the lock (at most a few seconds: a start that hangs does not
    // hold up the next).
    InstanceLink();
    ~InstanceLink();
    InstanceLink(const InstanceLink &) = delete;
    InstanceLink &operator=(const InstanceLink &) = delete;

    // Hands `files` to the window of an earlier start, which also comes to
    // the front; true once it has taken them. False when there is none, or
    // when it did not take them in time.
    bool HandOver(const std::vector<std::filesystem::path> &files);
    // This start's window exists: later starts may look for it.
    void Release();

    // The files a WM_COPYDATA of HandOver carries; false when it is not one.
    static bool FilesIn(const COPYDATASTRUCT &data, std::vector<std::filesystem::path> &files);

private:
    HANDLE lock = nullptr;
    bool held = false;
};
