#pragma once

#include <QByteArray>
#include <QtGlobal>

// One host frame as a simulated loader saw it, and what it wrote back.
struct LoaderFrame {
    enum Kind { Handshake, Header, Block, Finish, Unknown };
    Kind kind = Unknown;
    QByteArray bytes;
    QByteArray reply; // every byte written in answer, stray byte included; empty if none
    qint64 atUs = 0;  // arrival, microseconds since the loader started
    int baud = 0;     // line rate at arrival; 0 for a rate without a termios constant
};
