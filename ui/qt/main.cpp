#include "zelta_application.h"
#include "zelta_main.h"

#include <cstdlib>

int main(int argc, char *argv[])
{
    ZeltaApplication app(argc, argv);
    // Lets the desktop match the window to its entry, ZELTA_APP_ID.desktop.
    ZeltaApplication::setDesktopFileName(QStringLiteral(ZELTA_APP_ID));
    try {
        ZeltaApplication::setApplicationDisplayName(QStringLiteral("zelta_GUI 20110114"));
        TZELTA_MAIN window;
        window.show();
        return app.exec();
    } catch (...) {
        ZeltaApplication::showException();
        return EXIT_FAILURE;
    }
}
