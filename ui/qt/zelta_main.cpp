#include "zelta_main.h"
#include "ui_zelta_main.h"

#include <zelta/convert.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QMimeData>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QUrl>

#include <filesystem>

static void initResources()
{
    Q_INIT_RESOURCE(zelta);
}

namespace {

// Draws every log line on one row of the list. The start and output lines
// end with a line feed of their own, which is not drawn; one inside a line
// (a file name may hold one) is drawn as a visible symbol.
//
// With uniform item sizes the list asks for the size of one line only (its
// last one, at each layout), so the size given never shrinks: rows keep the
// height of the tallest line seen, such as the instruction line with its
// Japanese text, and the width grows to the longest line that was asked for.
class OneRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant &value, const QLocale &locale) const override
    {
        QString text = value.toString();
        while (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        text.replace(QLatin1Char('\n'), QChar(0x2424));
        return QStyledItemDelegate::displayText(text, locale);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        rowSize = rowSize.expandedTo(QStyledItemDelegate::sizeHint(option, index));
        return rowSize;
    }

private:
    mutable QSize rowSize{0, 0};
};

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

// Appends each line of a conversion's log to the end of the list, as given.
class TZELTA_MAIN::LogSink final : public zelta::LogSink
{
public:
    explicit LogSink(QListWidget *list) : list(list) {}

    void Append(const std::string &line) override
    {
        list->addItem(QString::fromUtf8(line.data(), qsizetype(line.size())));
    }

private:
    QListWidget *list;
};

TZELTA_MAIN::TZELTA_MAIN(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::TZELTA_MAIN>())
{
    initResources();
    ui->setupUi(this);
    setWindowTitle(QGuiApplication::applicationDisplayName());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/zelta-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    ui->LIST->setItemDelegate(new OneRowDelegate(ui->LIST));
    setAcceptDrops(true);

    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                    screen()->availableGeometry()));
}

TZELTA_MAIN::~TZELTA_MAIN() = default;

void TZELTA_MAIN::ConvertOneFile(const QString &path)
{
    const zelta::Options options{.showStartOnly = ui->C_n->isChecked(),
                                 .detailLog = ui->C_v->isChecked(),
                                 .findLoop = ui->C_l->isChecked(),
                                 .bySound = ui->C_s->isChecked()};
    LogSink sink(ui->LIST);
    zelta::ConvertOneFile(nativePath(path), options, sink);
}

void TZELTA_MAIN::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TZELTA_MAIN::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    event->acceptProposedAction();

    // The drag source learns that the drop is over when this handler
    // returns, so the files are converted later, from the event loop.
    openFiles(paths);
}

bool TZELTA_MAIN::openFiles(const QStringList &paths)
{
    if (closed)
        return false;
    QMetaObject::invokeMethod(this, [this, paths] { WMDropFiles(paths); },
                              Qt::QueuedConnection);
    return true;
}

void TZELTA_MAIN::closeEvent(QCloseEvent *event)
{
    closed = true;
    event->accept();
}

void TZELTA_MAIN::WMDropFiles(const QStringList &paths)
{
    const QPointer<TZELTA_MAIN> self(this);
    QElapsedTimer sinceRepaint;
    sinceRepaint.start();
    for (const QString &path : paths) {
        // Let the user change the options, close the window or drop more
        // files before each file. The list repaints at most every
        // kRepaintInterval ms: a repaint costs more than converting a small
        // file, and a few dozen a second keep the window looking live.
        const bool repaint = sinceRepaint.hasExpired(kRepaintInterval);
        showNewLines(repaint);
        if (repaint)
            sinceRepaint.restart();
        // A drop made meanwhile has queued its batch here; it is converted
        // now, before this batch goes on.
        QCoreApplication::processEvents();
        if (self && !closed)
            QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (!self || closed)
            return;
        ConvertOneFile(path);
    }
    showNewLines(true);
}

void TZELTA_MAIN::showNewLines(bool now)
{
    // Lines held back reach the view only now: it need not lay itself out
    // for lines it will not paint yet.
    ui->LIST->holdNewRows(!now);
    if (now) {
        // The list lays out its new lines first: it would paint none of
        // them while their layout is pending.
        ui->LIST->doItemsLayout();
    }
    ui->LIST->setUpdatesEnabled(now);
}
