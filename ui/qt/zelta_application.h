// The application object. An exception that escapes an event handler is
// shown in a message box with its text, and the event loop goes on.
#pragma once

#include <QApplication>
#include <QStringList>

class ZeltaApplication : public QApplication
{
public:
    ZeltaApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the exception being handled; call it from a catch block.
    static void showException();

    // The files named on the command line after the program, every argument
    // a path ("-x" too), made absolute against the current folder as the
    // paths of a drop are.
    static QStringList filesGiven(int argc, char **argv);
};
