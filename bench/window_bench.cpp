// Drives the main window offscreen for bench/run (QT_QPA_PLATFORM=offscreen).
//
//   zelta_window_bench drop LISTFILE   drops the files named in LISTFILE (one
//                                      path a line) on the shown window and
//                                      waits for the last result line; prints
//                                      {"seconds": ..., "files": ..., "ok": ...}
//   zelta_window_bench lines N         the cost of one more line in the log
//                                      list: a block of 100 lines appended
//                                      (each followed by the event processing
//                                      the window does between files) after
//                                      line 50 and again before line N; prints
//                                      {"early_seconds": ..., "late_seconds": ...}
//                                      per line
//
// A last argument "batched" first sets the list's layout mode to
// QListView::Batched, to compare with the window as it is.
//
// The time of a drop starts when the drop event is delivered and ends when
// the last file's result line is in the list and the window has processed
// what that posted (its repaint); Qt's start-up is not in it.
#include "zelta_main.h"

#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QTextStream>
#include <QUrl>

#include <cstdio>

namespace {

constexpr int kBlock = 100;

int Usage()
{
    std::fputs("usage: zelta_window_bench drop LISTFILE [batched] | lines N [batched]\n", stderr);
    return 2;
}

bool batchedLayout = false;

QListWidget *LogList(TZELTA_MAIN &window)
{
    auto *list = window.findChild<QListWidget *>(QStringLiteral("LIST"));
    if (list == nullptr) {
        std::fputs("zelta_window_bench: the window has no list named LIST\n", stderr);
        std::exit(1);
    }
    if (batchedLayout)
        list->setLayoutMode(QListView::Batched);
    return list;
}

void ShowAndSettle(TZELTA_MAIN &window)
{
    window.show();
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
}

int Drop(const QString &listFile)
{
    QFile file(listFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::perror("zelta_window_bench: list file");
        return 1;
    }
    QList<QUrl> urls;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (!line.isEmpty())
            urls.append(QUrl::fromLocalFile(line));
    }

    TZELTA_MAIN window;
    ShowAndSettle(window);
    QListWidget *list = LogList(window);

    int results = 0;
    int ok = 0;
    QObject::connect(list->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex &, int first, int last) {
                         for (int row = first; row <= last; ++row) {
                             const QString text = list->item(row)->text();
                             if (text.startsWith(QLatin1String("-> "))) {
                                 ++results;
                                 if (text == QLatin1String("-> ok"))
                                     ++ok;
                             }
                         }
                     });

    auto *mime = new QMimeData;
    mime->setUrls(urls);
    const QPointF at(window.width() / 2.0, window.height() / 2.0);
    QElapsedTimer timer;
    timer.start();
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    while (results < urls.size())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    delete mime;

    std::printf("{\"seconds\": %.6f, \"files\": %lld, \"ok\": %d}\n", seconds,
                static_cast<long long>(urls.size()), ok);
    return ok == urls.size() ? 0 : 1;
}

// Seconds per line for a block of lines added the way the window adds them.
double AppendBlock(QListWidget *list, int first)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kBlock; ++i) {
        list->addItem(QStringLiteral("song%1.s98").arg(first + i, 5, 10, QLatin1Char('0')));
        QCoreApplication::processEvents();
    }
    return double(timer.nsecsElapsed()) / 1e9 / kBlock;
}

int Lines(int total)
{
    if (total < 4 * kBlock)
        return Usage();
    TZELTA_MAIN window;
    ShowAndSettle(window);
    QListWidget *list = LogList(window);

    // Lines 1-50, then the early block (51-150).
    for (int i = 0; i < kBlock / 2; ++i)
        list->addItem(QStringLiteral("-> ok"));
    QCoreApplication::processEvents();
    const double early = AppendBlock(list, list->count() + 1);

    // Up to line total - 100 without timing, then let the list lay itself
    // out once, so that the late block measures single lines again.
    while (list->count() < total - kBlock)
        list->addItem(QStringLiteral("-> ok"));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const double late = AppendBlock(list, list->count() + 1);

    std::printf("{\"early_seconds\": %.9f, \"late_seconds\": %.9f, \"lines\": %d}\n", early, late,
                list->count());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("zelta_GUI 20110114"));
    const QStringList args = QApplication::arguments();
    if (args.size() == 4 && args[3] == QLatin1String("batched"))
        batchedLayout = true;
    else if (args.size() != 3)
        return Usage();
    if (args[1] == QLatin1String("drop"))
        return Drop(args[2]);
    if (args[1] == QLatin1String("lines"))
        return Lines(args[2].toInt());
    return Usage();
}
