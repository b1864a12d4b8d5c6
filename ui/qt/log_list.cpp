#include "log_list.h"

void LogList::holdNewRows(bool hold)
{
    holding = hold;
    if (!hold)
        tellHeldRows();
}

void LogList::rowsInserted(const QModelIndex &parent, int start, int end)
{
    // Only rows added at the end wait: the rows the view has laid out keep
    // their places, so its layout stays right for them meanwhile.
    if (holding && !parent.isValid() && end == model()->rowCount() - 1) {
        if (firstHeld < 0)
            firstHeld = start;
        lastHeld = end;
        return;
    }
    tellHeldRows();
    QListWidget::rowsInserted(parent, start, end);
}

void LogList::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    tellHeldRows();
    QListWidget::rowsAboutToBeRemoved(parent, start, end);
}

void LogList::reset()
{
    firstHeld = lastHeld = -1;
    QListWidget::reset();
}

void LogList::tellHeldRows()
{
    if (firstHeld < 0)
        return;
    const int first = firstHeld;
    const int last = lastHeld;
    firstHeld = lastHeld = -1;
    QListWidget::rowsInserted(QModelIndex(), first, last);
}
