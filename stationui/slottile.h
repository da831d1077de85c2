#pragma once

#include "station/slotstate.h"

#include <QFrame>
#include <QStaticText>

#include <array>

// One slot of the station: its name, its state in words, colour and icon, a bar while it
// flashes, the board's label and serial number, a large PASS or FAIL after a result with the
// reason, and the slot's counts. It shows what the station's state says and works nothing out
// itself.
//
// The tile paints its lines itself, each from text laid out once when it changes: 64 tiles of
// labels, a progress bar and a layout each cost the window's thread more than the boards' wire.
// A changed line repaints its own strip; a new colour, or a line coming or going, the tile.
class SlotTile : public QFrame
{
    Q_OBJECT

public:
    enum Line { Title, State, Identity, Verdict, Reason, Footer, LineCount };

    // `number`: the slot's number as the log gives it; `title`: its label or shortened port.
    SlotTile(int number, const QString &title, bool resets, QWidget *parent = nullptr);

    void show(const SlotState &slot);

    // What a line says in full (the tile may cut it at its edge), and where it is drawn.
    QString text(Line line) const { return lines[line].full; }
    QRect lineRect(Line line) const { return lines[line].rect; }
    // The bar's percentage, -1 while there is no bar, and where the bar is drawn.
    int percent() const { return barPercent; }
    QRect barRect() const { return bar; }

    // The same whatever the tile shows: a board's lines coming and going never move the grid.
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override { return minimumSizeHint(); }
    bool hasHeightForWidth() const override { return false; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Text {
        QString full;
        QStaticText shown; // laid out again only when the text, font or width changes
        QFont font;
        QRect rect;
        bool wraps = false;
        // What `shown` was laid out for.
        QString fitted;
        int fittedWidth = -1;
        QFont fittedFont;
    };

    // True when the line came or went, which moves the lines below it.
    bool setLine(Line line, const QString &text);
    void place();
    void fit(Line line);
    void drawBar(QPainter &painter) const;

    const int number;
    const bool resets;
    std::array<Text, LineCount> lines;
    QColor colour;
    int barPercent = -1;
    QRect bar;
    int titlePixels = 0; // the title never gets smaller than the window's own text
};
