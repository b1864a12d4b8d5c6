// The main window: the four options above the log list. Files dropped on it
// are converted one after another, each logged as it goes.
#pragma once

#include <QStringList>
#include <QWidget>

#include <memory>

namespace Ui {
class TZELTA_MAIN;
}

class TZELTA_MAIN : public QWidget
{
    Q_OBJECT

public:
    explicit TZELTA_MAIN(QWidget *parent = nullptr);
    ~TZELTA_MAIN() override;

    // Converts one file with the options the check boxes show now, logging
    // its name, the conversion's lines and the result line.
    void ConvertOneFile(const QString &path);

    // Takes `paths` as one drop arriving now: they are converted from the
    // event loop, as the files of a drop are. Returns false, taking
    // nothing, once the window is closed.
    bool openFiles(const QStringList &paths);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    class LogSink;

    // Converts a dropped batch, letting pending events run before each file.
    void WMDropFiles(const QStringList &paths);
    // Lets the list show the lines added so far (now), or holds its
    // repaints, and the view's layout of new lines, back until the next call
    // that lets it.
    void showNewLines(bool now);

    static constexpr int kRepaintInterval = 40;  // ms

    std::unique_ptr<Ui::TZELTA_MAIN> ui;
    bool closed = false;
};
