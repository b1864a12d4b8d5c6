#include "zelta_application.h"
#include "zelta_main.h"

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    try {
        ZeltaApplication app(instance);
        TZELTA_MAIN window(instance);
        ShowWindow(window.handle(), showCommand);
        return app.Exec(window);
    } catch (...) {
        ZeltaApplication::ShowException(nullptr);
        return EXIT_FAILURE;
    }
}
