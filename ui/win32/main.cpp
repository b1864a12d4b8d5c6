#include "instance_link.h"
#include "zelta_application.h"
#include "zelta_main.h"

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    try {
        const auto files = ZeltaApplication::FilesGiven();
        InstanceLink link;
        if (link.HandOver(files))
            return EXIT_SUCCESS;
        ZeltaApplication app(instance);
        TZELTA_MAIN window(instance);
        ShowWindow(window.handle(), showCommand);
        link.Release();
        window.OpenFiles(files);
        return app.Exec(window);
    } catch (...) {
        ZeltaApplication::ShowException(nullptr);
        return EXIT_FAILURE;
    }
}
