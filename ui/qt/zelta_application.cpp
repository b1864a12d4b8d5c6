#include "zelta_application.h"

#include <zelta/convert.h>

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
