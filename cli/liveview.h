#pragma once

#include "cli/output.h"
#include "station/elide.h"
#include "station/stationstate.h"

#include <QObject>
#include <QString>
#include <QTimer>

// The terminal's live display: a line per port (or slot) redrawn in place, never wider than the
// terminal, and on a station a line of totals. A view on the station's state: it draws, and
// works nothing out.
class LiveView : public QObject
{
    Q_OBJECT

public:
    LiveView(const StationState &state, Output &output, bool station, bool resets, qint64 bytes);

    void start();
    void finish(); // the last picture, before the summary

    // The picture for a terminal of `columns` x `rows`, one string per line.
    QStringList lines(int columns, int rows) const;

private:
    void redraw();
    QString line(int index, int width) const;
    QString totalsLine(int shown) const;

    const StationState &state;
    Output &output;
    const bool station;
    const bool resets;
    const qint64 bytes;
    const SharedAffixes shared;
    int labelWidth = 0;
    int drawnLines = 0;
    QTimer redrawTimer;
};
