#pragma once

#include "station/boardevent.h"
#include "station/target.h"

#include <QByteArray>
#include <QVector>

// The boards' events as lines: plain text for a log or a pipe, or one JSON object each for a
// script. Empty where the event says nothing in that form.
class EventLines
{
public:
    struct Setup {
        bool json = false;
        bool quiet = false;   // results only
        bool station = false; // each target is a slot that boards come and go on
        int attempts = 1;     // tries per board
        qint64 bytes = 0;     // the image's size and checksum
        quint16 checksum = 0;
    };

    EventLines(const Setup &setup, const Targets &targets);

    QByteArray line(const BoardEvent &event);

private:
    QByteArray plain(const BoardEvent &event);
    QByteArray json(const BoardEvent &event) const;

    const Setup setup;
    const Targets targets;
    QVector<int> marked; // per target, the tens of percent the plain lines have marked
};
