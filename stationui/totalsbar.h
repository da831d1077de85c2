#pragma once

#include "download/image.h"
#include "station/stationstate.h"

#include <QFrame>

class QLabel;

// The shift at a glance: boards, done, failed, yield, first-pass yield, boards per hour and the
// time up; and the image, so that the technician can confirm the right firmware, and whether the
// job pins it.
class TotalsBar : public QFrame
{
    Q_OBJECT

public:
    explicit TotalsBar(QWidget *parent = nullptr);

    void showImage(const Image &image);
    void show(const StationState &state);
    void clear(); // no run yet

    // "12 boards: 11 done, 1 failed, yield 91.7 %"
    static QString description(const StationTotals &totals);
    // "pinned" or "not pinned"
    static QString pinWords(const Image &image);

private:
    void describe();

    QString countsSaid; // what the counts say, for the description
    QString imageSaid;
    QLabel *counts;
    QLabel *pace;
    QLabel *image;
};
