#pragma once

#include "station/slotstate.h"

#include <QFrame>

class QLabel;
class QProgressBar;

// One slot of the station: its name, its state in words, colour and icon, a bar while it
// flashes, the board's serial number, a large PASS or FAIL after a result with the reason, and
// the slot's counts. It shows
// what the station's state says and works nothing out itself.
class SlotTile : public QFrame
{
    Q_OBJECT

public:
    // `number`: the slot's number as the log gives it; `title`: its label or shortened port.
    SlotTile(int number, const QString &title, bool resets, QWidget *parent = nullptr);

    void show(const SlotState &slot);

    // The same whatever the tile shows: a board's lines coming and going lay out the tile alone,
    // never the grid, which would move and repaint every tile.
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override { return minimumSizeHint(); }
    bool hasHeightForWidth() const override { return false; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // A holder without a layout around `label`: its text changes stop at the holder instead of
    // laying out the tile, the grid and the window's tabs again, which repaints them whole.
    QWidget *line(QLabel *label);
    void fitLine(QLabel *label);

    const int number;
    const bool resets;
    QLabel *title;
    QLabel *state;
    QLabel *serial;
    QLabel *verdict;
    QLabel *reason;
    QProgressBar *bar;
    QLabel *footer;
    int titlePixels = 0; // the title never gets smaller than the window's own text
};
