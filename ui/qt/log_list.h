// The log list. While a drop holds the list's repaints back, the rows added
// at its end are passed on to the view only when they are about to be shown.
// Told of each new row, the view clears its layout and lays its rows out
// again from the first when the window lets events run between files, which
// costs more than converting a small file; told once before a repaint, it
// does that once. The model, and whoever watches it, still gets every row at
// the moment it is added.
#pragma once

#include <QListWidget>

class LogList : public QListWidget
{
    Q_OBJECT

public:
    using QListWidget::QListWidget;

    // While held, rows added at the end are kept from the view; letting go
    // tells it of them all at once.
    void holdNewRows(bool hold);

protected:
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    void reset() override;

private:
    void tellHeldRows();

    bool holding = false;
    int firstHeld = -1;  // the rows added since the view was last told; -1: none
    int lastHeld = -1;
};
