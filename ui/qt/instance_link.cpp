#include "instance_link.h"

#include "zelta_main.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;
// The one byte a window answers with once it has taken a start's files.
constexpr char kTaken = '\1';

} // namespace

InstanceLink::InstanceLink()
{
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &InstanceLink::acceptConnections);
}

QString InstanceLink::socketPath()
{
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY", qEnvironmentVariable("DISPLAY"));
    display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    QString name = QStringLiteral(ZELTA_APP_ID ".window");
    if (!display.isEmpty())
        name += QLatin1Char('-') + display;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

bool InstanceLink::handOver(const QStringList &files)
{
    const QString path = socketPath();
    // One start at a time looks for a window and, finding none, listens.
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.tryLock(kTimeout);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (socket.waitForConnected(kTimeout)) {
        lock.unlock();
        return send(socket, files);
    }
    const auto error = socket.error();
    if (error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError) {
        QLocalServer::removeServer(path);
        server.listen(path);
    }
    return false;
}

bool InstanceLink::send(QLocalSocket &socket, const QStringList &files)
{
    QDataStream out(&socket);
    out.setVersion(kStreamVersion);
    out << files;
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kTimeout))
            return false;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(kTimeout))
            return false;
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == kTaken;
}

void InstanceLink::serve(TZELTA_MAIN *mainWindow)
{
    window = mainWindow;
}

void InstanceLink::acceptConnections()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFiles(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        readFiles(socket);
    }
}

void InstanceLink::readFiles(QLocalSocket *socket)
{
    QDataStream in(socket);
    in.setVersion(kStreamVersion);
    in.startTransaction();
    QStringList files;
    in >> files;
    if (!in.commitTransaction())
        return;  // the rest is still on its way
    // Without an answer the start opens a window of its own for its files:
    // so a closed window, which takes no more files, does not answer.
    if (window && window->openFiles(files)) {
        window->showNormal();
        window->raise();
        window->activateWindow();
        socket->putChar(kTaken);
        socket->flush();
    }
    socket->disconnectFromServer();
}
