// One window per user and desktop session. The first start listens on a
// local socket in the user's runtime folder; a later start hands its files
// over to that window, which converts them as a drop, and ends.
#pragma once

#include <QLocalServer>
#include <QPointer>
#include <QStringList>

class TZELTA_MAIN;

class InstanceLink : public QObject
{
    Q_OBJECT

public:
    InstanceLink();

    // Hands `files` to the window of an earlier start, which also comes to
    // the front, and returns true once that window has taken them. Returns
    // false when there is no such window, and then listens for later starts
    // (a socket left by a window that was killed is replaced), or when the
    // window did not take them in time.
    bool handOver(const QStringList &files);

    // Gives the files of later starts to `window`.
    void serve(TZELTA_MAIN *window);

    // The socket's path: the session's display in its name, so that each
    // desktop session of the user has its own window.
    static QString socketPath();

private:
    bool send(QLocalSocket &socket, const QStringList &files);
    void acceptConnections();
    void readFiles(QLocalSocket *socket);

    static constexpr int kTimeout = 3000;  // ms

    QLocalServer server;
    QPointer<TZELTA_MAIN> window;
};
