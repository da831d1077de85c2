#pragma once

#include "download/image.h"
#include "station/stationstate.h"

#include <QFrame>

class QLabel;

// The shift at a glance: boards, done, failed, yield, first-pass yield, boards per hour and the
// time up; and the image, so that the technician can confirm the right firmware.
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

private:
    QLabel *counts;
    QLabel *pace;
    QLabel *image;
};
