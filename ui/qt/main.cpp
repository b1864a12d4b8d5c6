#include "instance_link.h"
#include "zelta_application.h"
#include "zelta_main.h"

#include <cstdlib>

int main(int argc, char *argv[])
{
    // Every argument names a file: Qt is shown none of them, so that it
    // takes none for an option of its own.
    const QStringList files = ZeltaApplication::filesGiven(argc, argv);
    int programOnly = argc > 0 ? 1 : 0;
    ZeltaApplication app(programOnly, argv);
    // Lets the desktop match the window to its entry, ZELTA_APP_ID.desktop.
    ZeltaApplication::setDesktopFileName(QStringLiteral(ZELTA_APP_ID));
    try {
        ZeltaApplication::setApplicationDisplayName(QStringLiteral("zelta_GUI 20110114"));
        InstanceLink link;
        if (link.handOver(files))
            return EXIT_SUCCESS;
        TZELTA_MAIN window;
        window.show();
        link.serve(&window);
        if (!files.isEmpty())
            window.openFiles(files);
        return app.exec();
    } catch (...) {
        ZeltaApplication::showException();
        return EXIT_FAILURE;
    }
}
