// The application object. An exception that escapes an event handler is
// shown in a message box with its text, and the event loop goes on.
#pragma once

#include <QApplication>

class ZeltaApplication : public QApplication
{
public:
    ZeltaApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the exception being handled; call it from a catch block.
    static void showException();
};
