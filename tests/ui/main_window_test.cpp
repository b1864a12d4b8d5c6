// The main window seen from outside: its start state, dropped batches and
// their log lines, the options, closing in the middle of a batch, files
// given at start and handed over by later starts of the program, and the
// application's exception display.
#include "instance_link.h"
#include "zelta_application.h"
#include "zelta_main.h"

#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFrame>
#include <QListWidget>
#include <QLocalServer>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QString kTitle = QStringLiteral("zelta_GUI 20110114");
const QString kInstruction = QString::fromUtf8(
    "*.s98をドロップするとファイル名の後ろに \"_new.s98\"を追加したファイル名で出力します");

// A small valid S98 file: `waits` one-step waits from 0x20 on, then a key-on
// (register 0x28 of the OPNA) and the end of the data.
QByteArray s98(int waits = 2)
{
    QByteArray image(0x20, '\0');
    image.replace(0, 4, "S983");
    image[0x14] = 0x20;
    image.append(QByteArray(waits, '\xff'));
    image.append("\x00\x28\xf0\xfd", 4);
    return image;
}

// The lines of a good conversion of <stem>.s98 (two waits), without options.
QStringList block(const QString &stem)
{
    return {stem + ".s98", "start offset(1st key-on)=00000022\n",
            "output file:" + stem + "_new.s98\n", "-> ok"};
}

// The same with the detail log: the two waits that are left out.
QStringList detailBlock(const QString &stem)
{
    return {stem + ".s98", "start offset(1st key-on)=00000022\n",
            "output file:" + stem + "_new.s98\n", "00000020 : ff       [1sync]",
            "00000021 : ff       [1sync]", "-> ok"};
}

// A block with the loop search's line for a song that has no loop.
QStringList withLoopLine(QStringList lines)
{
    lines.insert(2, "loop offset(repeat found)=none\n");
    return lines;
}

QMimeData *urlData(const QStringList &paths)
{
    auto *mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    mime->setUrls(urls);
    return mime;
}

// Drags `mime` onto `target` and drops it there, as the window system
// delivers a drop. Returns whether the drop was accepted.
bool dropOn(QWidget *target, const QMimeData *mime)
{
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

bool dropFiles(QWidget *target, const QStringList &paths)
{
    const std::unique_ptr<QMimeData> mime(urlData(paths));
    return dropOn(target, mime.get());
}

// Runs `action` from the event loop once `list` has been given `line`: that
// is, among the events the window lets run before its next file.
void whenLogged(QListWidget *list, const QString &line, std::function<void()> action)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(
        list->model(), &QAbstractItemModel::rowsInserted, list,
        [=](const QModelIndex &, int first, int last) {
            for (int row = first; row <= last; ++row) {
                if (list->item(row)->text() == line) {
                    QObject::disconnect(*connection);
                    QMetaObject::invokeMethod(list, action, Qt::QueuedConnection);
                    return;
                }
            }
        });
}

// Lets the queued batches run to their end.
void runBatches()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

class Thrower : public QObject
{
public:
    std::function<void()> raise;

    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::User)
            raise();
        return QObject::event(event);
    }
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startState();
    void acceptsEveryDragWithUrls();
    void dropReturnsBeforeConverting();
    void threeFilesInTheirOrder();
    void everyLineShowsOnOneRow();
    void folderDrop();
    void bothOptions();
    void optionsAreReadAtTheStartOfEachFile();
    void secondDropDuringBatch();
    void closeDuringBatch();
    void closeDuringNestedBatch();
    void manyLines();
    void filesGivenAtStartAreConvertedAsADrop();
    void aSecondStartHandsItsFilesToTheOpenWindowInTheMiddleOfItsBatch();
    void aSocketLeftByAKilledWindowIsReplaced();
    void aStartWhoseFilesTheOpenWindowDoesNotTakeConvertsThemItself();
    void exceptionInEventHandlerIsShown();

private:
    QString file(const QString &name, const QByteArray &bytes = s98());
    bool outputExists(const QString &stem) const;
    QStringList lines() const;
    int secondStart(const QStringList &files);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TZELTA_MAIN> window;
    QListWidget *list = nullptr;
    QCheckBox *showStartOnly = nullptr;
    QCheckBox *detailLog = nullptr;
    QCheckBox *findLoop = nullptr;
    QCheckBox *cutSilence = nullptr;
};

void MainWindowTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    window = std::make_unique<TZELTA_MAIN>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    list = window->findChild<QListWidget *>("LIST");
    showStartOnly = window->findChild<QCheckBox *>("C_n");
    detailLog = window->findChild<QCheckBox *>("C_v");
    findLoop = window->findChild<QCheckBox *>("C_l");
    cutSilence = window->findChild<QCheckBox *>("C_s");
    QVERIFY(list && showStartOnly && detailLog && findLoop && cutSilence);
}

void MainWindowTest::cleanup()
{
    window.reset();
    dir.reset();
}

QString MainWindowTest::file(const QString &name, const QByteArray &bytes)
{
    const QString path = dir->filePath(name);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

bool MainWindowTest::outputExists(const QString &stem) const
{
    return QFile::exists(dir->filePath(stem + "_new.s98"));
}

QStringList MainWindowTest::lines() const
{
    QStringList text;
    for (int row = 0; row < list->count(); ++row)
        text.append(list->item(row)->text());
    return text;
}

void MainWindowTest::startState()
{
    QCOMPARE(window->objectName(), "ZELTA_MAIN");
    QCOMPARE(window->windowTitle(), kTitle);
    QCOMPARE(showStartOnly->text(), "-n : show start point only (no output)");
    QCOMPARE(detailLog->text(), "-v : show detail log");
    QCOMPARE(findLoop->text(), "-l : find the loop");
    QCOMPARE(cutSilence->text(), "-s : cut silent ends");
    QVERIFY(!showStartOnly->isChecked());
    QVERIFY(!detailLog->isChecked());
    QVERIFY(!findLoop->isChecked());
    QCOMPARE(lines(), QStringList{kInstruction});

    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(window->maximumSize() != window->minimumSize());
    QVERIFY(window->acceptDrops());

    QCOMPARE(window->size(), QSize(469, 346));
    const auto *panel = window->findChild<QFrame *>("Panel");
    QVERIFY(panel);
    QCOMPARE(panel->geometry(), QRect(0, 0, 469, 49));
    QCOMPARE(list->geometry(), QRect(0, 49, 469, 297));
    QCOMPARE(showStartOnly->parentWidget(), panel);
    QCOMPARE(showStartOnly->pos(), QPoint(8, 8));
    QCOMPARE(detailLog->pos(), QPoint(8, 24));
    QCOMPARE(findLoop->parentWidget(), panel);
    QCOMPARE(findLoop->geometry(), QRect(304, 8, 157, 17));
    QCOMPARE(detailLog->nextInFocusChain(), findLoop);
    QCOMPARE(cutSilence->geometry(), QRect(304, 24, 157, 17));
    QCOMPARE(findLoop->nextInFocusChain(), cutSilence);

    const QPoint centre = window->screen()->availableGeometry().center();
    QVERIFY((window->geometry().center() - centre).manhattanLength() <= 2);

    const QList<QSize> iconSizes = window->windowIcon().availableSizes();
    QVERIFY(iconSizes.contains(QSize(16, 16)));
    QVERIFY(iconSizes.contains(QSize(256, 256)));
}

void MainWindowTest::acceptsEveryDragWithUrls()
{
    const std::unique_ptr<QMimeData> web(new QMimeData);
    web->setUrls({QUrl("https://example.org/song.s98")});
    QVERIFY(dropOn(window.get(), web.get()));

    const std::unique_ptr<QMimeData> text(new QMimeData);
    text->setText("song.s98");
    QVERIFY(!dropOn(window.get(), text.get()));

    // Nothing is filtered by name: a text file is converted, and fails.
    QVERIFY(dropFiles(window.get(), {file("notes.txt", "hello")}));
    runBatches();
    QCOMPARE(lines().size(), 3);
    QCOMPARE(lines().at(1), "notes.txt");
    QVERIFY(lines().at(2).startsWith("-> "));
    QVERIFY(lines().at(2) != "-> ok");
}

void MainWindowTest::dropReturnsBeforeConverting()
{
    QVERIFY(dropFiles(window.get(), {file("a.s98")}));
    QCOMPARE(lines(), QStringList{kInstruction});
    QVERIFY(!outputExists("a"));

    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("a"));
    QVERIFY(outputExists("a"));
}

void MainWindowTest::threeFilesInTheirOrder()
{
    // Not in name order: the order of the drop is kept.
    QVERIFY(dropFiles(window.get(), {file("c.s98"), file("曲 1.s98"), file("b.s98")}));
    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("c") + block("曲 1") + block("b"));
    QVERIFY(outputExists("c") && outputExists("曲 1") && outputExists("b"));

    // The list holds no lines back from its view once the batch is over: a
    // line added now is laid out when events run, below the one before it.
    list->addItem("x");
    QCoreApplication::processEvents();
    const QRect last = list->visualRect(list->model()->index(list->count() - 1, 0));
    const QRect before = list->visualRect(list->model()->index(list->count() - 2, 0));
    QCOMPARE(last.top(), before.bottom() + 1);
}

void MainWindowTest::everyLineShowsOnOneRow()
{
    QVERIFY(dropFiles(window.get(), {file("two\nlines.s98"), file("a.s98")}));
    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("two\nlines") + block("a"));

    auto *delegate = qobject_cast<QStyledItemDelegate *>(list->itemDelegate());
    QVERIFY(delegate);
    QStyleOptionViewItem option;
    option.initFrom(list);
    // Every row is as tall as the first, whichever line the list asks about.
    const int rowHeight = delegate->sizeHint(option, list->model()->index(0, 0)).height();
    for (int row = 1; row < list->count(); ++row) {
        QCOMPARE(delegate->sizeHint(option, list->model()->index(row, 0)).height(), rowHeight);
        QVERIFY(!delegate->displayText(list->item(row)->text(), QLocale()).contains('\n'));
    }
    QCOMPARE(delegate->displayText(list->item(2)->text(), QLocale()),
             "start offset(1st key-on)=00000022");
}

void MainWindowTest::folderDrop()
{
    QVERIFY(QDir(dir->path()).mkdir("songs"));
    QVERIFY(dropFiles(window.get(), {dir->filePath("songs"), file("a.s98")}));
    runBatches();
    QCOMPARE(lines(), QStringList({kInstruction, "songs", "-> input file open error."})
                          + block("a"));
}

void MainWindowTest::bothOptions()
{
    showStartOnly->click();
    detailLog->click();
    QVERIFY(dropFiles(window.get(), {file("a.s98")}));
    runBatches();
    QCOMPARE(lines(), QStringList({kInstruction, "a.s98", "start offset(1st key-on)=00000022\n",
                                   "-> ok"}));
    QVERIFY(!outputExists("a"));
}

void MainWindowTest::optionsAreReadAtTheStartOfEachFile()
{
    // Checked by the user while a.s98 is being converted: the later files
    // get the detail log and the loop search, a.s98 does not.
    whenLogged(list, "a.s98", [this] { detailLog->click(); findLoop->click(); });
    // Changed in the middle of b.s98's own log: b.s98 keeps its options.
    connect(list->model(), &QAbstractItemModel::rowsInserted, list, [this](const QModelIndex &, int row, int) {
        if (list->item(row)->text() == "b.s98") {
            detailLog->setChecked(false);
            findLoop->setChecked(false);
            cutSilence->setChecked(true);
        }
    });
    QVERIFY(dropFiles(window.get(), {file("a.s98"), file("b.s98"), file("c.s98")}));
    runBatches();
    // c.s98 with -s: its key-on sounds nothing (the voice has no attack
    // rate), so nothing is left out or cut.
    const QStringList c{"c.s98", "start offset(1st key-on)=00000000\n", "end offset(silence cut)=none\n",
                        "output file:c_new.s98\n", "-> ok"};
    QCOMPARE(lines(), QStringList{kInstruction} + block("a") + withLoopLine(detailBlock("b")) + c);
}

void MainWindowTest::secondDropDuringBatch()
{
    const QStringList second{file("c.s98"), file("d.s98")};
    whenLogged(list, "a.s98", [&] { QVERIFY(dropFiles(window.get(), second)); });
    QVERIFY(dropFiles(window.get(), {file("a.s98"), file("b.s98")}));
    runBatches();
    QCOMPARE(lines(),
             QStringList{kInstruction} + block("a") + block("c") + block("d") + block("b"));
}

void MainWindowTest::closeDuringBatch()
{
    whenLogged(list, "a.s98", [this] { window->close(); });
    QVERIFY(dropFiles(window.get(), {file("a.s98"), file("b.s98"), file("c.s98")}));
    runBatches();
    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("a"));
    QVERIFY(outputExists("a"));
    QVERIFY(!outputExists("b") && !outputExists("c"));
    QVERIFY(!window->isVisible());
    // Closed, it takes no more files from later starts.
    QVERIFY(!window->openFiles({file("d.s98")}));
}

void MainWindowTest::closeDuringNestedBatch()
{
    const QStringList second{file("c.s98"), file("d.s98")};
    whenLogged(list, "a.s98", [&] { QVERIFY(dropFiles(window.get(), second)); });
    whenLogged(list, "c.s98", [this] { window->close(); });
    QVERIFY(dropFiles(window.get(), {file("a.s98"), file("b.s98")}));
    runBatches();
    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("a") + block("c"));
    QVERIFY(!outputExists("b") && !outputExists("d"));
}

void MainWindowTest::manyLines()
{
    constexpr int waits = 200000;
    detailLog->click();
    QVERIFY(dropFiles(window.get(), {file("long.s98", s98(waits)), file("a.s98")}));
    QElapsedTimer clock;
    clock.start();
    runBatches();
    QCOMPARE(list->count(), 1 + 3 + waits + 1 + 6);
    QCOMPARE(list->item(0)->text(), kInstruction);
    QCOMPARE(lines().mid(list->count() - 6), detailBlock("a"));
    window->repaint();
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed()) + " ms"));

    // Never scrolled, nothing selected.
    QCOMPARE(list->verticalScrollBar()->value(), 0);
    QVERIFY(list->selectedItems().isEmpty());
}

// Runs zelta-gui with `files` in the test's folder while the window goes on
// handling events; returns its exit status once it has ended, or -1 when it
// did not end by itself.
int MainWindowTest::secondStart(const QStringList &files)
{
    QProcess start;
    start.setWorkingDirectory(dir->path());
    start.start(ZELTA_GUI, files);
    if (QTest::qWaitFor([&] { return start.state() == QProcess::NotRunning; }, 10000))
        return start.exitStatus() == QProcess::NormalExit ? start.exitCode() : -1;
    start.kill();
    start.waitForFinished();
    return -1;
}

void MainWindowTest::filesGivenAtStartAreConvertedAsADrop()
{
    QVERIFY(QDir(dir->path()).mkdir("songs"));
    for (const char *name : {"c.s98", "曲 1.s98", "-b.s98"})
        file(name);
    QByteArrayList arguments{"zelta-gui", "c.s98", "曲 1.s98", "songs", "-b.s98"};
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    // Named relative to the folder the program starts in.
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir->path());
    const QStringList files = ZeltaApplication::filesGiven(int(argv.size()), argv.data());
    QDir::setCurrent(before);

    QVERIFY(window->openFiles(files));
    QCOMPARE(lines(), QStringList{kInstruction});
    runBatches();
    const QStringList folder{"songs", "-> input file open error."};
    QCOMPARE(lines(), QStringList{kInstruction} + block("c") + block("曲 1") + folder + block("-b"));
    QVERIFY(outputExists("c") && outputExists("曲 1") && outputExists("-b"));
}

void MainWindowTest::aSecondStartHandsItsFilesToTheOpenWindowInTheMiddleOfItsBatch()
{
    InstanceLink link;
    QVERIFY(!link.handOver({}));
    link.serve(window.get());
    file("c.s98");
    file("d.s98");
    // The batch waits after a.s98 until the second start has ended: a start
    // that waited for the batch's end would never end.
    int status = -2;
    whenLogged(list, "a.s98", [&] { status = secondStart({"c.s98", "d.s98"}); });
    QVERIFY(dropFiles(window.get(), {file("a.s98"), file("b.s98")}));
    runBatches();
    QCOMPARE(status, 0);
    QCOMPARE(lines(),
             QStringList{kInstruction} + block("a") + block("c") + block("d") + block("b"));
}

void MainWindowTest::aSocketLeftByAKilledWindowIsReplaced()
{
    QProcess killed;
    killed.start(ZELTA_GUI, QStringList{});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(InstanceLink::socketPath()), 10000);
    killed.kill();
    QVERIFY(killed.waitForFinished());
    QVERIFY(QFile::exists(InstanceLink::socketPath()));

    InstanceLink link;
    QVERIFY(!link.handOver({}));
    link.serve(window.get());
    QCOMPARE(secondStart({file("a.s98")}), 0);
    runBatches();
    QCOMPARE(lines(), QStringList{kInstruction} + block("a"));
}

void MainWindowTest::aStartWhoseFilesTheOpenWindowDoesNotTakeConvertsThemItself()
{
    // A window that takes the connection and never answers.
    QLocalServer silent;
    QVERIFY(silent.listen(InstanceLink::socketPath()));
    QProcess start;
    start.start(ZELTA_GUI, {file("a.s98")});
    QTRY_VERIFY_WITH_TIMEOUT(outputExists("a"), 20000);
    QCOMPARE(start.state(), QProcess::Running);
    start.kill();
    start.waitForFinished();
}

void MainWindowTest::exceptionInEventHandlerIsShown()
{
    QStringList shown;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shown.append(box->text());
            box->accept();
        }
    });
    answer.start(10);

    Thrower thrower;
    thrower.raise = [] { throw std::runtime_error("disk on fire"); };
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &event);
    thrower.raise = [] { throw 42; };
    QCoreApplication::sendEvent(&thrower, &event);

    QCOMPARE(shown, QStringList({"disk on fire", ""}));
}

int main(int argc, char *argv[])
{
    // The programs started here and the test meet in a runtime folder of
    // the test's own.
    const QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    ZeltaApplication app(argc, argv);
    ZeltaApplication::setApplicationDisplayName(kTitle); // as the program's main does
    // The test closes windows; the application must outlive them.
    ZeltaApplication::setQuitOnLastWindowClosed(false);
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
