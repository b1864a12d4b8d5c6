#include "zelta_application.h"

#include <zelta/convert.h>

#include <QDir>
#include <QFile>
#include <QMessageBox>

#include <exception>

ZeltaApplication::ZeltaApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    zelta::IgnoreFileSizeSignal();
}

bool ZeltaApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        showException();
        return false;
    }
}

void ZeltaApplication::showException()
{
    QString text; // an exception that carries no text shows an empty message
    try {
        throw;
    } catch (const std::exception &e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    QMessageBox::critical(nullptr, applicationDisplayName(), text);
}

QStringList ZeltaApplication::filesGiven(int argc, char **argv)
{
    QStringList files;
    const QDir current = QDir::current();
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        files.append(path.isEmpty() ? path : current.filePath(path));
    }
    return files;
}
